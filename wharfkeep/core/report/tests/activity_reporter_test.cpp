#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "scripted_server.h"
#include "wharfkeep/report/activity_reporter.h"

namespace wharfkeep {
namespace {

using test::kQuick;
using test::ScriptedServer;
using test::TempFolder;

// Records each request and answers it like a web server.
struct FakeWebServer {
    std::vector<std::string> requests;
    ScriptedServer server{[this](int fd) {
        const auto bytes = test::read_message(fd, [](const std::vector<std::uint8_t>& b) {
            const std::string text(b.begin(), b.end());
            return text.find("\r\n\r\n") != std::string::npos;
        });
        requests.emplace_back(bytes.begin(), bytes.end());
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        test::send_bytes(fd, {reply.begin(), reply.end()});
    }};
};

std::vector<std::uint8_t> date_file_bytes(const ActivityReporter& reporter) {
    std::ifstream in(reporter.date_file(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ActivityReport, RequestTextIsExact) {
    ActivityReporter reporter("/tmp", {"stats.example.net", 80});
    EXPECT_EQ(reporter.BuildRequest(),
              "GET /activestation?pid=2&id=&uid=&t=3&ver=1.01.11.0831 HTTP/1.1\r\n"
              "Host: stats.example.net\r\n"
              "Accept:*/*\r\n"
              "User-Agent: Mozilla/4.0\r\n"
              "Connection: Keep-Alive\r\n"
              "Cache-Control: no-cache\r\n"
              "\r\n");
    ActivityReporter oversized("/tmp", {std::string(5000, 'h'), 80});
    EXPECT_EQ(oversized.BuildRequest(), "");
}

TEST(ActivityReport, SentOncePerLocalDay) {
    TempFolder folder;
    FakeWebServer web;
    LocalDate today{2026, 12, 31};
    ActivityReporter reporter(folder.path(), {"127.0.0.1", web.server.port()}, kQuick,
                              [&] { return today; });
    EXPECT_FALSE(reporter.ReportedToday());
    EXPECT_TRUE(reporter.ReportIfDue());
    EXPECT_EQ(date_file_bytes(reporter), (std::vector<std::uint8_t>{0xEA, 0x07, 12, 0, 31, 0}));
    EXPECT_TRUE(reporter.ReportedToday());

    EXPECT_FALSE(reporter.ReportIfDue()) << "the same day sends nothing";
    EXPECT_EQ(web.server.connections(), 1);

    today = {2027, 1, 1};  // past midnight
    EXPECT_TRUE(reporter.ReportIfDue());
    EXPECT_EQ(web.server.connections(), 2);
    EXPECT_EQ(date_file_bytes(reporter), (std::vector<std::uint8_t>{0xEB, 0x07, 1, 0, 1, 0}));
    ASSERT_EQ(web.requests.size(), 2u);
    EXPECT_EQ(web.requests[0], reporter.BuildRequest());
    EXPECT_NE(web.requests[0].find("Host: 127.0.0.1\r\n"), std::string::npos);
}

TEST(ActivityReport, FailuresWriteNothing) {
    TempFolder folder;
    ActivityReporter refused(folder.path(), {"127.0.0.1", test::closed_port()}, kQuick);
    EXPECT_FALSE(refused.ReportIfDue());
    EXPECT_FALSE(std::filesystem::exists(refused.date_file()));

    ActivityReporter off(folder.path(), {"", 80}, kQuick);
    EXPECT_FALSE(off.ReportIfDue());
    EXPECT_FALSE(std::filesystem::exists(off.date_file()));

    // A damaged (short) date file means "not reported yet".
    std::ofstream(refused.date_file(), std::ios::binary) << "ab";
    EXPECT_FALSE(refused.ReportedToday());
}

}  // namespace
}  // namespace wharfkeep
