// The web console on the TCP listener: its files, the logins and their sessions, the CSRF
// and Origin rules, the users' file, and the event stream that a reconnecting page resumes.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "../src/web_assets.h"
#include "../src/web_sessions.h"
#include "control_server_fixture.h"
#include "https_request.h"
#include "wharfkeep/control/control_json.h"
#include "wharfkeep/control/control_users.h"
#include "wharfkeep/control/listen_address.h"
#include "wharfkeep/control/tls_identity.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(WebSessionsTest, EveryLoginGetsANewIdThatEndsWhenIdleOrClosed) {
    SessionTable table(600, 3);
    std::string first = table.Open("ann", Scope::kRead, "hash", 1000);
    std::string second = table.Open("ann", Scope::kRead, "hash", 1000);
    EXPECT_NE(first, second);
    EXPECT_GE(first.size(), 43u);  // 256 bits in base64
    ASSERT_NE(table.Find(first, 1000), nullptr);
    EXPECT_NE(table.Find(first, 1000)->csrf, table.Find(second, 1000)->csrf);

    // A request restarts the idle time; 600 s without one ends the session.
    ASSERT_NE(table.Touch(first, 1500), nullptr);
    EXPECT_NE(table.Find(first, 2099), nullptr);
    EXPECT_EQ(table.Find(first, 2100), nullptr);
    EXPECT_EQ(table.Find(first, 1600), nullptr);  // forgotten, not just hidden
    EXPECT_EQ(table.Find(second, 1600), nullptr);

    std::string third = table.Open("bob", Scope::kAdmin, "hash", 3000);
    table.Close(third);
    EXPECT_EQ(table.Find(third, 3000), nullptr);
    EXPECT_EQ(table.Find("", 3000), nullptr);

    // A full table lets the session idle longest go.
    std::string a = table.Open("a", Scope::kRead, "h", 4000);
    std::string b = table.Open("b", Scope::kRead, "h", 4001);
    std::string c = table.Open("c", Scope::kRead, "h", 4002);
    table.Touch(a, 4003);
    std::string d = table.Open("d", Scope::kRead, "h", 4004);
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.Find(b, 4004), nullptr);
    EXPECT_NE(table.Find(a, 4004), nullptr);
    EXPECT_NE(table.Find(d, 4004), nullptr);
}

TEST(WebSessionsTest, CookiesAndOriginsAreReadExactly) {
    EXPECT_EQ(CookieValue("wk_session=abc", "wk_session"), "abc");
    EXPECT_EQ(CookieValue("theme=dark; wk_session=abc ; x=1", "wk_session"), "abc");
    EXPECT_EQ(CookieValue("old_wk_session=abc; wk_session2=d", "wk_session"), "");
    EXPECT_EQ(CookieValue("", "wk_session"), "");

    EXPECT_TRUE(SameOrigin("https://127.0.0.1:8443", "127.0.0.1:8443"));
    EXPECT_TRUE(SameOrigin("https://NAS.example.org", "nas.example.org:443"));
    EXPECT_TRUE(SameOrigin("https://[::1]:8443", "[::1]:8443"));
    EXPECT_FALSE(SameOrigin("http://127.0.0.1:8443", "127.0.0.1:8443"));
    EXPECT_FALSE(SameOrigin("https://127.0.0.1:9443", "127.0.0.1:8443"));
    EXPECT_FALSE(SameOrigin("https://evil.example", "127.0.0.1:8443"));
    EXPECT_FALSE(SameOrigin("null", "127.0.0.1:8443"));
    EXPECT_FALSE(SameOrigin("https://127.0.0.1:8443", ""));

    EXPECT_TRUE(SecretsEqual("abc", "abc"));
    EXPECT_FALSE(SecretsEqual("abc", "abd"));
    EXPECT_FALSE(SecretsEqual("abc", "abcd"));
}

