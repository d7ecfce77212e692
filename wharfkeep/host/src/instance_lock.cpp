#include "wharfkeep/host/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace wharfkeep::host {
namespace {

std::filesystem::path LockPath(const std::filesystem::path& folder) {
    return folder / kInstanceLockFileName;
}

void WritePid(int fd) {
    std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0) {
        return;
    }
    ssize_t ignored = ::pwrite(fd, text.data(), text.size(), 0);
    (void)ignored;
}

}  // namespace

std::optional<InstanceLock> InstanceLock::TryAcquire(const std::filesystem::path& folder) {
    platform::UniqueFd file(::open(LockPath(folder).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!file || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        return std::nullopt;
    }
    WritePid(file.get());
    return InstanceLock(std::move(file));
}

std::optional<pid_t> InstanceLock::Holder(const std::filesystem::path& folder) {
    platform::UniqueFd file(::open(LockPath(folder).c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        return std::nullopt;
    }
    // A shared lock is granted only while nobody holds the exclusive one.
    if (::flock(file.get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(file.get(), LOCK_UN);
        return std::nullopt;
    }
    char buffer[32] = {};
    ssize_t got = ::pread(file.get(), buffer, sizeof buffer - 1, 0);
    pid_t pid = got > 0 ? static_cast<pid_t>(std::strtol(buffer, nullptr, 10)) : 0;
    return pid;
}

}  // namespace wharfkeep::host
