#include "wharfkeep/control/process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace wharfkeep::control {

namespace {

// The system's boot time, Unix seconds: the `btime` line of /proc/stat.
std::optional<double> BootTime() {
    std::ifstream in("/proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("btime ", 0) == 0) {
            return std::stod(line.substr(6));
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<ProcessStats> ReadProcessStats() {
    std::ifstream stat_file("/proc/self/stat");
    std::string stat;
    if (!std::getline(stat_file, stat)) {
        return std::nullopt;
    }
    // The command name in field 2 may hold spaces and parentheses; the fields after it
    // start behind the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // Fields 3..24 in proc(5) numbering; utime is 14, stime 15, starttime 22, rss 24.
    double utime = 0, stime = 0, start_ticks = 0, rss_pages = 0;
    for (int number = 3; number <= 24 && fields >> field; ++number) {
        try {
            if (number == 14)
                utime = std::stod(field);
            if (number == 15)
                stime = std::stod(field);
            if (number == 22)
                start_ticks = std::stod(field);
            if (number == 24)
                rss_pages = std::stod(field);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    std::optional<double> boot = BootTime();
    if (!fields || ticks <= 0 || page <= 0 || !boot) {
        return std::nullopt;
    }
    ProcessStats stats;
    stats.cpu_seconds = (utime + stime) / static_cast<double>(ticks);
    stats.resident_bytes = rss_pages * static_cast<double>(page);
    stats.start_time_seconds = *boot + start_ticks / static_cast<double>(ticks);
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        stats.open_fds += 1;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        stats.max_fds = limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur);
    }
    return stats;
}

}  // namespace wharfkeep::control