TEST(WebAssetsTest, FilesAreServedWithTypesTagsAndHeaders) {
    if (FindWebAsset("index.html") == nullptr) {
        GTEST_SKIP() << "this build holds no console files";
    }
    auto header = [](const ControlResponse& response, const std::string& name) {
        for (const auto& [key, value] : response.headers) {
            if (key == name) {
                return value;
            }
        }
        return std::string();
    };
    ControlResponse index = AssetResponse("GET", "/", "");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(index.body, std::string(FindWebAsset("index.html")->data));
    EXPECT_EQ(header(index, "Cache-Control"), "no-cache");
    EXPECT_EQ(header(index, "Content-Security-Policy"),
              "default-src 'self'; frame-ancestors 'none'");
    EXPECT_EQ(header(index, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header(index, "Referrer-Policy"), "no-referrer");
    const std::string tag = header(index, "ETag");
    ASSERT_EQ(tag.size(), 34u);
    EXPECT_EQ(AssetResponse("GET", "/assets/index.html", "").body, index.body);

    ControlResponse unchanged = AssetResponse("GET", "/", tag);
    EXPECT_EQ(unchanged.status, 304);
    EXPECT_TRUE(unchanged.body.empty());
    EXPECT_EQ(AssetResponse("GET", "/", "\"other\", " + tag).status, 304);
    EXPECT_EQ(AssetResponse("GET", "/", "W/" + tag).status, 304);
    EXPECT_EQ(AssetResponse("GET", "/", "\"other\"").status, 200);
    EXPECT_EQ(AssetResponse("GET", "/", tag.substr(0, 20) + "\"").status, 200);

    for (const WebAsset& asset : WebAssets()) {
        std::string path(asset.path);
        ControlResponse answer = AssetResponse("GET", "/assets/" + path, "");
        EXPECT_EQ(answer.status, 200) << path;
        EXPECT_EQ(answer.body.size(), asset.data.size()) << path;
        if (path.ends_with(".js")) {
            EXPECT_EQ(answer.content_type, "text/javascript; charset=utf-8");
            EXPECT_EQ(header(answer, "Content-Security-Policy"), "");
        }
        if (path.ends_with(".css")) {
            EXPECT_EQ(answer.content_type, "text/css; charset=utf-8");
        }
        if (path.ends_with(".svg")) {
            EXPECT_EQ(answer.content_type, "image/svg+xml");
        }
    }
    EXPECT_EQ(AssetResponse("GET", "/assets/missing.js", "").status, 404);
    EXPECT_EQ(AssetResponse("POST", "/", "").status, 405);
    for (const char* escape :
         {"/assets/../index.html", "/assets/./index.html", "/assets//index.html",
          "/assets/a/../../x", "/assets/..", "/assets/", "/assets/a\\..\\index.html"}) {
        EXPECT_EQ(AssetResponse("GET", escape, "").status, 400) << escape;
    }
}

TEST(UserStoreTest, UsersAreKeptAsArgon2idHashesInAPrivateFile) {
    platform::testing::TempFolder folder("wk-users");
    const fs::path file = folder / kUsersFileName;
    UserStore store(file);
    std::string error;
    ASSERT_TRUE(store.Add("ann", Scope::kOperate, "first password", error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("first password"), std::string::npos);

    std::optional<UserRecord> ann = store.Find("ann");
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->scope, Scope::kOperate);
    EXPECT_EQ(ann->password_hash.rfind("$argon2id$", 0), 0u) << ann->password_hash;
    EXPECT_TRUE(PasswordMatches(ann->password_hash, "first password"));
    EXPECT_FALSE(PasswordMatches(ann->password_hash, "first passwor"));
    EXPECT_FALSE(PasswordMatches("not a hash", "first password"));

    EXPECT_FALSE(store.Add("ann", Scope::kRead, "x", error));
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_FALSE(store.Add("bad name", Scope::kRead, "x", error));
    EXPECT_FALSE(store.Add("bob", Scope::kRead, "", error));
    EXPECT_FALSE(store.Add("bob", Scope::kRead, std::string(2000, 'x'), error));

    // Another writer (the command) changes the file; the running store sees it.
    UserStore command(file);
    ASSERT_TRUE(command.SetPassword("ann", "second password", error)) << error;
    std::optional<UserRecord> changed = store.Find("ann");
    ASSERT_TRUE(changed);
    EXPECT_NE(changed->password_hash, ann->password_hash);
    EXPECT_TRUE(PasswordMatches(changed->password_hash, "second password"));
    EXPECT_FALSE(command.SetPassword("nobody", "x", error));
    EXPECT_FALSE(command.Remove("nobody", error));
    ASSERT_TRUE(command.Remove("ann", error)) << error;
    EXPECT_FALSE(store.Find("ann"));

    // A damaged file lets nobody in and is not overwritten by a change.
    ASSERT_TRUE(command.Add("cid", Scope::kRead, "pw", error));
    std::ofstream(file) << "{\"users\": [{\"name\": 5}]}";
    EXPECT_FALSE(store.Find("cid"));
    EXPECT_FALSE(command.Add("dan", Scope::kRead, "pw", error));
    EXPECT_NE(error.find("not a user"), std::string::npos) << error;
}

// The running instance learns of users added and removed by the command; a new password is
// neither, and what it reports holds no password or hash.
TEST(UserStoreTest, AddedAndRemovedUsersAreReportedOnceAndPasswordsNever) {
    platform::testing::TempFolder folder("wk-users");
    const fs::path file = folder / kUsersFileName;
    UserStore command(file);
    UserStore instance(file);
    std::string error;
    ASSERT_TRUE(command.Add("ann", Scope::kAdmin, "pw", error)) << error;
    EXPECT_TRUE(instance.TakeChanges().empty()) << "the first look only learns who exists";

    ASSERT_TRUE(command.Add("bob", Scope::kRead, "pw", error)) << error;
    EXPECT_FALSE(command.Add("bob", Scope::kRead, "pw", error));
    ASSERT_TRUE(command.SetPassword("ann", "other", error)) << error;
    std::vector<StoreChange> changes = instance.TakeChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].added);
    EXPECT_EQ(changes[0].name, "bob");
    EXPECT_EQ(changes[0].scope, Scope::kRead);

    ASSERT_TRUE(command.Remove("ann", error)) << error;
    EXPECT_FALSE(command.Remove("ann", error));
    changes = instance.TakeChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].added);
    EXPECT_EQ(changes[0].name, "ann");
    EXPECT_EQ(changes[0].scope, Scope::kAdmin);
    EXPECT_TRUE(instance.TakeChanges().empty());

    // A damaged file removes nobody in the reports.
    std::ofstream(file) << "{\"users\": 5}";
    EXPECT_TRUE(instance.TakeChanges().empty());
}

