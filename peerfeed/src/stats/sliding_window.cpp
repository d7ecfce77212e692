#include "stats/sliding_window.h"

#include <algorithm>

#include "platform/clock.h"

namespace peerfeed {

sliding_window_counter::sliding_window_counter(std::uint32_t slot_count,
                                               std::uint32_t slot_length_ms, std::uint64_t now_ms)
    : slots_(std::max<std::uint32_t>(slot_count, 1), 0),
      slot_length_ms_(std::max<std::uint32_t>(slot_length_ms, 1)) {
    start_ = now_ms / slot_length_ms_;
    end_ = start_ + 1;
}

void sliding_window_counter::advance(std::uint64_t now_ms) {
    const std::uint64_t new_end = now_ms / slot_length_ms_ + 1;
    if (new_end <= end_) {
        return;
    }
    const std::uint64_t ring = slots_.size();
    const std::uint64_t skipped = std::min(new_end - end_, ring);
    for (std::uint64_t i = 0; i < skipped; ++i) {
        slots_[(end_ + i) % ring] = 0;
    }
    end_ = new_end;
    if (end_ - start_ > ring) {
        start_ = end_ - ring;
    }
}

std::uint64_t sliding_window_counter::window_sum() const {
    std::uint64_t sum = 0;
    for (std::uint64_t slot = start_; slot < end_; ++slot) {
        sum += slots_[slot % slots_.size()];
    }
    return sum;
}

popular_calculator::popular_calculator(std::uint32_t slot_count, std::uint32_t slot_length_ms)
    : popular_calculator(slot_count, slot_length_ms, platform::monotonic_ms()) {}

void popular_calculator::count() {
    count(platform::monotonic_ms());
}

void popular_calculator::count(std::uint64_t now_ms) {
    advance(now_ms);
    add_to_newest(1);
}

std::uint64_t popular_calculator::value() {
    return value(platform::monotonic_ms());
}

std::uint64_t popular_calculator::value(std::uint64_t now_ms) {
    advance(now_ms);
    last_value_ = window_sum();
    return last_value_;
}

speed_calculator::speed_calculator() : speed_calculator(platform::monotonic_ms()) {}

void speed_calculator::add(std::uint64_t bytes) {
    add(bytes, platform::monotonic_ms());
}

void speed_calculator::add(std::uint64_t bytes, std::uint64_t now_ms) {
    advance(now_ms);
    add_to_newest(bytes);
}

std::uint64_t speed_calculator::speed() {
    return speed(platform::monotonic_ms());
}

std::uint64_t speed_calculator::speed(std::uint64_t now_ms) {
    advance(now_ms);
    return window_sum() * 1000u / (slots_in_window() * slot_length_ms());
}

}  // namespace peerfeed
