#pragma once
// Responses as they go on the wire, framed once and shared by every connection that sends
// them. A response is immutable once made: the cache may drop it while connections are
// still sending it, and they keep it alive by reference.
//
// A large response can live in a file instead of the heap: sendfile() hands its pages to the
// socket without copying them through this process. The file is unnamed and only read once
// written (an unnamed file of the temporary folder, or else a sealed memory file), so the
// length announced in the header is the length sent.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace catalogd {

class WireResponse {
public:
    // Header and body in one buffer: one send for the whole response.
    static std::shared_ptr<const WireResponse> in_memory(std::string_view status,
                                                         std::span<const std::uint8_t> body);
    // Header and body in an unnamed file of the temporary folder, or a sealed memory file
    // where the folder cannot hold one; in memory when the body is empty or neither can be
    // made.
    static std::shared_ptr<const WireResponse> in_file(std::string_view status,
                                                       std::span<const std::uint8_t> body);

    WireResponse(const WireResponse&) = delete;
    WireResponse& operator=(const WireResponse&) = delete;

    std::uint64_t size() const { return bytes_.size() + file_size_; }
    bool body_in_file() const { return file_.valid(); }

private:
    WireResponse() = default;
    friend class ResponseSender;

    std::vector<std::uint8_t> bytes_;  // sent first
    platform::UniqueFd file_;          // sent after bytes_
    std::uint64_t file_size_ = 0;
};

using SharedResponse = std::shared_ptr<const WireResponse>;

// Sends one response over a non-blocking socket, as far as the socket takes it at a time.
class ResponseSender {
public:
    enum class Progress { done, blocked, failed };

    ResponseSender() = default;
    explicit ResponseSender(SharedResponse response) : response_(std::move(response)) {}

    // Sends what the socket accepts now; "blocked" once it has taken less than offered.
    Progress send_some(int socket);
    bool empty() const { return response_ == nullptr; }

private:
    Progress send_bytes(int socket);
    Progress send_file(int socket);

    SharedResponse response_;
    std::size_t bytes_sent_ = 0;
    std::uint64_t file_sent_ = 0;
};

}  // namespace catalogd
