#pragma once
// Free and total space of the machine's local disks: every file system mounted from a block
// device (as listed in /proc/self/mounts), each device counted once however often it is
// mounted. Pseudo and network file systems (proc, tmpfs, overlay, nfs...) have no block
// device and are left out.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct DiskSpace {
    std::uint64_t free_bytes = 0;   // bytes available to this (unprivileged) process
    std::uint64_t total_bytes = 0;  // size of the file systems
};

// Sums over the local disks; a disk whose figures cannot be read is left out.
DiskSpace local_disk_space();

// ---- The parts of local_disk_space(), for tests ----

// The space of the file system mounted at a path; nothing when it cannot be read.
using SpaceReader = std::function<std::optional<DiskSpace>(const std::string& mount_point)>;
// The device behind a mount's source ("/dev/sda1" mounted at a point); nothing when the
// source is no block device.
using DeviceProbe = std::function<std::optional<std::uint64_t>(const std::string& source,
                                                               const std::string& mount_point)>;

// Walks a mount table in the format of /proc/self/mounts ("source point type options 0 0",
// spaces in fields written as \040) and sums the space of each block device once.
DiskSpace sum_disk_space(std::string_view mount_table, const DeviceProbe& probe,
                         const SpaceReader& reader);

// A field of the mount table with its octal escapes (\040, \011, \012, \134) decoded.
std::string decode_mount_field(std::string_view field);

}  // namespace platform
