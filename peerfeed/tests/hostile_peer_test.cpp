// The server under peers that try to exhaust it: pipelining floods, peers that never
// read, connections that never finish a command, made-up GCIDs and a full descriptor
// table. Each case reproduces a way a peer could once hurt the server or other peers.

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "limited_child.h"
#include "loopback.h"
#include "platform/descriptor_limit.h"
#include "platform/process_usage.h"
#include "server_fixture.h"

namespace peerfeed::test {
namespace {

// A bare connection for peers that misbehave on purpose.
class raw_peer {
public:
    // `receive_buffer` > 0 shrinks the socket's receive buffer, so that a peer that does
    // not read makes the server hold its answers instead of the kernel.
    explicit raw_peer(std::uint16_t port, int receive_buffer = 0)
        : socket_(platform::testing::ConnectLoopback(port, receive_buffer)) {}
    raw_peer(const raw_peer&) = delete;
    raw_peer& operator=(const raw_peer&) = delete;

    bool send(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote =
                ::send(socket_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (wrote <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(wrote);
        }
        return true;
    }
    // Sends what the socket takes now, without waiting for the server to read.
    void send_what_fits(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::send(socket_.get(), bytes.data() + done, bytes.size() - done,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
            if (wrote <= 0) {
                return;
            }
            done += static_cast<std::size_t>(wrote);
        }
    }
    // True once the server has closed the connection (whatever it sent before is read
    // and thrown away).
    bool closed_by_server() {
        if (closed_) {
            return true;
        }
        std::uint8_t sink[4096];
        for (;;) {
            const ssize_t got = ::recv(socket_.get(), sink, sizeof sink, MSG_DONTWAIT);
            if (got > 0) {
                continue;
            }
            closed_ = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            return closed_;
        }
    }

private:
    platform::UniqueFd socket_;
    bool closed_ = false;
};

std::vector<std::uint8_t> requests(std::uint64_t first_offset, std::uint64_t step,
                                   std::uint32_t length, int count) {
    std::vector<std::uint8_t> all;
    for (int i = 0; i < count; ++i) {
        auto request = make_request(first_offset + step * static_cast<std::uint64_t>(i), length);
        auto bytes = encode(request);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

std::vector<std::uint8_t> handshake_bytes(const std::string& gcid, std::uint64_t size) {
    auto handshake = make_handshake(gcid, size);
    return encode(handshake);
}

// Random bytes whose frame header announces an impossible body length.
std::vector<std::uint8_t> invalid_frame_bytes() {
    std::mt19937 random(7);
    std::vector<std::uint8_t> bytes(256);
    do {
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
    } while (scan_noise_frame(bytes.data(), bytes.size()).status != frame_status::invalid);
    return bytes;
}

class HostilePeers : public server_test {
protected:
    void TearDown() override {
        server().set_handshake_deadline(std::chrono::seconds(10));
        server().set_command_deadline(std::chrono::seconds(10));
        server().set_push_out_stall(std::chrono::seconds(3));
        server_test::TearDown();
    }

    static vp_session_drop_stat drops() {
        vp_session_drop_stat stat{};
        EXPECT_EQ(vp_get_session_drop_stat(&stat), 0);
        return stat;
    }

    std::uint64_t longest_stall_ms() {
        std::uint64_t stall = 0;
        EXPECT_TRUE(server().loop_call([&] { stall = server().longest_stall_ms(); }));
        return stall;
    }

    std::uint64_t session_share() {
        std::uint64_t share = 0;
        EXPECT_TRUE(server().loop_call([&] { share = server().session_share(); }));
        return share;
    }

    // A peer that shakes hands, asks for `asked` answers of 64 KiB and never reads them.
    std::unique_ptr<raw_peer> non_reader(int asked, int receive_buffer = 4096) {
        auto peer = std::make_unique<raw_peer>(port, receive_buffer);
        EXPECT_TRUE(peer->send(handshake_bytes(known_gcid, known_size)));
        peer->send_what_fits(requests(0, 0, 65536, asked));
        return peer;
    }

    std::size_t submits() {
        std::lock_guard lock(cache_state->mutex);
        return cache_state->submits.size();
    }

    static void expect_request_answered(peer_client& peer) {
        auto request = make_request(0, 1000);
        peer.send(request);
        auto answer = peer.receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->code, cmd_requestresp);
    }

    std::size_t waiting_connections() {
        std::size_t count = 0;
        EXPECT_TRUE(server().loop_call([&] { count = server().waiting_connections(); }));
        return count;
    }

    // Runs `work` while the loop thread is held, so that whatever it makes arrive is
    // there at once when the loop runs again.
    void while_loop_held(const std::function<void()>& work) {
        std::promise<void> release;
        std::promise<void> held;
        std::thread holder([&] {
            server().loop_call([&] {
                held.set_value();
                release.get_future().wait();
            });
        });
        held.get_future().wait();
        work();
        release.set_value();
        holder.join();
    }

    std::size_t totals_entries() {
        std::size_t entries = 0;
        EXPECT_TRUE(server().loop_call([&] { entries = server().totals_entries(); }));
        return entries;
    }

    // Polls `condition` until `limit`.
    static bool within(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
        return platform::testing::WaitUntil(condition, limit, std::chrono::milliseconds(10));
    }
};

TEST_F(HostilePeers, FinishedButUndeliveredReadsDoNotCountAsPending) {
    // Reads finish 257 at a time and wait together for the loop's next wake-up, while the
    // rest of the pipelined requests are taken in the same pass.
    {
        std::lock_guard lock(cache_state->mutex);
        cache_state->complete_in_batches_of = 257;
    }
    start();
    auto client = handshaken_client();
    client->send_raw(requests(0, 100, 100, 2 * 257));
    for (int i = 0; i < 2 * 257; ++i) {
        auto answer = client->receive();
        ASSERT_TRUE(answer) << "answer " << i << " of " << 2 * 257;
        ASSERT_EQ(answer->code, cmd_requestresp);
    }
    EXPECT_EQ(submits(), 2u * 257u);
}

TEST_F(HostilePeers, PeerThatNeverReadsIsHeldToItsBoundAndServedWhenItReadsAgain) {
    start();
    constexpr int asked = 600;  // 600 answers of 64 KiB: far more than any buffer holds
    raw_peer hoarder(port, 64 * 1024);
    ASSERT_TRUE(hoarder.send(handshake_bytes(known_gcid, known_size)));
    ASSERT_TRUE(hoarder.send(requests(0, 0, 65536, asked)));
    // The session takes requests at least until its output bound (2 MiB, 32 answers) is
    // full; one without a bound would take all 600 at once, so a short look past that shows
    // whether it stopped.
    ASSERT_TRUE(eventually([&] { return submits() >= 32u; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The output bound (2 MiB) plus what the kernel's socket buffers absorb, in answers.
    EXPECT_LT(submits(), 200u) << "the session stopped taking requests it cannot send";
    EXPECT_EQ(server_stat().live_sessions, 1u) << "held back, not dropped";

    // Another peer is answered meanwhile.
    auto other = handshaken_client("peer-B");
    auto request = make_request(4096, 4096);
    other->send(request);
    auto answer = other->receive(std::chrono::milliseconds(2000));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_requestresp);
    EXPECT_FALSE(hoarder.closed_by_server());
}

TEST_F(HostilePeers, ShareOfThePageBudgetShrinksWithTheSessionsHoldingPagesAndComesBack) {
    {
        std::lock_guard lock(cache_state->mutex);
        cache_state->statistics.budget_bytes = 4u << 20;
    }
    start();
    EXPECT_EQ(session_share(), 2u << 20) << "alone, a session may hold 2 MiB";
    std::vector<std::unique_ptr<raw_peer>> holders;
    for (int i = 0; i < 8; ++i) {
        holders.push_back(non_reader(100));
    }
    EXPECT_TRUE(eventually([&] { return session_share() == (4u << 20) / 8; })) << session_share();
    for (int i = 0; i < 24; ++i) {
        holders.push_back(non_reader(100));
    }
    EXPECT_TRUE(eventually([&] { return session_share() == 256u << 10; }))
        << "never below four answers: " << session_share();
    holders.clear();
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    EXPECT_EQ(session_share(), 2u << 20);
}

TEST_F(HostilePeers, StalledPeersLosePinsOnlyWhileReadsWaitForPages) {
    start();
    const vp_session_drop_stat before = drops();
    auto stalled = non_reader(200);
    auto reader = handshaken_client("reader");
    // Stalled for twice the grace under a shortage, but nobody waits for a page: it keeps
    // its connection.
    ASSERT_TRUE(within(std::chrono::milliseconds(5000), [&] { return longest_stall_ms() > 1000; }));
    EXPECT_EQ(server_stat().live_sessions, 2u);
    EXPECT_EQ(drops().stalled_for_pages, before.stalled_for_pages);
    {
        std::lock_guard lock(cache_state->mutex);
        cache_state->pages_short = true;
    }
    // Once reads wait for pages the stalled one goes; the reader keeps its session.
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    EXPECT_EQ(drops().stalled_for_pages, before.stalled_for_pages + 1);
    expect_request_answered(*reader);
}

// Young non-readers look like real peers until the stall time: a newcomer arriving then
// waits for the first of them to stall and takes its place, instead of being turned away.
TEST_F(HostilePeers, StalledSessionMakesRoomAtTheLimitForANewcomerThatSpeaks) {
    server().set_push_out_stall(std::chrono::milliseconds(300));
    start();
    vp_set_connection_limit(4);
    std::vector<std::unique_ptr<raw_peer>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(non_reader(200));
    }
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 4; }));
    const vp_session_drop_stat before = drops();
    peer_client newcomer(port);
    auto handshake = make_handshake(known_gcid, known_size, "newcomer");
    newcomer.send(handshake);
    auto answer = newcomer.receive(std::chrono::milliseconds(3000));
    ASSERT_TRUE(answer) << "the newcomer was turned away";
    EXPECT_EQ(answer->code, cmd_handshakeresp);
    expect_request_answered(newcomer);
    EXPECT_EQ(drops().stalled_pushed_out, before.stalled_pushed_out + 1);
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 4; }))
        << "three stalled sessions and the newcomer";
}

