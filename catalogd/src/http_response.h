#pragma once
// The framing of every response the list server writes: status line, Content-Length,
// "Connection: close", an empty line, then the body.

#include <cstddef>
#include <string>
#include <string_view>

namespace catalogd {

inline constexpr std::string_view kStatusOk = "200 OK";
inline constexpr std::string_view kStatusNotFound = "404 Not Found";
inline constexpr std::string_view kStatusBadRequest = "400 Bad Request";

// The header block of a response with `status` and a body of `body_length` bytes.
std::string response_header(std::string_view status, std::size_t body_length);

}  // namespace catalogd
