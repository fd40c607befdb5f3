#include "options.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tovren::qel {

namespace {

bool is(const char* arg, const char* form) {
    return std::strcmp(arg, form) == 0;
}

}  // namespace

// Out-of-range values are held at the int limits rather than cut to their low bits, so that
// an absurd --hashes or device id is refused instead of silently becoming a small number.
int option_int(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::string next_option_value(const ArgCursor& cursor, const char* display_name) {
    if (*cursor.i + 1 >= *cursor.argc) {
        std::fprintf(stderr, "missing value for %s\n", display_name);
        std::exit(2);
    }
    ++*cursor.i;
    return (*cursor.argv)[*cursor.i];
}

bool parse_options(int argc, char** argv, Settings& settings, int& exit_code) {
    int i = 1;
    const ArgCursor cursor{&i, &argc, &argv};
    for (; i < argc; ++i) {
        const char* arg = argv[i];
        if (is(arg, "-o") || is(arg, "--pool")) {
            settings.pool_endpoint = next_option_value(cursor, "--pool");
        } else if (is(arg, "-u") || is(arg, "--user") || is(arg, "--address")) {
            settings.address = next_option_value(cursor, "--user");
        } else if (is(arg, "-w") || is(arg, "--worker")) {
            settings.worker = next_option_value(cursor, "--worker");
        } else if (is(arg, "-d") || is(arg, "--devices")) {
            settings.devices = next_option_value(cursor, "--devices");
        } else if (is(arg, "--hashes")) {
            settings.hashes = option_int(next_option_value(cursor, "--hashes"));
        } else if (is(arg, "--stats-file")) {
            settings.stats_file = next_option_value(cursor, "--stats-file");
        } else if (is(arg, "--no-color")) {
            settings.color = false;
        } else if (is(arg, "--verify")) {
            settings.verify_file = next_option_value(cursor, "--verify");
        } else if (is(arg, "--bench")) {
            // A negative length means no benchmark, as 0 does, so every later stage can
            // take any non-zero value as bench mode.
            const int seconds = option_int(next_option_value(cursor, "--bench"));
            settings.bench_seconds = seconds > 0 ? seconds : 0;
        } else if (is(arg, "-h") || is(arg, "--help")) {
            print_usage(argv[0]);
            exit_code = 0;
            return false;
        } else {
            std::fprintf(stderr, "unknown option %s (see --help)\n", arg);
            exit_code = 2;
            return false;
        }
    }
    // Refused here, with the other mistakes, rather than after the self-tests; and never
    // connected to some other port than the one typed.
    std::string host;
    uint16_t port = 0;
    if (!split_endpoint(settings.pool_endpoint, host, port)) {
        std::fprintf(stderr, "pool endpoint %s has no valid port (a number from 1 to 65535)\n",
                     settings.pool_endpoint.c_str());
        exit_code = 2;
        return false;
    }
    exit_code = 0;
    return true;
}

void print_usage(const char* program) {
    std::printf("usage: %s -u <QEL address> [options]\n", program);
    std::printf("  -o, --pool <host:port>   pool (default: %s QEL %s)\n", kDefaultPoolName,
                kDefaultPoolEndpoint);
    std::printf("  -u, --user <address>     your QEL payout address (qel1...)\n");
    std::printf("  -w, --worker <name>      worker name (default: hostname)\n");
    std::printf("  -d, --devices <list>     GPUs to use, e.g. 0,1 (default: all)\n");
    std::printf("      --hashes <n>         hashes in flight per GPU (default: tuned at start)\n");
    std::printf(
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n");
    std::printf("      --no-color           uncolored output\n");
    std::printf("      --verify <file>      check every GPU against test vectors and exit\n");
    std::printf("      --bench <seconds>    offline benchmark\n");
}

bool split_endpoint(const std::string& endpoint, std::string& host, uint16_t& port) {
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos) {
        host = endpoint;
        port = kPlainEndpointPort;
        return true;
    }
    const std::string digits = endpoint.substr(colon + 1);
    unsigned long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)  // also no digits at all
        return false;
    host = endpoint.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}

bool require_payout_address(const Settings& settings) {
    if (settings.bench_seconds <= 0 && settings.address.empty()) {
        std::fprintf(stderr, "an QEL payout address is required: -u <qel1...>\n");
        return false;
    }
    return true;
}

std::string default_worker_name(const std::string& worker) {
    if (!worker.empty()) {
        return worker;
    }
    char name[64] = "rig";
    (void)gethostname(name, 63);
    return name;
}

}  // namespace tovren::qel
