#pragma once
// Runs host requests on the loop thread: a host thread appends a task, wakes the loop
// through a libevent event and blocks until the loop thread has run it.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

struct event;
struct event_base;

namespace peerfeed {

class call_queue {
public:
    explicit call_queue(event_base* base);
    ~call_queue();
    call_queue(const call_queue&) = delete;
    call_queue& operator=(const call_queue&) = delete;

    // Host thread: runs `task` on the loop thread and waits for it. False when the queue
    // was closed before the task ran (the task is then dropped unrun).
    bool run(std::function<void()> task);

    // Loop thread, at teardown: drops the queued tasks, releases their waiters and refuses
    // later ones. Frees the wake event, so it must run before the event base goes.
    void close();

private:
    struct task;
    static void on_wake(int fd, short events, void* self);
    void drain();

    std::mutex mutex_;
    std::deque<std::shared_ptr<task>> tasks_;
    event* wake_ = nullptr;
    bool closed_ = false;
};

}  // namespace peerfeed
