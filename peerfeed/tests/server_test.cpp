// The server through its exports: start and stop, ports, admission, limits, statistics.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "call_queue.h"
#include "platform/free_port.h"
#include "server_fixture.h"

namespace peerfeed::test {
namespace {

// build/lib: from WK_LIB_DIR, else beside the tests' build/tests folder.
std::filesystem::path library_folder() {
    if (const char* folder = std::getenv("WK_LIB_DIR")) {
        return folder;
    }
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
}

TEST(ServerExports, LibraryExportsEverythingAndStartsOutOn8189) {
    const std::string library_path = (library_folder() / "libpeerfeed.so").string();
    void* library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"vp_start",
                             "vp_stop",
                             "vp_run_stat",
                             "vp_get_bind_addr",
                             "vp_set_gcid2path_function",
                             "vp_set_ip_filter_function",
                             "vp_set_speed_limit",
                             "vp_get_speed_limit",
                             "vp_set_connection_limit",
                             "vp_get_connection_limit",
                             "vp_get_server_stat",
                             "vp_get_cache_stat",
                             "vp_get_cache_counters",
                             "vp_get_resource_stat_list",
                             "vp_free_resource_stat_list",
                             "vp_get_connection_list",
                             "vp_free_connection_list",
                             "vp_close_file",
                             "vp_close_all_files",
                             "vp_log_to_debugview",
                             "vp_set_address_connection_limit",
                             "vp_get_address_connection_limit",
                             "vp_get_refusal_stat",
                             "vp_get_session_drop_stat",
                             "vp_set_upload_paused",
                             "vp_get_upload_paused",
                             "vp_reload_settings",
                             "vp_set_session_function",
                             "vp_get_histograms",
                             "vp_probe_loop"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    EXPECT_NE(dlsym(library, "vp_set_log_function"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN8peerfeed13upload_server8instanceEv"), nullptr)
        << "internals stay hidden";

    // The loaded library has state of its own, as fresh as in a new process.
    auto get_bind_addr =
        reinterpret_cast<int (*)(sockaddr_in*)>(dlsym(library, "vp_get_bind_addr"));
    auto run_stat = reinterpret_cast<int (*)()>(dlsym(library, "vp_run_stat"));
    ASSERT_TRUE(get_bind_addr && run_stat);
    sockaddr_in address{};
    address.sin_port = 1;
    EXPECT_EQ(get_bind_addr(&address), 0);
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohs(address.sin_port), 8189);
    EXPECT_EQ(run_stat(), 0);
    dlclose(library);
}

class Lifecycle : public server_test {};

TEST_F(Lifecycle, PortIsKeptAcrossRestartsAndStartWhileRunningChangesNothing) {
    server().set_loopback_ephemeral(false);
    const std::uint16_t chosen = platform::free_tcp_port();
    ASSERT_EQ(vp_start(chosen), 0);
    EXPECT_EQ(vp_run_stat(), 1);
    EXPECT_EQ(server().bound_port(), chosen);
    EXPECT_TRUE(peer_client(chosen).connected());

    EXPECT_EQ(vp_start(platform::free_tcp_port()), 0) << "already running";
    EXPECT_EQ(server().bound_port(), chosen);

    EXPECT_EQ(vp_stop(), 0);
    EXPECT_EQ(vp_run_stat(), 0);
    EXPECT_FALSE(peer_client(chosen).connected());
    EXPECT_EQ(vp_stop(), 0) << "stopping a stopped server";

    ASSERT_EQ(vp_start(0), 0);
    EXPECT_EQ(server().bound_port(), chosen);
    EXPECT_TRUE(peer_client(chosen).connected());
    sockaddr_in address{};
    vp_get_bind_addr(&address);
    EXPECT_EQ(ntohs(address.sin_port), chosen);
    EXPECT_EQ(cache_state->starts, 2);
}

TEST_F(Lifecycle, BindFailureReportsOneAndLeavesNothingRunning) {
    server().set_loopback_ephemeral(false);
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);

    EXPECT_EQ(vp_start(ntohs(address.sin_port)), 1);
    EXPECT_EQ(vp_run_stat(), 0);
    EXPECT_EQ(cache_state->starts, cache_state->stops) << "the cache was stopped again";
    ::close(blocker);
    ASSERT_EQ(vp_start(0), 0) << "the same port binds once it is free";
    EXPECT_EQ(vp_run_stat(), 1);
}

TEST_F(Lifecycle, StatisticsOfAStoppedServerAnswerAtOnce) {
    peerfeed_stat stat{};
    vp_cache_stat cache{};
    EXPECT_EQ(vp_get_server_stat(&stat), 1);
    EXPECT_EQ(vp_get_cache_stat(&cache), 1);
    EXPECT_EQ(vp_get_server_stat(nullptr), 1);
    resource_stat_list* resources = vp_get_resource_stat_list();
    ASSERT_NE(resources, nullptr);
    EXPECT_EQ(resources->count, 0u);
    EXPECT_EQ(resources->entries, nullptr);
    vp_free_resource_stat_list(resources);
    vp_connection_list* connections = vp_get_connection_list("");
    ASSERT_NE(connections, nullptr);
    EXPECT_EQ(connections->count, 0u);
    vp_free_connection_list(connections);
    vp_free_connection_list(nullptr);
    EXPECT_EQ(vp_close_file(known_gcid.c_str()), 0);
    EXPECT_EQ(vp_close_all_files(), 0);
}

// The probe answers at once while the loop turns, and gives up at its deadline while the
// loop is busy with something else.
TEST_F(Lifecycle, LoopProbeAnswersWhileTheLoopTurnsAndGivesUpWhenItIsStuck) {
    EXPECT_EQ(vp_probe_loop(1000), 1) << "not running";
    start();
    EXPECT_EQ(vp_probe_loop(5000), 0);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto entered = std::make_shared<std::promise<void>>();
    std::future<void> loop_is_stuck = entered->get_future();
    std::thread blocker([&] {
        server().loop_call([released, entered] {
            entered->set_value();
            released.wait();
        });
    });
    // Probed only once the loop is held: before, the probe would simply run first.
    const bool held = loop_is_stuck.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    const auto asked = std::chrono::steady_clock::now();
    const int stuck = held ? vp_probe_loop(100) : -1;
    const auto answered = std::chrono::steady_clock::now();
    release.set_value();
    blocker.join();
    ASSERT_TRUE(held) << "the blocking task never ran on the loop";
    EXPECT_EQ(stuck, 2);
    EXPECT_LT(answered - asked, std::chrono::seconds(10));
    EXPECT_EQ(vp_probe_loop(5000), 0);
}

TEST_F(Lifecycle, StopEndsLiveSessionsAndReleasesTheirFiles) {
    start();
    auto first = handshaken_client();
    auto second = handshaken_client();
    peer_client idle(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 3; }));
    vp_stop();
    EXPECT_TRUE(first->closed_without_data());
    EXPECT_TRUE(second->closed_without_data());
    EXPECT_TRUE(idle.closed_without_data());
    EXPECT_EQ(cache_state->opens, 2);
    EXPECT_EQ(cache_state->releases, 2);
    EXPECT_EQ(cache_state->stops, 1);
}