struct Reply : HttpsReply {
    std::string Header(const std::string& name) const {
        std::regex line("(^|\r\n)" + name + ": ([^\r\n]*)", std::regex::icase);
        std::smatch match;
        return std::regex_search(headers, match, line) ? match[2].str() : "";
    }
    json Json() const { return json::parse(body, nullptr, false); }
};

class WebConsoleTest : public ControlServerFixture {
protected:
    void SetUp() override {
        ControlServerFixture::SetUp();
        std::string error;
        auto files = EnsureSelfSignedCertificate(folder_ / "tls", {"127.0.0.1"}, error);
        ASSERT_TRUE(files) << error;
        options_.tls = TlsIdentity::Load(*files, error);
        options_.remote_addresses = *ParseListenAddresses("127.0.0.1:0", error);
        options_.tokens = std::make_shared<TokenStore>(folder_ / kTokenFileName);
        options_.users = std::make_shared<UserStore>(folder_ / kUsersFileName);
        token_ = *options_.tokens->Create("script", Scope::kAdmin, error);
        UserStore users(folder_ / kUsersFileName);
        ASSERT_TRUE(users.Add("admin", Scope::kAdmin, "admin pw", error)) << error;
        ASSERT_TRUE(users.Add("reader", Scope::kRead, "reader pw", error)) << error;
        host_.settings.settings.push_back({"VP_UploadSpeedLimit", "0", "KB/s", false});
        StartServer();
    }
    std::string Origin() const {
        return "https://127.0.0.1:" + std::to_string(server_->remote_addresses()[0].port);
    }
    Reply Request(const std::string& method, const std::string& target,
                  const std::vector<std::string>& headers, const std::string& body = "") const {
        return Reply{HttpsRequest(method, Origin() + target, headers, body)};
    }
    Reply Login(const std::string& user, const std::string& password,
                std::vector<std::string> headers = {}) const {
        return Request("POST", "/login", headers,
                       json{{"user", user}, {"password", password}}.dump());
    }
    // The session cookie ("wk_session=ID") and CSRF token of a login.
    struct Session {
        std::string cookie;
        std::string csrf;
    };
    Session LogIn(const std::string& user, const std::string& password) const {
        Reply reply = Login(user, password);
        EXPECT_EQ(reply.status, 200) << reply.body;
        std::string set = reply.Header("Set-Cookie");
        return {"Cookie: " + set.substr(0, set.find(';')),
                "X-CSRF-Token: " + reply.Json().value("csrf", std::string())};
    }

    std::string token_;
};

