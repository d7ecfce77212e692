// The list server through real HTTP connections on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "catalogd/catalogd.h"
#include "description_builder.h"
#include "http_client.h"
#include "http_response.h"
#include "limited_child.h"
#include "movie_info.h"
#include "movie_info_cipher.h"
#include "platform/descriptor_limit.h"
#include "platform/free_port.h"
#include "platform/process_usage.h"
#include "testing_hooks.h"
#include "wait_until.h"

namespace catalogd {
namespace {

using namespace std::chrono_literals;
using test::Client;
using test::parse_response;
using test::query_request;
using test::send_request;

// Temporary files of the list export go to a folder of this test program, so that a test
// can see whether any stay behind. Set once, before any service thread reads it.
class TemporaryFolders : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/wk-catalogd-XXXXXX";
        root_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(root_ / "tmp");
        std::filesystem::create_directories(root_ / "home");
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        ::setenv("WHARFKEEP_HOME", (root_ / "home").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    static std::filesystem::path temp() { return root_ / "tmp"; }
    static std::filesystem::path home() { return root_ / "home"; }

private:
    static inline std::filesystem::path root_;
};
const auto* const g_folders = ::testing::AddGlobalTestEnvironment(new TemporaryFolders);

// The host side: descriptions by identifier text, the list to export, the refusal test.
struct FakeHost {
    std::mutex mutex;
    std::map<std::string, std::string> paths;
    std::map<std::string, int> lookups;
    std::string list_text;
    bool export_succeeds = true;
    int exports = 0;
    std::string refused_address;
    bool refuse = false;
    bool close_file_from_callback = false;
    std::chrono::milliseconds export_delay{0};
    bool stop_from_callback = false;
    int stop_result = -1;

    void reset() {
        std::lock_guard lock(mutex);
        paths.clear();
        lookups.clear();
        list_text.clear();
        export_succeeds = true;
        exports = 0;
        refused_address.clear();
        refuse = false;
        close_file_from_callback = false;
        export_delay = std::chrono::milliseconds(0);
        stop_from_callback = false;
        stop_result = -1;
    }
};
FakeHost g_host;

// Changes the host's answers while the service thread may be reading them.
template <typename Change>
void change_host(Change change) {
    std::lock_guard lock(g_host.mutex);
    change(g_host);
}

bool host_gcid_to_path(const char* gcid, char* path_out, unsigned size) {
    std::string path;
    bool close_file = false;
    {
        std::lock_guard lock(g_host.mutex);
        ++g_host.lookups[gcid];
        auto found = g_host.paths.find(gcid);
        if (found == g_host.paths.end() || found->second.size() + 1 > size) {
            return false;
        }
        path = found->second;
        close_file = g_host.close_file_from_callback;
    }
    if (close_file) {
        sts_close_file(gcid);  // from the service thread: must not wait for itself
    }
    std::copy(path.begin(), path.end(), path_out);
    path_out[path.size()] = '\0';
    return true;
}

bool host_export_lists(const char* path) {
    std::lock_guard lock(g_host.mutex);
    std::this_thread::sleep_for(g_host.export_delay);
    if (g_host.stop_from_callback) {
        g_host.stop_result = sts_stop();  // the loop cannot wait for itself
    }
    ++g_host.exports;
    std::ofstream(path, std::ios::binary) << g_host.list_text;
    return g_host.export_succeeds;
}

bool host_ip_filter(in_addr* peer) {
    std::lock_guard lock(g_host.mutex);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, peer, text, sizeof text);
    g_host.refused_address = text;
    return g_host.refuse;
}

int lookups_of(const std::string& gcid) {
    std::lock_guard lock(g_host.mutex);
    return g_host.lookups[gcid];
}

std::string hex_of(const peerfeed::cid_bytes& gcid) {
    return peerfeed::cid_to_hex(gcid);
}

peerfeed::cid_bytes gcid_filled(std::uint8_t value) {
    peerfeed::cid_bytes gcid;
    gcid.fill(value);
    return gcid;
}

std::string query_body(const peerfeed::cid_bytes& gcid) {
    cmd_stream_query_movie_info query;
    query.gcid = gcid;
    std::vector<std::uint8_t> bytes = encode_message(query);
    return std::string(bytes.begin(), bytes.end());
}

// The whole encrypted message after the header, decrypted, padding removed.
std::vector<std::uint8_t> open_message(const std::string& body) {
    std::vector<std::uint8_t> bytes(body.begin(), body.end());
    auto word = [&](std::size_t at) {
        return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
               (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
    };
    std::span<std::uint8_t> blocks(bytes.data() + 12, bytes.size() - 12);
    decrypt_blocks(derive_command_key(word(0), word(4)), blocks);
    return std::vector<std::uint8_t>(blocks.begin(), blocks.end() - blocks.back());
}

// Seconds-long stages cut to what keeps the tests quick.
ServiceTimeouts quick_timeouts() {
    ServiceTimeouts timeouts;
    timeouts.io = {5, 0};
    timeouts.grace = {0, 100 * 1000};
    return timeouts;
}

class ListServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_host.reset();
        sts_set_gcid2path_function(&host_gcid_to_path);
        sts_set_export_lists_function(&host_export_lists);
        sts_set_ip_filter_function(nullptr);
        sts_close_all_files();
        start(quick_timeouts());
    }

