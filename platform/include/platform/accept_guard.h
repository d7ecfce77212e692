#pragma once
// Keeps a libevent listener from spinning when descriptors run out and from taking the
// last ones, and lets the loop serve its connections between bursts of new ones.

#include <atomic>
#include <cstdint>

struct event;
struct event_base;
struct evconnlistener;

namespace platform {

class AcceptGuard {
public:
    // `server` names the server in the warning about pausing.
    explicit AcceptGuard(const char* server) : server_(server) {}
    ~AcceptGuard() { detach(); }
    AcceptGuard(const AcceptGuard&) = delete;
    AcceptGuard& operator=(const AcceptGuard&) = delete;

    // Watches `listener` on `base` (loop thread); `descriptor_limit` is the soft limit in
    // force (0: not known). False when the resume timer cannot be made.
    bool attach(event_base* base, evconnlistener* listener, std::uint64_t descriptor_limit);
    // Before the listener is freed.
    void detach();

    // From the listener's error callback: pauses accepting when the process has run out of
    // descriptors; other accept errors (a connection gone before it was taken) are ignored.
    void accept_failed(int error);
    // After each accepted descriptor `fd`. Pauses accepting when `fd` leaves fewer than
    // kDescriptorsKeptFree, and after a burst of accepts yields to the loop for one pass.
    void accepted(int fd);

    // Times accepting paused for lack of descriptors (any thread).
    std::uint64_t pauses() const { return pauses_.load(); }

private:
    static void on_resume(int fd, short events, void* self);
    void pause_for_descriptors(int error);

    const char* server_;
    event* resume_ = nullptr;
    evconnlistener* listener_ = nullptr;
    std::uint64_t descriptor_limit_ = 0;
    std::uint64_t last_warning_ms_ = 0;
    std::atomic<std::uint64_t> pauses_{0};
    unsigned int accepts_this_pass_ = 0;
    bool short_of_descriptors_ = false;  // paused for descriptors, not to yield
};

}  // namespace platform
