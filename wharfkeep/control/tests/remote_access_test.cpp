// Who may call what on the TCP listener: tokens, scopes, the Host check, trusted proxies,
// bans; first each rule alone, then through a running server over TLS.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "../src/remote_access.h"
#include "fake_control_host.h"
#include "https_request.h"
#include "temp_folder.h"
#include "wharfkeep/control/api_tokens.h"
#include "wharfkeep/control/control_client.h"
#include "wharfkeep/control/control_event.h"
#include "wharfkeep/control/control_server.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(TokenStoreTest, TokensAreShownOnceStoredHashedAndRevocable) {
    platform::testing::TempFolder temp("wk-access");
    const fs::path& folder = temp.path();
    TokenStore store(folder / kTokenFileName);
    std::string error;
    std::optional<std::string> token = store.Create("ci", Scope::kOperate, error);
    ASSERT_TRUE(token) << error;
    EXPECT_GE(token->size(), 3u + 43u);  // "wk_" and 256 bits in base64url
    EXPECT_EQ(token->find_first_of("+/="), std::string::npos);

    std::stringstream file;
    file << std::ifstream(folder / kTokenFileName).rdbuf();
    EXPECT_EQ(file.str().find(*token), std::string::npos);
    EXPECT_NE(file.str().find(Sha256Hex(*token)), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat((folder / kTokenFileName).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_FALSE(store.Create("ci", Scope::kRead, error));
    EXPECT_NE(error.find("exists"), std::string::npos);
    EXPECT_FALSE(store.Create("bad name", Scope::kRead, error));

    // Another store over the same file (the running instance) sees it, and its revocation.
    TokenStore instance(folder / kTokenFileName);
    std::optional<TokenRecord> record = instance.Verify(*token, 1000);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->name, "ci");
    EXPECT_EQ(record->scope, Scope::kOperate);
    EXPECT_FALSE(instance.Verify(*token + "x", 1000));
    instance.SaveLastUses();
    EXPECT_EQ(store.List(error).at(0).last_used, 1000);

    EXPECT_TRUE(store.Revoke("ci", error));
    EXPECT_FALSE(store.Revoke("ci", error));
    EXPECT_FALSE(instance.Verify(*token, 1001));
    EXPECT_FALSE(instance.StillValid(record->sha256));
}

TEST(TokenStoreTest, ADamagedFileAcceptsNoToken) {
    platform::testing::TempFolder temp("wk-access");
    const fs::path& folder = temp.path();
    TokenStore store(folder / kTokenFileName);
    std::string error;
    std::optional<std::string> token = store.Create("ci", Scope::kAdmin, error);
    ASSERT_TRUE(token);
    std::ofstream(folder / kTokenFileName) << "{\"tokens\": [{\"name\": 5}]}";
    EXPECT_FALSE(TokenStore(folder / kTokenFileName).Verify(*token, 1));
    EXPECT_FALSE(store.Create("other", Scope::kRead, error));
    EXPECT_NE(error.find("not a token"), std::string::npos) << error;
}

// The running instance learns of tokens made and revoked by another program through the
// file; what it reports names them and never carries their text or hash.
TEST(TokenStoreTest, ChangesToTheFileAreReportedOnceByNameAndScope) {
    platform::testing::TempFolder temp("wk-access");
    const fs::path& folder = temp.path();
    TokenStore commands(folder / kTokenFileName);
    std::string error;
    ASSERT_TRUE(commands.Create("old", Scope::kRead, error)) << error;
    TokenStore instance(folder / kTokenFileName);
    EXPECT_TRUE(instance.TakeChanges().empty()) << "the first look only learns what exists";

    ASSERT_TRUE(commands.Create("ci", Scope::kAdmin, error)) << error;
    ASSERT_TRUE(commands.Revoke("old", error)) << error;
    std::vector<StoreChange> changes = instance.TakeChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].added);
    EXPECT_EQ(changes[0].name, "old");
    EXPECT_EQ(changes[0].scope, Scope::kRead);
    EXPECT_TRUE(changes[1].added);
    EXPECT_EQ(changes[1].name, "ci");
    EXPECT_EQ(changes[1].scope, Scope::kAdmin);
    EXPECT_TRUE(instance.TakeChanges().empty());

    // Writing the last uses changes the file but no token.
    ASSERT_TRUE(commands.List(error).size() == 1);
    instance.SaveLastUses();
    EXPECT_TRUE(instance.TakeChanges().empty());

    // A token revoked and made again under its name is another token.
    ASSERT_TRUE(commands.Revoke("ci", error));
    ASSERT_TRUE(commands.Create("ci", Scope::kRead, error));
    changes = instance.TakeChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].added);
    EXPECT_TRUE(changes[1].added);
    EXPECT_EQ(changes[1].scope, Scope::kRead);

    // A damaged file revokes nothing in the reports; once mended, only real changes show.
    std::string kept;
    {
        std::stringstream text;
        text << std::ifstream(folder / kTokenFileName).rdbuf();
        kept = text.str();
    }
    std::ofstream(folder / kTokenFileName) << "{\"tokens\": 5}";
    EXPECT_TRUE(instance.TakeChanges().empty());
    std::ofstream(folder / kTokenFileName) << kept;
    EXPECT_TRUE(instance.TakeChanges().empty());
}

