#pragma once
// Connections accepted while the handshake wait is full. Each holds only its descriptor
// and one read event until it sends something; then it is handed back to become a
// session. Unlike the kernel's backlog, which hands out connections in the order they
// came, the room lets out whoever speaks first: a peer that sends its HANDSHAKE gets in
// at once however many silent connections came before it. Loop thread only.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>

struct event;
struct event_base;

namespace peerfeed {

class waiting_room {
public:
    // Called with a connection that has sent something (or hung up): the caller owns the
    // descriptor from then on.
    using speaks_function = std::function<void(int fd, const sockaddr_in& peer)>;

    waiting_room(event_base* base, speaks_function speaks);
    ~waiting_room();
    waiting_room(const waiting_room&) = delete;
    waiting_room& operator=(const waiting_room&) = delete;

    // Takes `fd` in. Past `capacity` the connection that has waited longest is closed;
    // one that has waited `deadline` is closed too.
    void admit(int fd, const sockaddr_in& peer, std::size_t capacity,
               std::chrono::milliseconds deadline);
    std::size_t size() const { return waiting_.size(); }

private:
    struct waiter {
        int fd = -1;
        sockaddr_in peer{};
        std::uint64_t leaves_at_ms = 0;
        event* readable = nullptr;
        waiting_room* room = nullptr;
        std::list<waiter>::iterator position;
    };

    static void on_readable(int fd, short events, void* waiting);
    static void on_deadline(int fd, short events, void* self);
    // Frees the waiter's event and removes it; closes its descriptor when `close_it`.
    void remove(std::list<waiter>::iterator which, bool close_it);
    void schedule_deadline();

    event_base* base_;
    speaks_function speaks_;
    event* deadline_timer_ = nullptr;
    std::list<waiter> waiting_;  // oldest first
};

}  // namespace peerfeed
