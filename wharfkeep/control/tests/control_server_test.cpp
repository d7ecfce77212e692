// The control server on a real Unix domain socket, driven through the client: socket
// ownership, limits on what a client can make it do, the event stream, the metrics listener.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "../src/event_queue.h"
#include "control_server_fixture.h"
#include "fake_control_host.h"
#include "wharfkeep/control/control_client.h"
#include "wharfkeep/control/control_server.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class ControlServerTest : public ControlServerFixture {
protected:
    void SetUp() override {
        ControlServerFixture::SetUp();
        options_.idle_timeout_seconds = 1;
        options_.event_keepalive_seconds = 1;
    }
    ControlClient Client() const { return ControlClient(options_.socket_path, 10); }

    // A raw connection to the socket, for clients that misbehave.
    // `receive_buffer` > 0: a small one, as a client that reads slowly keeps.
    int Connect(int receive_buffer = 0) const {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (receive_buffer > 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, options_.socket_path.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        return fd;
    }

    // Sends `request` on a raw connection and reads the answer until the server closes (or
    // five seconds pass).
    std::string Exchange(const std::string& request) const {
        int fd = Connect();
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        return ReadUntilClosed(fd, 5s);
    }
};

TEST_F(ControlServerTest, AnswersOnASocketOnlyItsOwnerMayUse) {
    host_.status.running = true;
    host_.status.peers = 5;
    StartServer();
    struct stat info {};
    ASSERT_EQ(::stat(options_.socket_path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ClientAnswer answer = Client().Get("/status");
    ASSERT_EQ(answer.status, 200) << answer.error;
    EXPECT_EQ(json::parse(answer.body).at("peers"), 5);

    server_.reset();
    EXPECT_FALSE(fs::exists(options_.socket_path));
    EXPECT_EQ(Client().Get("/status").status, 0);
}

TEST_F(ControlServerTest, StaleSocketIsReplacedALiveOneAndOtherFilesAreLeftAlone) {
    // A socket bound and closed without unlinking: what a killed instance leaves.
    std::string error;
    int stale = BindControlSocket(options_.socket_path, error);
    ASSERT_GE(stale, 0) << error;
    ::close(stale);
    EXPECT_FALSE(ControlSocketAnswers(options_.socket_path));
    StartServer();
    EXPECT_TRUE(ControlSocketAnswers(options_.socket_path));

    FakeControlHost other;
    std::unique_ptr<ControlServer> second = ControlServer::Start(other, options_, error);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(error.find("another instance"), std::string::npos) << error;
    EXPECT_EQ(Client().Get("/status").status, 200);  // the first one still answers

    server_.reset();
    std::ofstream(options_.socket_path) << "not a socket";
    EXPECT_EQ(ControlServer::Start(other, options_, error), nullptr);
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_regular_file(options_.socket_path));
}

TEST_F(ControlServerTest, HugeBodyIsRefusedAndReachesNothing) {
    options_.max_body_bytes = 4096;
    StartServer();
    std::string body = "{\"VP_Port\": \"" + std::string(10000, '1') + "\"}";
    ClientAnswer answer = Client().Send("PUT", "/settings", body);
    EXPECT_EQ(answer.status, 413) << answer.error;
    EXPECT_TRUE(json::parse(answer.body, nullptr, false).contains("error")) << answer.body;
    EXPECT_TRUE(host_.Calls().empty());
    EXPECT_EQ(Client().Send("PUT", "/settings", "{\"VP_Port\": 1}").status, 200);
}

TEST_F(ControlServerTest, ASilentClientIsClosedAndDoesNotHoldOthers) {
    StartServer();
    int silent = Connect();
    // While the silent client holds its connection, another is served.
    EXPECT_EQ(Client().Get("/status").status, 200);
    timeval wait{5, 0};
    ::setsockopt(silent, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char byte = 0;
    auto started = std::chrono::steady_clock::now();
    ssize_t got = ::recv(silent, &byte, 1, 0);
    EXPECT_EQ(got, 0) << "the server should close an idle connection";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    ::close(silent);
}

TEST_F(ControlServerTest, HalfARequestIsAlsoTimedOut) {
    StartServer();
    int slow = Connect();
    const char partial[] = "PUT /settings HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"VP";
    ASSERT_GT(::send(slow, partial, sizeof(partial) - 1, 0), 0);
    timeval wait{5, 0};
    ::setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char buffer[512];
    while (::recv(slow, buffer, sizeof(buffer), 0) > 0) {
    }
    ::close(slow);
    EXPECT_TRUE(host_.Calls().empty());
}

TEST_F(ControlServerTest, ATricklingClientIsClosedAtTheRequestDeadline) {
    options_.idle_timeout_seconds = 30;
    options_.request_deadline_seconds = 1;
    StartServer();
    int slow = Connect();
    std::atomic<bool> closed{false};
    std::thread trickle([&] {
        const std::string header = "GET /status HTTP/1.1\r\nX-Padding: " + std::string(200, 'a');
        for (char byte : header) {
            if (closed || ::send(slow, &byte, 1, MSG_NOSIGNAL) != 1) {
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
    });
    auto started = std::chrono::steady_clock::now();
    ReadUntilClosed(::dup(slow), 8s);
    closed = true;
    trickle.join();
    ::close(slow);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(Client().Get("/status").status, 200);
    EXPECT_TRUE(WaitFor([&] { return server_->connection_count() == 0; }, 5s));
}

TEST_F(ControlServerTest, EveryRefusalIsJson) {
    options_.max_body_bytes = 4096;
    StartServer();
    auto expect_json_error = [](const std::string& answer, const std::string& status) {
        EXPECT_EQ(answer.rfind("HTTP/1.1 " + status, 0), 0u) << answer;
        EXPECT_NE(answer.find("Content-Type: application/json"), std::string::npos) << answer;
        std::size_t body = answer.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_TRUE(json::parse(answer.substr(body + 4), nullptr, false).contains("error"))
            << answer;
    };
    // Refused by the HTTP server itself before the request reaches the router.
    expect_json_error(Exchange("PUT /settings HTTP/1.1\r\nContent-Length: 3000000\r\n\r\n"), "413");
    expect_json_error(
        Exchange("GET /status HTTP/1.1\r\nX-Big: " + std::string(20000, 'x') + "\r\n\r\n"), "4");
    expect_json_error(Exchange("GARBAGE\r\n\r\n"), "400");
    // Two lengths for one body: which one a proxy in front used cannot be known.
    expect_json_error(Exchange("PUT /settings HTTP/1.1\r\nContent-Length: 2\r\n"
                               "Content-Length: 12\r\n\r\n{}"),
                      "400");
    expect_json_error(Exchange("PATCH /status HTTP/1.1\r\nConnection: close\r\n\r\n"), "405");
    expect_json_error(Exchange("GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n"), "404");
    EXPECT_TRUE(host_.Calls().empty());

    std::string head = Exchange("HEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");
}

TEST(EventQueueTest, SharesFramesAndHoldsNoMoreThanItsBound) {
    auto frame = std::make_shared<const std::string>(std::string(100, 'e'));
    EventQueue first(250);
    EventQueue second(250);
    EXPECT_TRUE(first.Push(frame));
    EXPECT_TRUE(first.Push(frame));
    EXPECT_TRUE(second.Push(frame));
    EXPECT_EQ(frame.use_count(), 4);  // one text, three references
    EXPECT_FALSE(first.Push(frame));  // 300 bytes would pass the bound
    EXPECT_EQ(first.bytes(), 200u);
    EXPECT_EQ(first.Take(150).size(), 100u);  // whole frames only
    EXPECT_EQ(first.Take(10).size(), 100u);   // but always at least one
    EXPECT_TRUE(first.empty());
    second.Clear();
    EXPECT_EQ(frame.use_count(), 1);
}

TEST_F(ControlServerTest, ConcurrentClientsAreAllServed) {
    StartServer();
    std::vector<std::future<long>> answers;
    for (int i = 0; i < 8; ++i) {
        answers.push_back(std::async(std::launch::async, [this] {
            return Client().Send("POST", "/actions/publish", "{\"path\": \"/m/a.mp4\"}").status;
        }));
    }
    for (auto& answer : answers) {
        EXPECT_EQ(answer.get(), 200);
    }
    EXPECT_EQ(host_.Calls().size(), 8u);
}

// An import takes seconds with a real list; the loop answers others meanwhile, and the
// import's own answer comes when it ends.
TEST_F(ControlServerTest, OtherRequestsAreAnsweredWhileABlockListIsImported) {
    std::promise<void> started;
    std::promise<void> finish;
    std::shared_future<void> finishing = finish.get_future().share();
    host_.while_importing = [&started, finishing] {
        started.set_value();
        finishing.wait_for(30s);
    };
    StartServer();
    auto import = std::async(std::launch::async, [this] {
        return Client().Send("POST", "/actions/ipfilter-import", R"({"text": "10.0.0.0/8\n"})");
    });
    ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Client().Get("/status").status, 200);
    EXPECT_EQ(Client().Send("POST", "/actions/publish", R"({"path": "/m/a.mp4"})").status, 200);
    EXPECT_EQ(import.wait_for(0s), std::future_status::timeout) << "answered before it ended";
    finish.set_value();
    ASSERT_EQ(import.wait_for(10s), std::future_status::ready);
    ClientAnswer answer = import.get();
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(host_.Calls().back(), "import text of 11 bytes");
}

TEST_F(ControlServerTest, EventStreamDeliversEventsInOrder) {
    StartServer();
    std::promise<void> subscribed;
    std::vector<std::pair<std::string, json>> received;
    std::thread watcher([&] {
        Client().Watch(
            [&](const std::string& type, const std::string& data) {
                received.emplace_back(type, json::parse(data));
                return received.size() < 3;
            },
            [&] {
                subscribed.set_value();
                return true;
            });
    });
    ASSERT_EQ(subscribed.get_future().wait_for(5s), std::future_status::ready);
    server_->PublishEvent({kEventPublishStarted, "/m/a.mp4", 2});
    server_->PublishEvent({kEventPublishProgress, "/m/a.mp4", 2, 40});
    server_->PublishEvent(
        {kEventPublishFinished, "/m/a.mp4", -1, {}, "variable frame rate", "", ""});
    watcher.join();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].first, kEventPublishStarted);
    EXPECT_EQ(received[1].second.at("percent"), 40);
    EXPECT_EQ(received[2].second.at("state"), -1);
    EXPECT_EQ(received[2].second.at("reason"), "variable frame rate");
}

// A thousand peers connecting at once reach a subscriber as a few single events and one
// summary that counts the rest, not as a thousand events.
TEST_F(ControlServerTest, PeerSessionFloodsAreSummedUp) {
    StartServer();
    std::promise<void> subscribed;
    std::uint64_t singles = 0;
    std::uint64_t summed = 0;
    std::thread watcher([&] {
        Client().Watch(
            [&](const std::string& type, const std::string& data) {
                if (type == kEventPeerConnected) {
                    ++singles;
                } else if (type == kEventPeersSummary) {
                    json summary = json::parse(data);
                    summed += summary.value("connected", std::uint64_t{0});
                    EXPECT_EQ(summary.value("left", std::uint64_t{0}), 0u) << data;
                }
                return singles + summed < 1000;
            },
            [&] {
                subscribed.set_value();
                return true;
            });
    });
    ASSERT_EQ(subscribed.get_future().wait_for(5s), std::future_status::ready);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        server_->PublishEvent(
            {kEventPeerConnected, "", {}, {}, "", "10.0.0.1:" + std::to_string(i)});
    }
    const bool within_a_second = std::chrono::steady_clock::now() - started < 1s;
    // Ends the stream should the summary never come.
    if (!WaitFor([&] { return server_->subscriber_count() == 0; }, 5s)) {
        server_.reset();
    }
    watcher.join();
    EXPECT_EQ(singles + summed, 1000u);
    if (within_a_second) {  // else a slow machine spread them over more seconds
        EXPECT_LE(singles, 20u);
        EXPECT_GE(summed, 980u);
    }
}