// Fewer squatters than half the limit, beside peers that read: the squatter that has owed
// its handshake for the stall time gives its place to a newcomer that speaks.
TEST_F(HostilePeers, ConnectionStillWithoutHandshakeMakesRoomAtTheLimit) {
    server().set_push_out_stall(std::chrono::milliseconds(300));
    start();
    vp_set_connection_limit(4);
    std::vector<std::unique_ptr<peer_client>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(std::make_unique<peer_client>(port));
        auto handshake = make_handshake(known_gcid, known_size);
        readers.back()->send(handshake);
        ASSERT_TRUE(readers.back()->receive());
    }
    raw_peer trickler(port);
    const std::vector<std::uint8_t> handshake = handshake_bytes(known_gcid, known_size);
    ASSERT_TRUE(trickler.send({handshake.begin(), handshake.begin() + 3}));
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 4; }));
    const vp_session_drop_stat before = drops();
    std::unique_ptr<peer_client> newcomer;
    ASSERT_TRUE(within(std::chrono::milliseconds(3000), [&] {
        auto candidate = std::make_unique<peer_client>(port);
        auto greeting = make_handshake(known_gcid, known_size, "newcomer");
        candidate->send(greeting);
        auto answer = candidate->receive(std::chrono::milliseconds(500));
        if (!answer || answer->code != cmd_handshakeresp) {
            return false;
        }
        newcomer = std::move(candidate);
        return true;
    }));
    expect_request_answered(*newcomer);
    EXPECT_EQ(drops().silent_pushed_out, before.silent_pushed_out + 1);
    for (auto& reader : readers) {
        expect_request_answered(*reader);
    }
}

