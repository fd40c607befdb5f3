// A local mining pool for tests and the demo: it speaks the miner's JSON-lines protocol on
// 127.0.0.1, hands out a job, and checks every submitted share with the Argon2 reference
// library against the job's header and share target before it answers.
//
// One server thread does all socket work; the test thread sets jobs, chooses the replies and
// reads what the pool has seen, all under one mutex. Whatever a client sends or leaves unread,
// the others are served on: a line that is not a request gets an error reply, a client that has
// not taken its replies for a while is dropped, and when no connection can be accepted (the
// process is out of descriptors) those already open are served until one can.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "outbox.h"
#include "pool_request.h"

namespace tovren::qel::testing {

struct PoolTestJob {
    std::string job_id = "job-1";
    std::array<uint8_t, 112> header{};
    std::array<uint8_t, 32> target{};          // share target, byte 0 most significant
    std::array<uint8_t, 32> network_target{};  // all zero: no block candidates
    uint64_t height = 1;
    uint64_t nonce_start = 0;
    uint64_t nonce_end = UINT64_MAX;
    uint64_t difficulty = 1;
};

struct PoolLogin {
    int connection;  // 0 for the first connection accepted, then 1, 2, ...
    std::string address;
    std::string worker;
};

struct PoolSubmit {
    int connection;
    uint64_t id;
    std::string job_id;
    uint64_t nonce;
    std::string claimed_hash;  // as sent
    bool known_job;            // the job id is one this pool has sent
    bool in_range;             // the nonce lies in that job's range
    bool hash_ok;              // the claimed hash is the Argon2id hash of header and nonce
    bool meets_target;         // the claimed hash meets the job's share target
    bool duplicate;            // the same job id and nonce came before
    std::string error;         // the rejection sent back; empty when accepted
};

class TestPool {
  public:
    // Decides the reply to a checked submit: "" accepts it, any other text rejects it with
    // that text. The default rejects whatever failed a check and accepts the rest.
    using Judge = std::function<std::string(const PoolSubmit&)>;

    // port 0: an ephemeral port. listening() tells whether the socket could be opened.
    explicit TestPool(uint16_t port = 0);
    ~TestPool();
    TestPool(const TestPool&) = delete;
    TestPool& operator=(const TestPool&) = delete;

    bool listening() const { return listen_fd_ >= 0; }
    uint16_t port() const { return port_; }

    // The job for every connection: sent now to the connections that have logged in, and in
    // the reply to every later login.
    void set_job(const PoolTestJob& job);
    void set_judge(Judge judge);
    // Closes every open connection, as a pool restart would.
    void close_connections();
    // Called on the server thread with a line for each event (login, job, share, a refused
    // line, a client that stops or starts again reading its replies, a dropped client).
    void set_event_printer(std::function<void(const std::string&)> printer);
    // How long a client's replies may wait unread, with none of them taken, before the client
    // is dropped.
    void set_unread_limit(std::chrono::milliseconds limit);
    static constexpr std::chrono::milliseconds kDefaultUnreadLimit{5000};

    std::vector<PoolLogin> logins() const;
    std::vector<PoolSubmit> submits() const;
    int connections_accepted() const;
    // How many times the server thread has woken: a test reads it to see that a pool with
    // nothing it can do sleeps instead of spinning.
    uint64_t rounds() const;
    // Waits until pred holds (it runs with the pool's state locked; pass accessors of this
    // object's copies to it via the arguments). False after timeout_ms.
    bool wait_until(const std::function<bool(const std::vector<PoolLogin>&,
                                             const std::vector<PoolSubmit>&)>& pred,
                    int timeout_ms) const;

    static std::string default_judge(const PoolSubmit& submit);
    // The share target met by about one hash in n.
    static std::array<uint8_t, 32> target_one_in(uint32_t n);
    static std::string job_line(const PoolTestJob& job);

  private:
    struct Conn {
        Conn(int fd_, int index_) : fd(fd_), index(index_) {}
        int fd;
        int index;
        bool logged_in = false;
        bool closing = false;  // closed at the end of the server's round
        bool paused = false;   // its requests are left unread until it takes its replies
        std::string buffer;    // what came after the last whole line
        Outbox out;
    };

    void serve();
    int poll_timeout_ms(Outbox::Clock::duration limit) const;
    void accept_client();
    void read_from(Conn& conn);
    void handle_line(Conn& conn, const std::string& line);
    void refuse(Conn& conn, const std::string& id, const std::string& reason);
    void send_to(Conn& conn, const std::string& line);
    PoolSubmit check_submit(int connection, const PoolRequest& request);
    void watch_output(Conn& conn, Outbox::Clock::duration limit);
    void event(const std::string& text);

    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    bool close_requested_ = false;
    bool job_pending_ = false;
    PoolTestJob job_;
    bool have_job_ = false;
    std::vector<PoolTestJob> sent_jobs_;
    Judge judge_ = default_judge;
    std::function<void(const std::string&)> printer_;
    std::vector<PoolLogin> logins_;
    std::vector<PoolSubmit> submits_;
    std::set<std::pair<std::string, uint64_t>> shares_;  // job id and nonce of every submit
    int accepted_ = 0;
    uint64_t rounds_ = 0;
    std::chrono::milliseconds unread_limit_ = kDefaultUnreadLimit;

    // Server thread only.
    std::vector<Conn> conns_;
    Outbox::Clock::time_point accept_again_{};  // no accept before, after one failed
    bool accept_failing_ = false;

    std::thread thread_;
};

}  // namespace tovren::qel::testing
