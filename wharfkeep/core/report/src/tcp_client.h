#pragma once
// A blocking IPv4 TCP client with time-outs for the reports: every wait is bounded and can
// be cut short by a cancel flag that another thread sets.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace wharfkeep {

class TcpClient {
public:
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    TcpClient(TcpClient&&) noexcept = default;

    // Resolves `host` (IPv4), takes the last address of the answer and connects within
    // `timeout`. Nothing on failure or cancellation.
    static std::optional<TcpClient> connect(const std::string& host, std::uint16_t port,
                                            std::chrono::milliseconds timeout,
                                            const std::atomic<bool>* cancel);

    // Sends every byte; false when the peer goes away, the time-out passes or cancelled.
    bool send_all(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout,
                  const std::atomic<bool>* cancel);
    // Receives until `buffer` is full, the peer closes, the time-out passes or cancelled;
    // returns the bytes received.
    std::size_t receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout,
                        const std::atomic<bool>* cancel);

    // One read of at most buffer.size() bytes once something arrives: the bytes read, 0
    // when the peer closed or nothing came in time.
    std::size_t receive_once(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout,
                             const std::atomic<bool>* cancel);

private:
    explicit TcpClient(int fd) : socket_(fd) {}
    platform::UniqueFd socket_;
};

}  // namespace wharfkeep
