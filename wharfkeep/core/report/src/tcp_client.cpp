#include "tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wharfkeep {
namespace {

using Clock = std::chrono::steady_clock;

// Waits in short slices so that a cancel flag is seen promptly.
constexpr std::chrono::milliseconds kSlice{50};

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Polls `fd` for `events` until ready (true), the deadline passes or cancel (false).
bool wait_for(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancelled(cancel)) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(std::min(left, kSlice).count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

std::optional<sockaddr_in> resolve_last(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &answer) != 0 || !answer) {
        return std::nullopt;
    }
    sockaddr_in address{};
    for (addrinfo* entry = answer; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(&address, entry->ai_addr, sizeof address);
        }
    }
    ::freeaddrinfo(answer);
    if (address.sin_family != AF_INET) {
        return std::nullopt;
    }
    address.sin_port = htons(port);
    return address;
}

}  // namespace

std::optional<TcpClient> TcpClient::connect(const std::string& host, std::uint16_t port,
                                            std::chrono::milliseconds timeout,
                                            const std::atomic<bool>* cancel) {
    const auto address = resolve_last(host, port);
    if (!address || cancelled(cancel)) {
        return std::nullopt;
    }
    TcpClient client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!client.socket_) {
        return std::nullopt;
    }
    if (::connect(client.socket_.get(), reinterpret_cast<const sockaddr*>(&*address),
                  sizeof *address) == 0) {
        return client;
    }
    if (errno != EINPROGRESS ||
        !wait_for(client.socket_.get(), POLLOUT, Clock::now() + timeout, cancel)) {
        return std::nullopt;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(client.socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        error != 0) {
        return std::nullopt;
    }
    return client;
}

bool TcpClient::send_all(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout,
                         const std::atomic<bool>* cancel) {
    const auto deadline = Clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!wait_for(socket_.get(), POLLOUT, deadline, cancel)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::size_t TcpClient::receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout,
                               const std::atomic<bool>* cancel) {
    const auto deadline = Clock::now() + timeout;
    std::size_t received = 0;
    while (received < buffer.size()) {
        const ssize_t n =
            ::recv(socket_.get(), buffer.data() + received, buffer.size() - received, 0);
        if (n > 0) {
            received += std::size_t(n);
        } else if (n == 0) {
            break;  // the peer closed
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (!wait_for(socket_.get(), POLLIN, deadline, cancel)) {
                break;
            }
        } else {
            break;
        }
    }
    return received;
}

std::size_t TcpClient::receive_once(std::span<std::uint8_t> buffer,
                                    std::chrono::milliseconds timeout,
                                    const std::atomic<bool>* cancel) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const ssize_t n = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (n >= 0) {
            return std::size_t(n);
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
            !wait_for(socket_.get(), POLLIN, deadline, cancel)) {
            return 0;
        }
    }
}

}  // namespace wharfkeep