// A stopped instance ends the stream with a message of ours, not the HTTP client's.
TEST_F(ControlServerTest, WatcherIsToldInWordsWhenTheInstanceStopsOrIsGone) {
    StartServer();
    std::promise<void> subscribed;
    std::string ended;
    std::thread watcher([&] {
        ended = Client().Watch([](const std::string&, const std::string&) { return true; },
                               [&] {
                                   subscribed.set_value();
                                   return true;
                               });
    });
    ASSERT_EQ(subscribed.get_future().wait_for(5s), std::future_status::ready);
    server_.reset();
    watcher.join();
    EXPECT_EQ(ended,
              "the connection ended before the answer was complete: the instance stopped or "
              "restarted");
    EXPECT_EQ(Client().Get("/status").error, "cannot connect: the instance is not running");
}

TEST_F(ControlServerTest, SubscribersThatLeaveAreDropped) {
    StartServer();
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> events{0};
        Client().Watch([&](const std::string&, const std::string&) { return ++events < 1; },
                       [&] {
                           server_->PublishEvent({kEventServicesStarted});
                           return true;
                       });
        EXPECT_EQ(events.load(), 1);
    }
    // Writes to the gone subscribers fail quietly, at the latest those of the keep-alive
    // each second; then they are dropped, and the server keeps answering.
    for (int i = 0; i < 3; ++i) {
        server_->PublishEvent({kEventPeerRefused, "", {}, {}, "", "10.0.0.1"});
    }
    EXPECT_TRUE(WaitFor([&] { return server_->subscriber_count() == 0; }, 5s));
    EXPECT_EQ(Client().Get("/status").status, 200);
}

