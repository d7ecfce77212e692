#pragma once
// Raw sockets for the servers' tests: reading what a server sends until it closes, for
// clients that misbehave on purpose and for plain requests without a client library.

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace platform::testing {

// Reads until the server closes or `limit` passes without a byte, then closes `fd`.
inline std::string ReadUntilClosed(int fd, std::chrono::seconds limit) {
    timeval wait{static_cast<long>(limit.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::string answer;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return answer;
}

}  // namespace platform::testing
