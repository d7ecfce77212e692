#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace platform {

void notify_service(const std::string& state) {
    // The socket stays in the environment: a reload or stop reports through it later.
    ::sd_notify(0, state.c_str());
}

ServiceWatchdog::ServiceWatchdog(LoopPoster run_on_loop) : run_on_loop_(std::move(run_on_loop)) {
    std::uint64_t microseconds = 0;
    if (::sd_watchdog_enabled(0, &microseconds) > 0 && microseconds > 0) {
        interval_ = std::chrono::microseconds(microseconds);
        thread_ = std::thread([this] { Run(); });
    }
}

ServiceWatchdog::~ServiceWatchdog() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_requested_.notify_one();
    thread_.join();
}

void ServiceWatchdog::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_requested_.wait_for(lock, interval_ / 2, [this] { return stopping_; })) {
        if (ping_waiting_->exchange(true)) {
            continue;  // the loop has not run the last one yet
        }
        run_on_loop_([ping_waiting = ping_waiting_] {
            ping_waiting->store(false);
            notify_service("WATCHDOG=1");
        });
    }
}

}  // namespace platform