TEST(RemoteAccessRulesTest, ScopesFollowWhatARequestCanChange) {
    EXPECT_EQ(RequiredScope("GET", "/status"), Scope::kRead);
    EXPECT_EQ(RequiredScope("HEAD", "/metrics"), Scope::kRead);
    EXPECT_EQ(RequiredScope("GET", "/events"), Scope::kRead);
    EXPECT_EQ(RequiredScope("GET", "/settings"), Scope::kRead);
    EXPECT_EQ(RequiredScope("POST", "/actions/publish"), Scope::kOperate);
    EXPECT_EQ(RequiredScope("POST", "/actions/withdraw"), Scope::kOperate);
    EXPECT_EQ(RequiredScope("PUT", "/settings"), Scope::kAdmin);
    EXPECT_EQ(RequiredScope("PUT", "/ipfilter"), Scope::kAdmin);
    EXPECT_EQ(RequiredScope("DELETE", "/ipfilter/ranges/0"), Scope::kAdmin);
    EXPECT_EQ(RequiredScope("POST", "/actions/ipfilter-import"), Scope::kAdmin);
    EXPECT_EQ(RequiredScope("GET", "/tokens"), Scope::kAdmin);
    // The folder picker shows the server's folders: only to who may add one.
    EXPECT_EQ(RequiredScope("GET", "/browse"), Scope::kOperate);
    // A method a resource does not take still needs more than reading.
    EXPECT_EQ(RequiredScope("DELETE", "/status"), Scope::kOperate);
}

TEST(RemoteAccessRulesTest, HostMustBeAnAddressOrAKnownName) {
    std::vector<std::string> names{"localhost", "nas.example.org"};
    EXPECT_TRUE(HostAllowed("127.0.0.1:8443", names));
    EXPECT_TRUE(HostAllowed("[::1]:8443", names));
    EXPECT_TRUE(HostAllowed("192.168.1.5", names));
    EXPECT_TRUE(HostAllowed("NAS.example.org:8443", names));
    EXPECT_TRUE(HostAllowed("localhost.", names));
    EXPECT_FALSE(HostAllowed("evil.example.com:8443", names));
    EXPECT_FALSE(HostAllowed("[nas.example.org]:8443", names));
    EXPECT_FALSE(HostAllowed("", names));
}

TEST(RemoteAccessRulesTest, ForwardedForIsBelievedOnlyFromTrustedProxies) {
    std::vector<AddressRange> trusted{*ParseAddressRange("10.0.0.0/8"), *ParseAddressRange("::1")};
    EXPECT_EQ(ClientAddress("192.0.2.7", "203.0.113.9", trusted), "192.0.2.7");
    EXPECT_EQ(ClientAddress("10.1.2.3", "203.0.113.9", trusted), "203.0.113.9");
    // A client's own X-Forwarded-For to the left of the proxies' entries is not believed.
    EXPECT_EQ(ClientAddress("10.1.2.3", "1.1.1.1, 203.0.113.9, 10.9.9.9", trusted), "203.0.113.9");
    EXPECT_EQ(ClientAddress("::1", "2001:db8::5", trusted), "2001:db8::5");
    EXPECT_EQ(ClientAddress("10.1.2.3", "not-an-address", trusted), "10.1.2.3");
    // An empty first item after trusted ones ends the walk at the last trusted address.
    EXPECT_EQ(ClientAddress("10.1.2.3", ",10.0.0.1", trusted), "10.0.0.1");
    EXPECT_EQ(ClientAddress("10.1.2.3", ", , 10.0.0.1,", trusted), "10.1.2.3");
    EXPECT_FALSE(ParseAddressRange("10.0.0.0/33"));
    EXPECT_FALSE(ParseAddressRange("example.org"));
    EXPECT_TRUE(InRange(*ParseAddressRange("192.168.0.0/23"), "192.168.1.200"));
    EXPECT_FALSE(InRange(*ParseAddressRange("192.168.0.0/23"), "192.168.2.1"));
}