TEST_F(WebConsoleTest, ALoginMakesANewSessionWithSafeCookieFlags) {
    Reply login = Login("admin", "admin pw", {"Cookie: wk_session=chosen-by-an-attacker"});
    ASSERT_EQ(login.status, 200) << login.body;
    EXPECT_EQ(login.Json()["user"], "admin");
    EXPECT_EQ(login.Json()["scope"], "admin");
    const std::string csrf = login.Json()["csrf"];
    std::string cookie = login.Header("Set-Cookie");
    EXPECT_TRUE(std::regex_match(
        cookie, std::regex("wk_session=[A-Za-z0-9_-]{43}; Path=/; HttpOnly; Secure; "
                           "SameSite=Strict")))
        << cookie;
    EXPECT_EQ(cookie.find("chosen-by-an-attacker"), std::string::npos);
    // The attacker's id is not a session.
    EXPECT_EQ(Request("GET", "/status", {"Cookie: wk_session=chosen-by-an-attacker"}).status, 401);

    const std::string session = "Cookie: " + cookie.substr(0, cookie.find(';'));
    Reply current = Request("GET", "/session", {session});
    EXPECT_EQ(current.status, 200);
    EXPECT_EQ(current.Json()["csrf"], csrf);
    EXPECT_EQ(Request("GET", "/status", {session}).status, 200);

    // Logging in again, with the old cookie, gives another id; both sessions stand alone.
    Session again = LogIn("admin", "admin pw");
    EXPECT_NE(again.cookie, session);
    EXPECT_EQ(Request("GET", "/session", {"Cookie: theme=x"}).status, 401);
}

TEST_F(WebConsoleTest, WrongLoginsLookAlikeAndEndInABan) {
    Reply wrong_password = Login("admin", "guess");
    Reply unknown_user = Login("nobody", "guess");
    EXPECT_EQ(wrong_password.status, 401);
    EXPECT_EQ(unknown_user.status, 401);
    EXPECT_EQ(wrong_password.body, "{\"error\":\"wrong user name or password\"}\n");
    EXPECT_EQ(unknown_user.body, wrong_password.body);
    EXPECT_EQ(wrong_password.Header("Set-Cookie"), "");
    EXPECT_EQ(Request("POST", "/login", {}, "{\"user\": 1}").status, 400);
    EXPECT_EQ(Request("GET", "/login", {}).status, 405);

    for (int i = 2; i < 10; ++i) {
        EXPECT_EQ(Login("admin", "guess " + std::to_string(i)).status, 401);
    }
    Reply banned = Login("admin", "admin pw");
    EXPECT_EQ(banned.status, 429);
    EXPECT_FALSE(banned.Header("Retry-After").empty());
    EXPECT_TRUE(banned.Json().contains("error"));
    EXPECT_EQ(Request("GET", "/", {}).status, 429);  // the ban covers the files too
}

TEST_F(WebConsoleTest, ChangesNeedTheCsrfTokenAndTheConsolesOrigin) {
    Session admin = LogIn("admin", "admin pw");
    const std::string body = R"({"VP_UploadSpeedLimit": 100})";
    const std::size_t calls = host_.Calls().size();
    Reply missing = Request("PUT", "/settings", {admin.cookie}, body);
    EXPECT_EQ(missing.status, 403);
    EXPECT_EQ(missing.Json()["error"], "missing or wrong CSRF token");
    EXPECT_EQ(Request("PUT", "/settings", {admin.cookie, "X-CSRF-Token: wrong"}, body).status, 403);
    Reply foreign = Request("PUT", "/settings",
                            {admin.cookie, admin.csrf, "Origin: https://evil.example"}, body);
    EXPECT_EQ(foreign.status, 403);
    EXPECT_TRUE(foreign.Json().contains("error"));
    EXPECT_EQ(Request("GET", "/status", {admin.cookie, "Origin: https://evil.example"}).status,
              403);
    EXPECT_EQ(Login("admin", "admin pw", {"Origin: https://evil.example"}).status, 403);
    EXPECT_EQ(host_.Calls().size(), calls);

    EXPECT_EQ(
        Request("PUT", "/settings", {admin.cookie, admin.csrf, "Origin: " + Origin()}, body).status,
        200);
    EXPECT_EQ(Request("PUT", "/settings", {admin.cookie, admin.csrf}, body).status, 200);
    // A token needs no CSRF token: no browser sends it by itself.
    EXPECT_EQ(Request("PUT", "/settings", {"Authorization: Bearer " + token_}, body).status, 200);
}

TEST_F(WebConsoleTest, AReadUserSeesButChangesNothing) {
    Session reader = LogIn("reader", "reader pw");
    EXPECT_EQ(Request("GET", "/session", {reader.cookie}).Json()["scope"], "read");
    EXPECT_EQ(Request("GET", "/status", {reader.cookie}).status, 200);
    EXPECT_EQ(Request("GET", "/media", {reader.cookie}).status, 200);
    const std::size_t calls = host_.Calls().size();
    EXPECT_EQ(Request("PUT", "/settings", {reader.cookie, reader.csrf}, "{\"VP_Port\": 1}").status,
              403);
    EXPECT_EQ(Request("POST", "/actions/publish", {reader.cookie, reader.csrf},
                      "{\"path\": \"/srv/a.mp4\"}")
                  .status,
              403);
    EXPECT_EQ(Request("POST", "/ipfilter/ranges", {reader.cookie, reader.csrf},
                      "{\"first\": \"10.0.0.1\"}")
                  .status,
              403);
    EXPECT_EQ(host_.Calls().size(), calls);
}

