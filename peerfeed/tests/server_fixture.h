#pragma once
// A server started through the exports on 127.0.0.1 (ephemeral port) with a fake block
// cache and a fresh application-data folder; stopped and reset after each test.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "fake_block_cache.h"
#include "peer_client.h"
#include "peerfeed/peerfeed.h"
#include "server.h"
#include "temp_folder.h"
#include "wait_until.h"

namespace peerfeed::test {

inline const std::string known_gcid = "0123456789ABCDEF0123456789ABCDEF01234567";
inline constexpr std::uint64_t known_size = 1000000;

class server_test : public ::testing::Test {
protected:
    void SetUp() override {
        cache_state = std::make_shared<fake_cache_state>();
        cache_state->files[known_gcid] = known_size;
        auto state = cache_state;
        server().set_block_cache_factory(
            [state] { return std::make_unique<fake_block_cache>(state); });
        server().set_loopback_ephemeral(true);
    }

    void TearDown() override {
        vp_stop();
        server().set_block_cache_factory({});
        server().set_loopback_ephemeral(false);
        server().set_session_timeout(std::chrono::seconds(60));
        vp_set_gcid2path_function(nullptr);
        vp_set_ip_filter_function(nullptr);
        vp_set_connection_limit(0);
        vp_set_address_connection_limit(0);
        vp_set_upload_paused(0);
        vp_set_speed_limit(0);
    }

    static upload_server& server() { return upload_server::instance(); }

    void start() {
        ASSERT_EQ(vp_start(0), 0);
        port = server().bound_port();
        ASSERT_NE(port, 0);
    }

    // A client that has shaken hands for the known file.
    std::unique_ptr<peer_client> handshaken_client(const std::string& peer_id = "peer-A") {
        auto client = std::make_unique<peer_client>(port);
        auto handshake = make_handshake(known_gcid, known_size, peer_id);
        client->send(handshake);
        auto answer = client->receive();
        EXPECT_TRUE(answer && answer->code == cmd_handshakeresp);
        return client;
    }

    peerfeed_stat server_stat() {
        peerfeed_stat stat{};
        EXPECT_EQ(vp_get_server_stat(&stat), 0);
        return stat;
    }

    // Polls `condition` for up to three seconds.
    static bool eventually(const std::function<bool()>& condition) {
        return platform::testing::WaitUntil(condition, std::chrono::seconds(3));
    }

    platform::testing::TempHome home{"peerfeed-test"};
    std::shared_ptr<fake_cache_state> cache_state;
    std::uint16_t port = 0;
};

}  // namespace peerfeed::test
