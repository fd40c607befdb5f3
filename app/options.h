// The command line: every setting of a run, the option loop and the usage text, and the
// rules that later stages take from the settings (endpoint split, payout address, worker).
#pragma once

#include <cstdint>
#include <string>

namespace tovren::qel {

constexpr char kBrandLine[] = "TOVREN QEL GPU";
constexpr char kTitleLine[] = "Skelvarin GPU miner (Argon2id)";
constexpr char kVersion[] = "v1.0.3";

constexpr char kDefaultPoolName[] = "Tovren Pool";
constexpr char kDefaultPoolEndpoint[] = "qel.tovrenpool.net:3360";
// An endpoint given without a port.
constexpr uint16_t kPlainEndpointPort = 3333;

struct Settings {
    std::string pool_endpoint = kDefaultPoolEndpoint;
    std::string address;
    std::string worker;
    std::string devices;
    std::string stats_file;
    std::string verify_file;
    int hashes = 0;         // greater than 0: hashes in flight for every GPU; else tune
    int bench_seconds = 0;  // greater than 0: benchmark for that long; else mine
    bool color = true;
};

// Where the option loop stands: main's argument index, argc and argv.
struct ArgCursor {
    int* i;
    int* argc;
    char*** argv;
};

// The argument after the option at *cursor.i, advancing past it. When there is none it
// writes "missing value for <display_name>" to standard error and ends the process with 2.
std::string next_option_value(const ArgCursor& cursor, const char* display_name);

// strtol, base 10, no end check ("12x" is 12, "abc" is 0), held within the int range.
int option_int(const std::string& text);

// Reads every argument into settings. Returns true when start-up goes on; false when main
// must return exit_code at once (0 after the usage text, 2 after an unknown option or a pool
// endpoint whose port is not a port).
bool parse_options(int argc, char** argv, Settings& settings, int& exit_code);

// The ten-line usage text on standard output, with program as the invocation name.
void print_usage(const char* program);

// Splits at the last colon; without one the whole text is the host and the port is 3333.
// False, with host and port untouched, when the text after the colon is not a whole decimal
// number from 1 to 65535.
bool split_endpoint(const std::string& endpoint, std::string& host, uint16_t& port);

// Mining needs somewhere to pay; a benchmark does not. Writes the message to standard
// error and returns false when an address is required and missing.
bool require_payout_address(const Settings& settings);

// The given worker name, or when it is empty the host name ("rig" if that cannot be read).
std::string default_worker_name(const std::string& worker);

}  // namespace tovren::qel
