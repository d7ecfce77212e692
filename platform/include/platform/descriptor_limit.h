#pragma once
// The process's limit on open descriptors, which bounds how many connections a server
// can hold at once.

#include <cstdint>

namespace platform {

// Raises the soft limit on open descriptors to the hard limit (once per process is
// enough; later calls change nothing) and returns the soft limit now in force.
std::uint64_t raise_descriptor_limit();

// Logs one warning, naming `server`, when `connections` plus the
// descriptors a server needs besides them do not fit under `limit`.
void warn_if_descriptors_short(const char* server, std::uint64_t connections, std::uint64_t limit);

// Logs a warning, naming `server`, that accepting pauses for lack of descriptors (`error`
// is the errno of the failed accept): at most once a minute, with `last_said_ms`
// remembering when it was last said.
void say_accept_paused(const char* server, int error, std::uint64_t& last_said_ms);

// Descriptors a server leaves to everything but new connections: the files it serves, its
// database and log, a pipe here and there. Connections that took the very last ones would
// make a peer that got in unservable (its file cannot be opened).
inline constexpr int kDescriptorsKeptFree = 8;

// True when `newest`, a descriptor just handed out (the kernel hands out the lowest free
// number), leaves fewer than kDescriptorsKeptFree under `limit`; also when `newest` is
// negative (none could be had). A `limit` of 0 stands for one not known.
bool descriptor_reserve_reached(int newest, std::uint64_t limit);

// The number the next descriptor would get, or -1 when none is free.
int lowest_free_descriptor();

}  // namespace platform
