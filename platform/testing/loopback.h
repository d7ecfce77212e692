#pragma once
// TCP on 127.0.0.1 for the tests: a listener on a port the kernel picks, a client connected
// to a port, and a connected pair. Every descriptor is owned; a failed step gives an
// invalid one, which the test then asserts on.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/unique_fd.h"

namespace platform::testing {

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Listens on 127.0.0.1 at a port of the kernel's choice, written to `port`.
inline UniqueFd ListenLoopback(std::uint16_t& port, int backlog = 16) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    auto* as_socket = reinterpret_cast<sockaddr*>(&address);
    if (!listener || ::bind(listener.get(), as_socket, length) != 0 ||
        ::listen(listener.get(), backlog) != 0 ||
        ::getsockname(listener.get(), as_socket, &length) != 0) {
        return {};
    }
    port = ntohs(address.sin_port);
    return listener;
}

// A blocking client connected to 127.0.0.1:`port`. `receive_buffer` > 0 shrinks the
// socket's receive buffer before it connects.
inline UniqueFd ConnectLoopback(std::uint16_t port, int receive_buffer = 0) {
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client) {
        return {};
    }
    if (receive_buffer > 0) {
        ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return client;
}

// Both ends of one loopback connection; `accept_flags` go to accept4 for the accepted end
// (SOCK_NONBLOCK, ...).
struct LoopbackPair {
    UniqueFd connected;
    UniqueFd accepted;
};

inline LoopbackPair ConnectLoopbackPair(int accept_flags = 0) {
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port, 1);
    if (!listener) {
        return {};
    }
    LoopbackPair pair;
    pair.connected = ConnectLoopback(port);
    if (pair.connected) {
        pair.accepted.reset(
            ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | accept_flags));
    }
    return pair;
}

}  // namespace platform::testing
