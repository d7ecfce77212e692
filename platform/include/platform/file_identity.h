#pragma once
// What says that a file is still the one seen before: the same file (device and inode), the
// same size, and neither its data nor its status changed since (modification and change
// times to the nanosecond).

#include <sys/stat.h>

#include <optional>
#include <string>

namespace platform {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileIdentity& other) const;
};

// Nothing when the file cannot be examined. Links are followed.
std::optional<FileIdentity> identify_file(const std::string& path);

}  // namespace platform
