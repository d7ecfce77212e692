#pragma once
// What the server and its sessions need from the sliding-window counters: a speed meter
// over the last three seconds (speed_calculator, one per session and one server-wide).
//
// Threading: a meter is used by one thread only (the loop thread).

#include <cstdint>
#include <memory>

namespace peerfeed {

class speed_meter {
public:
    virtual ~speed_meter() = default;
    virtual void add(std::uint64_t bytes) = 0;
    // Bytes per second over the window, the current partly filled second counting whole.
    virtual std::uint64_t speed() = 0;
};

std::unique_ptr<speed_meter> make_speed_meter();

}  // namespace peerfeed
