#pragma once
// Sliding-window counters over fixed time slots kept as a ring: `popular_calculator`
// counts uses of a cache page over a long window, `speed_calculator` turns byte counts of
// the last few seconds into a rate.
//
// Slot numbers come from a 64-bit monotonic millisecond clock, so a counter never sees
// time run backwards (a 32-bit tick would wrap after 49 days and scramble the window).
// Every operation has an overload taking the clock reading, so tests drive time by hand.

#include <cstdint>
#include <vector>

namespace peerfeed {

class sliding_window_counter {
public:
    sliding_window_counter(std::uint32_t slot_count, std::uint32_t slot_length_ms,
                           std::uint64_t now_ms);

    std::uint32_t slot_count() const { return static_cast<std::uint32_t>(slots_.size()); }
    std::uint32_t slot_length_ms() const { return slot_length_ms_; }

protected:
    // Moves the window to the slot of `now_ms`, zeroing the slots that have been skipped.
    void advance(std::uint64_t now_ms);
    void add_to_newest(std::uint64_t amount) { slots_[(end_ - 1) % slots_.size()] += amount; }
    std::uint64_t window_sum() const;
    std::uint64_t slots_in_window() const { return end_ - start_; }

private:
    std::vector<std::uint64_t> slots_;
    std::uint64_t start_;  // absolute number of the oldest slot in the window
    std::uint64_t end_;    // absolute number of the newest slot + 1
    std::uint32_t slot_length_ms_;
};

// Uses of one cache page in the last slot_count x slot_length.
class popular_calculator : public sliding_window_counter {
public:
    popular_calculator(std::uint32_t slot_count, std::uint32_t slot_length_ms);
    popular_calculator(std::uint32_t slot_count, std::uint32_t slot_length_ms, std::uint64_t now_ms)
        : sliding_window_counter(slot_count, slot_length_ms, now_ms) {}

    void count();
    void count(std::uint64_t now_ms);
    // Recomputes the number of uses in the window and remembers it as last_value().
    std::uint64_t value();
    std::uint64_t value(std::uint64_t now_ms);
    std::uint64_t last_value() const { return last_value_; }

private:
    std::uint64_t last_value_ = 0;
};

// Bytes per second over the last three one-second slots; the current, partly filled
// second counts as a whole slot.
class speed_calculator : public sliding_window_counter {
public:
    static constexpr std::uint32_t default_slot_count = 3;
    static constexpr std::uint32_t default_slot_length_ms = 1000;

    speed_calculator();
    explicit speed_calculator(std::uint64_t now_ms)
        : sliding_window_counter(default_slot_count, default_slot_length_ms, now_ms) {}

    void add(std::uint64_t bytes);
    void add(std::uint64_t bytes, std::uint64_t now_ms);
    std::uint64_t speed();
    std::uint64_t speed(std::uint64_t now_ms);
};

}  // namespace peerfeed