// Squatters that reconnect as soon as they are pushed out are always younger than the
// stall time; as a crowd they still give their places to peers that speak, at once.
TEST_F(HostilePeers, CrowdOfSilentSessionsMakesRoomAtOnce) {
    server().set_push_out_stall(std::chrono::seconds(60));
    start();
    vp_set_connection_limit(8);
    std::vector<std::unique_ptr<peer_client>> readers;
    for (int i = 0; i < 5; ++i) {
        readers.push_back(std::make_unique<peer_client>(port));
        auto handshake = make_handshake(known_gcid, known_size);
        readers.back()->send(handshake);
        ASSERT_TRUE(readers.back()->receive());
    }
    std::vector<std::unique_ptr<raw_peer>> squatters;
    for (int i = 0; i < 3; ++i) {
        squatters.push_back(std::make_unique<raw_peer>(port));
    }
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 8; }));
    const vp_session_drop_stat before = drops();
    peer_client newcomer(port);
    auto greeting = make_handshake(known_gcid, known_size, "newcomer");
    newcomer.send(greeting);
    auto answer = newcomer.receive(std::chrono::milliseconds(2000));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_handshakeresp);
    expect_request_answered(newcomer);
    EXPECT_EQ(drops().silent_pushed_out, before.silent_pushed_out + 1);
    for (auto& reader : readers) {
        expect_request_answered(*reader);
    }
}

