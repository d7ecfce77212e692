#pragma once
// Internal hooks for the tests of the list server. They live in the static core library,
// which the tests link directly; libcatalogd.so does not export them.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "list_service.h"

namespace catalogd::testing {

// Time-outs for services started from now on.
void set_timeouts(const ServiceTimeouts& timeouts);
ServiceTimeouts default_timeouts();
// Limits for services started from now on, instead of those of the profile; nullopt goes
// back to the profile.
void set_limits(std::optional<ServiceLimits> limits);
// Of the running service: connections refused at max_connections, and list exports asked
// of the host; 0 when stopped.
std::uint64_t refused_connections();
std::uint64_t list_exports();

// Replaces the stored port; 0 makes the next sts_start(0) listen on any free port.
void set_stored_port(std::uint16_t port);
std::uint16_t stored_port();
// The port the running service listens on; 0 when stopped.
std::uint16_t listening_port();
// Connections open on the running service (counted on its thread); 0 when stopped.
std::size_t open_connections();
// Prepared responses held in the cache.
std::size_t cached_responses();

}  // namespace catalogd::testing
