#pragma once
// A loopback TCP server for the tests: accepts on 127.0.0.1 and an ephemeral port and
// runs a handler for each connection, one at a time, on its own thread. Beside it, a
// temporary folder for the report logs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "temp_folder.h"
#include "wharfkeep/report/report_endpoints.h"

namespace wharfkeep::test {

using platform::testing::TempFolder;

// Deadlines of the reporters under test: a loopback server answers well within them.
inline constexpr ReportTimeouts kQuick{std::chrono::milliseconds(500),
                                       std::chrono::milliseconds(300)};

class ScriptedServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit ScriptedServer(Handler handler) : handler_(std::move(handler)) {
        listener_ = platform::testing::ListenLoopback(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_; }

private:
    void serve() {
        while (!stop_) {
            pollfd entry{listener_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) {
                continue;
            }
            const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++connections_;
            handler_(fd);
            ::close(fd);
        }
    }

    Handler handler_;
    platform::UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Reads until `done(bytes)` says the message is complete, the peer closes or 2 s pass.
template <typename Done>
std::vector<std::uint8_t> read_message(int fd, Done done) {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done(bytes) && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) {
            continue;
        }
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

inline void send_bytes(int fd, const std::vector<std::uint8_t>& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// A port on which nothing listens: bound, then closed again.
inline std::uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace wharfkeep::test