TEST_F(WebConsoleTest, LogoutAndTheUsersFileEndSessions) {
    Session admin = LogIn("admin", "admin pw");
    EXPECT_EQ(Request("POST", "/logout", {admin.cookie}).status, 403);  // CSRF first
    Reply logout = Request("POST", "/logout", {admin.cookie, admin.csrf});
    EXPECT_EQ(logout.status, 200);
    EXPECT_EQ(logout.body, "{}\n");
    EXPECT_NE(logout.Header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(Request("GET", "/status", {admin.cookie}).status, 401);
    EXPECT_EQ(Request("GET", "/session", {admin.cookie}).status, 401);

    // A new password or a removed user ends their sessions at the next request.
    Session again = LogIn("admin", "admin pw");
    Session reader = LogIn("reader", "reader pw");
    std::string error;
    UserStore command(folder_ / kUsersFileName);
    ASSERT_TRUE(command.SetPassword("admin", "new pw", error)) << error;
    EXPECT_EQ(Request("GET", "/status", {again.cookie}).status, 401);
    EXPECT_EQ(Login("admin", "admin pw").status, 401);
    EXPECT_EQ(Request("GET", "/status", {reader.cookie}).status, 200);
    ASSERT_TRUE(command.Remove("reader", error)) << error;
    EXPECT_EQ(Request("GET", "/status", {reader.cookie}).status, 401);
    EXPECT_EQ(Login("admin", "new pw").status, 200);
}

TEST_F(WebConsoleTest, TheConsolesFilesNeedNoLoginAndOthersStillDo) {
    if (FindWebAsset("index.html") == nullptr) {
        GTEST_SKIP() << "this build holds no console files";
    }
    Reply index = Request("GET", "/", {});
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(Request("GET", "/", {"If-None-Match: " + index.Header("ETag")}).status, 304);
    EXPECT_EQ(Request("GET", "/assets/nothing.js", {}).status, 404);
    Reply escape = Request("GET", "/assets/../control-users.json", {});
    EXPECT_EQ(escape.status, 400);
    EXPECT_EQ(escape.body.find("argon2"), std::string::npos);
    EXPECT_EQ(Request("GET", "/assets/%2e%2e/control-users.json", {}).status, 400);
    Reply status = Request("GET", "/status", {});
    EXPECT_EQ(status.status, 401);
    EXPECT_TRUE(status.Json().contains("error"));
}

// A raw subscriber on the control socket, reading the stream until `until` arrives;
// `subscribed` is set once the server has taken it on.
std::string ReadEvents(const fs::path& socket_path, const std::string& extra_header,
                       const std::string& until, std::promise<void>* subscribed = nullptr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return "";
    }
    std::string request = "GET /events HTTP/1.1\r\nHost: x\r\n" + extra_header + "\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    timeval wait{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::string received;
    char buffer[4096];
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         received.find(until) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline;) {
        ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got == 0) {
            break;
        }
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
            if (subscribed != nullptr && received.find(": subscribed") != std::string::npos) {
                subscribed->set_value();
                subscribed = nullptr;
            }
        }
    }
    ::close(fd);
    return received;
}

TEST_F(WebConsoleTest, EventsCarryIdsAndTimesAndResumeAfterTheLastSeen) {
    std::promise<void> first_subscribed;
    std::thread first([&] {
        // Subscribed before the events are published: it sees all of them.
        std::string all = ReadEvents(options_.socket_path, "", "id: 5\n", &first_subscribed);
        EXPECT_NE(all.find("id: 1\nevent: settings-changed\n"), std::string::npos) << all;
    });
    EXPECT_EQ(first_subscribed.get_future().wait_for(10s), std::future_status::ready);
    for (int i = 1; i <= 5; ++i) {
        ControlEvent event{kEventSettingsChanged};
        event.reason = "change " + std::to_string(i);
        server_->PublishEvent(event);
    }
    first.join();

    std::string resumed = ReadEvents(options_.socket_path, "Last-Event-ID: 2\r\n", "id: 5\n");
    EXPECT_EQ(resumed.find("id: 1\n"), std::string::npos) << resumed;
    EXPECT_EQ(resumed.find("id: 2\n"), std::string::npos) << resumed;
    std::size_t third = resumed.find("id: 3\n");
    std::size_t fourth = resumed.find("id: 4\n");
    std::size_t fifth = resumed.find("id: 5\n");
    ASSERT_NE(third, std::string::npos) << resumed;
    EXPECT_LT(third, fourth);
    EXPECT_LT(fourth, fifth);
    std::size_t data = resumed.find("data: ", third);
    json event = json::parse(resumed.substr(data + 6, resumed.find('\n', data) - data - 6));
    EXPECT_EQ(event["reason"], "change 3");
    EXPECT_EQ(event["id"], 3);
    EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << event["time"];

    // Without the header, only what comes next.
    std::promise<void> later_subscribed;
    std::thread later([&] {
        std::string fresh = ReadEvents(options_.socket_path, "", "id: 6\n", &later_subscribed);
        EXPECT_EQ(fresh.find("id: 5\n"), std::string::npos) << fresh;
        EXPECT_NE(fresh.find("id: 6\n"), std::string::npos) << fresh;
    });
    EXPECT_EQ(later_subscribed.get_future().wait_for(10s), std::future_status::ready);
    server_->PublishEvent(ControlEvent{kEventSettingsChanged});
    later.join();
}

