// The turns of the threads of a block that become runnable together, as a LaneOrder says:
// ascending leaves them as released (lowest thread first), descending reverses them, random
// shuffles them with a generator of the block's own. A block's schedule then depends only on
// the seed and the block's number, never on which OS thread runs it or on the other blocks.
#ifndef CUDASIM_SRC_TURN_ORDER_H
#define CUDASIM_SRC_TURN_ORDER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "cudasim/control.h"

namespace cudasim {
namespace detail {

class TurnOrder {
  public:
    // For the block numbered `block` in its grid (x first).
    void start(const LaneOrder& order, uint64_t block) {
        kind_ = order.kind;
        state_ = mix(order.seed + mix(block + kGolden));
    }

    // Ascending is the order in which the scheduler releases threads: nothing to arrange.
    bool as_released() const { return kind_ == LaneOrder::ascending; }

    template <class T>
    void arrange(T* first, size_t n) {
        if (kind_ == LaneOrder::descending) {
            std::reverse(first, first + n);
        } else if (kind_ == LaneOrder::random) {
            for (size_t i = n; i > 1; --i) {
                std::swap(first[i - 1], first[below(i)]);
            }
        }
    }

  private:
    static constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

    // SplitMix64's finaliser: neighbouring seeds and blocks give unrelated sequences.
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    // A number below n (at most 2^32), by multiplication: the bias is far below anything a
    // schedule could show.
    size_t below(size_t n) {
        state_ += kGolden;
        return static_cast<size_t>(((mix(state_) >> 32) * n) >> 32);
    }

    LaneOrder::Kind kind_ = LaneOrder::ascending;
    uint64_t state_ = 0;
};

}  // namespace detail
}  // namespace cudasim

#endif
