#include "peer_event_limiter.h"

namespace wharfkeep::control {

bool PeerEventLimiter::Admit(bool connected, Clock::time_point now) {
    if (now - second_started_ >= std::chrono::seconds(1)) {
        second_started_ = now;
        sent_this_second_ = 0;
    }
    if (sent_this_second_ < per_second_) {
        ++sent_this_second_;
        return true;
    }
    ++(connected ? held_.connected : held_.left);
    return false;
}

std::optional<PeerEventLimiter::Held> PeerEventLimiter::TakeHeld() {
    if (held_.connected == 0 && held_.left == 0) {
        return std::nullopt;
    }
    const Held taken = held_;
    held_ = {};
    return taken;
}

}  // namespace wharfkeep::control