TEST_F(HostilePeers, PausedPeerIsAnsweredInFullOnceItReads) {
    start();
    constexpr int asked = 300;
    peer_client reader(port);
    auto handshake = make_handshake(known_gcid, known_size);
    reader.send(handshake);
    ASSERT_TRUE(reader.receive());
    reader.send_raw(requests(0, 0, 65536, asked));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the peer pauses reading
    for (int i = 0; i < asked; ++i) {
        auto answer = reader.receive();
        ASSERT_TRUE(answer) << "answer " << i;
        ASSERT_EQ(answer->code, cmd_requestresp);
    }
}

TEST_F(HostilePeers, OutputThatDoesNotMoveEndsTheSessionEvenWhileRateLimited) {
    server().set_session_timeout(std::chrono::milliseconds(400));
    start();
    ASSERT_EQ(vp_set_speed_limit(1), 1u);  // the output hardly moves
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size);
    client.send(handshake);
    auto request = make_request(0, 65536);
    client.send(request);
    ASSERT_TRUE(eventually([&] { return submits() == 1; }));
    // Input keeps arriving, so only the output's own time-out can end the session.
    p2p_cmd_keepalive1 keepalive;
    const bool ended = within(std::chrono::milliseconds(5000), [&] {
        client.send(keepalive);
        return server_stat().live_sessions == 0;
    });
    EXPECT_TRUE(ended);
}

TEST_F(HostilePeers, CommandTrickledByteByByteEndsAtItsDeadline) {
    server().set_command_deadline(std::chrono::milliseconds(500));
    start();
    raw_peer trickler(port);
    ASSERT_TRUE(trickler.send(handshake_bytes(known_gcid, known_size)));
    ASSERT_TRUE(eventually([&] { return server_stat().resource_count == 1; }));
    const std::vector<std::uint8_t> request = requests(0, 0, 100, 1);
    const auto began = std::chrono::steady_clock::now();
    bool closed = false;
    for (std::size_t i = 0; i + 1 < request.size() && !closed; ++i) {
        trickler.send({request[i]});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closed = trickler.closed_by_server();
    }
    closed = closed ||
             within(std::chrono::milliseconds(2000), [&] { return trickler.closed_by_server(); });
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
}

TEST_F(HostilePeers, SteadyPipelineEndingMidCommandEachTimeKeepsItsConnection) {
    server().set_command_deadline(std::chrono::milliseconds(300));
    start();
    auto client = handshaken_client();
    // 30 requests sent in slices of one request and a byte, so that every read ends inside a
    // command, for well past the deadline: each command is whole soon enough.
    const std::vector<std::uint8_t> stream = requests(0, 100, 100, 30);
    const std::size_t slice = 68 + 1;
    for (std::size_t at = 0; at < stream.size(); at += slice) {
        const auto end =
            stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + slice));
        client->send_raw(
            std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(at), end));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int i = 0; i < 30; ++i) {
        auto answer = client->receive();
        ASSERT_TRUE(answer) << "answer " << i;
        ASSERT_EQ(answer->code, cmd_requestresp);
    }
}