size_t AppendUntilStats(char* data, size_t size, size_t count, void* target) {
    auto* text = static_cast<std::string*>(target);
    text->append(data, size * count);
    return text->find("event: stats") != std::string::npos &&
                   text->find("\n\n", text->find("event: stats")) != std::string::npos
               ? 0  // enough: ends the transfer
               : size * count;
}

TEST_F(WebConsoleTest, RemoteSubscribersGetTheMovingFiguresEverySecond) {
    host_.status.upload_speed = 4321;
    host_.status.peers = 3;
    std::string received;
    CURL* curl = curl_easy_init();
    curl_slist* list = curl_slist_append(nullptr, ("Authorization: Bearer " + token_).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, (Origin() + "/events").c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendUntilStats);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    curl_easy_perform(curl);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    std::size_t at = received.find("event: stats\ndata: ");
    ASSERT_NE(at, std::string::npos) << received;
    EXPECT_EQ(received.rfind("id: ", at), std::string::npos) << "figures are not kept";
    std::size_t start = at + std::strlen("event: stats\ndata: ");
    json stats = json::parse(received.substr(start, received.find('\n', start) - start));
    EXPECT_EQ(stats["upload_speed"], 4321);
    EXPECT_EQ(stats["peers"], 3);
    EXPECT_TRUE(stats.contains("time"));
}

