#pragma once
// The client side of the list server: one HTTP request per connection, the movie-info query
// and the list of published files.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "movie_info.h"

namespace wkquery {

struct Endpoint {
    std::string host;
    std::string port;
};

// "HOST:PORT", or "[v6-address]:PORT".
std::optional<Endpoint> parse_endpoint(std::string_view text);
// 40 hexadecimal digits, either case.
std::optional<peerfeed::cid_bytes> parse_gcid(std::string_view text);

struct HttpReply {
    int status_code = 0;
    std::string status;  // "200 OK"
    std::string body;
};

// Sends `request` and reads one response. Throws std::runtime_error naming what failed:
// the name lookup, the connection, a time-out, a connection closed without a response, or a
// response that is not HTTP.
HttpReply exchange(const Endpoint& endpoint, const std::string& request,
                   std::chrono::milliseconds timeout);

std::string query_request(const Endpoint& endpoint, std::span<const std::uint8_t> body);
std::string list_request(const Endpoint& endpoint);

// A readable account of a decoded description: texts, identifiers, total size, pieces.
std::string describe(const catalogd::cmd_stream_query_movie_info_resp& response);

}  // namespace wkquery
