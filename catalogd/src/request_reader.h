#pragma once
// The reading rules of the list server's HTTP requests, as a pure function of the bytes
// buffered so far: one request per connection, at most 1024 buffered bytes, a body whose
// length comes from Content-Length.

#include <cstddef>
#include <cstdint>
#include <span>

namespace catalogd {

// Requests are bounded: a connection whose buffered input reaches this size is dropped.
inline constexpr std::size_t kMaxBufferedRequest = 1024;
// The largest body a Content-Length may announce.
inline constexpr std::int64_t kMaxRequestBody = 1024;

enum class RequestKind {
    incomplete,   // wait for more bytes
    drop,         // close the connection without a response
    bad_request,  // answer 400 and close: the header is ambiguous (two Content-Length fields)
    list_export,  // "/urls": answer with the list of published files
    query,        // the body is a movie-info query
};

struct RequestOutcome {
    RequestKind kind = RequestKind::incomplete;
    std::size_t consumed = 0;     // header + body bytes of a complete request
    std::size_t body_offset = 0;  // where the body starts (query and list export)
    std::size_t body_length = 0;
};

// Applies the reading rules to the bytes buffered on a connection. Every check runs again
// when more bytes arrive, so the caller passes everything buffered so far.
RequestOutcome read_request(std::span<const std::uint8_t> buffered);

// The value of Content-Length as the server reads it: blanks skipped, an optional sign,
// decimal digits up to the first non-digit (no digit gives 0). The magnitude is clamped so
// that an absurd number of digits cannot overflow. Exposed for tests.
std::int64_t parse_content_length(std::span<const std::uint8_t> after_colon);

}  // namespace catalogd
