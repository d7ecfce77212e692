// Shared responses sent over real, non-blocking loopback sockets whose buffers fill up.

#include "wire_response.h"
#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace catalogd {
namespace {

using Progress = ResponseSender::Progress;

// A connected loopback TCP pair: `sender` non-blocking with a small send buffer.
struct SocketPair {
    SocketPair() {
        platform::testing::LoopbackPair pair =
            platform::testing::ConnectLoopbackPair(SOCK_NONBLOCK);
        receiver = std::move(pair.connected);
        sender = std::move(pair.accepted);
        int small = 16 * 1024;
        ::setsockopt(sender.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    // Whatever has arrived, waiting at most `limit` for the first bytes.
    std::string receive(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        pollfd ready{receiver.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) {
            return {};
        }
        return drain();
    }

    // What has arrived, without waiting.
    std::string drain() {
        std::string bytes;
        char chunk[64 * 1024];
        ssize_t got;
        while ((got = ::recv(receiver.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }

    // Waits until the sender has room again, at most `limit`.
    void await_room(std::chrono::milliseconds limit = std::chrono::milliseconds(100)) {
        pollfd ready{sender.get(), POLLOUT, 0};
        ::poll(&ready, 1, static_cast<int>(limit.count()));
    }

    platform::UniqueFd sender;
    platform::UniqueFd receiver;
};

std::vector<std::uint8_t> patterned(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

std::string framed(std::string_view status, const std::vector<std::uint8_t>& body) {
    return "HTTP/1.1 " + std::string(status) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           std::string(body.begin(), body.end());
}

// Sends `response` while the receiver drains; the bytes that arrived, and whether the
// sender had to wait for room at least once. Gives up after a bounded number of rounds.
std::string send_through(SocketPair& pair, const SharedResponse& response, bool& waited) {
    ResponseSender sender(response);
    std::string arrived;
    waited = false;
    for (int round = 0; round < 10'000; ++round) {
        Progress progress = sender.send_some(pair.sender.get());
        if (progress == Progress::done) {
            ::shutdown(pair.sender.get(), SHUT_WR);
            for (std::string more = pair.receive(); !more.empty(); more = pair.receive()) {
                arrived += more;
            }
            return arrived;
        }
        EXPECT_EQ(progress, Progress::blocked);
        if (progress != Progress::blocked) {
            break;
        }
        waited = true;
        arrived += pair.drain();
        pair.await_room();
    }
    ADD_FAILURE() << "the response did not finish";
    return arrived;
}

TEST(WireResponse, EveryFormArrivesWholeAcrossFullSocketBuffers) {
    const std::vector<std::uint8_t> body = patterned(1024 * 1024 + 17);
    for (bool in_file : {false, true}) {
        SCOPED_TRACE(in_file ? "body in a file" : "body in memory");
        SharedResponse response = in_file ? WireResponse::in_file("200 OK", body)
                                          : WireResponse::in_memory("200 OK", body);
        EXPECT_EQ(response->size(), framed("200 OK", body).size());
        SocketPair pair;
        bool waited = false;
        std::string arrived = send_through(pair, response, waited);
        EXPECT_TRUE(waited) << "the send buffer never filled; the resumption went untested";
        EXPECT_TRUE(arrived == framed("200 OK", body)) << arrived.size() << " bytes arrived";
    }
}

TEST(WireResponse, SmallAndEmptyResponsesLeaveInOneCall) {
    for (const std::vector<std::uint8_t>& body :
         {std::vector<std::uint8_t>{}, patterned(28), patterned(1628)}) {
        SocketPair pair;
        ResponseSender sender(WireResponse::in_file("200 OK", body));
        EXPECT_EQ(sender.send_some(pair.sender.get()), Progress::done);
        EXPECT_TRUE(sender.empty());
        EXPECT_EQ(pair.receive(), framed("200 OK", body));
    }
    SocketPair pair;
    ResponseSender sender(WireResponse::in_memory("404 Not Found", {}));
    EXPECT_EQ(sender.send_some(pair.sender.get()), Progress::done);
    EXPECT_EQ(pair.receive(), framed("404 Not Found", {}));
}

// Points TMPDIR elsewhere while it lives.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const char* folder) {
        if (const char* before = std::getenv("TMPDIR")) {
            before_ = before;
        }
        ::setenv("TMPDIR", folder, 1);
    }
    ~TemporaryFolderOverride() {
        if (before_) {
            ::setenv("TMPDIR", before_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    TemporaryFolderOverride(const TemporaryFolderOverride&) = delete;
    TemporaryFolderOverride& operator=(const TemporaryFolderOverride&) = delete;

private:
    std::optional<std::string> before_;
};

TEST(WireResponse, ListSizedBodiesGoToAFileEvenWithoutATemporaryFolder) {
    int probe = ::memfd_create("probe", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (probe < 0) {
        GTEST_SKIP() << "this kernel offers no sealed memory files";
    }
    ::close(probe);
    const std::vector<std::uint8_t> body = patterned(520'000);
    for (const char* folder : {"/tmp", "/nonexistent-wharfkeep-folder"}) {
        SCOPED_TRACE(folder);
        TemporaryFolderOverride temporary(folder);
        SharedResponse response = WireResponse::in_file("200 OK", body);
        EXPECT_TRUE(response->body_in_file());
        SocketPair pair;
        bool waited = false;
        EXPECT_TRUE(send_through(pair, response, waited) == framed("200 OK", body));
    }
    EXPECT_FALSE(WireResponse::in_file("200 OK", {})->body_in_file());
    EXPECT_FALSE(WireResponse::in_memory("200 OK", body)->body_in_file());
}

TEST(WireResponse, PeerThatResetsTheConnectionFailsTheSend) {
    for (bool in_file : {false, true}) {
        SCOPED_TRACE(in_file ? "body in a file" : "body in memory");
        const std::vector<std::uint8_t> body = patterned(2 * 1024 * 1024);
        SocketPair pair;
        linger reset{1, 0};
        ::setsockopt(pair.receiver.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        pair.receiver.reset();
        ResponseSender sender(in_file ? WireResponse::in_file("200 OK", body)
                                      : WireResponse::in_memory("200 OK", body));
        // The reset may need a moment to arrive; until then the buffer simply fills.
        Progress progress = Progress::blocked;
        for (int attempt = 0; attempt < 200 && progress == Progress::blocked; ++attempt) {
            progress = sender.send_some(pair.sender.get());
            if (progress == Progress::blocked) {
                ::usleep(5000);
            }
        }
        EXPECT_EQ(progress, Progress::failed);
    }
}

}  // namespace
}  // namespace catalogd
