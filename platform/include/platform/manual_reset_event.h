#pragma once
// A manual-reset event: once set it stays set, releasing every waiter, until reset.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set();
    void reset();
    bool is_set() const;
    void wait() const;
    // Returns true when the event was set before the time-out ran out.
    bool wait_for(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_;
};

}  // namespace platform
