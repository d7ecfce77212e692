#include "memory_cgroup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace bench {
namespace {

namespace fs = std::filesystem;

struct mount_entry {
    fs::path point;
    std::string type;
    std::string options;  // the file system's own options
};

std::vector<mount_entry> cgroup_mounts() {
    std::vector<mount_entry> mounts;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, word;
        fields >> id >> parent >> device >> root >> point;
        while (fields >> word && word != "-") {
        }
        mount_entry entry;
        std::string source;
        fields >> entry.type >> source >> entry.options;
        if (entry.type == "cgroup" || entry.type == "cgroup2") {
            entry.point = point;
            mounts.push_back(entry);
        }
    }
    return mounts;
}

std::string read_text(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool has_word(const std::string& text, const std::string& word, char separator) {
    std::istringstream words(text);
    std::string each;
    while (std::getline(words, each, separator)) {
        while (!each.empty() && (each.back() == '\n' || each.back() == ' ')) {
            each.pop_back();
        }
        if (each == word) {
            return true;
        }
    }
    return false;
}

bool write_text(const fs::path& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

// The path of this process's own group in the v2 hierarchy ("" key) or in the v1
// hierarchy of `controller`, from /proc/self/cgroup.
std::string own_group(const std::string& controller) {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        if (controller.empty() ? controllers.empty() : has_word(controllers, controller, ',')) {
            return line.substr(second + 1);
        }
    }
    return "/";
}

// Where a new memory-controlled group can be made: inside this process's own group, so that
// whatever limits the machine already puts on this process keep applying. In the v2
// hierarchy when its memory controller is on (the own group must be able to hand it to
// children), else in the v1 memory hierarchy.
std::optional<std::pair<fs::path, bool>> memory_hierarchy(std::string& why_not) {
    std::vector<mount_entry> mounts = cgroup_mounts();
    for (const mount_entry& mount : mounts) {
        if (mount.type == "cgroup2" &&
            has_word(read_text(mount.point / "cgroup.controllers"), "memory", ' ')) {
            const fs::path parent = mount.point / fs::path(own_group("")).relative_path();
            if (!has_word(read_text(parent / "cgroup.subtree_control"), "memory", ' ') &&
                !write_text(parent / "cgroup.subtree_control", "+memory")) {
                why_not = "cannot enable the memory controller below " + parent.string();
                return std::nullopt;
            }
            return std::pair{parent, true};
        }
    }
    for (const mount_entry& mount : mounts) {
        if (mount.type == "cgroup" && has_word(mount.options, "memory", ',')) {
            return std::pair{mount.point / fs::path(own_group("memory")).relative_path(), false};
        }
    }
    why_not = "no cgroup hierarchy with the memory controller is mounted";
    return std::nullopt;
}

}  // namespace

std::unique_ptr<memory_cgroup> memory_cgroup::create(std::uint64_t limit, std::string& why_not) {
    if (::geteuid() != 0) {
        why_not = "making a control group needs root";
        return nullptr;
    }
    std::optional<std::pair<fs::path, bool>> hierarchy = memory_hierarchy(why_not);
    if (!hierarchy) {
        return nullptr;
    }
    static int made = 0;
    const fs::path path = hierarchy->first /
                          ("wk-bench-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
    std::error_code error;
    if (!fs::create_directory(path, error)) {
        why_not = "cannot make " + path.string() + ": " + error.message();
        return nullptr;
    }
    // Made first, so that the destructor removes the folder whatever fails next.
    std::unique_ptr<memory_cgroup> group(new memory_cgroup(path, hierarchy->second, limit));
    const bool v2 = hierarchy->second;
    const std::string bytes = std::to_string(limit);
    if (!write_text(path / (v2 ? "memory.max" : "memory.limit_in_bytes"), bytes)) {
        why_not = "cannot set the memory limit of " + path.string();
        return nullptr;
    }
    // Without swap in the limit, memory beyond it could move to swap instead of being
    // reclaimed; the files exist only where swap is accounted.
    if (v2 && fs::exists(path / "memory.swap.max")) {
        write_text(path / "memory.swap.max", "0");
    } else if (!v2 && fs::exists(path / "memory.memsw.limit_in_bytes")) {
        write_text(path / "memory.memsw.limit_in_bytes", bytes);
    }
    return group;
}

memory_cgroup::memory_cgroup(fs::path path, bool v2, std::uint64_t limit)
    : path_(std::move(path)), procs_((path_ / "cgroup.procs").string()), v2_(v2), limit_(limit) {}

memory_cgroup::~memory_cgroup() {
    // The members have ended by now, but the kernel may still be taking the last one out.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::rmdir(path_.c_str()) == 0 || errno == ENOENT) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool memory_cgroup::enter() const {
    const int procs = ::open(procs_.c_str(), O_WRONLY | O_CLOEXEC);
    if (procs < 0) {
        return false;
    }
    // "0" is the writing process itself.
    const bool moved = ::write(procs, "0", 1) == 1;
    ::close(procs);
    return moved;
}

std::uint64_t memory_cgroup::peak() const {
    std::ifstream file(path_ / (v2_ ? "memory.peak" : "memory.max_usage_in_bytes"));
    std::uint64_t bytes = 0;
    file >> bytes;
    return bytes;
}

}  // namespace bench
