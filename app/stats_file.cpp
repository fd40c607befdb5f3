#include "stats_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "options.h"

namespace tovren::qel {

namespace {

// JSON has no NaN or infinity; a rate is neither, but the file must stay JSON regardless.
std::string one_decimal(double value) {
    if (!std::isfinite(value)) {
        value = 0.0;
    }
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.1f", value);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf) {
        return buf;
    }
    // Only rates beyond 10^60 H/s need more room than the buffer.
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.1f", value);
    text.resize(static_cast<size_t>(n));
    return text;
}

// The file's whole line, or false; a signal that interrupts a write does not cut the line.
bool write_all(int fd, const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string stats_line(double hashrate_hs, const std::vector<double>& gpu_rates, uint64_t accepted,
                       uint64_t rejected, uint64_t uptime_s) {
    std::string gpus;
    for (size_t g = 0; g < gpu_rates.size(); ++g) {
        if (g > 0) {
            gpus += ',';
        }
        gpus += one_decimal(gpu_rates[g]);
    }
    return "{\"hashrate_hs\":" + one_decimal(hashrate_hs) + ",\"gpus\":[" + gpus +
           "],\"accepted\":" + std::to_string(accepted) +
           ",\"rejected\":" + std::to_string(rejected) +
           ",\"uptime_s\":" + std::to_string(uptime_s) + ",\"version\":\"" + kVersion +
           "\",\"algo\":\"argon2id-qel\"}\n";
}

bool write_stats_file(const std::string& path, const std::string& line) {
    const std::string tmp = path + ".tmp";
    // The folder is often shared and the miner often root: whatever another user left at the
    // temporary name goes (a symlink without its target), and the open takes only a file it
    // creates itself, so it neither writes through a link nor waits on a FIFO or a device.
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    const bool written = write_all(fd, line);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        // A full disk must not replace a good file with a cut one.
        ::unlink(tmp.c_str());
        return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace tovren::qel
