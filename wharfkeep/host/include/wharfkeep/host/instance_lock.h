#pragma once
// One running instance per application-data folder.
//
// The instance that serves (wharfkeepd serve, the window program, or any wharfkeepd command
// that changes state) holds an exclusive flock(2) on "Wharfkeep.lock" in the application-data
// folder for as long as it runs, with its process id written into the file. The kernel drops
// the lock when the process ends, however it ends, so a crash never leaves a stale lock.
// The window program additionally listens on a QLocalServer named after the application
// title to bring its window forward; the lock file is what both programs agree on.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <utility>

#include "platform/unique_fd.h"

namespace wharfkeep::host {

inline constexpr const char* kInstanceLockFileName = "Wharfkeep.lock";

class InstanceLock {
public:
    // Takes the lock of `folder` without waiting; nothing when another process holds it or
    // the lock file cannot be created.
    static std::optional<InstanceLock> TryAcquire(const std::filesystem::path& folder);
    // The process id recorded by the holder of the lock of `folder`, or nothing when no
    // process holds it.
    static std::optional<pid_t> Holder(const std::filesystem::path& folder);

    // Closing the descriptor releases the lock; the file stays for the next instance.
    InstanceLock(InstanceLock&&) noexcept = default;
    InstanceLock& operator=(InstanceLock&&) noexcept = default;

private:
    explicit InstanceLock(platform::UniqueFd file) : file_(std::move(file)) {}
    platform::UniqueFd file_;
};

}  // namespace wharfkeep::host