TEST(CallQueue, ClosingReleasesAWaiterWhoseTaskWasDropped) {
    evthread_use_pthreads();
    event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    {
        call_queue queue(base);
        std::atomic<bool> ran{false};
        // Nobody dispatches the base, so the task can only be dropped.
        auto waiter =
            std::async(std::launch::async, [&] { return queue.run([&] { ran = true; }); });
        // The waiter's task is queued once it has woken the loop: the wake-up event is active.
        ASSERT_TRUE(platform::testing::WaitUntil(
            [&] { return event_base_get_num_events(base, EVENT_BASE_COUNT_ACTIVE) > 0; }));
        queue.close();
        ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(waiter.get());
        EXPECT_FALSE(ran);
        EXPECT_FALSE(queue.run([] {})) << "a closed queue refuses new tasks";
    }
    event_base_free(base);
}

class Admission : public server_test {};

TEST_F(Admission, ConnectionLimitTurnsAwayOnlyNewConnections) {
    start();
    EXPECT_EQ(vp_set_connection_limit(2), 2u);
    EXPECT_EQ(vp_get_connection_limit(), 2u);
    auto first = handshaken_client();
    auto second = handshaken_client();
    peer_client third(port);
    EXPECT_TRUE(third.closed_without_data());
    EXPECT_EQ(server_stat().live_sessions, 2u);

    vp_set_connection_limit(3);
    auto fourth = handshaken_client();
    EXPECT_EQ(server_stat().live_sessions, 3u);
    vp_set_connection_limit(1);
    EXPECT_TRUE(first->stays_quiet()) << "sessions already open are never dropped";
    EXPECT_EQ(server_stat().live_sessions, 3u);
}