// Resident memory of this process, in bytes.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(ControlServerTest, SubscribersThatDoNotReadAreToldTheyLaggedAndClosed) {
    StartServer();
    int fd = Connect();
    const std::string request = "GET /events HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), 0);
    ASSERT_TRUE(WaitFor([&] { return server_->subscriber_count() == 1; }, 5s));
    for (int i = 0; i < 20000 && server_->subscriber_count() == 1; ++i) {
        server_->PublishEvent({kEventPublishProgress, "/m/" + std::string(100, 'p'), 2, i % 100});
    }
    ASSERT_TRUE(WaitFor([&] { return server_->subscriber_count() == 0; }, 5s));
    // Reading now, the client finds the events it took in time, then the notice, then the end.
    std::string stream = ReadUntilClosed(fd, 5s);
    EXPECT_NE(stream.find("event: lagged"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return server_->connection_count() == 0; }, 5s));
}

TEST_F(ControlServerTest, ManyNonReadingSubscribersKeepMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory and quarantine of freed blocks make resident memory no
    // measure of ours; the subscribers must still be dropped.
    constexpr bool kMeasureMemory = false;
#else
    constexpr bool kMeasureMemory = true;
#endif
    StartServer();
    const std::size_t before = ResidentBytes();
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        int fd = Connect(4096);
        const std::string request = "GET /events HTTP/1.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), 0);
        clients.push_back(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return server_->subscriber_count() == 200; }, 10s));
    std::size_t peak = 0;
    for (int i = 0; i < 100000; ++i) {
        server_->PublishEvent(
            {kEventPublishProgress, "/media/film-" + std::to_string(i) + ".mp4", 2, i % 100});
        if (i % 5000 == 0) {
            peak = std::max(peak, ResidentBytes());
        }
    }
    ASSERT_TRUE(WaitFor([&] { return server_->subscriber_count() == 0; }, 20s));
    peak = std::max(peak, ResidentBytes());
    if (kMeasureMemory) {
        EXPECT_LE(peak, before + 64 * 1024 * 1024) << "peak " << peak << " before " << before;
    }
    for (int fd : clients) {
        ::close(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return server_->connection_count() == 0; }, 10s));
    if (kMeasureMemory) {
        EXPECT_LE(ResidentBytes(), before + 16 * 1024 * 1024);
    }
}

