// The resources of the control interface without a socket: what each request calls on the
// host, and that every refused request leaves the host untouched.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fake_control_host.h"
#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {
namespace {

using nlohmann::json;

// Each of `lines` ends a line of `text` (the metric samples and their announcements).
void ExpectLines(const std::string& text, std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
    }
}

class ControlRouterTest : public ::testing::Test {
protected:
    ControlResponse Call(const std::string& method, const std::string& path,
                         const std::string& body = "",
                         std::map<std::string, std::string> query = {}) {
        return HandleControlRequest(host, ControlRequest{method, path, std::move(query), body});
    }
    static std::string ErrorOf(const ControlResponse& response) {
        return json::parse(response.body).at("error").get<std::string>();
    }
    FakeControlHost host;
};

TEST_F(ControlRouterTest, UnknownResourcesAndMethodsAreRefusedWithTheirReason) {
    ControlResponse unknown = Call("GET", "/nothing");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(ErrorOf(unknown).find("/nothing"), std::string::npos);
    EXPECT_EQ(Call("POST", "/status").status, 405);
    EXPECT_EQ(Call("DELETE", "/settings").status, 405);
    EXPECT_EQ(Call("GET", "/actions/publish").status, 405);
    EXPECT_EQ(Call("POST", "/actions/format-disk", "{}").status, 404);
    EXPECT_EQ(Call("GET", "/status", "", {{"x", "1"}}).status, 400);
    EXPECT_TRUE(host.Calls().empty());
}

// A path that is not UTF-8 is echoed in the error with replacement characters, never thrown
// out of the JSON writer (that once ended the whole program).
TEST_F(ControlRouterTest, BytesThatAreNotUtf8AreAnsweredNotThrown) {
    ControlResponse answer = Call("GET", std::string("/med\xff\xfe"));
    EXPECT_EQ(answer.status, 404);
    EXPECT_NE(ErrorOf(answer).find("/med"), std::string::npos);
}

