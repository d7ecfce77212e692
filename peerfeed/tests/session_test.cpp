// The session rules, through real loopback connections against a running server.

#include <cstring>

#include "server_fixture.h"

namespace peerfeed::test {
namespace {

void store_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A noise-framed command with a code the server has no class for.
std::vector<std::uint8_t> unknown_command(std::uint8_t code) {
    p2p_cmd_tcp command(code);
    return encode(command);
}

class Session : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        start();
    }

    void expect_data(p2p_cmd_tcp* answer, std::uint64_t offset, std::uint32_t length) {
        ASSERT_NE(answer, nullptr);
        ASSERT_EQ(answer->code, cmd_requestresp);
        auto& response = static_cast<p2p_cmd_requestresp&>(*answer);
        EXPECT_EQ(response.result, 0);
        EXPECT_EQ(response.offset, offset);
        ASSERT_EQ(response.data_length(), length);
        for (std::uint32_t i = 0; i < length; ++i) {
            ASSERT_EQ(response.data()[i], fake_byte(offset + i)) << "at " << offset + i;
        }
    }

    void hold_completions(bool hold) {
        std::lock_guard lock(cache_state->mutex);
        cache_state->hold_completions = hold;
    }

    void release_held() {
        ASSERT_TRUE(server().loop_call([this] { cache_state->current->release_held(); }));
    }

    std::size_t submits() {
        std::lock_guard lock(cache_state->mutex);
        return cache_state->submits.size();
    }
};

TEST_F(Session, HandshakeThenInterestedGivesOneRangeOverTheFile) {
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size);
    client.send(handshake);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->code, cmd_handshakeresp);
    auto& response = static_cast<p2p_cmd_handshakeresp&>(*answer);
    EXPECT_EQ(response.result, 0);
    EXPECT_EQ(response.body_length, 55u);
    EXPECT_EQ(response.ext_words, ext_words_marked);

    p2p_cmd_interested interested;
    client.send(interested);
    auto ranges = client.receive();
    ASSERT_TRUE(ranges);
    ASSERT_EQ(ranges->code, cmd_interestedresp);
    auto& offer = static_cast<p2p_cmd_interestedresp&>(*ranges);
    EXPECT_EQ(offer.completion, 100);
    ASSERT_EQ(offer.ranges.size(), 1u);
    EXPECT_EQ(offer.ranges[0], (p2p_range{0, known_size}));

    p2p_cmd_keepalive1 keepalive;
    client.send(keepalive);
    EXPECT_TRUE(client.stays_quiet()) << "KEEPALIVE is not answered";
}

TEST_F(Session, CdnHandshakeIsAHandshake) {
    peer_client client(port);
    p2p_cmd_cdn_handshake handshake;
    static_cast<p2p_cmd_handshake&>(handshake) = make_handshake(known_gcid, known_size);
    handshake.code = cmd_cdn_handshake;
    client.send(handshake);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(static_cast<p2p_cmd_handshakeresp&>(*answer).result, 0);
}

TEST_F(Session, CommandsBeforeTheHandshakeCloseSilently) {
    std::vector<std::unique_ptr<p2p_cmd_tcp>> early;
    early.push_back(std::make_unique<p2p_cmd_request>(make_request(0, 10)));
    early.push_back(std::make_unique<p2p_cmd_interested>());
    early.push_back(std::make_unique<p2p_cmd_keepalive1>());
    early.push_back(std::make_unique<p2p_cmd_cancel>());
    for (auto& command : early) {
        peer_client client(port);
        client.send(*command);
        EXPECT_TRUE(client.closed_without_data()) << p2p_cmd_name(command->code);
    }
    EXPECT_EQ(submits(), 0u);
}

TEST_F(Session, AnswersFromPeersAreIgnored) {
    auto client = handshaken_client();
    p2p_cmd_handshakeresp echoed;
    p2p_cmd_cancelresp cancelresp;
    client->send(echoed);
    client->send(cancelresp);
    EXPECT_TRUE(client->stays_quiet());
}

TEST_F(Session, SecondHandshakeCloses) {
    auto client = handshaken_client();
    auto again = make_handshake(known_gcid, known_size);
    client->send(again);
    EXPECT_TRUE(client->closed_without_data());
}

