#pragma once
// The temporary file a job writes beside its source, and the replacement of the source by
// it. The source is only ever replaced by one rename(2) of a flushed file, so at every
// moment the source path holds either the original file or the complete new one.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/file_identity.h"

namespace moovwright {

// Longest path, terminator included, that the job accepts for the source and every name
// derived from it.
inline constexpr size_t kMaxPathBytes = 4096;

// Test hook: asked before each step of the replacement ("fsync", "rename"); returning true
// makes that step fail as if the system had refused it.
using ReplaceFaultHook = std::function<bool(std::string_view step)>;

class JobRecord;

// An open file descriptor, closed with its owner (-1: none).
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded.
    bool close();

private:
    int fd_;
};

// Closes the files that replacements displaced, on a thread of its own. The last close of
// a large file makes the system drop its cached pages and free its blocks (with a discard
// of each on file systems mounted so), which takes a good part of a second per GiB; the
// rename itself then only unlinks, and the job's caller goes on meanwhile. The displaced
// file is no longer reachable by any name, so when it is freed changes nothing a reader or
// a crash could see. One file at a time: handing over the next waits for the one before.
// Release and Wait may be called from any thread.
class DisplacedFileRelease {
public:
    DisplacedFileRelease() = default;
    DisplacedFileRelease(const DisplacedFileRelease&) = delete;
    DisplacedFileRelease& operator=(const DisplacedFileRelease&) = delete;
    ~DisplacedFileRelease() { Wait(); }

    // Closes `file` in the background (here, when no thread can be started).
    void Release(FileDescriptor file);
    // Returns once every file handed over is closed.
    void Wait();

private:
    std::mutex mutex_;
    std::thread closer_;  // guarded by mutex_
};

// What says that the source is still the file the job read.
using SourceIdentity = platform::FileIdentity;

// Creates the first free "<source>_<n>.tmp" (n = 0, 1, ...) exclusively, so that two jobs
// never share one, and returns its name in `temp_path`; `record` (may be null) is told the
// name before the file is created and its identity after. Fails with 1 when the name would
// not fit kMaxPathBytes or no file can be created.
uint32_t claim_temporary_file(const std::string& source_path, std::string& temp_path,
                              JobRecord* record = nullptr);

// Gives the verified temporary file the source's permissions (and owner, where allowed),
// flushes it to disk and renames it over the source, then flushes the directory entry.
// Right before the rename the source must still be `read_source` (the file the job
// read); a source written to, replaced or touched meanwhile is left as it is now. On
// failure the source is untouched and the temporary file is left for the caller to
// remove; the result is 1. `displaced` (may be null) receives the replaced file still open,
// for the caller to close when it suits it (see DisplacedFileRelease); without it the
// rename frees the old file before it returns.
uint32_t replace_with_temporary(const std::string& source_path, const std::string& temp_path,
                                const SourceIdentity& read_source,
                                const ReplaceFaultHook& fault = {},
                                FileDescriptor* displaced = nullptr);

// Removes the temporary file; 1 when it exists and cannot be removed.
uint32_t remove_temporary(const std::string& temp_path);

}  // namespace moovwright