TEST_F(ControlRouterTest, BadBodiesChangeNothing) {
    struct Case {
        const char* method;
        const char* path;
        const char* body;
        const char* error_part;
    };
    const Case cases[] = {
        {"PUT", "/settings", "{\"VP_Port\": ", "not valid JSON"},
        {"PUT", "/settings", "[1,2]", "JSON object"},
        {"PUT", "/settings", "{}", "no setting"},
        {"PUT", "/settings", "{\"VP_Port\": true}", "VP_Port"},
        {"PUT", "/settings", "{\"VP_Port\": -1}", "VP_Port"},
        {"PUT", "/settings", "{\"VP_Port\": 8189.5}", "VP_Port"},
        {"PUT", "/settings", "{\"VP_Port\": {\"a\": 1}}", "VP_Port"},
        {"PUT", "/ipfilter", "{\"enabled\": \"yes\"}", "true or false"},
        {"PUT", "/ipfilter", "{\"type\": \"maybe\"}", "allow"},
        {"PUT", "/ipfilter", "{}", "nothing to change"},
        {"PUT", "/ipfilter", "{\"enable\": true}", "enable"},
        {"POST", "/ipfilter/ranges", "{\"last\": \"10.0.0.1\"}", "first"},
        {"POST", "/ipfilter/ranges", "{\"first\": 167772161}", "first"},
        {"DELETE", "/ipfilter/ranges/x", "", "whole number"},
        {"DELETE", "/ipfilter/ranges/-1", "", "whole number"},
        {"POST", "/actions/add-folder", "{}", "path"},
        {"POST", "/actions/add-folder", "{\"path\": \"/m\", \"publish\": 1}", "publish"},
        {"POST", "/actions/add-folder", "{\"path\": \"/m\", \"recursive\": true}", "recursive"},
        {"POST", "/actions/withdraw", "{\"path\": \"/m/a.mp4\"}", "path"},
        {"POST", "/actions/publish", "\"/m/a.mp4\"", "JSON object"},
        {"POST", "/actions/start-services", "{\"now\": true}", "now"},
        {"POST", "/actions/export", "{\"folder\": 1}", "folder"},
        {"POST", "/actions/watch-folder", "{\"path\": \"/m\"}", "watched"},
        {"POST", "/actions/watch-folder", "{\"path\": \"/m\", \"watched\": \"on\"}", "watched"},
        {"POST", "/actions/watch-folder", "{\"watched\": true}", "path"},
    };
    for (const Case& c : cases) {
        ControlResponse response = Call(c.method, c.path, c.body);
        EXPECT_EQ(response.status, 400) << c.method << " " << c.path << " " << c.body;
        EXPECT_NE(ErrorOf(response).find(c.error_part), std::string::npos)
            << c.body << " -> " << ErrorOf(response);
    }
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ControlRouterTest, SettingsAreHandedOverAsTextAndAnsweredWithTheNewValues) {
    host.settings.settings = {{"VP_UploadSpeedLimit", "12800", "bytes/s", false},
                              {"VP_Port", "8189", "", true}};
    ControlResponse response =
        Call("PUT", "/settings", R"({"VP_UploadSpeedLimit": 12800, "AccessIP": "10.0.0.1"})");
    EXPECT_EQ(response.status, 200);
    ASSERT_EQ(host.Calls().size(), 1u);
    EXPECT_EQ(host.Calls()[0], "settings AccessIP=10.0.0.1 VP_UploadSpeedLimit=12800");
    const json answered = json::parse(response.body);
    EXPECT_EQ(answered.at("VP_UploadSpeedLimit"),
              (json{{"value", "12800"}, {"unit", "bytes/s"}, {"applies", "now"}}));
    EXPECT_EQ(answered.at("VP_Port").at("applies"), "next_start");

    host.answer = Outcome::Invalid("VP_Port must be between 0 and 65535");
    ControlResponse refused = Call("PUT", "/settings", R"({"VP_Port": 70000})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(ErrorOf(refused), "VP_Port must be between 0 and 65535");
}

TEST_F(ControlRouterTest, OutcomesMapToStatusCodes) {
    EXPECT_EQ(Call("POST", "/actions/publish", R"({"path": "/m/a.mp4"})").status, 200);
    host.answer = Outcome::Accepted("queued");
    EXPECT_EQ(Call("POST", "/actions/add-folder", R"({"path": "/m"})").status, 202);
    host.answer = Outcome::NotFound("not known");
    EXPECT_EQ(Call("POST", "/actions/withdraw", R"({"target": "/m/x.mp4"})").status, 404);
    host.answer = Outcome::Conflict("busy");
    EXPECT_EQ(Call("POST", "/actions/rescan", R"({"path": "/m"})").status, 409);
    host.answer = Outcome::Unavailable("closing");
    EXPECT_EQ(Call("POST", "/actions/stop-services").status, 503);
    host.answer = Outcome::Done();
    EXPECT_EQ(Call("POST", "/actions/watch-folder", R"({"path": "/m", "watched": false})").status,
              200);
    std::vector<std::string> expected = {
        "publish /m/a.mp4", "add /m publish", "withdraw /m/x.mp4",
        "rescan /m",        "stop",           "watch-folder /m off"};
    EXPECT_EQ(host.Calls(), expected);
}

TEST_F(ControlRouterTest, ExportAnswersWithTheFileWritten) {
    ControlResponse response = Call("POST", "/actions/export", R"({"output": "/tmp/links.txt"})");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(json::parse(response.body).at("file"), "/tmp/links.txt");
}

TEST_F(ControlRouterTest, MediaFiltersAreCheckedAndPassedOn) {
    host.media.push_back(MediaRow{"/m/a.mp4", "a.mp4", 10, -1, "failed", "failed", "", "", "",
                                  "variable frame rate"});
    ControlResponse response = Call("GET", "/media", "", {{"folder", "/m"}, {"state", "-1"}});
    ASSERT_EQ(response.status, 200);
    EXPECT_EQ(host.last_filter.folder, "/m");
    EXPECT_EQ(host.last_filter.state, -1);
    json rows = json::parse(response.body);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("reason"), "variable frame rate");

    EXPECT_EQ(Call("GET", "/media", "", {{"state", "abc"}}).status, 400);
    EXPECT_EQ(Call("GET", "/media", "", {{"state", "7"}}).status, 400);
    EXPECT_EQ(Call("GET", "/media", "", {{"state", "-"}}).status, 400);
    EXPECT_EQ(Call("GET", "/media", "", {{"owner", "x"}}).status, 400);
}

