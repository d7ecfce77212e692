#pragma once
// A memory-limited control group made for one measured run and removed after it, so that a
// server without a page budget of its own (nginx and the system's page cache) gets the same
// memory as the upload server. Uses the memory controller of cgroup v2 where it is enabled,
// else that of cgroup v1. Root only.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace bench {

class memory_cgroup {
public:
    // A new group whose members may use `limit` bytes together (page cache included). Null,
    // with `why_not` filled, when no memory controller can be used here.
    static std::unique_ptr<memory_cgroup> create(std::uint64_t limit, std::string& why_not);

    ~memory_cgroup();
    memory_cgroup(const memory_cgroup&) = delete;
    memory_cgroup& operator=(const memory_cgroup&) = delete;

    // Moves the calling process into the group; for a child between fork() and exec(), it
    // only uses open(), write() and close(). False when the kernel refused.
    bool enter() const;
    // The most memory the members used together so far, in bytes; 0 when unknown.
    std::uint64_t peak() const;
    std::uint64_t limit() const { return limit_; }
    // "cgroup v2" or "cgroup v1", for the report.
    const char* version() const { return v2_ ? "cgroup v2" : "cgroup v1"; }

private:
    memory_cgroup(std::filesystem::path path, bool v2, std::uint64_t limit);

    std::filesystem::path path_;
    std::string procs_;  // path of cgroup.procs, made before any fork
    bool v2_;
    std::uint64_t limit_;
};

}  // namespace bench
