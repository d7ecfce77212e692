#pragma once
// A set of peer connections driven by one epoll loop: each shakes hands for one file and
// keeps a window of REQUESTs outstanding, either walking the file from the start (a
// download) or asking for random pages until time runs out (a load run).

#include <cstdint>
#include <string>
#include <vector>

#include "peerfeed/codec/cursor.h"

namespace wkpeer {

struct swarm_options {
    std::string host;
    std::uint16_t port = 0;
    peerfeed::cid_bytes gcid{};
    std::uint64_t size = 0;
    std::uint32_t peers = 1;
    std::uint32_t window = 16;
    std::uint32_t request_size = 65536;
    // A download walks the file once and writes it to `output_fd` (-1: nowhere).
    bool download = true;
    int output_fd = -1;
    // A load run asks for random request-aligned pages for this long.
    double seconds = 10;
    // A connection that makes no progress for this long has failed.
    std::uint32_t stall_timeout_ms = 30000;
    std::uint64_t seed = 1;
};

struct swarm_report {
    bool ok = true;
    std::string error;  // the first failure
    std::uint32_t peers_failed = 0;
    std::uint64_t payload_bytes = 0;
    std::uint64_t wire_bytes = 0;  // everything received, headers and partial answers too
    std::uint64_t responses = 0;
    double elapsed_seconds = 0;
    std::vector<std::uint32_t> latencies_us;  // one per answered request
};

swarm_report run_swarm(const swarm_options& options);

// Merges the reports of swarms run side by side (one per thread).
swarm_report merge_reports(std::vector<swarm_report> reports);

// The latency below which `fraction` of the samples lie (0 without samples).
std::uint32_t percentile(std::vector<std::uint32_t>& samples, double fraction);

}  // namespace wkpeer
