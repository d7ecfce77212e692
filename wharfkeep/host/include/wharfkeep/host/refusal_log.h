#pragma once
// Peers the IP filter refused: how many for each reason, and the most recent few with their
// time, for the status page and the CLI. Written by the servers' network threads through the
// refusal callback, read by the user-interface thread; one small lock of its own, so that
// the refusal test never waits on a reader for long.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <vector>

#include "wharfkeep/host/ip_filter_table.h"

namespace wharfkeep::host {

struct RefusedPeer {
    std::uint32_t address = 0;  // first octet most significant
    IpRefusal reason = IpRefusal::None;
    std::time_t when = 0;
};

struct RefusalCounts {
    std::uint64_t deny_list = 0;
    std::uint64_t not_on_allow_list = 0;
};

class RefusalLog {
public:
    static constexpr std::size_t kRecentPeers = 20;

    void Record(std::uint32_t address, IpRefusal reason, std::time_t when);
    RefusalCounts Counts() const;
    // Newest first.
    std::vector<RefusedPeer> Recent() const;

private:
    mutable std::mutex mutex_;
    RefusalCounts counts_;
    std::deque<RefusedPeer> recent_;
};

// "deny list", "not on the allow list".
const char* RefusalReasonText(IpRefusal reason);

}  // namespace wharfkeep::host
