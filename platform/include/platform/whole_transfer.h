#pragma once
// Moving a whole length through read(2) or write(2), which may move part of it at a time.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace platform {

// Calls `step(done)`, one read or write of what is left after the first `done` bytes,
// until `size` bytes have moved; a step interrupted by a signal is made again. False when a
// step fails or moves nothing (the end of a file that is read).
template <class Step>
bool transfer_whole(std::size_t size, Step step) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t moved = step(done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

}  // namespace platform