TEST_F(HostilePeers, HandshakeSquattersAreDroppedAndARealPeerGetsIn) {
    server().set_handshake_deadline(std::chrono::milliseconds(1500));
    start();
    vp_set_connection_limit(50);
    // 50 connections each announce a HANDSHAKE body they never finish.
    std::vector<std::uint8_t> header = handshake_bytes(known_gcid, known_size);
    header.resize(21);
    std::vector<std::unique_ptr<raw_peer>> squatters;
    for (int i = 0; i < 50; ++i) {
        squatters.push_back(std::make_unique<raw_peer>(port));
        squatters.back()->send(header);
    }
    // At most half the limit waits for a handshake: each one past it pushed out the oldest.
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 25; }));

    // A peer that shakes hands at once is served while they hold their slots.
    auto real = handshaken_client("real-peer");
    expect_request_answered(*real);

    // Trickling keeps the idle time-out away; the handshake deadline does not move.
    const bool all_dropped = within(std::chrono::milliseconds(6000), [&] {
        int open = 0;
        for (auto& squatter : squatters) {
            if (!squatter->closed_by_server()) {
                squatter->send({0});
                open += 1;
            }
        }
        return open == 0;
    });
    EXPECT_TRUE(all_dropped);
    EXPECT_EQ(server_stat().live_sessions, 1u) << "the real peer stays";
}

TEST_F(HostilePeers, SilentNewcomersWaitOutsideTheLimitWhileSpeakersGetIn) {
    server().set_handshake_deadline(std::chrono::milliseconds(1500));
    start();
    vp_set_connection_limit(4);  // two may wait for a handshake
    raw_peer oldest(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    raw_peer second(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 2; }));
    std::vector<std::unique_ptr<raw_peer>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<raw_peer>(port));
    }
    ASSERT_TRUE(eventually([&] { return waiting_connections() == 10; }));
    EXPECT_EQ(server_stat().live_sessions, 2u) << "waiting connections hold no slot";

    // A peer that shakes hands at once is served past all of them.
    auto real = handshaken_client("real-peer");
    expect_request_answered(*real);

    // One that begins a command leaves the room for the handshake wait, and the oldest
    // connection that has sent nothing makes room for it.
    std::vector<std::uint8_t> header = handshake_bytes(known_gcid, known_size);
    header.resize(21);
    silent.front()->send(header);
    EXPECT_TRUE(eventually([&] { return oldest.closed_by_server(); }));
    EXPECT_FALSE(second.closed_by_server());
    EXPECT_EQ(waiting_connections(), 9u);

    // Waiting ends at the handshake deadline.
    EXPECT_TRUE(within(std::chrono::milliseconds(4000), [&] {
        return std::all_of(silent.begin() + 1, silent.end(),
                           [](auto& peer) { return peer->closed_by_server(); });
    }));
    EXPECT_EQ(waiting_connections(), 0u);
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 1; })) << "the real peer";
}

