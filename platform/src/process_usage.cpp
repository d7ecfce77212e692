#include "platform/process_usage.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace platform {

double process_cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 > line.size()) {
        return 0;
    }
    // Fields after the name start at the third; utime and stime are the 14th and 15th.
    std::istringstream fields(line.substr(name_end + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) {
            ticks += std::stoull(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double machine_busy_cpu_seconds() {
    std::ifstream stat("/proc/stat");
    std::string label;
    stat >> label;
    if (label != "cpu") {
        return 0;
    }
    // user nice system idle iowait irq softirq steal: all but idle and iowait are work.
    unsigned long long ticks = 0;
    unsigned long long value = 0;
    for (int column = 0; column < 8 && stat >> value; ++column) {
        if (column != 3 && column != 4) {
            ticks += value;
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::uint64_t process_resident_bytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6)) * 1024;
        }
    }
    return 0;
}

std::size_t process_open_descriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator listing("/proc/" + std::to_string(pid) + "/fd", error);
    if (error) {
        return 0;
    }
    return static_cast<std::size_t>(std::distance(listing, std::filesystem::directory_iterator()));
}

std::uint64_t process_disk_read_bytes(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    for (std::string line; std::getline(io, line);) {
        if (line.rfind("read_bytes:", 0) == 0) {
            return std::stoull(line.substr(11));
        }
    }
    return 0;
}

std::vector<pid_t> process_and_children(pid_t pid) {
    std::vector<pid_t> all{pid};
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    std::ifstream children(task + "/children");
    for (pid_t child = 0; children >> child;) {
        all.push_back(child);
    }
    return all;
}

}  // namespace platform
