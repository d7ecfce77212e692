#pragma once
// Counters that live as long as the library is loaded, across server restarts, and that
// more than one thread touches. (Bytes sent and the per-GCID totals belong to the loop
// thread and live in the server object, which is process-wide itself.)

#include <atomic>
#include <cstdint>

namespace peerfeed {

struct process_totals {
    // Written by the disk thread, read by the loop thread.
    std::atomic<std::uint64_t> disk_bytes_read{0};
};

// The one set of totals of this process.
process_totals& process_wide_totals();

}  // namespace peerfeed