TEST_F(ControlRouterTest, MediaPagesAreFilteredSortedAndCut) {
    // Sizes repeat so that the path must break ties; GCIDs and paths mix cases.
    for (int i = 0; i < 30; ++i) {
        char path[32];
        std::snprintf(path, sizeof(path), "/m/%s/f%02d.mp4", i % 2 ? "Odd" : "even", i);
        host.media.push_back(MediaRow{path, path + 3, static_cast<std::uint64_t>(i % 5), i % 3, "s",
                                      "s", i == 7 ? "ABCDEF" : "", "", "", ""});
    }
    auto page = [&](std::map<std::string, std::string> query) {
        ControlResponse response = Call("GET", "/media", "", std::move(query));
        EXPECT_EQ(response.status, 200) << response.body;
        return json::parse(response.body);
    };
    auto paths = [](const json& body) {
        std::vector<std::string> out;
        for (const json& row : body.at("items")) {
            out.push_back(row.at("path"));
        }
        return out;
    };
    json first = page({{"limit", "4"}});
    EXPECT_EQ(first.at("total"), 30);
    EXPECT_EQ(first.at("offset"), 0);
    EXPECT_EQ(paths(first), (std::vector<std::string>{"/m/Odd/f01.mp4", "/m/Odd/f03.mp4",
                                                      "/m/Odd/f05.mp4", "/m/Odd/f07.mp4"}));
    EXPECT_EQ(first.at("items")[0].at("state_name"), "s");

    // Size descending, ties by path descending; the pages join without gap or overlap.
    std::vector<std::string> joined;
    for (int offset = 0; offset < 30; offset += 7) {
        std::vector<std::string> part = paths(page({{"sort", "size"},
                                                    {"order", "desc"},
                                                    {"offset", std::to_string(offset)},
                                                    {"limit", "7"}}));
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), 30u);
    EXPECT_EQ(joined.front(), "/m/even/f24.mp4");  // size 4, the greatest path of those
    EXPECT_EQ(joined.back(), "/m/Odd/f05.mp4");    // size 0, the least path of those
    for (std::size_t i = 1; i < joined.size(); ++i) {
        EXPECT_NE(joined[i], joined[i - 1]);
    }

    // q matches the path or the GCID without case.
    json odd = page({{"q", "odd/F1"}});
    EXPECT_EQ(odd.at("total"), 5);
    EXPECT_EQ(page({{"q", "bcd"}}).at("items")[0].at("path"), "/m/Odd/f07.mp4");
    EXPECT_EQ(page({{"q", "nothing"}}).at("total"), 0);
    EXPECT_EQ(page({{"offset", "100"}}).at("items").size(), 0u);
    EXPECT_EQ(page({{"offset", "100"}}).at("total"), 30);
    json by_state = page({{"state", "2"}, {"sort", "state"}});
    EXPECT_EQ(host.last_filter.state, 2);

    EXPECT_TRUE(json::parse(Call("GET", "/media").body).is_array());
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"limit", "0"},
                                                          {"limit", "1001"},
                                                          {"limit", "x"},
                                                          {"offset", "-1"},
                                                          {"sort", "gcid"},
                                                          {"order", "up"}}) {
        EXPECT_EQ(Call("GET", "/media", "", {{key, value}}).status, 400) << key << "=" << value;
    }
}