std::atomic<int> filter_calls{0};
bool refuse_127_0_0_5(in_addr* address) {
    filter_calls += 1;
    return address->s_addr == inet_addr("127.0.0.5");
}

TEST_F(Admission, IpFilterClosesOnlyTheRefusedPeerAndHearsEveryConnection) {
    start();
    filter_calls = 0;
    vp_set_ip_filter_function(&refuse_127_0_0_5);
    peer_client refused(port, "127.0.0.5");
    EXPECT_TRUE(refused.closed_without_data());
    peer_client other(port, "127.0.0.6");
    EXPECT_TRUE(other.stays_quiet());
    EXPECT_EQ(server_stat().live_sessions, 1u);

    vp_set_connection_limit(1);
    peer_client over_limit(port, "127.0.0.7");
    EXPECT_TRUE(over_limit.closed_without_data());
    EXPECT_EQ(filter_calls.load(), 3) << "the filter is asked also when the limit is reached";
}

std::mutex told_mutex;
std::vector<std::string> told_sessions;  // "opened 127.0.0.6", "ended 127.0.0.6"
void remember_session(const sockaddr_in* peer, int what) {
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer->sin_addr, address, sizeof address);
    std::lock_guard lock(told_mutex);
    told_sessions.push_back((what == VP_SESSION_OPENED ? "opened " : "ended ") +
                            std::string(address));
}

std::vector<std::string> sessions_told() {
    std::lock_guard lock(told_mutex);
    return told_sessions;
}

// The host hears each session that opens and ends, also those a stop ends; refused
// connections never were sessions.
TEST_F(Admission, TheHostIsToldOfEverySessionOpenedAndEnded) {
    {
        std::lock_guard lock(told_mutex);
        told_sessions.clear();
    }
    vp_set_session_function(&remember_session);
    start();
    vp_set_ip_filter_function(&refuse_127_0_0_5);
    peer_client refused(port, "127.0.0.5");
    EXPECT_TRUE(refused.closed_without_data());
    {
        peer_client leaving(port, "127.0.0.6");
        ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    }
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    peer_client staying(port, "127.0.0.7");
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 1; }));
    vp_stop();
    vp_set_session_function(nullptr);
    EXPECT_EQ(sessions_told(), (std::vector<std::string>{"opened 127.0.0.6", "ended 127.0.0.6",
                                                         "opened 127.0.0.7", "ended 127.0.0.7"}));
}

std::mutex logged_mutex;
std::vector<std::pair<int, std::string>> logged;
void remember_line(int level, const char* text) {
    std::lock_guard lock(logged_mutex);
    logged.emplace_back(level, text);
}