TEST_F(Session, WrongSizeIsAnswered102AndThenClosed) {
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size - 1);
    // Commands behind the refused handshake are not processed.
    auto interested = p2p_cmd_interested();
    client.send_raw(concat({encode(handshake), encode(interested)}));
    auto answer = client.receive();
    ASSERT_TRUE(answer) << "the refusal reaches the peer before the connection goes";
    ASSERT_EQ(answer->code, cmd_handshakeresp);
    EXPECT_EQ(static_cast<p2p_cmd_handshakeresp&>(*answer).result, 102);
    EXPECT_TRUE(client.closed_without_data());
    EXPECT_EQ(cache_state->opens, 0);
}

TEST_F(Session, RefusedHandshakeWhoseAnswerCannotLeaveEndsWithinTheBound) {
    server().set_session_timeout(std::chrono::milliseconds(300));
    // One byte a second: the answer stays in the output buffer.
    ASSERT_EQ(vp_set_speed_limit(1), 1u);
    peer_client client(port);
    auto handshake = make_handshake("FF" + known_gcid.substr(2), known_size);
    client.send(handshake);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    EXPECT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    client.closed_without_data(std::chrono::milliseconds(1000));  // a byte or two may arrive
    EXPECT_TRUE(client.closed());
}

TEST_F(Session, RequestBoundsAreChecked) {
    struct bound {
        std::uint64_t offset;
        std::uint64_t length;
        bool valid;
    };
    for (const bound& each : {bound{known_size - 1, 1, true}, bound{0, 65536, true},
                              bound{known_size - 65536, 65536, true}, bound{0, 65537, false},
                              bound{known_size - 10, 11, false}, bound{known_size, 1, false},
                              bound{~0ull - 5, 10, false}}) {
        auto client = handshaken_client();
        auto request = make_request(each.offset, each.length);
        client->send(request);
        if (each.valid) {
            auto answer = client->receive();
            expect_data(answer.get(), each.offset, static_cast<std::uint32_t>(each.length));
        } else {
            EXPECT_TRUE(client->closed_without_data())
                << "offset " << each.offset << " length " << each.length;
        }
    }
}

TEST_F(Session, RequestRuleViolationsCloseAlsoWhenTheBodyEndsEarly) {
    auto zero_length = make_request(0, 0);
    auto zero_word = make_request(0, 10);
    zero_word.rq_word = 0;
    auto cut = encode(*std::make_unique<p2p_cmd_request>(make_request(0, 10)));
    cut.resize(21 + 9);  // ends inside `length`
    store_u32(cut, 17, 9);
    for (const auto& bytes : {encode(zero_length), encode(zero_word), cut}) {
        auto client = handshaken_client();
        client->send_raw(bytes);
        EXPECT_TRUE(client->closed_without_data());
    }
    EXPECT_EQ(submits(), 0u) << "no read planned for a request that is not one";
}

TEST_F(Session, AtMost257RequestsArePending) {
    hold_completions(true);
    auto client = handshaken_client();
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 257; ++i) {
        auto request = make_request(static_cast<std::uint64_t>(i) * 100, 100);
        auto bytes = encode(request);
        burst.insert(burst.end(), bytes.begin(), bytes.end());
    }
    client->send_raw(burst);
    p2p_cmd_cancel cancel;
    client->send(cancel);
    auto answer = client->receive();
    ASSERT_TRUE(answer) << "257 pending requests are accepted";
    EXPECT_EQ(answer->code, cmd_cancelresp);
    EXPECT_EQ(submits(), 257u);

    auto flooding = handshaken_client();
    burst.insert(burst.end(), burst.begin(), burst.begin() + 68);  // a 258th request
    flooding->send_raw(burst);
    EXPECT_TRUE(flooding->closed_without_data());
    EXPECT_EQ(submits(), 257u + 257u);
}

