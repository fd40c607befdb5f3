#include <algorithm>
#include <cstdint>
#include <iterator>

#include "pool/pool.h"
#include "pool/pool_lines.h"

namespace tovren::qel {

namespace {

// Pools say "no error" in several ways: null, false, 0, "" and an empty array or object carry
// nothing to show, so none of them may refuse a login or a share.
bool is_no_error(const JsonValue& error) {
    switch (error.kind) {
        case JsonValue::Kind::Null:
            return true;
        case JsonValue::Kind::Bool:
            return !error.boolean;
        case JsonValue::Kind::Number:
            return error.number == 0.0;
        case JsonValue::Kind::String:
            return error.text.empty();
        case JsonValue::Kind::Array:
            return error.items.empty();
        case JsonValue::Kind::Object:
            return error.members.empty();
    }
    return false;
}

// Whether the reply carries an error, and its text: a message as sent, otherwise the message
// of an error object, otherwise the value as JSON (true, a code, the [code, message] array).
bool reply_error(const JsonValue& root, std::string& text) {
    const JsonValue* error = root.find("error");
    if (error == nullptr || is_no_error(*error))
        return false;
    const JsonValue* message = error->find("message");
    text = error->kind == JsonValue::Kind::String                           ? error->text
           : message != nullptr && message->kind == JsonValue::Kind::String ? message->text
                                                                            : json_write(*error);
    return true;
}

}  // namespace

void Pool::handle_message(const std::string& line) {
    JsonValue root;
    if (!json_parse(line, root))
        return;
    const JsonValue* params = root.find("params");
    const std::string method = root.get_string("method", "");

    if (method == "job" && params != nullptr) {
        handle_job(*params);
        return;
    }
    if (method == "notification" && params != nullptr) {
        if (!on_log)
            return;
        const std::string type = params->get_string("type", "notification");
        on_log("pool notice: " + params->get_string("kind", type));
        return;
    }

    if (root.find("id") == nullptr)
        return;
    // Anything but a whole decimal number reads as 0, which makes it a share result.
    const uint64_t id = root.get_u64("id", 0);
    std::string error;
    const bool failed = reply_error(root, error);

    if (id == 1) {
        if (failed) {
            log("login refused: " + error);
            return;
        }
        const JsonValue* result = root.find("result");
        if (result != nullptr && result->find("job_id") != nullptr)
            handle_job(*result);
        log("logged in");
        return;
    }

    // Replies are not matched with submits: every other id is the result of some share.
    const std::string status = root.get_string("status", "");
    const bool accepted =
        !failed && (status.empty() || status == "OK" || status == "ok" || status == "accepted");
    if (on_share_result)
        on_share_result(accepted, accepted ? status : error);
}

void Pool::handle_job(const JsonValue& params) {
    PoolJob next;
    next.job_id = params.get_string("job_id", "");
    const std::string header = params.get_string("header_base", "");
    const std::string target = params.get_string("target", "");
    if (header.size() != 224 || !parse_hex_bytes(header, next.header, 112) || target.size() != 64 ||
        !parse_hex_bytes(target, next.target, 32)) {
        log("job rejected: bad header_base/target");
        return;
    }
    // The block target only decides whether a share is also announced as a block candidate:
    // a bad one is kept as zero, which no hash meets, rather than as a half-decoded value.
    const std::string network = params.get_string("network_target", "");
    if (network.size() == 64 && !parse_hex_bytes(network, next.network_target, 32)) {
        std::fill(std::begin(next.network_target), std::end(next.network_target), 0);
    }
    next.height = params.get_u64("height", 0);
    next.nonce_start = params.get_u64("nonce_start", 0);
    next.nonce_end = params.get_u64("nonce_end", UINT64_MAX);
    next.difficulty = params.get_u64("difficulty", 0);
    next.valid = !next.job_id.empty();
    {
        // The counter moves under the mutex, so a worker that sees the new value and then
        // takes the mutex always copies the complete job.
        std::lock_guard<std::mutex> lock(job_mutex);
        next.seq = job_seq.fetch_add(1) + 1;
        next.conn_gen = connections.load();
        job = next;
    }
    log("new job — height " + std::to_string(next.height) + ", difficulty " +
        std::to_string(next.difficulty));
}

void Pool::submit(const PoolJob& for_job, uint64_t nonce, const uint8_t* hash) {
    const uint64_t id = next_id.fetch_add(1);
    const std::string line = submit_line(id, for_job.job_id, nonce, hash);
    // A dev-fee switch reconnects at once: the share of a job that came before it must not
    // reach the next login's connection. Checked under the lock that a connect takes to store
    // its socket and raise the count, so no reconnect falls between the check and the send.
    std::lock_guard<std::mutex> lock(send_mutex);
    if (for_job.conn_gen == connections.load())
        send_locked(line);
}

}  // namespace tovren::qel