TEST_F(Admission, RefusedPeersReachTheHostsLogSinkWithAddressAndReasonAtMostTenAMinute) {
    {
        std::lock_guard lock(logged_mutex);
        logged.clear();
    }
    vp_set_log_function(&remember_line);
    start();  // the host's sink outlives vp_start's own choice of sink
    vp_set_ip_filter_function(&refuse_127_0_0_5);
    for (int i = 0; i < 12; ++i) {
        peer_client refused(port, "127.0.0.5");
        EXPECT_TRUE(refused.closed_without_data());
    }
    vp_set_log_function(nullptr);
    std::lock_guard lock(logged_mutex);
    ASSERT_EQ(logged.size(), 10u) << "the rest of the minute is counted, not logged";
    EXPECT_EQ(logged[0].first, VP_LOG_INFO);
    EXPECT_EQ(logged[0].second, "peer server: refused 127.0.0.5: IP filter");
}

// A reload while peers are connected: the cache takes the tuning it can change at once, a
// changed key it cannot is named in the log, and the session goes on.
TEST_F(Lifecycle, ReloadRetunesTheCacheAndNamesWhatWaitsForTheNextStart) {
    EXPECT_EQ(vp_reload_settings(), 1) << "not running";
    {
        std::lock_guard lock(logged_mutex);
        logged.clear();
    }
    vp_set_log_function(&remember_line);
    start();
    auto client = handshaken_client();
    std::ofstream(home.path() / "Wharfkeep.ini")
        << "[vp]\ndisk_read_buffer_size = 1048576\npage_size = 131072\n";
    EXPECT_EQ(vp_reload_settings(), 0);
    EXPECT_EQ(vp_reload_settings(), 0) << "a second reload is as good as the first";
    vp_set_log_function(nullptr);
    {
        std::lock_guard lock(cache_state->mutex);
        ASSERT_EQ(cache_state->retunes.size(), 2u);
        EXPECT_EQ(cache_state->retunes[0].disk_read_buffer_size, 1048576u);
    }
    {
        std::lock_guard lock(logged_mutex);
        int page_size_lines = 0;
        for (const auto& [level, text] : logged) {
            EXPECT_EQ(text.find("disk_read_buffer_size"), std::string::npos) << text;
            page_size_lines += text.find("[vp] page_size changed") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(page_size_lines, 2) << "said at each reload while it still waits";
    }
    auto request = make_request(0, 4096);
    client->send(request);
    auto answer = client->receive();
    ASSERT_TRUE(answer) << "the session outlived the reload";
    EXPECT_EQ(answer->code, cmd_requestresp);
}

vp_refusal_stat refusals() {
    vp_refusal_stat stat{};
    EXPECT_EQ(vp_get_refusal_stat(&stat), 0);
    return stat;
}

// The cap per address is off by default; once set, one address holds at most that many
// sessions while others still get in, and every refusal is counted under its reason.
TEST_F(Admission, AddressCapAndRefusalsCountedByReason) {
    start();
    EXPECT_EQ(vp_get_address_connection_limit(), 0u);
    EXPECT_EQ(vp_get_refusal_stat(nullptr), 1);
    const vp_refusal_stat before = refusals();
    // Handshaken sessions, so that none counts as a squatter the limit may push out.
    auto a1 = handshaken_client(), a2 = handshaken_client(), a3 = handshaken_client();
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 3; }));

    EXPECT_EQ(vp_set_address_connection_limit(3), 3u);
    peer_client a4(port, "127.0.0.1");
    EXPECT_TRUE(a4.closed_without_data());
    peer_client b1(port, "127.0.0.6");
    auto handshake = make_handshake(known_gcid, known_size, "peer-B");
    b1.send(handshake);
    ASSERT_TRUE(b1.receive());
    EXPECT_EQ(server_stat().live_sessions, 4u);

    vp_set_connection_limit(4);
    peer_client c1(port, "127.0.0.7");
    EXPECT_TRUE(c1.closed_without_data());
    vp_set_ip_filter_function(&refuse_127_0_0_5);
    peer_client a5(port, "127.0.0.5");  // refused by the filter, also over both limits
    EXPECT_TRUE(a5.closed_without_data());

    const vp_refusal_stat after = refusals();
    EXPECT_EQ(after.address_limit - before.address_limit, 1u);
    EXPECT_EQ(after.connection_limit - before.connection_limit, 1u);
    EXPECT_EQ(after.ip_filter - before.ip_filter, 1u);
}

