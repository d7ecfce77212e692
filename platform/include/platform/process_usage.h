#pragma once
// What a process uses, from /proc: for benchmarks and tests that watch a server.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// CPU time (user + system) the process has used, in seconds; 0 when it cannot be read.
double process_cpu_seconds(pid_t pid);
// CPU time the whole machine has spent working (all CPUs, including interrupt and network
// work that no process is charged with), in seconds; 0 when it cannot be read.
double machine_busy_cpu_seconds();
// Resident memory (VmRSS) in bytes; 0 when it cannot be read.
std::uint64_t process_resident_bytes(pid_t pid);
// Open file descriptors; 0 when they cannot be listed.
std::size_t process_open_descriptors(pid_t pid);
// Bytes the process has had read from storage (page-cache hits not counted); 0 when it
// cannot be read.
std::uint64_t process_disk_read_bytes(pid_t pid);
// The process followed by its direct children (a server's master and its workers).
std::vector<pid_t> process_and_children(pid_t pid);

}  // namespace platform
