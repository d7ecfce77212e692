#pragma once
// This process's own figures for the standard process_* metrics, read from /proc/self.

#include <optional>

namespace wharfkeep::control {

struct ProcessStats {
    double cpu_seconds = 0;         // user and system time
    double resident_bytes = 0;      // resident set size
    double open_fds = 0;            // entries of /proc/self/fd
    double max_fds = 0;             // the soft limit on descriptors
    double start_time_seconds = 0;  // Unix time the process started
};

// Nothing when /proc is not mounted or its files cannot be parsed.
std::optional<ProcessStats> ReadProcessStats();

}  // namespace wharfkeep::control