    void TearDown() override {
        EXPECT_EQ(sts_stop(), 0);
        EXPECT_EQ(sts_run_stat(), 0);
        sts_set_gcid2path_function(nullptr);
        sts_set_export_lists_function(nullptr);
        sts_set_ip_filter_function(nullptr);
        testing::set_timeouts(testing::default_timeouts());
    }

    void start(const ServiceTimeouts& timeouts) {
        testing::set_timeouts(timeouts);
        testing::set_stored_port(0);
        ASSERT_EQ(sts_start(0), 0);
        port_ = testing::listening_port();
        ASSERT_NE(port_, 0);
    }

    void restart(const ServiceTimeouts& timeouts) {
        ASSERT_EQ(sts_stop(), 0);
        start(timeouts);
    }

    std::filesystem::path write_description(const std::string& name,
                                            const std::vector<std::uint8_t>& bytes) {
        std::filesystem::path path = TemporaryFolders::home() / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    void publish(const peerfeed::cid_bytes& gcid, const std::filesystem::path& path) {
        std::lock_guard lock(g_host.mutex);
        g_host.paths[hex_of(gcid)] = path.string();
    }

    // Sends a query and returns the decoded answer; fails the test when there is none.
    cmd_stream_query_movie_info_resp ask(const peerfeed::cid_bytes& gcid) {
        test::Reply reply = send_request(port_, query_request(query_body(gcid)));
        cmd_stream_query_movie_info_resp answer;
        std::optional<test::HttpResponse> response = parse_response(reply.bytes);
        EXPECT_TRUE(response) << "no HTTP response";
        if (response) {
            EXPECT_EQ(response->status, "200 OK");
            answer.Decode(reinterpret_cast<const std::uint8_t*>(response->body.data()),
                          static_cast<std::uint32_t>(response->body.size()));
        }
        return answer;
    }

    // The server closed the connection without writing anything.
    void expect_dropped(std::string_view request) {
        test::Reply reply = send_request(port_, request);
        EXPECT_TRUE(reply.closed) << "connection left open";
        EXPECT_EQ(reply.bytes, "") << "a response was written";
    }

    std::size_t temporary_files() {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(TemporaryFolders::temp()),
                          std::filesystem::directory_iterator()));
    }

    std::uint16_t port_ = 0;
};

TEST_F(ListServerTest, ServesTheExportedListAndRemovesItsFile) {
    const std::string list = "0123456789ABCDEF0123456789ABCDEF01234567 1048576\r\n";
    change_host([&](FakeHost& host) { host.list_text = list; });
    test::Reply reply = send_request(port_, "GET /urls HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(list.size()) +
                               "\r\nConnection: close\r\n\r\n" + list);
    EXPECT_EQ(temporary_files(), 0u);
}

TEST_F(ListServerTest, LargeListArrivesWholeAndCleanlyClosedHoweverTheClientReads) {
    // More than a client that does not read can take in at once. A pause longer than the
    // grace period (100 ms here) leaves part of the answer in the server's socket after
    // the client has closed its side.
    std::string list(8 * 1024 * 1024, 'y');
    list.back() = '\n';
    change_host([&](FakeHost& host) { host.list_text = list; });
    for (bool half_closed : {false, true}) {
        for (std::chrono::milliseconds pause : {0ms, 500ms}) {
            SCOPED_TRACE(half_closed ? "client closed its sending side" : "client kept it open");
            SCOPED_TRACE("pause before reading " + std::to_string(pause.count()) + " ms");
            Client client(port_);
            ASSERT_TRUE(client.send("GET /urls HTTP/1.1\r\n\r\n"));
            if (half_closed) {
                client.finish_sending();
            }
            std::this_thread::sleep_for(pause);
            test::Reply reply = client.read_until_closed();
            EXPECT_TRUE(reply.closed);
            EXPECT_FALSE(reply.reset);
            std::optional<test::HttpResponse> response = parse_response(reply.bytes);
            ASSERT_TRUE(response) << reply.bytes.size() << " bytes";
            EXPECT_TRUE(response->body == list) << response->body.size() << " body bytes";
        }
    }
}

