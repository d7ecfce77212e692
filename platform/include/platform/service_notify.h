#pragma once
// Tells systemd how a Type=notify service is doing ("READY=1", "STOPPING=1",
// "RELOADING=1", "STATUS=..."). Does nothing when the process was not started by systemd
// (NOTIFY_SOCKET unset).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

void notify_service(const std::string& state);

// Pings systemd's watchdog (WatchdogSec= of the unit) from the program's main loop: a timer
// thread hands a ping to `run_on_loop` every half of the watchdog interval, and the loop
// sends "WATCHDOG=1" when it runs it. A loop that hangs sends nothing and systemd restarts
// the service. At most one ping waits in the loop at a time, so a stuck loop does not pile
// them up. Does nothing when the service manager asked for no watchdog.
class ServiceWatchdog {
public:
    using LoopPoster = std::function<void(std::function<void()>)>;

    explicit ServiceWatchdog(LoopPoster run_on_loop);
    ~ServiceWatchdog();
    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

    // The interval systemd asked for; zero when none.
    std::chrono::microseconds interval() const { return interval_; }

private:
    void Run();

    LoopPoster run_on_loop_;
    std::chrono::microseconds interval_{0};
    // Shared with the ping in flight, which may run after the watchdog is gone.
    std::shared_ptr<std::atomic<bool>> ping_waiting_ = std::make_shared<std::atomic<bool>>(false);
    std::mutex mutex_;
    std::condition_variable stop_requested_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform
