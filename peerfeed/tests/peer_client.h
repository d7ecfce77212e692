#pragma once
// A blocking test peer speaking the noise-framed command protocol over loopback TCP.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peerfeed/codec/commands.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"

namespace peerfeed::test {

using namespace std::chrono_literals;

class peer_client {
public:
    // Connects to 127.0.0.1:`port`, from `source` when given (any 127.x.y.z address).
    explicit peer_client(std::uint16_t port, const char* source = nullptr);
    peer_client(const peer_client&) = delete;
    peer_client& operator=(const peer_client&) = delete;

    bool connected() const { return socket_.valid(); }
    void send(p2p_cmd_tcp& command);
    void send_raw(const std::vector<std::uint8_t>& bytes);

    // The next whole command, or null when none arrived within `timeout` or the
    // connection ended first (see closed()).
    std::unique_ptr<p2p_cmd_tcp> receive(std::chrono::milliseconds timeout = 3000ms);
    // True when the server closes the connection within `timeout` without sending
    // anything more.
    bool closed_without_data(std::chrono::milliseconds timeout = 3000ms);
    // True when nothing arrives and the connection stays open for `quiet`.
    bool stays_quiet(std::chrono::milliseconds quiet = 200ms);
    bool closed() const { return closed_; }
    // Bytes of whole commands received so far.
    std::uint64_t bytes_received() const { return bytes_received_; }

private:
    // Reads until `buffer_` holds `size` bytes; false on time-out or end of stream.
    bool fill(std::size_t size, std::chrono::steady_clock::time_point deadline);

    platform::UniqueFd socket_;
    bool closed_ = false;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bytes_received_ = 0;
};

// Encoded noise-framed bytes of `command`.
std::vector<std::uint8_t> encode(p2p_cmd_tcp& command);

// A handshake for `gcid` (40 hex digits) and `size`.
p2p_cmd_handshake make_handshake(const std::string& gcid, std::uint64_t size,
                                 const std::string& peer_id = "test-peer-id-0001");
p2p_cmd_request make_request(std::uint64_t offset, std::uint64_t length);

}  // namespace peerfeed::test