TEST_F(HostilePeers, WaitingRoomPastItsCapacityClosesWhoWaitedLongest) {
    start();
    vp_set_connection_limit(2);  // one may wait for a handshake, sixteen in the room
    raw_peer squatter(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    std::vector<std::unique_ptr<raw_peer>> silent;
    for (std::size_t i = 1; i <= 17; ++i) {
        silent.push_back(std::make_unique<raw_peer>(port));
        ASSERT_TRUE(
            eventually([&] { return waiting_connections() == std::min<std::size_t>(i, 16); }));
    }
    EXPECT_TRUE(eventually([&] { return silent.front()->closed_by_server(); }));
    for (std::size_t i = 1; i < silent.size(); ++i) {
        EXPECT_FALSE(silent[i]->closed_by_server()) << i;
    }
    EXPECT_FALSE(squatter.closed_by_server());
}

TEST_F(HostilePeers, WaitingConnectionThatSpeaksOnceTheLimitIsFullIsRefused) {
    server().set_push_out_stall(std::chrono::milliseconds(300));  // how long it may wait
    start();
    vp_set_connection_limit(4);  // two may wait for a handshake
    std::vector<std::unique_ptr<raw_peer>> squatters;
    squatters.push_back(std::make_unique<raw_peer>(port));
    squatters.push_back(std::make_unique<raw_peer>(port));
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 2; }));
    raw_peer waiting(port);
    ASSERT_TRUE(eventually([&] { return waiting_connections() == 1; }));
    squatters.clear();  // they leave; handshaken peers fill the limit
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    std::vector<std::unique_ptr<peer_client>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(handshaken_client("peer-" + std::to_string(i)));
    }
    ASSERT_EQ(server_stat().live_sessions, 4u);

    vp_refusal_stat before{};
    vp_get_refusal_stat(&before);
    waiting.send(handshake_bytes(known_gcid, known_size));
    EXPECT_TRUE(eventually([&] { return waiting.closed_by_server(); }));
    vp_refusal_stat after{};
    vp_get_refusal_stat(&after);
    EXPECT_EQ(after.connection_limit, before.connection_limit + 1);
    EXPECT_EQ(server_stat().live_sessions, 4u);
}

TEST_F(HostilePeers, HandshakeAlreadyArrivedIsReadBeforeItsConnectionCouldBePushedOut) {
    start();
    vp_set_connection_limit(4);  // two may wait for a handshake
    peer_client early(port);     // the oldest waiting connection; it shakes hands late
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    raw_peer squatter(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 2; }));

    // With the loop held, the oldest sends its HANDSHAKE and a newcomer begins one, so
    // that someone must make room for it. Whatever the loop takes first when it runs
    // again, the HANDSHAKE that has arrived is read, not pushed out.
    std::vector<std::uint8_t> header = handshake_bytes(known_gcid, known_size);
    header.resize(21);
    std::unique_ptr<raw_peer> newcomer;
    while_loop_held([&] {
        auto early_handshake = make_handshake(known_gcid, known_size, "early-peer");
        early.send(early_handshake);
        newcomer = std::make_unique<raw_peer>(port);
        newcomer->send(header);
    });

    auto answer = early.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_handshakeresp);
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 3; }));
    EXPECT_FALSE(squatter.closed_by_server());
    EXPECT_FALSE(newcomer->closed_by_server());
}

