#include "pool/host_lookup.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace tovren::qel {

// Shared by the waiting side and the lookup thread; whichever is last frees the address list.
struct HostLookup::State {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool abandoned = false;
    addrinfo* list = nullptr;
};

HostLookup::HostLookup(const std::string& host, uint16_t port) : state_(std::make_shared<State>()) {
    std::thread([state = state_, host, service = std::to_string(port)] {
        addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) {
            list = nullptr;
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->abandoned) {
            if (list != nullptr)
                freeaddrinfo(list);
        } else {
            state->list = list;
        }
        state->done = true;
        state->done_cv.notify_all();
    }).detach();
}

HostLookup::~HostLookup() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->done) {
        if (state_->list != nullptr)
            freeaddrinfo(state_->list);
        state_->list = nullptr;
    } else {
        state_->abandoned = true;
    }
}

bool HostLookup::wait_for(int timeout_ms) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->done_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [this] { return state_->done; });
}

const addrinfo* HostLookup::addresses() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->list;
}

}  // namespace tovren::qel
