#include "stats/sliding_window.h"
#include "stats_interface.h"

namespace peerfeed {
namespace {

class sliding_speed_meter final : public speed_meter {
public:
    void add(std::uint64_t bytes) override { counter_.add(bytes); }
    std::uint64_t speed() override { return counter_.speed(); }

private:
    speed_calculator counter_;
};

}  // namespace

std::unique_ptr<speed_meter> make_speed_meter() {
    return std::make_unique<sliding_speed_meter>();
}

}  // namespace peerfeed
