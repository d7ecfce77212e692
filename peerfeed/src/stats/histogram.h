#pragma once
// A histogram that the loop thread fills and any thread reads: one relaxed atomic counter
// per bucket and one for the sum, so an observation costs a scan of a dozen bounds and two
// increments, and a reader never stops the loop. Values are whole units (bytes,
// microseconds); the snapshot scales them for the host.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "peerfeed/peerfeed.h"

namespace peerfeed {

class histogram {
public:
    // `bounds`: ascending upper bounds, at most VP_HISTOGRAM_MAX_BOUNDS.
    explicit histogram(std::initializer_list<std::uint64_t> bounds);

    void observe(std::uint64_t value);
    // The counts as the host reads them, cumulative as Prometheus has them; bounds and
    // sum divided by `divisor` (1e6 turns microseconds into seconds; a division keeps
    // 100 µs the 0.0001 it reads as).
    vp_histogram snapshot(double divisor) const;

private:
    std::vector<std::uint64_t> bounds_;
    // One per bound, and the last for what is above every bound.
    std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;
    std::atomic<std::uint64_t> sum_{0};
};

// The server's histograms, kept as long as the library is loaded.
struct request_histograms {
    // Answers with file data, bytes: 1 KiB to 4 MiB in steps of four.
    histogram answer_bytes{1024, 4096, 16384, 65536, 262144, 1048576, 4194304};
    // A request until its data is at hand (from the page cache or the disk), and an answer
    // from being queued until the kernel took its last byte (the upload limit, or a peer
    // that reads slowly), microseconds: 100 µs to 10 s.
    histogram disk_wait_us{100, 1000, 5000, 25000, 100000, 250000, 1000000, 2500000, 10000000};
    histogram send_wait_us{100, 1000, 5000, 25000, 100000, 250000, 1000000, 2500000, 10000000};
};

// The one set of this process.
request_histograms& process_wide_histograms();

// Microseconds of the monotonic clock, for the waits.
std::uint64_t monotonic_us();

}  // namespace peerfeed
