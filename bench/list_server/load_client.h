#pragma once
// A load client for one-request-per-connection HTTP servers. Each connection sends one
// request, reads one response and is replaced by a fresh one. Connections are spread over
// the source addresses 127.0.0.2 to 127.0.0.254, so that the TIME_WAIT of a server that lets
// its clients close first does not run the client out of ports.

#include <cstdint>
#include <string>

namespace bench {

struct LoadTarget {
    std::uint16_t port = 0;  // on 127.0.0.1
    std::string request;     // sent whole on every connection
    // The server closes once it has answered; the client waits for that end of file and
    // closes second. Otherwise the client closes as soon as the response is complete.
    bool server_closes_first = false;
    std::uint64_t expected_body = 0;  // every response must carry this Content-Length
};

struct LoadSettings {
    int connections = 64;  // in flight at once, over all threads
    int threads = 1;
    double seconds = 5;
};

struct LoadResult {
    std::uint64_t completed = 0;  // whole responses with the expected status and length
    std::uint64_t failed = 0;     // refused, reset, cut short or unexpected responses
    std::uint64_t body_bytes = 0;
    double seconds = 0;  // wall time of the measured window
};

// Drives the target for the given time and counts what finished inside it.
LoadResult run_load(const LoadTarget& target, const LoadSettings& settings);

}  // namespace bench