TEST_F(ControlRouterTest, StatusNamesItsServicesDisksAndStates) {
    host.status.running = true;
    host.status.transfer_port = 8000;
    host.status.protocol_port = 8001;
    host.status.media_by_state_name = {{"published", 5}, {"failed", 1}};
    host.status.disks = {{"/srv/a/", 10, 20}};
    json status = json::parse(Call("GET", "/status").body);
    EXPECT_EQ(status.at("services")[0].at("name"), "peer");
    EXPECT_EQ(status.at("services")[0].at("port"), 8000);
    EXPECT_EQ(status.at("services")[1].at("port"), 8001);
    EXPECT_EQ(status.at("media_by_state_name").at("published"), 5);
    EXPECT_EQ(status.at("disks")[0].at("free"), 10);
    EXPECT_EQ(status.at("disks")[0].at("folder"), "/srv/a/");
}

TEST_F(ControlRouterTest, FoldersAreListedWithTheirCounts) {
    EXPECT_EQ(json::parse(Call("GET", "/folders").body), json::array());
    EXPECT_EQ(Call("POST", "/folders").status, 405);
}

TEST_F(ControlRouterTest, ConnectionsSortByFastestFirst) {
    host.connections = {ConnectionRow{"G", "a", "", "10.0.0.1", 1, 100, 0, 0},
                        ConnectionRow{"G", "a", "", "10.0.0.2", 2, 900, 0, 0},
                        ConnectionRow{"G", "a", "", "10.0.0.3", 3, 500, 0, 0}};
    json rows = json::parse(Call("GET", "/connections", "", {{"sort", "speed"}}).body);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].at("speed"), 900);
    EXPECT_EQ(rows[2].at("speed"), 100);
    EXPECT_EQ(Call("GET", "/connections", "", {{"sort", "name"}}).status, 400);
}

TEST_F(ControlRouterTest, IpFilterChangesReachTheHost) {
    EXPECT_EQ(Call("PUT", "/ipfilter", R"({"enabled": true, "type": "deny"})").status, 200);
    EXPECT_EQ(Call("POST", "/ipfilter/ranges", R"({"first": "10.0.0.9"})").status, 200);
    EXPECT_EQ(Call("DELETE", "/ipfilter/ranges/2").status, 200);
    std::vector<std::string> expected = {"ipfilter deny", "ipfilter on",
                                         "iprange 10.0.0.9 10.0.0.9", "ipdelete 2"};
    EXPECT_EQ(host.Calls(), expected);
}