TEST_F(WebConsoleTest, TheEventStreamTakesASessionAndEndsWithIt) {
    Session admin = LogIn("admin", "admin pw");
    EXPECT_EQ(Request("GET", "/events", {}).status, 401);
    std::thread logout([&] {
        WaitFor([&] { return server_->subscriber_count() > 0; });
        Request("POST", "/logout", {admin.cookie, admin.csrf});
    });
    auto started = std::chrono::steady_clock::now();
    Reply stream = Request("GET", "/events", {admin.cookie});  // returns when it is closed
    logout.join();
    EXPECT_EQ(stream.status, 200);
    EXPECT_NE(stream.body.find(": subscribed"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// A console that comes back after the server has let go of events it missed is told so,
// and so is one whose last event is from before a restart (the numbers start again at 1).
TEST_F(WebConsoleTest, AResumeThatCannotBeCompleteSaysEventsWereMissed) {
    server_.reset();
    options_.recent_events = 2;
    StartServer();
    for (int i = 1; i <= 4; ++i) {
        server_->PublishEvent(ControlEvent{kEventSettingsChanged});
    }
    // Events 1 and 2 are gone: the notice comes before those still kept.
    std::string gap = ReadEvents(options_.socket_path, "Last-Event-ID: 1\r\n", "id: 4\n");
    ASSERT_NE(gap.find("event: missed\n"), std::string::npos) << gap;
    EXPECT_LT(gap.find("event: missed\n"), gap.find("id: 4\n"));

    std::string complete = ReadEvents(options_.socket_path, "Last-Event-ID: 2\r\n", "id: 4\n");
    EXPECT_NE(complete.find("id: 3\n"), std::string::npos) << complete;
    EXPECT_EQ(complete.find("event: missed"), std::string::npos) << complete;

    std::string restarted =
        ReadEvents(options_.socket_path, "Last-Event-ID: 99\r\n", "event: missed\n");
    EXPECT_NE(restarted.find("event: missed\n"), std::string::npos) << restarted;
}

// The admin pages' resources change the same files as wharfkeepd's commands; a token's
// text is in the answer that makes it and nowhere else.
TEST_F(WebConsoleTest, AnAdminMakesListsAndRevokesTokens) {
    Session admin = LogIn("admin", "admin pw");
    const std::vector<std::string> as_admin{admin.cookie, admin.csrf};
    Reply made = Request("POST", "/tokens", as_admin, R"({"name": "laptop", "scope": "read"})");
    ASSERT_EQ(made.status, 201) << made.body;
    EXPECT_EQ(made.Header("Cache-Control"), "no-store");
    const std::string token = made.Json().value("token", "");
    ASSERT_EQ(token.rfind("wk_", 0), 0u) << made.body;
    EXPECT_EQ(Request("GET", "/status", {"Authorization: Bearer " + token}).status, 200);

    Reply listed = Request("GET", "/tokens", {admin.cookie});
    ASSERT_EQ(listed.status, 200);
    EXPECT_EQ(listed.body.find(token), std::string::npos);
    EXPECT_EQ(listed.body.find(Sha256Hex(token)), std::string::npos);
    ASSERT_EQ(listed.Json().size(), 2u) << listed.body;
    const json laptop = listed.Json()[1];
    EXPECT_EQ(laptop["name"], "laptop");
    EXPECT_EQ(laptop["scope"], "read");
    EXPECT_GT(laptop["created"].get<std::int64_t>(), 0);
    EXPECT_GT(laptop["last_used"].get<std::int64_t>(), 0);  // used above, saved for the list

    EXPECT_EQ(Request("POST", "/tokens", as_admin, R"({"name": "laptop", "scope": "read"})").status,
              409);
    EXPECT_EQ(Request("POST", "/tokens", as_admin, R"({"name": "x", "scope": "root"})").status,
              400);
    EXPECT_EQ(Request("POST", "/tokens", as_admin, R"({"name": "a b", "scope": "read"})").status,
              400);
    EXPECT_EQ(Request("POST", "/tokens", as_admin, R"({"name": "x"})").status, 400);
    EXPECT_EQ(
        Request("POST", "/tokens", {admin.cookie}, R"({"name": "y", "scope": "read"})").status,
        403);  // no CSRF token

    EXPECT_EQ(Request("DELETE", "/tokens/laptop", as_admin).status, 200);
    EXPECT_EQ(Request("GET", "/status", {"Authorization: Bearer " + token}).status, 401);
    Reply again = Request("DELETE", "/tokens/laptop", as_admin);
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(again.Json()["error"], "no token named laptop");
    EXPECT_EQ(Request("PUT", "/tokens/script", as_admin, "{}").status, 405);

    // Both changes went out on the event stream at once, by name and scope only.
    std::string events =
        ReadEvents(options_.socket_path, "Last-Event-ID: 0\r\n", "event: token-revoked\n");
    std::size_t created = events.find("event: token-created\n");
    ASSERT_NE(created, std::string::npos) << events;
    EXPECT_NE(events.find("\"name\":\"laptop\"", created), std::string::npos) << events;
    EXPECT_LT(created, events.find("event: token-revoked\n"));
    EXPECT_EQ(events.find(token), std::string::npos);
}

TEST_F(WebConsoleTest, AnAdminAddsUsersChangesTheirPasswordsAndKeepsAnAdmin) {
    Session admin = LogIn("admin", "admin pw");
    const std::vector<std::string> as_admin{admin.cookie, admin.csrf};
    Reply added = Request("POST", "/users", as_admin,
                          R"({"name": "bea", "scope": "operate", "password": "bea pw"})");
    ASSERT_EQ(added.status, 201) << added.body;
    EXPECT_EQ(added.Json()["scope"], "operate");
    EXPECT_EQ(Login("bea", "bea pw").Json()["scope"], "operate");

    Reply listed = Request("GET", "/users", {admin.cookie});
    ASSERT_EQ(listed.status, 200);
    EXPECT_EQ(listed.body.find("argon2"), std::string::npos);
    EXPECT_EQ(listed.body.find("bea pw"), std::string::npos);
    EXPECT_EQ(listed.Json().size(), 3u) << listed.body;

    EXPECT_EQ(
        Request("POST", "/users", as_admin, R"({"name": "bea", "scope": "read", "password": "x"})")
            .status,
        409);
    for (const char* body : {R"({"name": "cy", "scope": "read", "password": ""})",
                             R"({"name": "cy", "scope": "boss", "password": "x"})",
                             R"({"name": "c y", "scope": "read", "password": "x"})",
                             R"({"name": "cy", "scope": "read"})",
                             R"({"name": "cy", "scope": "read", "password": "x", "extra": 1})"}) {
        Reply refused = Request("POST", "/users", as_admin, body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_TRUE(refused.Json().contains("error")) << refused.body;
    }

    // A new password ends the user's sessions and the old password.
    Session bea = LogIn("bea", "bea pw");
    EXPECT_EQ(Request("PUT", "/users/bea/password", as_admin, R"({"password": "new pw"})").status,
              200);
    EXPECT_EQ(Request("GET", "/status", {bea.cookie}).status, 401);
    EXPECT_EQ(Login("bea", "bea pw").status, 401);
    EXPECT_EQ(Login("bea", "new pw").status, 200);
    EXPECT_EQ(Request("PUT", "/users/nobody/password", as_admin, R"({"password": "x"})").status,
              404);
    EXPECT_EQ(Request("PUT", "/users/bea/password", as_admin, R"({"password": ""})").status, 400);

    // The only admin stays; another admin may go, even the one asking.
    Reply last = Request("DELETE", "/users/admin", as_admin);
    EXPECT_EQ(last.status, 409);
    EXPECT_NE(last.Json()["error"].get<std::string>().find("only admin"), std::string::npos);
    EXPECT_EQ(Request("DELETE", "/users/bea", as_admin).status, 200);
    EXPECT_EQ(Request("DELETE", "/users/bea", as_admin).status, 404);
    EXPECT_EQ(Request("POST", "/users", as_admin,
                      R"({"name": "dee", "scope": "admin", "password": "dee pw"})")
                  .status,
              201);
    EXPECT_EQ(Request("DELETE", "/users/admin", as_admin).status, 200);
    EXPECT_EQ(Request("GET", "/users", {admin.cookie}).status, 401);  // that ended the session

    std::string events =
        ReadEvents(options_.socket_path, "Last-Event-ID: 0\r\n", "\"name\":\"admin\"");
    EXPECT_NE(events.find("event: user-added\n"), std::string::npos) << events;
    EXPECT_NE(events.find("event: user-removed\n"), std::string::npos) << events;
}

TEST_F(WebConsoleTest, TokensAndUsersAreForAdminsOnly) {
    Session reader = LogIn("reader", "reader pw");
    for (const char* path : {"/tokens", "/users"}) {
        EXPECT_EQ(Request("GET", path, {reader.cookie}).status, 403) << path;
    }
    EXPECT_EQ(Request("POST", "/users", {reader.cookie, reader.csrf},
                      R"({"name": "eve", "scope": "admin", "password": "x"})")
                  .status,
              403);
    EXPECT_EQ(Request("DELETE", "/tokens/script", {reader.cookie, reader.csrf}).status, 403);
    EXPECT_EQ(Request("PUT", "/users/reader/password", {reader.cookie, reader.csrf},
                      R"({"password": "mine"})")
                  .status,
              403);
    std::string error;
    EXPECT_EQ(UserStore(folder_ / kUsersFileName).List(error).size(), 2u);
    // A token with the admin scope may, as wharfkeepd's commands would.
    EXPECT_EQ(Request("GET", "/users", {"Authorization: Bearer " + token_}).status, 200);
}

// Only a block-list upload may send a body past the usual limit, up to its own.
TEST_F(WebConsoleTest, ABlockListUploadHasItsOwnBodyLimit) {
    server_.reset();
    options_.max_body_bytes = 1024;
    options_.max_upload_body_bytes = 64 * 1024;
    StartServer();
    // Without "Expect: 100-continue", which curl sends for large bodies: the whole body
    // comes, as a browser sends it.
    const std::vector<std::string> as_script{"Authorization: Bearer " + token_, "Expect:"};
    const std::string list(40 * 1024, '#');
    Reply imported =
        Request("POST", "/actions/ipfilter-import", as_script, json{{"text", list}}.dump());
    EXPECT_EQ(imported.status, 200) << imported.body;
    EXPECT_EQ(host_.Calls().back(), "import text of 40960 bytes");

    Reply too_large = Request("POST", "/actions/ipfilter-import", as_script,
                              json{{"text", std::string(70 * 1024, '#')}}.dump());
    EXPECT_EQ(too_large.status, 413);
    EXPECT_NE(too_large.Json().value("error", "").find("64 KiB"), std::string::npos)
        << too_large.body;
    // Other paths keep the usual limit. A body far over it is read and dropped before the
    // refusal, so a client still sending reads the refusal rather than a reset connection.
    const std::string over_limit(256 * 1024, '1');
    EXPECT_EQ(
        Request("PUT", "/settings", as_script, json{{"VP_UploadSpeedLimit", over_limit}}.dump())
            .status,
        413);
    // The limit went back after the upload: a later request on any path has the usual one.
    EXPECT_EQ(
        Request("PUT", "/settings", as_script, json{{"VP_UploadSpeedLimit", 100}}.dump()).status,
        200);
    Reply both =
        Request("POST", "/actions/ipfilter-import", as_script, R"({"path": "/a", "text": "b"})");
    EXPECT_EQ(both.status, 400);
}

}  // namespace
}  // namespace wharfkeep::control
