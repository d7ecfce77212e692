#include "platform/descriptor_limit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"

namespace platform {
namespace {

// Listeners, event loop, wake-up pipes, open files, the database and the like.
constexpr std::uint64_t kDescriptorsBesidesConnections = 64;
constexpr std::uint64_t kAcceptPausedInterval = 60 * 1000;

}  // namespace

std::uint64_t raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX
                                           : static_cast<std::uint64_t>(limit.rlim_cur);
}

void warn_if_descriptors_short(const char* server, std::uint64_t connections, std::uint64_t limit) {
    if (connections == 0 || connections + kDescriptorsBesidesConnections <= limit) {
        return;
    }
    log::warning(
        "{}: the descriptor limit ({}) is below what {} connections need; new connections "
        "will wait while descriptors are short",
        server, limit, connections);
}

void say_accept_paused(const char* server, int error, std::uint64_t& last_said_ms) {
    const std::uint64_t now = monotonic_ms();
    if (last_said_ms != 0 && now - last_said_ms < kAcceptPausedInterval) {
        return;
    }
    last_said_ms = now;
    log::warning(
        "{}: cannot accept connections ({}); pausing new connections until descriptors free "
        "up",
        server, std::strerror(error));
}

bool descriptor_reserve_reached(int newest, std::uint64_t limit) {
    if (newest < 0) {
        return true;
    }
    return limit != 0 && static_cast<std::uint64_t>(newest) + kDescriptorsKeptFree >= limit;
}

int lowest_free_descriptor() {
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe >= 0) {
        ::close(probe);
    }
    return probe;
}

}  // namespace platform
