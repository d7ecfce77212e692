#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"

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
    std::fprintf(stderr,
                 "%s: the descriptor limit (%llu) is below what %llu connections need; new "
                 "connections will wait while descriptors are short\n",
                 server, static_cast<unsigned long long>(limit),
                 static_cast<unsigned long long>(connections));
}

void say_accept_paused(const char* server, int error, std::uint64_t& last_said_ms) {
    const std::uint64_t now = monotonic_ms();
    if (last_said_ms != 0 && now - last_said_ms < kAcceptPausedInterval) {
        return;
    }
    last_said_ms = now;
    std::fprintf(stderr,
                 "%s: cannot accept connections (%s); pausing new connections until "
                 "descriptors free up\n",
                 server, std::strerror(error));
}

}  // namespace platform
