#include "stats/histogram.h"

#include <algorithm>
#include <chrono>

namespace peerfeed {

histogram::histogram(std::initializer_list<std::uint64_t> bounds)
    : bounds_(bounds), counts_(std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1)) {
    bounds_.resize(std::min<std::size_t>(bounds_.size(), VP_HISTOGRAM_MAX_BOUNDS));
}

void histogram::observe(std::uint64_t value) {
    const auto bucket = static_cast<std::size_t>(
        std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
    counts_[bucket].fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(value, std::memory_order_relaxed);
}

vp_histogram histogram::snapshot(double divisor) const {
    vp_histogram out{};
    out.bound_count = static_cast<std::uint32_t>(bounds_.size());
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        running += counts_[i].load(std::memory_order_relaxed);
        out.upper_bounds[i] = static_cast<double>(bounds_[i]) / divisor;
        out.cumulative_counts[i] = running;
    }
    // The count is the sum of the buckets read, so that it is never below the last one.
    out.count = running + counts_[bounds_.size()].load(std::memory_order_relaxed);
    out.sum = static_cast<double>(sum_.load(std::memory_order_relaxed)) / divisor;
    return out;
}

request_histograms& process_wide_histograms() {
    static request_histograms histograms;
    return histograms;
}

std::uint64_t monotonic_us() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace peerfeed
