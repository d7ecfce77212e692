#pragma once
// A move-only owner of a file descriptor: closes it when the owner goes, so no path
// through a function can leak it or close it twice. Header-only, so that test helpers
// can use it without linking the platform library.

#include <unistd.h>

#include <utility>

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes `fd` instead. Linux releases the
    // descriptor even when close reports EINTR, so there is no retry.
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) {
            ::close(old);
        }
    }

private:
    int fd_ = -1;
};

}  // namespace platform