TEST(RemoteAccessRulesTest, TenFailuresWithinTheWindowBanForTenMinutes) {
    BanList bans(10, 60, 600, 8);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FALSE(bans.Fail("192.0.2.1", 1000 + i * 10));  // spread over 80 s
    }
    EXPECT_EQ(bans.BannedFor("192.0.2.1", 1090), 0);
    for (int i = 0; i < 9; ++i) {
        EXPECT_FALSE(bans.Fail("192.0.2.2", 2000));
    }
    EXPECT_TRUE(bans.Fail("192.0.2.2", 2001));
    EXPECT_EQ(bans.BannedFor("192.0.2.2", 2001), 600);
    EXPECT_EQ(bans.BannedFor("192.0.2.2", 2601), 0);
    // A flood of other addresses does not lift the ban.
    for (int i = 0; i < 100; ++i) {
        bans.Fail("198.51.100." + std::to_string(i), 2100);
    }
    EXPECT_GT(bans.BannedFor("192.0.2.2", 2100), 0);
    EXPECT_EQ(bans.bans(), 1u);
}

// ---- through a running server ----

using TlsAnswer = HttpsReply;

class RemoteAccessTest : public ::testing::Test {
protected:
    // The TLS listener as a remote client reaches it, with `token`.
    RemoteTarget Target(const std::string& token) const {
        RemoteTarget target;
        target.url = "https://127.0.0.1:" + std::to_string(server_->remote_addresses()[0].port);
        target.fingerprint = options_.tls->fingerprint();
        target.token = token;
        return target;
    }

    void SetUp() override {
        ASSERT_FALSE(folder_.empty());
        std::string error;
        auto files = EnsureSelfSignedCertificate(folder_ / "tls", {"127.0.0.1"}, error);
        ASSERT_TRUE(files) << error;
        options_.tls = TlsIdentity::Load(*files, error);
        options_.socket_path = folder_ / kControlSocketName;
        options_.remote_addresses = *ParseListenAddresses("127.0.0.1:0", error);
        options_.tokens = std::make_shared<TokenStore>(folder_ / kTokenFileName);
        options_.trusted_proxies = {"127.0.0.1"};
        options_.allowed_hosts = {"nas.example.org"};
        TokenStore commands(folder_ / kTokenFileName);
        read_ = *commands.Create("reader", Scope::kRead, error);
        operate_ = *commands.Create("operator", Scope::kOperate, error);
        server_ = ControlServer::Start(host_, options_, error);
        ASSERT_NE(server_, nullptr) << error;
    }
    void TearDown() override { server_.reset(); }
    TlsAnswer Request(const std::string& method, const std::string& target,
                      const std::vector<std::string>& headers) const {
        return HttpsRequest(
            method,
            "https://127.0.0.1:" + std::to_string(server_->remote_addresses()[0].port) + target,
            headers);
    }
    TlsAnswer Get(const std::string& target, const std::string& token,
                  std::vector<std::string> headers = {}) const {
        if (!token.empty()) {
            headers.push_back("Authorization: Bearer " + token);
        }
        return Request("GET", target, headers);
    }

    platform::testing::TempFolder temp_{"wk-access"};
    fs::path folder_ = temp_.path();
    ControlServerOptions options_;
    FakeControlHost host_;
    std::unique_ptr<ControlServer> server_;
    std::string read_;
    std::string operate_;
};

TEST_F(RemoteAccessTest, TokensAndScopesDecideWhoMayCallWhat) {
    TlsAnswer none = Get("/status", "");
    EXPECT_EQ(none.status, 401);
    EXPECT_NE(none.headers.find("WWW-Authenticate: Bearer"), std::string::npos) << none.headers;
    EXPECT_TRUE(json::parse(none.body).contains("error"));
    EXPECT_EQ(Get("/status", "wk_wrong").status, 401);
    EXPECT_EQ(Get("/status", read_).status, 200);
    EXPECT_EQ(Get("/metrics", read_).status, 200);

    auto publish = [&](const std::string& token) {
        return Request("POST", "/actions/publish",
                       {"Authorization: Bearer " + token, "Content-Type: application/json"})
            .status;
    };
    const std::size_t calls = host_.Calls().size();
    EXPECT_EQ(Request("POST", "/actions/publish",
                      {"Authorization: Bearer " + read_, "Content-Type: application/json"})
                  .status,
              403);
    EXPECT_EQ(host_.Calls().size(), calls);
    EXPECT_EQ(publish(operate_), 400);  // past the scope check: the router wants a path
    EXPECT_EQ(Request("PUT", "/settings", {"Authorization: Bearer " + operate_}).status, 403);

    // Only the header counts; a token in the address is refused even when valid.
    EXPECT_EQ(Get("/status?token=" + read_, "").status, 400);
    EXPECT_EQ(Get("/status?access_token=" + read_, read_).status, 400);
}