// Pausing stops the bytes of an answer from leaving; resuming sends them, and sessions
// accepted while paused start paused.
TEST_F(Admission, PausedUploadsSendNothingUntilResumed) {
    start();
    auto client = handshaken_client();
    vp_set_upload_paused(1);
    EXPECT_EQ(vp_get_upload_paused(), 1);
    auto request = make_request(0, 4096);
    client->send(request);
    EXPECT_TRUE(client->stays_quiet(std::chrono::milliseconds(500)));
    auto late = std::make_unique<peer_client>(port);
    auto handshake = make_handshake(known_gcid, known_size, "late-peer");
    late->send(handshake);
    EXPECT_TRUE(late->stays_quiet(std::chrono::milliseconds(300)));
    vp_set_upload_paused(0);
    auto answer = client->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_requestresp);
    auto late_answer = late->receive();
    ASSERT_TRUE(late_answer);
    EXPECT_EQ(late_answer->code, cmd_handshakeresp);
}

// A peer waiting for answers while uploads are paused waits on the server: its silence
// does not end the session then, and counts again once sending resumes.
TEST_F(Admission, PausedUploadsDoNotHoldTheWaitingPeersSilenceAgainstIt) {
    server().set_session_timeout(std::chrono::milliseconds(300));
    start();
    auto client = handshaken_client();
    vp_set_upload_paused(1);
    auto request = make_request(0, 4096);
    client->send(request);
    EXPECT_TRUE(client->stays_quiet(std::chrono::milliseconds(1200)))
        << "a silent peer is kept while the server sends nothing";
    EXPECT_EQ(server_stat().live_sessions, 1u);
    vp_set_upload_paused(0);
    auto answer = client->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, cmd_requestresp);
    EXPECT_TRUE(client->closed_without_data(std::chrono::milliseconds(3000)))
        << "once sending again, silence ends the session as before";
}

TEST_F(Admission, SpeedLimitAppliesAtOnceWhileRunningAndAtTheNextStartOtherwise) {
    EXPECT_EQ(vp_set_speed_limit(1000), 0u) << "stopped: stored, reported as 0";
    EXPECT_EQ(vp_get_speed_limit(), 1000u);
    start();
    EXPECT_EQ(server().configured_write_rate(), 1000u);
    EXPECT_EQ(vp_set_speed_limit(0), 0u);
    EXPECT_EQ(server().configured_write_rate(), 2147483647u);
    EXPECT_EQ(vp_set_speed_limit(65536), 65536u);
    EXPECT_EQ(server().configured_write_rate(), 65536u);
    // libevent refuses rates above 2^31 - 1; such a limit means no limit, not no group.
    EXPECT_EQ(vp_set_speed_limit(4000000000u), 4000000000u);
    EXPECT_EQ(server().configured_write_rate(), 2147483647u);
    vp_stop();
    vp_set_speed_limit(4000000000u);
    ASSERT_EQ(vp_start(0), 0);
    EXPECT_EQ(vp_run_stat(), 1);
    EXPECT_EQ(server().configured_write_rate(), 2147483647u);
}

class Statistics : public server_test {};

