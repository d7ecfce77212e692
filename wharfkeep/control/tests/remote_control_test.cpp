// The control interface on TCP: addresses as the operator writes them, the TLS identity, and
// a server that speaks only TLS there and bounds what its clients can hold.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "control_server_fixture.h"
#include "fake_control_host.h"
#include "wharfkeep/control/control_client.h"
#include "wharfkeep/control/control_server.h"
#include "wharfkeep/control/listen_address.h"
#include "wharfkeep/control/tls_identity.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(ListenAddressTest, ListsOfAddressesAreReadAndMistakesNamed) {
    std::string error;
    auto addresses = ParseListenAddresses("127.0.0.1:8443, [::1]:8443,[::]:0", error);
    ASSERT_TRUE(addresses) << error;
    ASSERT_EQ(addresses->size(), 3u);
    EXPECT_EQ((*addresses)[0].Text(), "127.0.0.1:8443");
    EXPECT_TRUE((*addresses)[1].ipv6);
    EXPECT_EQ((*addresses)[1].host, "::1");
    EXPECT_EQ((*addresses)[2].Text(), "[::]:0");
    EXPECT_TRUE(ParseListenAddresses("", error)->empty());

    EXPECT_FALSE(ParseListenAddresses("127.0.0.1:8443,::1:8443", error));
    EXPECT_NE(error.find("brackets"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenAddresses("localhost:8443", error));
    EXPECT_NE(error.find("not a numeric"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenAddresses("127.0.0.1", error));
    EXPECT_NE(error.find("no port"), std::string::npos) << error;
    EXPECT_FALSE(ParseListenAddresses("127.0.0.1:99999", error));
    EXPECT_FALSE(ParseListenAddresses("[::1]8443", error));
}

class RemoteControlTest : public ControlServerFixture {
protected:
    void SetUp() override {
        ControlServerFixture::SetUp();
        std::string error;
        auto files =
            EnsureSelfSignedCertificate(folder_ / "tls", {"localhost", "127.0.0.1", "::1"}, error);
        ASSERT_TRUE(files) << error;
        files_ = *files;
        options_.tls = TlsIdentity::Load(files_, error);
        ASSERT_NE(options_.tls, nullptr) << error;
        options_.remote_addresses = *ParseListenAddresses("127.0.0.1:0", error);
        options_.request_deadline_seconds = 1;
        options_.tokens = std::make_shared<TokenStore>(folder_ / kTokenFileName);
        token_ = *options_.tokens->Create("test", Scope::kRead, error);
    }
    int Port(std::size_t index = 0) const { return server_->remote_addresses().at(index).port; }
    ControlClient Pinned(const std::string& host = "127.0.0.1") const {
        RemoteTarget target;
        target.url = "https://" + host + ":" + std::to_string(Port());
        target.fingerprint = options_.tls->fingerprint();
        target.token = token_;
        return ControlClient(target, 10);
    }
    int ConnectTcp() const {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        return fd;
    }

    TlsFiles files_;
    std::string token_;
};

TEST_F(RemoteControlTest, TheSelfSignedCertificateIsKeptAndItsKeyIsPrivate) {
    struct stat info {};
    ASSERT_EQ(::stat(files_.key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string error;
    auto again = EnsureSelfSignedCertificate(folder_ / "tls", {"localhost"}, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(TlsIdentity::Load(*again, error)->fingerprint(), options_.tls->fingerprint());
    EXPECT_EQ(options_.tls->fingerprint().size(), 32u * 3 - 1);  // "AB:" 32 times, less one
}

TEST_F(RemoteControlTest, BadCertificateFilesAreRefusedNamingTheKey) {
    std::string error;
    std::ofstream(folder_ / "not.pem") << "hello";
    EXPECT_EQ(TlsIdentity::Load({folder_ / "not.pem", files_.key}, error), nullptr);
    EXPECT_NE(error.find("tls_certificate=" + (folder_ / "not.pem").string()), std::string::npos)
        << error;
    EXPECT_EQ(TlsIdentity::Load({files_.certificate, folder_ / "missing.pem"}, error), nullptr);
    EXPECT_NE(error.find("tls_key="), std::string::npos) << error;
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    auto other = EnsureSelfSignedCertificate(folder_ / "other", {"localhost"}, error);
    ASSERT_TRUE(other);
    EXPECT_EQ(TlsIdentity::Load({files_.certificate, other->key}, error), nullptr);
    EXPECT_NE(error.find("is not the key of"), std::string::npos) << error;
}

TEST_F(RemoteControlTest, ServesOverTlsToAClientThatChecksTheCertificate) {
    host_.status.peers = 7;
    StartServer();
    ClientAnswer pinned = Pinned().Get("/status");
    ASSERT_EQ(pinned.status, 200) << pinned.error;
    EXPECT_EQ(json::parse(pinned.body).at("peers"), 7);

    RemoteTarget by_authority;
    by_authority.url = "https://127.0.0.1:" + std::to_string(Port());
    by_authority.ca_file = files_.certificate;
    by_authority.token = token_;
    EXPECT_EQ(ControlClient(by_authority, 10).Get("/status").status, 200);

    // Another certificate, or no check the server passes: refused, never a fallback.
    RemoteTarget wrong_pin = by_authority;
    wrong_pin.ca_file.clear();
    wrong_pin.fingerprint = std::string(31 * 3, '0') + "00";
    ClientAnswer refused = ControlClient(wrong_pin, 10).Get("/status");
    EXPECT_EQ(refused.status, 0);
    EXPECT_NE(refused.error.find("pinned fingerprint"), std::string::npos) << refused.error;
    RemoteTarget system_store = by_authority;
    system_store.ca_file.clear();
    EXPECT_EQ(ControlClient(system_store, 10).Get("/status").status, 0);
}

TEST_F(RemoteControlTest, PlainHttpIsNotServed) {
    StartServer();
    int fd = ConnectTcp();
    const std::string request = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = ReadUntilClosed(fd, 5s);
    EXPECT_EQ(answer.find("HTTP/"), std::string::npos) << answer;
    EXPECT_TRUE(host_.Calls().empty());
}

TEST_F(RemoteControlTest, AStalledHandshakeIsClosedAndClientsAreCapped) {
    options_.max_remote_clients = 2;
    StartServer();
    int first = ConnectTcp();
    int second = ConnectTcp();
    // The third is over the cap and closed at once.
    auto started = std::chrono::steady_clock::now();
    ReadUntilClosed(ConnectTcp(), 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    // The first two never start their handshake: closed at the deadline.
    ReadUntilClosed(first, 5s);
    ReadUntilClosed(second, 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(Pinned().Get("/status").status, 200);
}

TEST_F(RemoteControlTest, ListensOnIpv6Loopback) {
    std::string error;
    options_.remote_addresses = *ParseListenAddresses("[::1]:0,127.0.0.1:0", error);
    server_ = ControlServer::Start(host_, options_, error);
    if (server_ == nullptr && error.find("[::1]") != std::string::npos) {
        GTEST_SKIP() << "no IPv6 loopback on this machine: " << error;
    }
    ASSERT_NE(server_, nullptr) << error;
    RemoteTarget target;
    target.url = "https://[::1]:" + std::to_string(Port(0));
    target.ca_file = files_.certificate;
    target.token = token_;
    ClientAnswer answer = ControlClient(target, 10).Get("/status");
    EXPECT_EQ(answer.status, 200) << answer.error;
    EXPECT_EQ(Pinned().Get("/status").status, 0);  // Port(0) is the IPv6 one
}

TEST_F(RemoteControlTest, ABusyAddressFailsTheStartNamingTheKey) {
    StartServer();
    ControlServerOptions second = options_;
    second.socket_path = folder_ / "second.sock";
    second.remote_addresses = server_->remote_addresses();
    std::string error;
    FakeControlHost other;
    EXPECT_EQ(ControlServer::Start(other, second, error), nullptr);
    EXPECT_NE(error.find("[control] listen"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(second.socket_path));
}

// A stream of events read on a thread of its own until the test publishes "stop", so that a
// test can tell whether a change on the server dropped it. A test that ends before that
// stops the server, which ends the stream.
class EventWatcher {
public:
    EventWatcher(ControlClient client, std::unique_ptr<ControlServer>& server)
        : client_(std::move(client)), server_(server) {
        thread_ = std::thread([this] {
            error_ = client_.Watch(
                [this](const std::string& type, const std::string&) {
                    events_.fetch_add(1);
                    return type != "stop";
                },
                [this] {
                    subscribed_.store(true);
                    return true;
                });
            ended_.store(true);
        });
    }
    ~EventWatcher() {
        if (!ended()) {
            server_.reset();
        }
        thread_.join();
    }
    bool subscribed() const { return subscribed_.load(); }
    bool ended() const { return ended_.load(); }
    int events() const { return events_.load(); }
    const std::string& error() const { return error_; }

private:
    ControlClient client_;
    std::unique_ptr<ControlServer>& server_;
    std::thread thread_;
    std::atomic<bool> subscribed_{false};
    std::atomic<bool> ended_{false};
    std::atomic<int> events_{0};
    std::string error_;
};

// Applies `options` and waits (with a deadline) for the server thread to say how it went.
RemoteReloadOutcome Reload(ControlServer& server, const ControlServerOptions& options) {
    auto outcome = std::make_shared<std::promise<RemoteReloadOutcome>>();
    std::future<RemoteReloadOutcome> applied = outcome->get_future();
    server.ReloadRemote(
        options, [outcome](const RemoteReloadOutcome& result) { outcome->set_value(result); });
    if (applied.wait_for(10s) != std::future_status::ready) {
        RemoteReloadOutcome late;
        late.error = "the server thread did not apply the reload in 10 s";
        return late;
    }
    return applied.get();
}

// Listeners come and go, and the certificate changes, while the socket's and the other
// listeners' clients stay connected; settings that cannot be applied change nothing.
TEST_F(RemoteControlTest, AReloadChangesListenersAndCertificateWithoutDroppingClients) {
    const ControlServerOptions wanted = options_;
    options_.remote_addresses.clear();  // started without TCP
    StartServer();
    EXPECT_TRUE(server_->remote_addresses().empty());
    EventWatcher on_socket(ControlClient(options_.socket_path, 10), server_);
    ASSERT_TRUE(WaitFor([&] { return on_socket.subscribed(); }));

    std::string error;
    RemoteReloadOutcome outcome = Reload(*server_, wanted);
    ASSERT_EQ(outcome.error, "");
    EXPECT_TRUE(outcome.before.empty());
    ASSERT_EQ(outcome.after.size(), 1u);
    EXPECT_EQ(outcome.fingerprint_after, options_.tls->fingerprint());
    ASSERT_EQ(server_->remote_addresses().size(), 1u);
    const ListenAddress first = server_->remote_addresses()[0];
    EXPECT_NE(first.port, 0);
    EventWatcher on_tcp(Pinned(), server_);
    ASSERT_TRUE(WaitFor([&] { return on_tcp.subscribed(); })) << on_tcp.error();

    // A busy address: refused whole, the first listener stays.
    int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    ASSERT_EQ(::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string busy_text = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ControlServerOptions with_busy = wanted;
    with_busy.remote_addresses = *ParseListenAddresses("127.0.0.2:0," + busy_text, error);
    outcome = Reload(*server_, with_busy);
    EXPECT_NE(outcome.error.find("[control] listen: cannot listen on " + busy_text),
              std::string::npos)
        << outcome.error;
    ::close(busy);
    ASSERT_EQ(server_->remote_addresses().size(), 1u);
    EXPECT_EQ(server_->remote_addresses()[0].Text(), first.Text());
    EXPECT_EQ(Pinned().Get("/status").status, 200);

    // The first address is replaced by another, with another certificate.
    auto other_files = EnsureSelfSignedCertificate(folder_ / "other", {"127.0.0.2"}, error);
    ASSERT_TRUE(other_files) << error;
    ControlServerOptions moved = wanted;
    moved.tls = TlsIdentity::Load(*other_files, error);
    moved.remote_addresses = *ParseListenAddresses("127.0.0.2:0", error);
    outcome = Reload(*server_, moved);
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.fingerprint_before, options_.tls->fingerprint());
    EXPECT_EQ(outcome.fingerprint_after, moved.tls->fingerprint());
    ASSERT_EQ(outcome.before.size(), 1u);
    EXPECT_EQ(outcome.before[0].Text(), first.Text());
    ASSERT_EQ(server_->remote_addresses().size(), 1u);
    RemoteTarget target;
    target.url = "https://" + server_->remote_addresses()[0].Text();
    target.token = token_;
    target.fingerprint = moved.tls->fingerprint();
    ClientAnswer answer = ControlClient(target, 10).Get("/status");
    EXPECT_EQ(answer.status, 200) << answer.error;
    target.fingerprint = options_.tls->fingerprint();
    EXPECT_EQ(ControlClient(target, 10).Get("/status").status, 0);  // the old one is gone
    target.url = "https://" + first.Text();
    target.fingerprint = moved.tls->fingerprint();
    EXPECT_EQ(ControlClient(target, 10).Get("/status").status, 0);  // nobody listens there

    // Both streams came through every change and still get events.
    EXPECT_EQ(server_->subscriber_count(), 2u);
    EXPECT_FALSE(on_socket.ended());
    EXPECT_FALSE(on_tcp.ended());
    server_->PublishEvent(ControlEvent{"stop"});
    EXPECT_TRUE(WaitFor([&] { return on_socket.ended() && on_tcp.ended(); }));
    EXPECT_EQ(on_tcp.events(), 1) << on_tcp.error();
    EXPECT_EQ(on_socket.events(), 1) << on_socket.error();

    // No addresses at all: the TCP listener closes, the socket serves on.
    ControlServerOptions none = wanted;
    none.remote_addresses.clear();
    outcome = Reload(*server_, none);
    ASSERT_EQ(outcome.error, "");
    EXPECT_TRUE(outcome.after.empty());
    EXPECT_TRUE(server_->remote_addresses().empty());
    EXPECT_EQ(ControlClient(options_.socket_path, 10).Get("/status").status, 200);
}

// The owner's thread hands a reload over and goes on, even while the server thread waits for
// that very thread to answer a request: waiting for each other would stall both.
TEST_F(RemoteControlTest, AReloadDoesNotWaitForTheServerThread) {
    std::promise<void> status_started;
    std::promise<void> reload_returned;
    std::shared_future<void> returned = reload_returned.get_future().share();
    std::atomic<bool> first_status{true};
    host_.while_reading_status = [&status_started, &first_status, returned] {
        if (first_status.exchange(false)) {
            status_started.set_value();
            returned.wait_for(10s);
        }
    };
    StartServer();
    auto status = std::async(std::launch::async, [this] { return Pinned().Get("/status"); });
    ASSERT_EQ(status_started.get_future().wait_for(10s), std::future_status::ready);

    ControlServerOptions moved = options_;
    std::string error;
    moved.remote_addresses = *ParseListenAddresses("127.0.0.2:0", error);
    std::promise<RemoteReloadOutcome> outcome;
    std::future<RemoteReloadOutcome> applied = outcome.get_future();
    const auto asked = std::chrono::steady_clock::now();
    server_->ReloadRemote(
        moved, [&outcome](const RemoteReloadOutcome& result) { outcome.set_value(result); });
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "the reload waited";
    EXPECT_EQ(applied.wait_for(0s), std::future_status::timeout)
        << "applied while the server thread was busy";
    reload_returned.set_value();

    ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(status.get().status, 200);
    ASSERT_EQ(applied.wait_for(10s), std::future_status::ready);
    RemoteReloadOutcome result = applied.get();
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.after.size(), 1u);
    EXPECT_EQ(result.after[0].host, "127.0.0.2");
}

}  // namespace
}  // namespace wharfkeep::control
