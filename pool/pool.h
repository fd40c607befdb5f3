// The pool client: one background thread that keeps a JSON-lines TCP connection to the mining
// pool (resolve, connect, log in, read lines, reconnect with back-off) and the current job that
// the GPU workers copy, plus the send path the workers use for shares.
//
// Threads: the owner calls start, stop and the destructor; the pool thread runs run, the
// message handling and both callbacks; GPU workers call submit, read connected, job_seq and
// connections without a lock and copy job under job_mutex. send_mutex guards fd and every
// send; job_mutex guards job; the two are never held together, nor during a callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pool/hex.h"
#include "pool/json.h"
#include "pool/pool_job.h"

namespace tovren::qel {

class Pool {
  public:
    struct Config {
        std::string host;  // name or numeric address
        uint16_t port = 3333;
        std::string address;  // payout address, sent at login
        std::string worker;   // worker name, sent at login
        std::string agent;    // kept, never sent
    };

    Pool() = default;
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Copies config and starts the pool thread. Counters, ids and the last job carry over.
    void start(const Config& config);
    // Ends the pool thread and its connection and returns once the thread has ended. Harmless
    // when not running; must not be called from a callback.
    void stop();

    // Sends one share of job (on the caller's thread), but only on the connection the job came
    // on: a share of an earlier connection's job, which may have been another login's, is
    // dropped in silence. Takes the next request id even when nothing is sent; there is no
    // queue and no retry.
    void submit(const PoolJob& job, uint64_t nonce, const uint8_t* hash);
    // Writes line and a line feed whole under send_mutex. False, with nothing sent, when not
    // connected; false also when the line cannot go out whole within a few seconds, and then
    // the connection is shut down, so no later line can join the fragment.
    bool send_line(const std::string& line);

    // One received line, without its line feed.
    void handle_message(const std::string& line);
    // A job object from a "job" message or a login reply: validated, then stored as the job.
    void handle_job(const JsonValue& params);
    // The body of the pool thread; returns when running turns false.
    void run();

    std::function<void(const std::string&)> on_log;
    std::function<void(bool accepted, const std::string& message)> on_share_result;

    Config cfg;
    std::thread conn_thread;
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> job_seq{0};  // jobs stored so far
    std::atomic<uint64_t> next_id{2};  // id of the next submit; 1 is the login
    std::atomic<uint64_t> connections{0};
    std::mutex job_mutex;
    std::mutex send_mutex;
    PoolJob job;
    int fd = -1;
    // Each second of a back-off is ten steps of this many milliseconds. Tests shorten the steps
    // to run through a whole series of back-offs; set it only while the Pool is stopped.
    int wait_step_ms = 100;

  private:
    void log(const std::string& message);
    // Resolves and connects; -1 when no address accepted a connection or when stopped.
    int open_connection(bool& abandoned);
    // Reads lines until the connection ends or a stop is requested.
    void read_lines(int sock);
    // The back-off wait, cut short by a stop request.
    void wait_seconds(int seconds);
    // send_line's work, for a caller that already holds send_mutex.
    bool send_locked(const std::string& line);
};

}  // namespace tovren::qel
