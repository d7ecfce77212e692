#pragma once
// Counters that live as long as the library is loaded, across server restarts: bytes sent
// to peers, the bytes of finished sessions per GCID, and bytes read from disk.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace peerfeed {

struct process_totals {
    // Loop thread only.
    std::uint64_t bytes_sent = 0;
    // GCID text -> bytes sent by its finished sessions; entries are never removed. Loop
    // thread only.
    std::map<std::string, std::uint64_t> finished_by_gcid;
    // Written by the disk thread, read by the loop thread.
    std::atomic<std::uint64_t> disk_bytes_read{0};

    // The running total of `gcid`, created as 0 on first use.
    std::uint64_t& finished_total(const std::string& gcid) { return finished_by_gcid[gcid]; }
};

// The one set of totals of this process.
process_totals& process_wide_totals();

}  // namespace peerfeed
