#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "task_queue.h"

namespace catalogd {
namespace {

using namespace std::chrono_literals;

// A stand-in for the event loop: a thread that drains the queue whenever it is woken.
class FakeLoop {
public:
    FakeLoop() : queue_([this] { woken_.store(true); }) {}
    ~FakeLoop() { stop(); }

    void run() {
        thread_ = std::thread([this] {
            while (!stopping_.load()) {
                if (woken_.exchange(false)) {
                    queue_.drain();
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    TaskQueue& queue() { return queue_; }

private:
    std::atomic<bool> woken_{false};
    std::atomic<bool> stopping_{false};
    TaskQueue queue_;
    std::thread thread_;
};

TEST(TaskQueue, RunsTasksInOrderAndReleasesEachCaller) {
    FakeLoop loop;
    loop.run();
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(loop.queue().run_and_wait([&order, i] { order.push_back(i); }));
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    // A task that throws still releases its caller.
    EXPECT_TRUE(loop.queue().run_and_wait([] { throw std::runtime_error("task fault"); }));
}

TEST(TaskQueue, DiscardedTasksReleaseTheirCallers) {
    FakeLoop loop;  // never drains
    std::atomic<int> ran{0};
    std::atomic<int> released{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            if (!loop.queue().run_and_wait([&] { ++ran; })) {
                ++released;
            }
        });
    }
    std::this_thread::sleep_for(20ms);
    loop.queue().discard_all();
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(released.load(), 4);
    // Once closed, nobody waits at all.
    EXPECT_FALSE(loop.queue().run_and_wait([&] { ++ran; }));
    EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace catalogd
