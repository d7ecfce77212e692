#include "platform/unique_fd.h"

#include <unistd.h>

namespace platform {

void UniqueFd::reset(int fd) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) {
        // Linux releases the descriptor even when close reports EINTR, so no retry.
        ::close(old);
    }
}

}  // namespace platform
