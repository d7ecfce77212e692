// A sliding-window speed meter (three one-second slots) for the server and its sessions,
// used until the statistics library provides speed_calculator.

#include <array>

#include "platform/clock.h"
#include "stats_interface.h"

namespace peerfeed {
namespace {

class sliding_speed_meter final : public speed_meter {
public:
    sliding_speed_meter() : start_(current_slot()), end_(start_ + 1) {}

    void add(std::uint64_t bytes) override {
        advance();
        slots_[(end_ - 1) % slot_count] += bytes;
    }

    std::uint64_t speed() override {
        advance();
        std::uint64_t sum = 0;
        for (std::uint64_t slot = start_; slot < end_; ++slot) {
            sum += slots_[slot % slot_count];
        }
        return sum * 1000 / ((end_ - start_) * slot_length_ms);
    }

private:
    static constexpr std::uint64_t slot_count = 3;
    static constexpr std::uint64_t slot_length_ms = 1000;

    static std::uint64_t current_slot() { return platform::tick_count() / slot_length_ms; }

    // Zeroes the slots that passed since the last call and moves the window on.
    void advance() {
        const std::uint64_t new_end = current_slot() + 1;
        if (new_end > end_) {
            const std::uint64_t passed = new_end - end_;
            for (std::uint64_t i = 0; i < passed && i < slot_count; ++i) {
                slots_[(end_ + i) % slot_count] = 0;
            }
            end_ = new_end;
            if (end_ - start_ > slot_count) {
                start_ = end_ - slot_count;
            }
        } else if (new_end < end_) {
            // The 32-bit tick wrapped: start a fresh window.
            slots_.fill(0);
            start_ = new_end - 1;
            end_ = new_end;
        }
    }

    std::array<std::uint64_t, slot_count> slots_{};
    std::uint64_t start_;
    std::uint64_t end_;
};

}  // namespace

std::unique_ptr<speed_meter> make_speed_meter() {
    return std::make_unique<sliding_speed_meter>();
}

}  // namespace peerfeed