TEST_F(HostilePeers, GarbageAlreadySentEndsItsConnectionAtAccept) {
    start();
    vp_set_connection_limit(2);  // one may wait for a handshake
    raw_peer squatter(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    // Bytes that cannot start a command, sent before the server gets to the connection.
    std::unique_ptr<raw_peer> garbage;
    while_loop_held([&] {
        garbage = std::make_unique<raw_peer>(port);
        garbage->send(invalid_frame_bytes());
    });
    EXPECT_TRUE(eventually([&] { return garbage->closed_by_server(); }));
    EXPECT_FALSE(squatter.closed_by_server()) << "garbage took no waiting slot";
}

TEST_F(HostilePeers, HandshakesWithMadeUpGcidsLeaveTheTotalsAsTheyWere) {
    start();
    const std::size_t before = totals_entries();
    constexpr int threads = 8;
    constexpr int per_thread = 1250;  // 10,000 handshakes in all
    std::vector<std::thread> workers;
    std::atomic<int> refused{0};
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < per_thread; ++i) {
                std::ostringstream gcid;
                for (int digit = 0; digit < 40; ++digit) {
                    gcid << "0123456789ABCDEF"[random() % 16];
                }
                peer_client client(port);
                auto handshake = make_handshake(gcid.str(), 1000);
                client.send(handshake);
                auto answer = client.receive();
                if (answer && answer->code == cmd_handshakeresp &&
                    static_cast<p2p_cmd_handshakeresp&>(*answer).result == 102) {
                    refused += 1;
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(refused.load(), threads * per_thread);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    EXPECT_EQ(totals_entries(), before);
}

// --- the real block cache with a page budget of 64 MiB (or a small one) ---

constexpr std::uint64_t page = 65536;

std::string hostile_file_path;
bool path_of_hostile_file(const char*, char* path, unsigned int size) {
    if (hostile_file_path.size() + 1 > size) {
        return false;
    }
    std::memcpy(path, hostile_file_path.c_str(), hostile_file_path.size() + 1);
    return true;
}

class HostilePeersOnRealCache : public HostilePeers {
protected:
    static constexpr std::uint64_t file_size = 3000 * page;

    virtual std::uint64_t budget() const { return 64ull << 20; }

    void SetUp() override {
        HostilePeers::SetUp();
        server().set_block_cache_factory({});
        const std::uint64_t budget = this->budget();
        std::ofstream(home.path() / "Wharfkeep.ini")
            << "[vp]\nblock_size=" << budget << "\nminimum_mem_size=" << budget
            << "\nmaximum_mem_size=" << budget << "\nreserved_mem_size=0\n";
        // A sparse file: its pages read as zeros without taking disk space.
        hostile_file_path = (home.path() / "movie.mp4").string();
        const int fd = ::open(hostile_file_path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(file_size)), 0);
        ::close(fd);
        vp_set_gcid2path_function(&path_of_hostile_file);
        start();
    }

    // `count` peers that never read, each asking for `pages` pages from `first_page(i)` on.
    std::vector<std::unique_ptr<raw_peer>> hoarders(
        int pages, int repeats, const std::function<std::uint64_t(int)>& first_page, int count = 24,
        int receive_buffer = 16 * 1024) {
        std::vector<std::unique_ptr<raw_peer>> all;
        for (int i = 0; i < count; ++i) {
            all.push_back(std::make_unique<raw_peer>(port, receive_buffer));
            all.back()->send(handshake_bytes(known_gcid, file_size));
            std::vector<std::uint8_t> asked;
            for (int r = 0; r < repeats; ++r) {
                auto more = requests(first_page(i) * page, page, page, pages);
                asked.insert(asked.end(), more.begin(), more.end());
            }
            all.back()->send_what_fits(asked);
        }
        return all;
    }
};

TEST_F(HostilePeersOnRealCache, PeersThatNeverReadDoNotGrowMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory makes resident memory no measure of ours";
#endif
    const std::uint64_t before = platform::process_resident_bytes(::getpid());
    // The same 120 cached pages asked for over and over: without a bound every answer
    // would queue one more reference (and its bookkeeping) in the output.
    auto peers = hoarders(120, 40, [](int) { return 0; });
    // Growth has no end to wait for: two seconds of serving them show whether there is any.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::uint64_t after = platform::process_resident_bytes(::getpid());
    const std::uint64_t grown = after - std::min(before, after);
    EXPECT_LE(grown, 48ull << 20) << "resident memory grew by " << (grown >> 20) << " MiB";
    EXPECT_EQ(server_stat().live_sessions, 24u);
}

TEST_F(HostilePeersOnRealCache, WellBehavedPeerIsAnsweredWhileOthersHoldPages) {
    // 24 × 120 distinct pages: more than the budget holds, had the peers their way.
    auto peers = hoarders(120, 1, [](int i) { return static_cast<std::uint64_t>(i) * 120; });
    // Ask once every hoarder holds pages: 1 MiB each, half of what its share lets it take.
    ASSERT_TRUE(within(std::chrono::milliseconds(10000), [&] {
        vp_cache_counters counters{};
        return vp_get_cache_counters(&counters) == 0 && counters.page_misses >= 24u * 16u;
    }));

    peer_client good(port);
    auto handshake = make_handshake(known_gcid, file_size);
    good.send(handshake);
    ASSERT_TRUE(good.receive());
    const auto asked = std::chrono::steady_clock::now();
    auto request = make_request(2990 * page, 4096);  // a page nobody has read yet
    good.send(request);
    auto answer = good.receive(std::chrono::milliseconds(5000));
    const auto waited = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_requestresp);
    // It once waited 12 s for pages held by the hoarders. Generous for a loaded machine.
    EXPECT_LT(waited, std::chrono::seconds(2));
}

