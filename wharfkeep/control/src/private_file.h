#pragma once
// The small JSON files of the control interface that hold secrets' hashes (the tokens, the
// users): written whole under a lock file, to a temporary file that replaces the old one
// (mode 0600), and reread by a running instance when their stamp changes.

#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace wharfkeep::control {

// Holds "FILE.lock" exclusively while it lives, so that a command and a running instance
// do not write over each other's change.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& file);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    platform::UniqueFd file_;
};

// Replaces `file` with `text` at once (mode 0600, synced); false with `error` set when it
// cannot, leaving the old file as it was.
bool WritePrivateFile(const std::filesystem::path& file, const std::string& text,
                      std::string& error);

// The inode, size and time of `file`, or "none": a change means it was rewritten.
std::string FileStamp(const std::filesystem::path& file);

}  // namespace wharfkeep::control
