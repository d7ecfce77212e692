#pragma once
// Runs host requests on the loop thread: the shared loop-call queue, woken through a
// libevent event of the server's base.

#include <chrono>
#include <functional>

#include "platform/loop_call_queue.h"

struct event;
struct event_base;

namespace peerfeed {

class call_queue {
public:
    explicit call_queue(event_base* base);
    ~call_queue();
    call_queue(const call_queue&) = delete;
    call_queue& operator=(const call_queue&) = delete;

    // Host thread: runs `task` on the loop thread and waits for it. False when the task
    // threw or the queue was closed before it ran (the task is then dropped unrun).
    bool run(std::function<void()> task);
    // Whether the loop answers within `deadline` (LoopCallQueue::probe).
    int probe(std::chrono::milliseconds deadline) { return tasks_.probe(deadline); }

    // Loop thread, at teardown: drops the queued tasks, releases their waiters and refuses
    // later ones. Frees the wake event, so it must run before the event base goes.
    void close();

private:
    static void on_wake(int fd, short events, void* self);

    event* wake_ = nullptr;
    platform::LoopCallQueue tasks_;
};

}  // namespace peerfeed