TEST_F(RemoteAccessTest, AForgedHostIsRefused) {
    EXPECT_EQ(Get("/status", read_, {"Host: evil.example.com"}).status, 421);
    EXPECT_EQ(Get("/status", read_, {"Host: nas.example.org:8443"}).status, 200);
}

TEST_F(RemoteAccessTest, RepeatedFailuresBanTheClientBehindATrustedProxy) {
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Get("/status", "wk_guess", {"X-Forwarded-For: 203.0.113.9"}).status, 401);
    }
    TlsAnswer banned = Get("/status", read_, {"X-Forwarded-For: 203.0.113.9"});
    EXPECT_EQ(banned.status, 429);
    EXPECT_NE(banned.headers.find("Retry-After: "), std::string::npos) << banned.headers;
    // Another client behind the same proxy is not affected.
    EXPECT_EQ(Get("/status", read_, {"X-Forwarded-For: 203.0.113.10"}).status, 200);
    std::string metrics = Get("/metrics", read_).body;
    EXPECT_NE(metrics.find("wharfkeep_control_bans_total 1"), std::string::npos) << metrics;
}

TEST_F(RemoteAccessTest, AnUntrustedPeersForwardedForIsIgnored) {
    server_.reset();
    options_.trusted_proxies.clear();
    std::string error;
    server_ = ControlServer::Start(host_, options_, error);
    ASSERT_NE(server_, nullptr) << error;
    // Each failure claims another address; the ban falls on the peer itself.
    for (int i = 0; i < 10; ++i) {
        Get("/status", "wk_guess", {"X-Forwarded-For: 198.51.100." + std::to_string(i)});
    }
    EXPECT_EQ(Get("/status", read_, {"X-Forwarded-For: 198.51.100.200"}).status, 429);
}

TEST_F(RemoteAccessTest, ARevokedTokensEventStreamIsClosed) {
    const RemoteTarget target = Target(read_);
    std::promise<void> subscribed;
    std::string ended;
    std::thread watcher([&] {
        ended = ControlClient(target, 10)
                    .Watch([](const std::string&, const std::string&) { return true; },
                           [&] {
                               subscribed.set_value();
                               return true;
                           });
    });
    ASSERT_EQ(subscribed.get_future().wait_for(5s), std::future_status::ready);
    auto revoked_at = std::chrono::steady_clock::now();
    std::string error;
    ASSERT_TRUE(TokenStore(folder_ / kTokenFileName).Revoke("reader", error)) << error;
    watcher.join();
    EXPECT_LT(std::chrono::steady_clock::now() - revoked_at, 3s);
    EXPECT_FALSE(ended.empty());
    EXPECT_EQ(Get("/status", read_).status, 401);
}

TEST_F(RemoteAccessTest, TokensMadeAndRevokedElsewhereReachTheEventStream) {
    const RemoteTarget target = Target(operate_);
    std::promise<void> subscribed;
    std::vector<std::pair<std::string, std::string>> received;
    std::thread watcher([&] {
        ControlClient(target, 10)
            .Watch(
                [&](const std::string& type, const std::string& data) {
                    if (type == kEventTokenCreated || type == kEventTokenRevoked) {
                        received.emplace_back(type, data);
                    }
                    return received.size() < 2;
                },
                [&] {
                    subscribed.set_value();
                    return true;
                });
    });
    ASSERT_EQ(subscribed.get_future().wait_for(5s), std::future_status::ready);
    std::string error;
    TokenStore commands(folder_ / kTokenFileName);
    std::optional<std::string> made = commands.Create("deploy", Scope::kAdmin, error);
    ASSERT_TRUE(made) << error;
    ASSERT_FALSE(commands.Create("deploy", Scope::kAdmin, error));  // refused: no event
    ASSERT_TRUE(commands.Revoke("reader", error)) << error;
    watcher.join();

    ASSERT_EQ(received.size(), 2u);
    std::map<std::string, json> by_type;
    for (const auto& [type, data] : received) {
        EXPECT_EQ(data.find(*made), std::string::npos) << "a token's text never travels";
        EXPECT_EQ(data.find(Sha256Hex(*made)), std::string::npos) << data;
        EXPECT_EQ(data.find(Sha256Hex(read_)), std::string::npos) << data;
        by_type[type] = json::parse(data);
    }
    EXPECT_EQ(by_type[kEventTokenCreated].value("name", ""), "deploy");
    EXPECT_EQ(by_type[kEventTokenCreated].value("scope", ""), "admin");
    EXPECT_EQ(by_type[kEventTokenRevoked].value("name", ""), "reader");
    EXPECT_EQ(by_type[kEventTokenRevoked].value("scope", ""), "read");
}

}  // namespace
}  // namespace wharfkeep::control