// Probes read the status code; people and scripts read the text, which names every
// failed check with its reason, and with ?verbose every check.
TEST_F(ControlRouterTest, HealthAnswersAreOkOrNameTheFailedChecks) {
    ControlResponse live = Call("GET", "/livez");
    EXPECT_EQ(live.status, 200);
    EXPECT_EQ(live.content_type, "text/plain; charset=utf-8");
    EXPECT_EQ(live.body, "ok\n");
    EXPECT_EQ(Call("GET", "/readyz", "", {{"verbose", ""}}).body,
              "[+]database ok\n[+]listeners ok\nreadyz check passed\n");

    host.readiness[1] = {"listeners", false, "the peer and list servers are not listening"};
    ControlResponse ready = Call("GET", "/readyz");
    EXPECT_EQ(ready.status, 503);
    EXPECT_EQ(ready.body,
              "[-]listeners failed: the peer and list servers are not listening\n"
              "readyz check failed\n");
    ControlResponse verbose = Call("GET", "/readyz", "", {{"verbose", "1"}});
    EXPECT_EQ(verbose.status, 503);
    EXPECT_NE(verbose.body.find("[+]database ok\n"), std::string::npos);
    EXPECT_EQ(Call("GET", "/livez").status, 200) << "readiness does not touch liveness";

    host.liveness[0] = {"host_loop", false, "no answer"};
    EXPECT_EQ(Call("GET", "/livez").status, 503);

    EXPECT_EQ(Call("GET", "/livez", "", {{"full", ""}}).status, 400);
    EXPECT_EQ(Call("POST", "/readyz").status, 405);
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ControlRouterTest, MetricsAreInPrometheusTextForm) {
    host.status.running = true;
    host.status.bytes_sent = 22000000000ull;
    host.status.version = "1.2.3";
    host.status.media_by_state = {{1, 4}, {-2, 1}};
    host.status.media_by_state_name = {{"published", 4}, {"not_streamable", 1}};
    host.status.upload_speed = 5000;
    host.status.disk_read_speed = 4000;
    host.status.cache_hit_ratio = 80;
    host.status.uptime_seconds = 60;
    ControlResponse response = Call("GET", "/metrics");
    ASSERT_EQ(response.status, 200);
    EXPECT_EQ(response.content_type.rfind("text/plain", 0), 0u);
    const std::string& text = response.body;
    ExpectLines(text, {"# TYPE wharfkeep_bytes_served_total counter",
                       "wharfkeep_bytes_served_total 22000000000", "wharfkeep_up 1",
                       "wharfkeep_build_info{version=\"1.2.3\"} 1",
                       // States are labelled by their identifiers, never by the numbers the
                       // database holds.
                       "wharfkeep_media_files{state=\"not_streamable\"} 1",
                       "wharfkeep_media_files{state=\"published\"} 4"});
    EXPECT_EQ(text.find("state=\"-2\""), std::string::npos);
    // Rates, ratios and uptime are derived by the scraper from counters and the start time.
    for (const char* gone : {"speed", "ratio", "percent", "uptime"}) {
        EXPECT_EQ(text.find(gone), std::string::npos) << gone;
    }
    // Every sample line belongs to a metric announced with HELP and TYPE just before it; a
    // histogram's samples are its _bucket, _sum and _count.
    std::istringstream lines(text);
    std::string line, announced;
    bool histogram = false;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            announced = line.substr(7, line.find(' ', 7) - 7);
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_EQ(line.rfind("# TYPE " + announced + " ", 0), 0u) << line;
            histogram = line == "# TYPE " + announced + " histogram";
            continue;
        }
        EXPECT_EQ(line.rfind(announced, 0), 0u) << line;
        std::string rest = line.substr(std::min(announced.size(), line.size()));
        if (histogram) {
            for (const char* suffix : {"_bucket", "_sum", "_count"}) {
                if (rest.rfind(suffix, 0) == 0) {
                    rest.erase(0, std::string(suffix).size());
                    break;
                }
            }
        }
        EXPECT_TRUE(!rest.empty() && (rest[0] == ' ' || rest[0] == '{')) << line;
    }
    ExpectLines(text, {"wharfkeep_refused_connections_total{reason=\"ip_filter\"} 3",
                       "wharfkeep_restructuring_seconds_total 1.5",
                       "wharfkeep_list_queries_total{answer=\"not_found\"} 7"});
}

TEST_F(ControlRouterTest, UploadModeCacheAndWatchedFoldersAreInStatusAndMetrics) {
    host.status.upload_mode = "scheduled";
    host.status.refused_by_reason = {{"deny_list", 7}, {"address_limit", 2}};
    host.status.cache_hits = 40;
    host.status.cache_misses = 10;
    host.status.cache_bytes = 655360;
    host.status.cache_budget = 1 << 30;
    host.status.watched_folders = {"/m/", "/n/"};
    json status = json::parse(Call("GET", "/status").body);
    EXPECT_EQ(status.at("upload_mode"), "scheduled");
    EXPECT_EQ(status.at("refused_by_reason").at("deny_list"), 7);
    EXPECT_EQ(status.at("cache_hits"), 40);
    EXPECT_EQ(status.at("cache_misses"), 10);
    EXPECT_EQ(status.at("cache_bytes"), 655360);
    EXPECT_EQ(status.at("watched_folders"), json::array({"/m/", "/n/"}));
    EXPECT_EQ(status.at("watching_by_rescan_only"), false);

    const std::string text = Call("GET", "/metrics").body;
    ExpectLines(text, {"wharfkeep_upload_mode{mode=\"scheduled\"} 1",
                       "wharfkeep_upload_mode{mode=\"normal\"} 0", "wharfkeep_cache_hits_total 40",
                       "wharfkeep_cache_misses_total 10", "wharfkeep_cache_bytes 655360",
                       "wharfkeep_cache_budget_bytes 1073741824", "wharfkeep_watched_folders 2"});
}

}  // namespace
}  // namespace wharfkeep::control
