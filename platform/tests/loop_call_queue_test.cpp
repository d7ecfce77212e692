#include "platform/loop_call_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform {
namespace {

using namespace std::chrono_literals;
using Outcome = LoopCallQueue::Outcome;

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
    LoopCallQueue& queue() { return queue_; }

private:
    std::atomic<bool> woken_{false};
    std::atomic<bool> stopping_{false};
    LoopCallQueue queue_;
    std::thread thread_;
};

TEST(LoopCallQueue, RunsTasksInOrderOnTheLoopThreadAndReportsFaults) {
    FakeLoop loop;
    loop.run();
    std::vector<int> order;
    std::thread::id ran_on;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(loop.queue().run_and_wait([&order, &ran_on, i] {
            order.push_back(i);
            ran_on = std::this_thread::get_id();
        }),
                  Outcome::ran);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_NE(ran_on, std::this_thread::get_id());
    // A task that throws still releases its caller, and the loop goes on.
    EXPECT_EQ(loop.queue().run_and_wait([] { throw std::runtime_error("task fault"); }),
              Outcome::failed);
    EXPECT_EQ(loop.queue().run_and_wait([] {}), Outcome::ran);
}

TEST(LoopCallQueue, ClosingReleasesWaitersAndRefusesLaterTasks) {
    FakeLoop loop;  // never drains
    std::atomic<int> ran{0};
    std::atomic<int> dropped{0};
    std::atomic<int> queued{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            ++queued;
            if (loop.queue().run_and_wait([&] { ++ran; }) == Outcome::dropped) {
                ++dropped;
            }
        });
    }
    // Closing at any point must release every caller, queued or not yet queued.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queued.load() < 4 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    loop.queue().close();
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(dropped.load(), 4);
    EXPECT_EQ(loop.queue().run_and_wait([&] { ++ran; }), Outcome::dropped);
    EXPECT_EQ(ran.load(), 0);
}

// A loop that does not turn holds a caller with a deadline no longer than that; the task
// still runs once the loop turns again.
TEST(LoopCallQueue, ADeadlineReleasesTheCallerOfAStuckLoop) {
    FakeLoop loop;  // not draining yet
    auto ran = std::make_shared<std::atomic<int>>(0);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.queue().run_and_wait_for([ran] { ++*ran; }, 50ms), Outcome::late);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    loop.run();
    EXPECT_EQ(loop.queue().run_and_wait_for([ran] { ++*ran; }, 5s), Outcome::ran);
    EXPECT_EQ(ran->load(), 2) << "the late task ran first, in its turn";
    loop.stop();
    loop.queue().close();
    EXPECT_EQ(loop.queue().run_and_wait_for([] {}, 5s), Outcome::dropped);
}

TEST(LoopCallQueue, DoesNotWakeTheLoopOnceClosed) {
    int wakes = 0;
    LoopCallQueue queue([&] { ++wakes; });
    queue.close();
    EXPECT_EQ(queue.run_and_wait([] {}), Outcome::dropped);
    EXPECT_EQ(wakes, 0) << "the loop may have freed its wake-up event after close()";
}

}  // namespace
}  // namespace platform
