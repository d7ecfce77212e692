#pragma once
// The process's limit on open descriptors, which bounds how many connections a server
// can hold at once.

#include <cstdint>

namespace platform {

// Raises the soft limit on open descriptors to the hard limit (once per process is
// enough; later calls change nothing) and returns the soft limit now in force.
std::uint64_t raise_descriptor_limit();

// Writes one warning line on standard error, naming `server`, when `connections` plus the
// descriptors a server needs besides them do not fit under `limit`.
void warn_if_descriptors_short(const char* server, std::uint64_t connections, std::uint64_t limit);

// Says on standard error, naming `server`, that accepting pauses for lack of descriptors
// (`error` is the errno of the failed accept): at most once a minute, with `last_said_ms`
// remembering when it was last said.
void say_accept_paused(const char* server, int error, std::uint64_t& last_said_ms);

}  // namespace platform
