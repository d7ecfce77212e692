#pragma once
// A blocking loopback client for the list server tests: sends raw bytes and reads what the
// server answers until it closes the connection.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/free_port.h"
#include "platform/unique_fd.h"

namespace catalogd::test {

struct Reply {
    std::string bytes;
    bool closed = false;     // the server closed (end of file or reset)
    bool timed_out = false;  // the limit ran out with the connection still open
    bool reset = false;      // the server ended the connection with a reset
};

struct HttpResponse {
    std::string status;  // "200 OK"
    std::string headers;
    std::string body;
    std::size_t content_length = 0;
};

class Client {
public:
    explicit Client(std::uint16_t port);
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return socket_.valid(); }
    // False when the server already closed the connection.
    bool send(std::string_view bytes);
    void close();
    // Closes the sending side only: the server sees an end of file, the answer still comes.
    void finish_sending();
    // Reads until the server closes or `limit` runs out.
    Reply read_until_closed(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Reads until `size` bytes arrived, the server closed, or `limit` ran out.
    std::string read_at_least(std::size_t size,
                              std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    platform::UniqueFd socket_;
};

// Connects, sends `request`, and reads until the server closes.
Reply send_request(std::uint16_t port, std::string_view request);

// Splits a complete HTTP response; nothing when it is not one.
std::optional<HttpResponse> parse_response(const std::string& bytes);

// A request that carries `body` as a movie-info query.
std::string query_request(std::string_view body);

}  // namespace catalogd::test
