// The JSON statistics file that rig-monitoring tools (HiveOS among them) read while the miner
// keeps rewriting it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovren::qel {

// The one line of JSON, newline included, whole however many GPUs or digits it holds.
std::string stats_line(double hashrate_hs, const std::vector<double>& gpu_rates, uint64_t accepted,
                       uint64_t rejected, uint64_t uptime_s);

// Writes line to path + ".tmp" and renames it over path, so that a reader sees either the
// previous file or the new one, whole. The temporary file is always one this call has just
// created: whatever stood at its name is removed first, never followed. When the file cannot
// be created or written in full, the previous file stays and false is returned; the caller
// says nothing and tries again later.
bool write_stats_file(const std::string& path, const std::string& line);

}  // namespace tovren::qel
