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
    int fd = ::open(LockPath(folder).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    WritePid(fd);
    return InstanceLock(fd);
}

std::optional<pid_t> InstanceLock::Holder(const std::filesystem::path& folder) {
    int fd = ::open(LockPath(folder).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // A shared lock is granted only while nobody holds the exclusive one.
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return std::nullopt;
    }
    char buffer[32] = {};
    ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    pid_t pid = got > 0 ? static_cast<pid_t>(std::strtol(buffer, nullptr, 10)) : 0;
    return pid;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        // Closing the descriptor releases the lock; the file stays for the next instance.
        ::close(fd_);
    }
}

}  // namespace wharfkeep::host
