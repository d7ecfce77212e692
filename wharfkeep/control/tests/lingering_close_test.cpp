// A connection refused before its body was read stays open a moment, so the client can send
// what it was sending and still read the refusal.

#include "../src/lingering_close.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "loopback.h"

namespace wharfkeep::control {
namespace {

using namespace std::chrono_literals;

// The lingering sockets' loop, turning on a thread of its own until the test ends.
class LingeringCloseTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = event_base_new();
        ASSERT_NE(base_, nullptr);
        lingering_ = std::make_unique<LingeringClose>(base_);
        // Keeps the loop turning while nothing lingers yet.
        keep_turning_ = event_new(
            base_, -1, EV_PERSIST, [](evutil_socket_t, short, void*) {}, nullptr);
        const timeval tick{0, 20000};
        event_add(keep_turning_, &tick);
        thread_ = std::thread([this] {
            while (!done_) {
                event_base_loop(base_, EVLOOP_ONCE);
            }
        });
    }
    void TearDown() override {
        done_ = true;
        thread_.join();
        lingering_.reset();
        event_free(keep_turning_);
        event_base_free(base_);
    }
    // On the loop's thread, as the control server calls it.
    void LingerOnLoop(int fd) {
        std::atomic<bool> handed{false};
        struct Call {
            LingeringClose* lingering;
            int fd;
            std::atomic<bool>* handed;
        } call{lingering_.get(), fd, &handed};
        event_base_once(
            base_, -1, EV_TIMEOUT,
            [](evutil_socket_t, short, void* arg) {
                auto* call = static_cast<Call*>(arg);
                call->lingering->Linger(call->fd);
                *call->handed = true;
            },
            &call, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!handed && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(handed);
    }
    // Reads until the end, an error or the deadline; what came.
    static std::string ReadToEnd(int fd, bool& ended_cleanly) {
        std::string text;
        ended_cleanly = false;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                ended_cleanly = got == 0;
                return text;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    event_base* base_ = nullptr;
    event* keep_turning_ = nullptr;
    std::unique_ptr<LingeringClose> lingering_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Closing with the client's bytes unread would reset the connection; lingering, the client
// sends the rest of its body, then reads the answer and a clean end.
TEST_F(LingeringCloseTest, TheClientSendsOnAndReadsTheAnswerToItsEnd) {
    platform::testing::LoopbackPair pair = platform::testing::ConnectLoopbackPair();
    ASSERT_TRUE(pair.connected && pair.accepted);
    const std::string body(64 * 1024, 'b');
    ASSERT_EQ(::send(pair.connected.get(), body.data(), body.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(body.size()));
    const std::string answer = "HTTP/1.1 413 Payload Too Large\r\n\r\n";
    ASSERT_EQ(::send(pair.accepted.get(), answer.data(), answer.size(), 0),
              static_cast<ssize_t>(answer.size()));
    LingerOnLoop(pair.accepted.get());
    pair.accepted.reset();  // the server lets go of its connection
    EXPECT_EQ(lingering_->lingering(), 1u);

    for (int i = 0; i < 8; ++i) {  // the rest of a 576 KiB body
        ASSERT_EQ(::send(pair.connected.get(), body.data(), body.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(body.size()))
            << "the connection was reset while the client sent: " << errno;
    }
    bool ended_cleanly = false;
    EXPECT_EQ(ReadToEnd(pair.connected.get(), ended_cleanly), answer);
    EXPECT_TRUE(ended_cleanly);
}

// A client that sends on and on is cut off after the bytes a lingering socket may drop.
TEST_F(LingeringCloseTest, AClientThatSendsOnAndOnIsCutOff) {
    platform::testing::LoopbackPair pair = platform::testing::ConnectLoopbackPair();
    ASSERT_TRUE(pair.connected && pair.accepted);
    LingerOnLoop(pair.accepted.get());
    pair.accepted.reset();
    const std::string chunk(64 * 1024, 'x');
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pair.connected.get(), POLLOUT, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const ssize_t wrote =
            ::send(pair.connected.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote < 0 && errno != EAGAIN) {
            break;  // reset: the lingering socket closed
        }
        sent += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "never cut off";
    EXPECT_GT(sent, LingeringClose::kMaxDroppedBytes);
}

}  // namespace
}  // namespace wharfkeep::control