TEST_F(ControlServerTest, MetricsListenerServesOnlyMetrics) {
    options_.metrics_address = "127.0.0.1:0";
    StartServer();
    ASSERT_GT(server_->metrics_port(), 0);
    auto fetch = [&](const std::string& target) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(server_->metrics_port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
        ::send(fd, request.data(), request.size(), 0);
        return ReadUntilClosed(fd, 5s);
    };
    std::string metrics = fetch("/metrics");
    EXPECT_EQ(metrics.rfind("HTTP/1.0 200", 0), 0u) << metrics;
    EXPECT_NE(metrics.find("wharfkeep_refused_connections_total{reason=\"ip_filter\"} 3"),
              std::string::npos);
    EXPECT_EQ(fetch("/status").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(fetch("/livez").rfind("HTTP/1.0 200", 0), 0u);
    host_.readiness = {{"database", false, "the database is open read-only"}};
    std::string ready = fetch("/readyz?verbose");
    EXPECT_EQ(ready.rfind("HTTP/1.0 503", 0), 0u) << ready;
    EXPECT_NE(ready.find("[-]database failed: the database is open read-only"), std::string::npos);
    EXPECT_TRUE(host_.Calls().empty());
}

TEST_F(ControlServerTest, BadMetricsAddressFailsTheStart) {
    options_.metrics_address = "localhost";
    std::string error;
    EXPECT_EQ(ControlServer::Start(host_, options_, error), nullptr);
    EXPECT_NE(error.find("HOST:PORT"), std::string::npos);
    EXPECT_FALSE(fs::exists(options_.socket_path));
}

}  // namespace
}  // namespace wharfkeep::control
