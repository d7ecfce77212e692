#include "platform/disk_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <fstream>
#include <set>
#include <sstream>

namespace platform {
namespace {

bool is_octal_digit(char c) {
    return c >= '0' && c <= '7';
}

// A source naming a block device. Containers often mount a disk without its device node:
// a source under /dev/ that is missing then stands for the device of the mounted tree.
std::optional<std::uint64_t> block_device_of(const std::string& source,
                                             const std::string& mount_point) {
    struct stat status {};
    if (source.empty() || source.front() != '/') {
        return std::nullopt;
    }
    if (::stat(source.c_str(), &status) == 0) {
        if (!S_ISBLK(status.st_mode)) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(status.st_rdev);
    }
    if (source.rfind("/dev/", 0) != 0 || ::stat(mount_point.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_dev);
}

std::optional<DiskSpace> space_of(const std::string& mount_point) {
    struct statvfs figures {};
    if (::statvfs(mount_point.c_str(), &figures) != 0) {
        return std::nullopt;
    }
    const std::uint64_t unit = figures.f_frsize != 0 ? figures.f_frsize : figures.f_bsize;
    return DiskSpace{static_cast<std::uint64_t>(figures.f_bavail) * unit,
                     static_cast<std::uint64_t>(figures.f_blocks) * unit};
}

std::string read_mount_table() {
    std::ifstream in("/proc/self/mounts");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string decode_mount_field(std::string_view field) {
    std::string decoded;
    decoded.reserve(field.size());
    for (std::size_t at = 0; at < field.size(); ++at) {
        if (field[at] == '\\' && at + 3 < field.size() && is_octal_digit(field[at + 1]) &&
            is_octal_digit(field[at + 2]) && is_octal_digit(field[at + 3])) {
            int value =
                (field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 + (field[at + 3] - '0');
            decoded.push_back(static_cast<char>(value & 0xFF));
            at += 3;
        } else {
            decoded.push_back(field[at]);
        }
    }
    return decoded;
}

DiskSpace sum_disk_space(std::string_view mount_table, const DeviceProbe& probe,
                         const SpaceReader& reader) {
    DiskSpace sum;
    std::set<std::uint64_t> counted;
    std::istringstream lines{std::string(mount_table)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string source, mount_point;
        if (!(fields >> source >> mount_point)) {
            continue;
        }
        const std::string point = decode_mount_field(mount_point);
        std::optional<std::uint64_t> device = probe(decode_mount_field(source), point);
        if (!device || counted.count(*device) != 0) {
            continue;
        }
        std::optional<DiskSpace> space = reader(point);
        if (!space) {
            continue;  // tried again at a later mount of the same device
        }
        counted.insert(*device);
        sum.free_bytes += space->free_bytes;
        sum.total_bytes += space->total_bytes;
    }
    return sum;
}

DiskSpace local_disk_space() {
    return sum_disk_space(read_mount_table(), block_device_of, space_of);
}

}  // namespace platform