class HostilePeersOnSmallBudget : public HostilePeersOnRealCache {
protected:
    static constexpr std::uint64_t small_budget = 8ull << 20;
    std::uint64_t budget() const override { return small_budget; }
};

TEST_F(HostilePeersOnSmallBudget, PeerAskingForAPageIsAnsweredWithinASecondHoweverManyDoNotRead) {
    // Sixteen times as many non-readers as the budget holds at the full share of 2 MiB,
    // each asking for pages of its own.
    constexpr int non_readers = 16 * static_cast<int>(small_budget / (2u << 20));  // 64
    const vp_session_drop_stat before = drops();
    peer_client good(port);
    auto handshake = make_handshake(known_gcid, file_size);
    good.send(handshake);
    ASSERT_TRUE(good.receive());
    auto peers = hoarders(
        40, 1, [](int i) { return static_cast<std::uint64_t>(i) * 40; }, non_readers, 4096);
    // Ask once their answers hold every page and reads wait for one.
    ASSERT_TRUE(within(std::chrono::milliseconds(5000), [&] {
        bool short_of_pages = false;
        server().loop_call([&] { short_of_pages = server().cache().waiting_for_pages(); });
        return short_of_pages;
    }));

    for (std::uint64_t fresh_page : {2990u, 2995u}) {  // pages nobody has read yet
        const auto asked = std::chrono::steady_clock::now();
        auto request = make_request(fresh_page * page, 4096);
        good.send(request);
        auto answer = good.receive(std::chrono::milliseconds(5000));
        const auto waited = std::chrono::steady_clock::now() - asked;
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->code, cmd_requestresp);
        EXPECT_LE(waited, std::chrono::seconds(1))
            << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms";
    }
    EXPECT_TRUE(within(std::chrono::milliseconds(3000), [&] {
        return drops().stalled_for_pages > before.stalled_for_pages;
    })) << "the non-readers starved each other and lost their pages";
}

// --- a full descriptor table, in a child process of its own ---

TEST_F(HostilePeers, FullDescriptorTableCostsNoCpuAndServingResumes) {
    // The server with 48 descriptors in all.
    platform::testing::ChildUnderDescriptorLimit child(
        48, [] { return vp_start(0) == 0 ? server().bound_port() : std::uint16_t{0}; });
    const std::uint16_t child_port = child.port();
    ASSERT_NE(child_port, 0);

    std::vector<std::unique_ptr<raw_peer>> crowd;
    for (int i = 0; i < 80; ++i) {
        crowd.push_back(std::make_unique<raw_peer>(child_port));
    }
    // Accepting stops when a connection leaves fewer than the descriptors kept free.
    ASSERT_TRUE(within(std::chrono::milliseconds(10000), [&] {
        return child.OpenDescriptors() >= 48u - platform::kDescriptorsKeptFree;
    }));
    const double before = platform::process_cpu_seconds(child.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span the CPU time is taken over
    const double used = platform::process_cpu_seconds(child.pid()) - before;
    // Spinning would take the whole 2 s; pausing costs next to nothing. Generous bound.
    EXPECT_LT(used, 0.4) << "CPU seconds used in 2 s with the descriptor table full";
    // Connections leave the last few descriptors to the files a peer that gets in needs.
    EXPECT_LE(child.OpenDescriptors(), 48u - platform::kDescriptorsKeptFree / 2);

    crowd.clear();  // descriptors free up
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        peer_client client(child_port);
        auto handshake = make_handshake(known_gcid, known_size);
        client.send(handshake);
        auto answer = client.receive(std::chrono::milliseconds(500));
        served = answer && answer->code == cmd_handshakeresp;
    }
    EXPECT_TRUE(served) << "serving resumes once descriptors are free";

    const int warnings = child.StopAndCountLines("cannot accept");
    EXPECT_GE(warnings, 1) << "running out of descriptors is said";
    EXPECT_LE(warnings, 1) << "and said once, not once per failed accept";
}

}  // namespace
}  // namespace peerfeed::test
