// Name resolution that a stopping pool client does not have to wait for.
#pragma once

#include <netdb.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tovren::qel {

// Runs getaddrinfo for one host and port on a short-lived thread of its own, so the caller can
// wait in slices and give up at any time. A lookup given up on finishes in the background and
// frees its own result; the system resolver's time-outs bound how long that takes.
class HostLookup {
  public:
    HostLookup(const std::string& host, uint16_t port);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // Waits at most timeout_ms for the lookup to finish; true once it has.
    bool wait_for(int timeout_ms);
    // The addresses in the resolver's order, or null when the name did not resolve. Valid
    // after wait_for has returned true, until destruction.
    const addrinfo* addresses() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tovren::qel
