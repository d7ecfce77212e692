#include "lingering_close.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace wharfkeep::control {

struct LingeringClose::Socket {
    LingeringClose* owner = nullptr;
    int fd = -1;
    event* readable = nullptr;
    std::size_t dropped = 0;
};

LingeringClose::LingeringClose(event_base* base) : base_(base) {}

LingeringClose::~LingeringClose() {
    while (!sockets_.empty()) {
        Close(sockets_.begin()->first);
    }
}

void LingeringClose::Linger(int fd) {
    if (fd < 0 || sockets_.size() >= kMaxSockets) {
        return;  // the owner's close is the end
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return;
    }
    // The answer is out; the client learns that it is all of it.
    ::shutdown(copy, SHUT_WR);
    auto socket = std::make_unique<Socket>();
    socket->owner = this;
    socket->fd = copy;
    socket->readable = event_new(base_, copy, EV_READ | EV_PERSIST, OnReadable, socket.get());
    const timeval limit{kSeconds, 0};
    if (socket->readable == nullptr || event_add(socket->readable, &limit) != 0) {
        if (socket->readable != nullptr) {
            event_free(socket->readable);
        }
        ::close(copy);
        return;
    }
    Socket* key = socket.get();
    sockets_.emplace(key, std::move(socket));
}

// Reads and drops what the client sends until it closes, the time is up, or it has sent too
// much; then the socket closes.
void LingeringClose::OnReadable(evutil_socket_t fd, short what, void* arg) {
    auto* socket = static_cast<Socket*>(arg);
    if ((what & EV_TIMEOUT) != 0) {
        socket->owner->Close(socket);
        return;
    }
    std::array<char, 16 * 1024> scratch;
    const ssize_t got = ::recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got > 0) {
        socket->dropped += static_cast<std::size_t>(got);
        if (socket->dropped <= kMaxDroppedBytes) {
            return;
        }
    }
    socket->owner->Close(socket);
}

void LingeringClose::Close(Socket* socket) {
    event_free(socket->readable);
    ::close(socket->fd);
    sockets_.erase(socket);
}

}  // namespace wharfkeep::control
