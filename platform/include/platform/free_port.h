#pragma once
// A TCP port that nobody listens on right now, for tests, tools and benchmarks that start a
// server on a port of their own choosing.

#include <cstdint>

namespace platform {

// A port the kernel picks as free on every local address; 0 when no socket could be bound.
// Another process may take it before the caller binds it, so callers that must not fail
// bind port 0 instead.
std::uint16_t free_tcp_port();

}  // namespace platform