TEST_F(ListServerTest, ClientsVanishingDuringALongAnswerDoNotHurtTheServer) {
    // The client's close reaches the server before the answer does, so the server's
    // writes meet a socket the peer has closed.
    change_host([](FakeHost& host) {
        host.list_text.assign(8 * 1024 * 1024, 'x');
        host.export_delay = 20ms;
    });
    constexpr int kClients = 3;
    for (int i = 0; i < kClients; ++i) {
        Client client(port_);
        client.send("GET /urls HTTP/1.1\r\n\r\n");
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        {
            std::lock_guard lock(g_host.mutex);
            if (g_host.exports == kClients || std::chrono::steady_clock::now() > deadline) {
                g_host.list_text = "still serving\n";
                g_host.export_delay = 0ms;
                break;
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    std::optional<test::HttpResponse> response =
        parse_response(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "still serving\n");
}

TEST_F(ListServerTest, EmptyListIsAnsweredWithAnEmptyBody) {
    test::Reply reply = send_request(port_, "GET /urls HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(temporary_files(), 0u);
}

TEST_F(ListServerTest, FailedExportClosesWithoutResponseAndLeavesNoFile) {
    change_host([](FakeHost& host) {
        host.list_text = "half a list";
        host.export_succeeds = false;
    });
    expect_dropped("GET /urls HTTP/1.1\r\n\r\n");
    EXPECT_EQ(temporary_files(), 0u);

    sts_set_export_lists_function(nullptr);
    expect_dropped("GET /urls HTTP/1.1\r\n\r\n");
    EXPECT_EQ(temporary_files(), 0u);
}

TEST_F(ListServerTest, ListPathAnywhereAfterTheFirstByteMeansTheList) {
    change_host([](FakeHost& host) { host.list_text = "L\n"; });
    std::optional<test::HttpResponse> in_body =
        parse_response(send_request(port_, query_request("xx/urlsxx")).bytes);
    ASSERT_TRUE(in_body);
    EXPECT_EQ(in_body->body, "L\n");
    // At the very first byte it is no path: a query without a body, which is refused.
    expect_dropped("/urls HTTP/1.1\r\n\r\n");
    std::lock_guard lock(g_host.mutex);
    EXPECT_EQ(g_host.exports, 1);
}

TEST_F(ListServerTest, RequestSizeLimits) {
    expect_dropped("POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n");
    expect_dropped(query_request(std::string(1024, 'q')));
    expect_dropped(std::string(2000, 'G'));  // no header end within the bound
    expect_dropped("POST / HTTP/1.1\r\nContent-Length: -40\r\n\r\n" + query_body(gcid_filled(1)));
    expect_dropped("POST / HTTP/1.1\r\n\r\n");  // a query needs a body

    // A request of exactly 1024 bytes is answered.
    std::string body = query_body(gcid_filled(1));
    std::string head =
        "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\nX-Pad: ";
    std::string request =
        head + std::string(1024 - head.size() - 4 - body.size(), 'p') + "\r\n\r\n" + body;
    ASSERT_EQ(request.size(), 1024u);
    std::optional<test::HttpResponse> response = parse_response(send_request(port_, request).bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->content_length, 28u);
}

TEST_F(ListServerTest, RequestArrivingInPiecesIsAnsweredOnce) {
    std::string request = query_request(query_body(gcid_filled(2)));
    Client client(port_);
    ASSERT_TRUE(client.connected());
    for (char byte : request) {
        client.send(std::string_view(&byte, 1));
    }
    // A second request on the same connection is not served.
    client.send(request);
    test::Reply reply = client.read_until_closed();
    std::optional<test::HttpResponse> response = parse_response(reply.bytes);
    ASSERT_TRUE(response) << reply.bytes.size() << " bytes";
    EXPECT_EQ(response->content_length, 28u);
}

TEST_F(ListServerTest, UnknownIdentifierGetsThePreparedNotFoundResponse) {
    test::Reply reply = send_request(port_, query_request(query_body(gcid_filled(3))));
    std::optional<test::HttpResponse> response = parse_response(reply.bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, "200 OK");
    ASSERT_EQ(response->body.size(), 28u);
    EXPECT_EQ(open_message(response->body),
              (std::vector<std::uint8_t>{kResponseMessageType, kResultNotFound}));
    EXPECT_EQ(lookups_of(hex_of(gcid_filled(3))), 1);

    // Every unknown identifier gets the same prepared bytes.
    test::Reply again = send_request(port_, query_request(query_body(gcid_filled(4))));
    EXPECT_EQ(again.bytes, reply.bytes);
    EXPECT_EQ(testing::cached_responses(), 0u);
}

TEST_F(ListServerTest, KnownIdentifierGetsItsDescription) {
    peerfeed::cid_bytes gcid = gcid_filled(0x5C);
    std::vector<std::uint8_t> description =
        test::make_description(3000, {{0x0A, 1000}, {0x0B, 2000}}, 0x5C);
    publish(gcid, write_description("one.mp4.sts", description));

    cmd_stream_query_movie_info_resp answer = ask(gcid);
    EXPECT_EQ(answer.result, kResultFound);
    EXPECT_EQ(answer.total_size, 3000u);
    EXPECT_EQ(answer.gcid.bytes, gcid);
    ASSERT_EQ(answer.pieces.size(), 2u);
    EXPECT_EQ(answer.pieces[1].size, 2000u);
}

TEST_F(ListServerTest, FifteenByteDescriptionIsFramedInFortyFourBytes) {
    peerfeed::cid_bytes gcid = gcid_filled(0x15);
    std::vector<std::uint8_t> fifteen(15, 0xEE);
    publish(gcid, write_description("fifteen.sts", fifteen));
    std::optional<test::HttpResponse> response =
        parse_response(send_request(port_, query_request(query_body(gcid))).bytes);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->content_length, 44u);
    std::vector<std::uint8_t> expected(2 + fifteen.size(), 0xEE);
    expected[0] = kResponseMessageType;
    expected[1] = kResultFound;
    EXPECT_EQ(open_message(response->body), expected);
}

TEST_F(ListServerTest, DescriptionIsReadOnceUntilTheHostClosesIt) {
    peerfeed::cid_bytes gcid = gcid_filled(0x21);
    std::string text = hex_of(gcid);
    std::filesystem::path path =
        write_description("cached.sts", test::make_description(10, {{1, 10}}));
    publish(gcid, path);

    EXPECT_EQ(ask(gcid).total_size, 10u);
    EXPECT_EQ(ask(gcid).total_size, 10u);
    EXPECT_EQ(lookups_of(text), 1);

    // The file changes; the cached answer stays until sts_close_file.
    write_description("cached.sts", test::make_description(20, {{1, 20}}));
    EXPECT_EQ(ask(gcid).total_size, 10u);
    EXPECT_EQ(sts_close_file(text.c_str()), 0);
    EXPECT_EQ(ask(gcid).total_size, 20u);
    EXPECT_EQ(lookups_of(text), 2);

    EXPECT_EQ(sts_close_all_files(), 0);
    EXPECT_EQ(testing::cached_responses(), 0u);
    ask(gcid);
    EXPECT_EQ(lookups_of(text), 3);
}

TEST_F(ListServerTest, ResponsesDroppedWhileBeingSentArriveWhole) {
    // Answers far larger than the socket buffers: both are still being sent when the host
    // closes every file, which drops them from the cache.
    peerfeed::cid_bytes gcid = gcid_filled(0x31);
    std::vector<std::uint8_t> description(12 * 1024 * 1024);
    for (std::size_t i = 0; i < description.size(); ++i) {
        description[i] = static_cast<std::uint8_t>(i % 253);
    }
    publish(gcid, write_description("large.sts", description));
    std::string list(8 * 1024 * 1024, 'z');
    change_host([&](FakeHost& host) { host.list_text = list; });

    Client query(port_);
    Client listing(port_);
    ASSERT_TRUE(query.send(query_request(query_body(gcid))));
    ASSERT_TRUE(listing.send("GET /urls HTTP/1.1\r\n\r\n"));
    std::string query_start = query.read_at_least(64 * 1024);
    std::string list_start = listing.read_at_least(64 * 1024);
    ASSERT_GE(query_start.size(), 64u * 1024);
    ASSERT_GE(list_start.size(), 64u * 1024);
    EXPECT_EQ(sts_close_all_files(), 0);
    EXPECT_EQ(testing::cached_responses(), 0u);

    std::optional<test::HttpResponse> answer =
        parse_response(query_start + query.read_until_closed().bytes);
    ASSERT_TRUE(answer);
    std::vector<std::uint8_t> expected(2 + description.size());
    expected[0] = kResponseMessageType;
    expected[1] = kResultFound;
    std::copy(description.begin(), description.end(), expected.begin() + 2);
    EXPECT_TRUE(open_message(answer->body) == expected);
    std::optional<test::HttpResponse> listed =
        parse_response(list_start + listing.read_until_closed().bytes);
    ASSERT_TRUE(listed);
    EXPECT_TRUE(listed->body == list);
}

TEST_F(ListServerTest, CacheOutlivesARestartButNotACloseWhileStopped) {
    peerfeed::cid_bytes gcid = gcid_filled(0x22);
    std::string text = hex_of(gcid);
    publish(gcid, write_description("restart.sts", test::make_description(5, {{1, 5}})));
    ask(gcid);
    restart(quick_timeouts());
    ask(gcid);
    EXPECT_EQ(lookups_of(text), 1);

    // Closing the file while the service is stopped must not leave a stale answer behind.
    ASSERT_EQ(sts_stop(), 0);
    EXPECT_EQ(sts_close_file(text.c_str()), 0);
    start(quick_timeouts());
    ask(gcid);
    EXPECT_EQ(lookups_of(text), 2);
}

TEST_F(ListServerTest, MissingOrEmptyDescriptionsAreNotFoundAndNotCached) {
    peerfeed::cid_bytes empty = gcid_filled(0x31);
    publish(empty, write_description("empty.sts", {}));
    peerfeed::cid_bytes missing = gcid_filled(0x32);
    publish(missing, TemporaryFolders::home() / "does-not-exist.sts");
    peerfeed::cid_bytes folder = gcid_filled(0x33);
    publish(folder, TemporaryFolders::home());

    for (const peerfeed::cid_bytes& gcid : {empty, missing, folder}) {
        EXPECT_EQ(ask(gcid).result, kResultNotFound);
        EXPECT_EQ(ask(gcid).result, kResultNotFound);
        EXPECT_EQ(lookups_of(hex_of(gcid)), 2);
    }
    EXPECT_EQ(testing::cached_responses(), 0u);

    sts_set_gcid2path_function(nullptr);
    EXPECT_EQ(ask(gcid_filled(0x34)).result, kResultNotFound);
}

TEST_F(ListServerTest, ZeroLengthIdentifierAsksForTheAllZeroIdentifier) {
    std::vector<std::uint8_t> plain{kQueryMessageType, 0, 0, 0, 0};
    cmd_stream_query_movie_info carrier;  // only for a fresh sequence number
    std::vector<std::uint8_t> ciphertext =
        encrypt_padded(derive_command_key(kMovieInfoCommandCode, carrier.sequence()), plain);
    std::string body = {0, 0, 0, 101};
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.push_back(static_cast<char>(carrier.sequence() >> shift));
    }
    body += std::string{0, 0, 0, 16};
    body.append(ciphertext.begin(), ciphertext.end());

    std::optional<test::HttpResponse> response =
        parse_response(send_request(port_, query_request(body)).bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(lookups_of(std::string(40, '0')), 1);
}

TEST_F(ListServerTest, MalformedQueriesCloseWithoutResponse) {
    std::string valid = query_body(gcid_filled(0x41));
    expect_dropped(query_request(valid.substr(0, 5)));   // shorter than a header
    expect_dropped(query_request(valid.substr(0, 13)));  // not whole blocks, no length
    std::string garbled = valid;
    garbled[13] ^= 0x5A;  // the first block, which holds the identifier length
    expect_dropped(query_request(garbled));

    // Identifier length prefixes above 20 are refused even when the bytes are there.
    std::vector<std::uint8_t> plain{kQueryMessageType, 24, 0, 0, 0};
    plain.resize(plain.size() + 24, 0x77);
    std::vector<std::uint8_t> ciphertext =
        encrypt_padded(derive_command_key(kMovieInfoCommandCode, 77), plain);
    std::string over_long = {0, 0, 0, 101, 0, 0, 0, 77, 0, 0, 0, 32};
    over_long.append(ciphertext.begin(), ciphertext.end());
    expect_dropped(query_request(over_long));
    std::lock_guard lock(g_host.mutex);
    EXPECT_TRUE(g_host.lookups.empty());
}

// Each request is counted once, by the answer it got.
TEST_F(ListServerTest, RequestsAreCountedByTheirAnswer) {
    sts_query_stat before{};
    ASSERT_EQ(sts_get_query_stat(&before), 0);
    EXPECT_EQ(sts_get_query_stat(nullptr), 1);
    publish(gcid_filled(0x5C),
            write_description("counted.mp4.sts",
                              test::make_description(3000, {{0x0A, 1000}, {0x0B, 2000}}, 0x5C)));
    EXPECT_EQ(ask(gcid_filled(0x5C)).result, kResultFound);
    EXPECT_EQ(ask(gcid_filled(0x5C)).result, kResultFound);  // from the prepared answers
    EXPECT_EQ(ask(gcid_filled(0x5D)).result, kResultNotFound);
    EXPECT_FALSE(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes.empty());
    expect_dropped(query_request(query_body(gcid_filled(0x41)).substr(0, 5)));
    change_host([](FakeHost& host) { host.export_succeeds = false; });
    // A list shared from the same second would still be answered: another export is asked.
    ASSERT_EQ(sts_close_all_files(), 0);
    expect_dropped("GET /urls HTTP/1.1\r\n\r\n");

    sts_query_stat after{};
    ASSERT_EQ(sts_get_query_stat(&after), 0);
    EXPECT_EQ(after.found - before.found, 2u);
    EXPECT_EQ(after.not_found - before.not_found, 1u);
    EXPECT_EQ(after.lists - before.lists, 1u);
    EXPECT_EQ(after.malformed - before.malformed, 1u);
    EXPECT_EQ(after.list_failed - before.list_failed, 1u);
    // Kept across a restart.
    restart(quick_timeouts());
    sts_query_stat restarted{};
    ASSERT_EQ(sts_get_query_stat(&restarted), 0);
    EXPECT_EQ(restarted.found, after.found);
}

TEST_F(ListServerTest, RefusedPeersAreClosedAtOnce) {
    sts_set_ip_filter_function(&host_ip_filter);
    change_host([](FakeHost& host) { host.refuse = true; });
    expect_dropped(query_request(query_body(gcid_filled(0x51))));
    {
        std::lock_guard lock(g_host.mutex);
        EXPECT_EQ(g_host.refused_address, "127.0.0.1");
        g_host.refuse = false;
    }
    std::optional<test::HttpResponse> response =
        parse_response(send_request(port_, query_request(query_body(gcid_filled(0x51)))).bytes);
    EXPECT_TRUE(response);
}

TEST_F(ListServerTest, ServerClosesWhenTheClientLingersAfterTheResponse) {
    Client client(port_);
    client.send(query_request(query_body(gcid_filled(0x61))));
    // The client never closes; after the grace period the server does.
    test::Reply reply = client.read_until_closed(5s);
    EXPECT_TRUE(reply.closed);
    EXPECT_TRUE(parse_response(reply.bytes));
}

TEST_F(ListServerTest, ClientClosingFirstFreesTheConnectionAtOnce) {
    ServiceTimeouts long_grace = quick_timeouts();
    long_grace.grace = {60, 0};
    restart(long_grace);
    {
        Client client(port_);
        client.send(query_request(query_body(gcid_filled(0x62))));
        std::size_t whole = response_header(kStatusOk, 28).size() + 28;
        EXPECT_EQ(client.read_at_least(whole).size(), whole);
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (testing::open_connections() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(testing::open_connections(), 0u);
}

TEST_F(ListServerTest, ClientThatStopsSendingBeforeItsAnswerReadsItToACleanEnd) {
    // The client closes its sending side with its request and reads only later: its end of
    // stream reaches the server before it has read anything, so the server must not end the
    // connection with a reset, which would make the client's read fail after the answer.
    ServiceTimeouts long_grace = quick_timeouts();
    long_grace.grace = {60, 0};
    restart(long_grace);
    change_host([](FakeHost& host) { host.list_text = "short list\n"; });
    for (const std::string& request : {query_request(query_body(gcid_filled(0x63))),
                                       std::string("GET /urls HTTP/1.1\r\n\r\n")}) {
        SCOPED_TRACE(request.substr(0, 4));
        Client client(port_);
        ASSERT_TRUE(client.send(request));
        client.finish_sending();
        std::this_thread::sleep_for(200ms);  // the client reads only later
        test::Reply reply = client.read_until_closed(5s);
        EXPECT_TRUE(reply.closed);
        EXPECT_FALSE(reply.reset);
        EXPECT_TRUE(parse_response(reply.bytes));
    }
}

TEST_F(ListServerTest, IdleAndSilentConnectionsTimeOut) {
    ServiceTimeouts short_io = quick_timeouts();
    short_io.io = {0, 100 * 1000};
    restart(short_io);
    Client silent(port_);
    EXPECT_TRUE(silent.read_until_closed(5s).closed);

    Client partial(port_);
    partial.send("POST / HTTP/1.1\r\nContent-Length: 40\r\n\r\nonly part");
    test::Reply reply = partial.read_until_closed(5s);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
}

TEST_F(ListServerTest, TricklingRequestIsClosedAtItsDeadline) {
    ServiceTimeouts short_request = quick_timeouts();
    short_request.request = {0, 300 * 1000};
    restart(short_request);
    const std::string request = query_request(query_body(gcid_filled(3)));
    Client trickling(port_);
    ASSERT_TRUE(trickling.connected());
    // One byte every 50 ms keeps renewing the 5 s silence time-out; only the deadline of
    // the whole request ends it, long before the request would be complete.
    const auto started = std::chrono::steady_clock::now();
    test::Reply reply;
    for (std::size_t at = 0; at < request.size() && !reply.closed; ++at) {
        trickling.send(std::string_view(&request[at], 1));
        reply = trickling.read_until_closed(50ms);
    }
    EXPECT_TRUE(reply.closed) << "the whole request trickled in";
    EXPECT_EQ(reply.bytes, "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST_F(ListServerTest, TwoContentLengthFieldsGetABadRequest) {
    const std::string body = query_body(gcid_filled(4));
    const std::string length = std::to_string(body.size());
    test::Reply reply =
        send_request(port_, "POST / HTTP/1.1\r\nContent-Length: " + length +
                                "\r\nContent-Length: " + length + "\r\n\r\n" + body);
    std::optional<test::HttpResponse> response = parse_response(reply.bytes);
    ASSERT_TRUE(response) << reply.bytes;
    EXPECT_EQ(response->status, "400 Bad Request");
    EXPECT_EQ(response->content_length, 0u);
    EXPECT_TRUE(reply.closed);
}

TEST_F(ListServerTest, StoppingClosesOpenConnections) {
    Client waiting(port_);
    waiting.send("POST / HTTP/1.1\r\n");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (testing::open_connections() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_NE(testing::open_connections(), 0u) << "the connection never reached the service";
    ASSERT_EQ(sts_stop(), 0);
    EXPECT_TRUE(waiting.read_until_closed(5s).closed);
    start(quick_timeouts());
}

TEST_F(ListServerTest, CallbackMayCloseFilesOnTheServiceThread) {
    peerfeed::cid_bytes gcid = gcid_filled(0x71);
    publish(gcid, write_description("reentrant.sts", test::make_description(1, {{1, 1}})));
    change_host([](FakeHost& host) { host.close_file_from_callback = true; });
    EXPECT_EQ(ask(gcid).result, kResultFound);
}

TEST_F(ListServerTest, StopFromACallbackFailsAndTheServiceKeepsRunning) {
    change_host([](FakeHost& host) {
        host.stop_from_callback = true;
        host.list_text = "L\n";
    });
    std::optional<test::HttpResponse> response =
        parse_response(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "L\n");
    change_host([](FakeHost& host) { host.stop_from_callback = false; });
    std::lock_guard lock(g_host.mutex);
    EXPECT_EQ(g_host.stop_result, 1);
    EXPECT_EQ(sts_run_stat(), 1);
}

TEST_F(ListServerTest, ListRequestsOfTheSameSecondShareOneExport) {
    {
        std::lock_guard lock(g_host.mutex);
        g_host.list_text = std::string(100000, 'L');
        // The requests arrive while the first export runs.
        g_host.export_delay = 200ms;
    }
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(clients.back()->send("GET /urls HTTP/1.1\r\n\r\n"));
    }
    for (auto& client : clients) {
        std::optional<test::HttpResponse> response =
            parse_response(client->read_until_closed().bytes);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->body.size(), 100000u);
    }
    {
        std::lock_guard lock(g_host.mutex);
        EXPECT_EQ(g_host.exports, 1) << "one export answered all of them";
        g_host.export_delay = 0ms;
        g_host.list_text = "changed";
    }
    std::this_thread::sleep_for(1100ms);  // an exported list serves for one second
    std::optional<test::HttpResponse> later =
        parse_response(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->body, "changed") << "a later second exports afresh";
    EXPECT_EQ(testing::list_exports(), 2u);

    // A published item that changes makes the next request export again at once.
    {
        std::lock_guard lock(g_host.mutex);
        g_host.list_text = "changed again";
    }
    sts_close_file("0123456789ABCDEF0123456789ABCDEF01234567");
    std::optional<test::HttpResponse> after_close =
        parse_response(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes);
    ASSERT_TRUE(after_close);
    EXPECT_EQ(after_close->body, "changed again");
    EXPECT_EQ(temporary_files(), 0u);
}

TEST_F(ListServerTest, ConnectionsBeyondTheCapAreRefusedAndCounted) {
    ServiceLimits limits;
    limits.max_connections = 3;
    testing::set_limits(limits);
    restart(quick_timeouts());
    testing::set_limits(std::nullopt);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(port_));
    }
    for (int i = 0; i < 50 && testing::open_connections() < 3; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(testing::open_connections(), 3u);
    Client refused(port_);
    test::Reply reply = refused.read_until_closed(2s);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_EQ(testing::refused_connections(), 1u);

    idle.pop_back();  // a slot frees up
    for (int i = 0; i < 50 && testing::open_connections() > 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    std::optional<test::HttpResponse> served =
        parse_response(send_request(port_, "GET /urls HTTP/1.1\r\n\r\n").bytes);
    EXPECT_TRUE(served);
}

TEST(ListServerLimits, MaxConnectionsComesFromTheProfile) {
    std::ofstream(TemporaryFolders::home() / "Wharfkeep.ini") << "[sts]\nmax_connections=2\n";
    testing::set_stored_port(0);
    ASSERT_EQ(sts_start(0), 0);
    const std::uint16_t port = testing::listening_port();
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(port));
    }
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        refused = testing::refused_connections() == 1;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(sts_stop(), 0);
    std::filesystem::remove(TemporaryFolders::home() / "Wharfkeep.ini");
}

TEST(ListServerDescriptors, FullDescriptorTableCostsNoCpuIsSaidOnceAndServingResumes) {
    // The service with 40 descriptors in all.
    platform::testing::ChildUnderDescriptorLimit child(40, [] {
        sts_set_export_lists_function(&host_export_lists);
        testing::set_stored_port(0);
        return sts_start(0) == 0 ? testing::listening_port() : std::uint16_t{0};
    });
    const std::uint16_t port = child.port();
    ASSERT_NE(port, 0);

    std::vector<std::unique_ptr<Client>> crowd;
    for (int i = 0; i < 80; ++i) {
        crowd.push_back(std::make_unique<Client>(port));
    }
    // Accepting stops when a connection leaves fewer than the descriptors kept free.
    ASSERT_TRUE(platform::testing::WaitUntil(
        [&] { return child.OpenDescriptors() >= 40u - platform::kDescriptorsKeptFree; }));
    const double before = platform::process_cpu_seconds(child.pid());
    std::this_thread::sleep_for(2s);  // the span the CPU time is taken over
    // Spinning would take the whole 2 s. Generous bound.
    EXPECT_LT(platform::process_cpu_seconds(child.pid()) - before, 0.4);
    // Connections leave the last few descriptors to the list file an answer needs.
    EXPECT_LE(child.OpenDescriptors(), 40u - platform::kDescriptorsKeptFree / 2);

    crowd.clear();
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        served = parse_response(send_request(port, "GET /urls HTTP/1.1\r\n\r\n").bytes).has_value();
    }
    EXPECT_TRUE(served) << "serving resumes once descriptors are free";
    EXPECT_EQ(child.StopAndCountLines("cannot accept"), 1)
        << "said once, not once per failed accept";
}

class ListServerLifecycleTest : public ListServerTest {};

TEST_F(ListServerLifecycleTest, StartingTwiceChangesNothing) {
    EXPECT_EQ(sts_run_stat(), 1);
    EXPECT_EQ(sts_start(platform::free_tcp_port()), 0);
    EXPECT_EQ(testing::listening_port(), port_);
    EXPECT_EQ(testing::stored_port(), 0);
}

TEST_F(ListServerLifecycleTest, ZeroPortKeepsTheStoredOne) {
    ASSERT_EQ(sts_stop(), 0);
    std::uint16_t chosen = platform::free_tcp_port();
    ASSERT_EQ(sts_start(chosen), 0);
    ASSERT_EQ(sts_stop(), 0);
    ASSERT_EQ(sts_start(0), 0);
    EXPECT_EQ(testing::listening_port(), chosen);

    sockaddr_in bound{};
    ASSERT_EQ(sts_get_bind_addr(&bound), 0);
    EXPECT_EQ(bound.sin_family, AF_INET);
    EXPECT_EQ(bound.sin_port, htons(chosen));
    EXPECT_EQ(sts_get_bind_addr(nullptr), 1);
}

TEST_F(ListServerLifecycleTest, FailedStartLeavesTheLibraryStopped) {
    // Something else listens on the port.
    int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);

    ASSERT_EQ(sts_stop(), 0);
    EXPECT_EQ(sts_start(ntohs(address.sin_port)), 1);
    EXPECT_EQ(sts_run_stat(), 0);
    EXPECT_EQ(sts_close_file("00"), 0);
    EXPECT_EQ(sts_stop(), 0);
    ::close(blocker);
    start(quick_timeouts());
    EXPECT_EQ(sts_run_stat(), 1);
}

TEST_F(ListServerLifecycleTest, CloseCallsRacingAStopAreReleased) {
    std::atomic<bool> done{false};
    std::thread closer([&] {
        while (!done.load()) {
            sts_close_all_files();
        }
    });
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(sts_stop(), 0);
        testing::set_stored_port(0);
        ASSERT_EQ(sts_start(0), 0);
    }
    done.store(true);
    closer.join();
    port_ = testing::listening_port();
}

}  // namespace
}  // namespace catalogd
