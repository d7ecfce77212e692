#include "platform/service_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace {

using namespace std::chrono_literals;

// A notification socket like systemd's, named by NOTIFY_SOCKET, with the watchdog asked for
// (WATCHDOG_USEC) while the test runs.
class FakeServiceManager {
public:
    explicit FakeServiceManager(std::optional<std::chrono::microseconds> watchdog) {
        char pattern[] = "/tmp/wk-notify-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = (folder_ / "notify").string();
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        if (watchdog) {
            ::setenv("WATCHDOG_USEC", std::to_string(watchdog->count()).c_str(), 1);
            ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
        }
    }
    ~FakeServiceManager() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
        std::filesystem::remove_all(folder_);
    }

    // The next notification, waiting at most `deadline`; empty when none came.
    std::string Receive(std::chrono::milliseconds deadline) {
        pollfd readable{socket_.get(), POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(deadline.count())) != 1) {
            return {};
        }
        char buffer[256];
        const ssize_t length = ::recv(socket_.get(), buffer, sizeof(buffer), 0);
        return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
    }

private:
    std::filesystem::path folder_;
    platform::UniqueFd socket_;
};

// The program's main loop as the watchdog sees it: the tasks it was handed, run when the
// test says.
class Loop {
public:
    platform::ServiceWatchdog::LoopPoster poster() {
        return [this](std::function<void()> task) {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
            handed_.notify_all();
        };
    }
    // The oldest task not taken yet, waiting at most five seconds for one.
    std::optional<std::function<void()>> Next() {
        std::unique_lock lock(mutex_);
        if (!handed_.wait_for(lock, 5s, [this] { return !tasks_.empty(); })) {
            return std::nullopt;
        }
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        return task;
    }
    std::size_t waiting() {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable handed_;
    std::deque<std::function<void()>> tasks_;
};

TEST(ServiceWatchdog, PingsOnlyWhenTheLoopRunsItsTask) {
    FakeServiceManager manager(100ms);
    Loop loop;
    platform::ServiceWatchdog watchdog(loop.poster());
    EXPECT_EQ(watchdog.interval(), 100ms);

    std::optional<std::function<void()>> ping = loop.Next();
    ASSERT_TRUE(ping);
    // Handed to the loop but not run: systemd has heard nothing.
    EXPECT_EQ(manager.Receive(0ms), "");
    (*ping)();
    EXPECT_EQ(manager.Receive(5000ms), "WATCHDOG=1");

    // The next ping comes once the last one has run.
    ping = loop.Next();
    ASSERT_TRUE(ping);
    (*ping)();
    EXPECT_EQ(manager.Receive(5000ms), "WATCHDOG=1");
}

TEST(ServiceWatchdog, StuckLoopHoldsOnePingAtATime) {
    FakeServiceManager manager(20ms);
    Loop loop;
    platform::ServiceWatchdog watchdog(loop.poster());
    std::optional<std::function<void()>> ping = loop.Next();
    ASSERT_TRUE(ping);
    // The loop is stuck for ten of the watchdog's ticks: systemd hears nothing, and the loop
    // is handed no second ping.
    EXPECT_EQ(manager.Receive(100ms), "");
    EXPECT_EQ(loop.waiting(), 0u);
    (*ping)();
    EXPECT_EQ(manager.Receive(5000ms), "WATCHDOG=1");
}

TEST(ServiceWatchdog, IdleWithoutWatchdogSec) {
    FakeServiceManager manager(std::nullopt);
    Loop loop;
    platform::ServiceWatchdog watchdog(loop.poster());
    EXPECT_EQ(watchdog.interval(), 0us);
    EXPECT_EQ(loop.waiting(), 0u);
}

}  // namespace