TEST_F(Statistics, ResourcesGroupHandshakenSessionsByGcid) {
    start();
    auto first = handshaken_client("first-peer-identity-long");
    auto second = handshaken_client("second");
    peer_client idle(port);
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 3; }));
    const peerfeed_stat stat = server_stat();
    EXPECT_EQ(stat.resource_count, 1u);

    resource_stat_list* resources = vp_get_resource_stat_list();
    ASSERT_EQ(resources->count, 1u);
    EXPECT_EQ(std::string(resources->entries[0].gcid, 40), known_gcid);
    EXPECT_EQ(resources->entries[0].sessions, 2u);
    vp_free_resource_stat_list(resources);

    vp_connection_list* connections = vp_get_connection_list(known_gcid.c_str());
    ASSERT_EQ(connections->count, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(connections->entries[0].peer_id), 16),
              "first-peer-ident");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(connections->entries[1].peer_id)), "second");
    EXPECT_EQ(connections->entries[0].address.sin_family, AF_INET);
    EXPECT_EQ(connections->entries[0].address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    vp_free_connection_list(connections);

    vp_connection_list* unshaken = vp_get_connection_list("");
    ASSERT_EQ(unshaken->count, 1u);
    EXPECT_EQ(unshaken->entries[0].gcid[0], '\0');
    vp_free_connection_list(unshaken);
}

TEST_F(Statistics, BytesSentAreCountedAndKeptPerGcidAfterASessionEnds) {
    start();
    const std::uint64_t total_before = server_stat().total_bytes_sent;
    std::uint64_t received = 0;
    {
        auto client = handshaken_client();
        auto request = make_request(0, 4096);
        client->send(request);
        ASSERT_TRUE(client->receive());
        received = client->bytes_received();
        ASSERT_TRUE(eventually([&] {
            vp_connection_list* list = vp_get_connection_list(known_gcid.c_str());
            const bool counted = list->count == 1 && list->entries[0].bytes_sent == received;
            vp_free_connection_list(list);
            return counted;
        }));
    }
    ASSERT_TRUE(eventually([&] { return server_stat().live_sessions == 0; }));
    EXPECT_EQ(server_stat().total_bytes_sent - total_before, received);
    EXPECT_EQ(server_stat().resource_count, 0u) << "no live session, no entry";

    auto again = handshaken_client();
    resource_stat_list* resources = vp_get_resource_stat_list();
    ASSERT_EQ(resources->count, 1u);
    EXPECT_GE(resources->entries[0].bytes_sent, received) << "the finished session's bytes";
    vp_free_resource_stat_list(resources);
}

// Each answer with file data is counted once by its size, once by its wait for the data
// and once by its wait in the output, whatever the server ran before.
TEST_F(Statistics, AnswersAreCountedInTheHistogramsBySizeAndWait) {
    vp_histograms before{};
    ASSERT_EQ(vp_get_histograms(&before), 0);
    EXPECT_EQ(vp_get_histograms(nullptr), 1);
    start();
    auto client = handshaken_client();
    for (std::uint32_t length : {4096u, 20000u}) {
        auto request = make_request(0, length);
        client->send(request);
        ASSERT_TRUE(client->receive());
    }
    vp_histograms after{};
    ASSERT_TRUE(eventually([&] {
        vp_get_histograms(&after);
        return after.send_wait_seconds.count - before.send_wait_seconds.count == 2;
    }));
    EXPECT_EQ(after.answer_bytes.count - before.answer_bytes.count, 2u);
    EXPECT_EQ(after.disk_wait_seconds.count - before.disk_wait_seconds.count, 2u);
    // 4096 bytes of data and their header fit no bucket below 16 KiB; 20000 bytes fit 64 KiB.
    ASSERT_EQ(after.answer_bytes.bound_count, 7u);
    EXPECT_EQ(after.answer_bytes.upper_bounds[2], 16384.0);
    EXPECT_EQ(after.answer_bytes.cumulative_counts[2] - before.answer_bytes.cumulative_counts[2],
              1u);
    EXPECT_EQ(after.answer_bytes.cumulative_counts[3] - before.answer_bytes.cumulative_counts[3],
              2u);
    EXPECT_GT(after.answer_bytes.sum - before.answer_bytes.sum, 24096.0);
    EXPECT_LT(after.disk_wait_seconds.sum - before.disk_wait_seconds.sum, 10.0);
}