TEST_F(Session, CancelWithReadsInFlightAnswersAtOnceAndDropsTheirData) {
    hold_completions(true);
    auto client = handshaken_client();
    for (int i = 0; i < 3; ++i) {
        auto request = make_request(static_cast<std::uint64_t>(i) * 4096, 4096);
        client->send(request);
    }
    ASSERT_TRUE(eventually([&] { return submits() == 3; }));
    p2p_cmd_cancel cancel;
    client->send(cancel);
    auto answer = client->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_cancelresp);

    release_held();
    EXPECT_TRUE(client->stays_quiet()) << "cancelled reads send nothing";

    hold_completions(false);
    auto request = make_request(8192, 10);
    client->send(request);
    auto data = client->receive();
    expect_data(data.get(), 8192, 10);
}

TEST_F(Session, CompletionsAreAnsweredInCompletionOrder) {
    hold_completions(true);
    auto client = handshaken_client();
    auto first = make_request(0, 10);
    auto second = make_request(500, 20);
    client->send_raw(concat({encode(first), encode(second)}));
    ASSERT_TRUE(eventually([&] { return submits() == 2; }));
    release_held();
    auto a = client->receive();
    auto b = client->receive();
    expect_data(a.get(), 0, 10);
    expect_data(b.get(), 500, 20);
}

TEST_F(Session, FailedReadClosesWithoutAnAnswer) {
    {
        std::lock_guard lock(cache_state->mutex);
        cache_state->failing_offsets.insert(4096);
    }
    auto client = handshaken_client();
    auto good = make_request(0, 16);
    client->send(good);
    expect_data(client->receive().get(), 0, 16);
    auto bad = make_request(4096, 16);
    client->send(bad);
    EXPECT_TRUE(client->closed_without_data());
}

TEST_F(Session, TwoCommandsInOneSegmentAreBothHandled) {
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size);
    p2p_cmd_interested interested;
    client.send_raw(concat({encode(handshake), encode(interested)}));
    auto first = client.receive();
    auto second = client.receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->code, cmd_handshakeresp);
    EXPECT_EQ(second->code, cmd_interestedresp);
}

TEST_F(Session, UnknownCodeBetweenTwoCommandsDelaysTheSecond) {
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size);
    p2p_cmd_interested interested;
    client.send_raw(
        concat({encode(handshake), unknown_command(cmd_notinterested), encode(interested)}));
    auto first = client.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->code, cmd_handshakeresp);
    EXPECT_TRUE(client.stays_quiet()) << "the INTERESTED waits for more bytes";

    p2p_cmd_keepalive1 keepalive;
    client.send(keepalive);
    auto second = client.receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->code, cmd_interestedresp);
}

TEST_F(Session, OversizeBodyClosesWithoutWaitingForIt) {
    auto client = handshaken_client();
    std::vector<std::uint8_t> header = unknown_command(cmd_request);
    store_u32(header, 17, 65535);
    client->send_raw(header);
    EXPECT_TRUE(client->closed_without_data(std::chrono::milliseconds(1000)));
}

TEST_F(Session, MalformedHandshakeClosesWithoutAnswer) {
    peer_client client(port);
    auto handshake = make_handshake(known_gcid, known_size);
    auto bytes = encode(handshake);
    store_u32(bytes, 21 + 5, 21);  // cid length that overruns the 20-byte field
    client.send_raw(bytes);
    EXPECT_TRUE(client.closed_without_data());
    EXPECT_EQ(cache_state->opens, 0);
}

TEST_F(Session, FloodOfSkippedFramesIsDroppedNotBuffered) {
    peer_client client(port);
    const auto skipped = unknown_command(cmd_choke);
    std::vector<std::uint8_t> flood;
    while (flood.size() < (3u << 20)) {
        flood.insert(flood.end(), skipped.begin(), skipped.end());
    }
    client.send_raw(flood);
    EXPECT_TRUE(client.closed_without_data(std::chrono::milliseconds(5000)));
}

TEST_F(Session, SilentPeerIsDroppedAfterTheIdleTimeout) {
    server().set_session_timeout(std::chrono::milliseconds(200));
    peer_client silent(port);
    const auto connected = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.closed_without_data(std::chrono::milliseconds(3000)));
    EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(150));
}

TEST_F(Session, EndedSessionReleasesItsFile) {
    { auto client = handshaken_client(); }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(cache_state->mutex);
        return cache_state->releases == 1;
    }));
    EXPECT_EQ(server_stat().live_sessions, 0u);
}

}  // namespace
}  // namespace peerfeed::test
