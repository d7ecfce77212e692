#pragma once
// Waiting in a test for what another thread or process does: the condition is polled until
// it holds or a deadline passes, so the test is as quick as the machine allows and still
// ends (and fails) when the thing never happens.

#include <chrono>
#include <functional>
#include <thread>

namespace platform::testing {

// Polls `condition` every `interval` until it holds; false when `limit` passes first. The
// condition is asked once more at the deadline, so a slow last step still counts.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10),
                      std::chrono::milliseconds interval = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(interval);
    }
    return condition();
}

}  // namespace platform::testing
