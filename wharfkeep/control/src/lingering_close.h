#pragma once
// Closing a socket whose client is still sending makes the kernel answer the unread bytes
// with a reset, and a reset can destroy an answer the client has not read yet: a browser
// that uploads too large a body then shows "connection reset" instead of the refusal. So a
// connection refused before its body was read lingers a moment after its answer: its sending
// side is shut (the client reads the answer, then the end), and what the client still sends
// is read and dropped, for a few seconds and a bounded number of bytes at most.
//
// libevent's own lingering mode reads the whole declared body before it answers, so a client
// that declares a huge body and sends nothing would get no refusal at all; here the refusal
// goes out at once, as other HTTP servers do it.

#include <event2/event.h>

#include <cstddef>
#include <memory>
#include <unordered_map>

namespace wharfkeep::control {

class LingeringClose {
public:
    // How many sockets may linger at once (beyond that they close at once), how long each
    // may, and how many bytes of each are read and dropped.
    static constexpr std::size_t kMaxSockets = 64;
    static constexpr int kSeconds = 2;
    static constexpr std::size_t kMaxDroppedBytes = 1024 * 1024;

    explicit LingeringClose(event_base* base);
    // Closes every socket still lingering.
    ~LingeringClose();
    LingeringClose(const LingeringClose&) = delete;
    LingeringClose& operator=(const LingeringClose&) = delete;

    // Keeps the connection of `fd` open for a moment after its owner closes `fd`, through a
    // duplicate of it. The answer must be written to `fd` already.
    void Linger(int fd);
    std::size_t lingering() const { return sockets_.size(); }

private:
    struct Socket;
    static void OnReadable(evutil_socket_t fd, short what, void* arg);
    void Close(Socket* socket);

    event_base* base_;
    std::unordered_map<Socket*, std::unique_ptr<Socket>> sockets_;
};

}  // namespace wharfkeep::control
