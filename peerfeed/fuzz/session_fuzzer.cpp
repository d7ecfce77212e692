// Feeds a byte stream to one session of a running server over loopback, then ends the
// stream and waits for the server to close the connection. The server must neither crash
// nor hang, whatever the peer sends.

#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fake_block_cache.h"
#include "peerfeed/peerfeed.h"
#include "server.h"

namespace {

std::uint16_t start_server() {
    static std::uint16_t port = [] {
        char home[] = "/tmp/peerfeed-fuzz-XXXXXX";
        ::setenv("WHARFKEEP_HOME", ::mkdtemp(home), 1);
        auto state = std::make_shared<peerfeed::test::fake_cache_state>();
        // The GCID of the seeds: bytes 00 01 02 ... 13.
        state->files["000102030405060708090A0B0C0D0E0F10111213"] = 1000000;
        auto& server = peerfeed::upload_server::instance();
        server.set_block_cache_factory(
            [state] { return std::make_unique<peerfeed::test::fake_block_cache>(state); });
        server.set_loopback_ephemeral(true);
        server.set_session_timeout(std::chrono::milliseconds(200));
        if (vp_start(0) != 0) {
            std::abort();
        }
        std::atexit([] { vp_stop(); });
        return server.bound_port();
    }();
    return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint16_t port = start_server();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::abort();
    }
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t wrote = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (wrote <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    ::shutdown(fd, SHUT_WR);
    // The server closes on the end of the stream, an error, or its (shortened) time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::abort();  // the session hangs
        }
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 1000) <= 0) {
            continue;
        }
        std::uint8_t sink[65536];
        if (::recv(fd, sink, sizeof sink, 0) <= 0) {
            break;
        }
    }
    ::close(fd);
    return 0;
}
