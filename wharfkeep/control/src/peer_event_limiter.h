#pragma once
// Keeps the peer sessions' events from flooding subscribers: a thousand connections a
// second would otherwise be a thousand events a second to every open stream. The first
// `per_second` events of each second pass one by one; the rest are only counted, and the
// counts go out as one summary per interval (the caller's timer takes them).
//
// Not thread-safe: the caller serialises Admit and TakeHeld.

#include <chrono>
#include <cstdint>
#include <optional>

namespace wharfkeep::control {

class PeerEventLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // Sessions opened and ended that were counted instead of sent.
    struct Held {
        std::uint64_t connected = 0;
        std::uint64_t left = 0;
    };

    explicit PeerEventLimiter(std::uint32_t per_second) : per_second_(per_second) {}

    // True: send the event itself. False: it was counted for the next summary.
    bool Admit(bool connected, Clock::time_point now);
    // What was held back since the last call; nothing when all events were sent.
    std::optional<Held> TakeHeld();

private:
    std::uint32_t per_second_;
    Clock::time_point second_started_{};
    std::uint32_t sent_this_second_ = 0;
    Held held_{};
};

}  // namespace wharfkeep::control