TEST_F(Statistics, CacheStatComputesTheHitRatio) {
    start();
    vp_cache_stat stat{};
    ASSERT_EQ(vp_get_cache_stat(&stat), 0);
    EXPECT_EQ(stat.hit_ratio, 0) << "no page touched yet";
    {
        std::lock_guard lock(cache_state->mutex);
        cache_state->statistics = {3, 1, 123456, 789};
    }
    ASSERT_EQ(vp_get_cache_stat(&stat), 0);
    EXPECT_EQ(stat.hit_ratio, 75);
    EXPECT_EQ(stat.disk_bytes_read, 123456u);
    EXPECT_EQ(stat.disk_read_speed, 789u);
}

TEST_F(Statistics, CloseFileReachesTheCache) {
    start();
    EXPECT_EQ(vp_close_file(known_gcid.c_str()), 0);
    EXPECT_EQ(vp_close_all_files(), 0);
    std::lock_guard lock(cache_state->mutex);
    EXPECT_EQ(cache_state->closed_files, (std::vector<std::string>{known_gcid, "*"}));
}

// --- the production path: the host's path callback and a real file ---

std::string served_path;
bool path_of_known_gcid(const char* gcid, char* path, unsigned int size) {
    if (std::string(gcid) != known_gcid || served_path.size() + 1 > size) {
        return false;
    }
    std::memcpy(path, served_path.c_str(), served_path.size() + 1);
    // A host callback calling a blocking export must not hang the loop thread.
    peerfeed_stat stat{};
    return vp_get_server_stat(&stat) == 0;
}

bool path_too_long(const char*, char* path, unsigned int size) {
    std::memset(path, 'x', size);  // no terminator: it did not fit
    return true;
}

class ProductionPath : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        server().set_block_cache_factory({});
    }
};

TEST_F(ProductionPath, PeerDownloadsBytesOfTheFileTheHostNames) {
    served_path = (home.path() / "movie.mp4").string();
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31 + 7);
    }
    std::ofstream(served_path, std::ios::binary) << content;
    vp_set_gcid2path_function(&path_of_known_gcid);
    start();

    peer_client client(port);
    auto handshake = make_handshake(known_gcid, content.size());
    client.send(handshake);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->code, cmd_handshakeresp);
    EXPECT_EQ(static_cast<p2p_cmd_handshakeresp&>(*answer).result, 0);

    auto request = make_request(150000, 50000);
    client.send(request);
    auto data = client.receive();
    ASSERT_TRUE(data);
    ASSERT_EQ(data->code, cmd_requestresp);
    auto& response = static_cast<p2p_cmd_requestresp&>(*data);
    EXPECT_EQ(response.result, 0);
    EXPECT_EQ(response.offset, 150000u);
    ASSERT_EQ(response.data_length(), 50000u);
    EXPECT_EQ(std::memcmp(response.data(), content.data() + 150000, 50000), 0);

    peer_client wrong_size(port);
    auto mismatched = make_handshake(known_gcid, content.size() + 1);
    wrong_size.send(mismatched);
    auto refused = wrong_size.receive();
    ASSERT_TRUE(refused);
    EXPECT_EQ(static_cast<p2p_cmd_handshakeresp&>(*refused).result, 102);
    EXPECT_TRUE(wrong_size.closed_without_data());
}

TEST_F(ProductionPath, UnknownGcidOrMissingCallbackOrOverlongPathIsRefused) {
    start();
    for (vp_gcid2path_function callback :
         {static_cast<vp_gcid2path_function>(nullptr), &path_too_long, &path_of_known_gcid}) {
        vp_set_gcid2path_function(callback);
        served_path = "/nonexistent/file";
        peer_client client(port);
        auto handshake = make_handshake(known_gcid, 10);
        client.send(handshake);
        auto answer = client.receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(static_cast<p2p_cmd_handshakeresp&>(*answer).result, 102);
        EXPECT_TRUE(client.closed_without_data());
    }
    EXPECT_EQ(vp_run_stat(), 1) << "the server keeps running";
}

}  // namespace
}  // namespace peerfeed::test
