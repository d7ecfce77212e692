#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "scripted_server.h"
#include "wharfkeep/my_exception.h"
#include "wharfkeep/report/publish_report.h"
#include "wharfkeep/report/publish_reporter.h"

namespace wharfkeep {
namespace {

using namespace std::chrono_literals;
using test::kQuick;
using test::ScriptedServer;
using test::TempFolder;

std::vector<std::uint8_t> report(const std::string& path) {
    return *BuildPublishReport("MASTER", path, "pvessa://url=x|name=" + path);
}

// Reads one publish report, then answers with `reply` (split in two when asked).
ScriptedServer::Handler answer_with(std::vector<std::uint8_t> reply, bool split = false,
                                    std::vector<std::string>* paths = nullptr) {
    return [reply, split, paths](int fd) {
        const auto bytes = test::read_message(fd, [](const std::vector<std::uint8_t>& b) {
            return DecodePublishReport(b).status != ReportDecoding::Status::kIncomplete;
        });
        const ReportDecoding decoded = DecodePublishReport(bytes);
        if (decoded.status != ReportDecoding::Status::kComplete) {
            return;
        }
        if (paths) {
            paths->push_back(decoded.report.local_path);
        }
        if (split) {
            test::send_bytes(fd, {reply.begin(), reply.begin() + 7});
            std::this_thread::sleep_for(60ms);
            test::send_bytes(fd, {reply.begin() + 7, reply.end()});
        } else {
            test::send_bytes(fd, reply);
        }
    };
}

using Records = std::vector<std::vector<std::uint8_t>>;

Records log_records(const PublishReporter& reporter) {
    std::ifstream in(reporter.log_path(), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    return ParsePendingReportLog(bytes);
}

ReportEndpoint local(std::uint16_t port) {
    return {"127.0.0.1", port};
}

TEST(SendReport, DeliveredOnlyWithCode102) {
    TempFolder folder;
    {
        ScriptedServer server(answer_with(BuildReportReply(102)));
        PublishReporter reporter(local(server.port()), folder.path(), kQuick);
        EXPECT_EQ(reporter.SendReport(report("/a.mp4")), kReportDelivered);
        EXPECT_FALSE(std::filesystem::exists(reporter.log_path()));
    }
    ScriptedServer refusing(answer_with(BuildReportReply(103)));
    PublishReporter reporter(local(refusing.port()), folder.path(), kQuick);
    EXPECT_EQ(reporter.SendReport(report("/b.mp4")), kReportLogged);
    EXPECT_EQ(log_records(reporter), Records{report("/b.mp4")});
}

TEST(SendReport, AShortReplyIsNotDeliveryButASplitOneIs) {
    TempFolder folder;
    auto reply = BuildReportReply(102);
    {
        ScriptedServer short_reply(answer_with({reply.begin(), reply.end() - 1}));
        PublishReporter reporter(local(short_reply.port()), folder.path(), kQuick);
        EXPECT_EQ(reporter.SendReport(report("/short.mp4")), kReportLogged);
    }
    ScriptedServer split(answer_with(reply, true));
    PublishReporter reporter(local(split.port()), folder.path(), kQuick);
    EXPECT_EQ(reporter.SendReport(report("/split.mp4")), kReportDelivered);
    EXPECT_EQ(log_records(reporter).size(), 1u);
}

TEST(SendReport, RefusedOrSilentEndpointsLogTheReport) {
    TempFolder folder;
    PublishReporter refused(local(test::closed_port()), folder.path(), kQuick);
    EXPECT_EQ(refused.SendReport(report("/1.mp4")), kReportLogged);

    ScriptedServer silent([](int fd) {
        test::read_message(fd, [](const std::vector<std::uint8_t>&) { return false; });
    });
    PublishReporter waiting(local(silent.port()), folder.path(), kQuick);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(waiting.SendReport(report("/2.mp4")), kReportLogged);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1900ms) << "the reply wait is bounded";

    PublishReporter unknown_host({"no-such-host.invalid", 1980}, folder.path(), kQuick);
    EXPECT_EQ(unknown_host.SendReport(report("/3.mp4")), kReportLogged);
    EXPECT_EQ(log_records(refused).size(), 3u);
}

TEST(SendReport, NothingHappensWithoutAnEndpoint) {
    TempFolder folder;
    PublishReporter reporter({"", 1980}, folder.path(), kQuick);
    EXPECT_EQ(reporter.SendReport(report("/a.mp4")), kReportSkipped);
    EXPECT_FALSE(std::filesystem::exists(reporter.log_path()));
}

// A reloaded configuration: the next report goes to the new endpoint, and an endpoint
// turned off sends and logs nothing.
TEST(SendReport, ANewEndpointTakesTheNextReport) {
    TempFolder folder;
    std::vector<std::string> first_paths, second_paths;
    {
        ScriptedServer first(answer_with(BuildReportReply(102), false, &first_paths));
        ScriptedServer second(answer_with(BuildReportReply(102), false, &second_paths));
        PublishReporter reporter({"", 1980}, folder.path(), kQuick);
        EXPECT_EQ(reporter.SendReport(report("/off.mp4")), kReportSkipped);
        reporter.set_endpoint(local(first.port()));
        EXPECT_EQ(reporter.SendReport(report("/one.mp4")), kReportDelivered);
        reporter.set_endpoint(local(second.port()));
        EXPECT_EQ(reporter.SendReport(report("/two.mp4")), kReportDelivered);
        reporter.set_endpoint({"", 1980});
        EXPECT_EQ(reporter.SendReport(report("/off-again.mp4")), kReportSkipped);
        EXPECT_FALSE(std::filesystem::exists(reporter.log_path()));
    }  // the servers' threads end here
    EXPECT_EQ(first_paths, std::vector<std::string>{"/one.mp4"});
    EXPECT_EQ(second_paths, std::vector<std::string>{"/two.mp4"});
}

TEST(SendReport, ALogThatCannotBeWrittenRaises) {
    PublishReporter reporter(local(test::closed_port()), "/nonexistent/wharfkeep", kQuick);
    try {
        reporter.SendReport(report("/a.mp4"));
        FAIL() << "expected CMyException";
    } catch (const CMyException& error) {
        EXPECT_EQ(error.message(), "The file ponit is null");
    }
}

TEST(ResendPendingReports, ThreeFailedReportsAreResentAtTheNextStart) {
    TempFolder folder;
    {
        PublishReporter offline(local(test::closed_port()), folder.path(), kQuick);
        for (const char* path : {"/1.mp4", "/2.mp4", "/3.mp4"}) {
            EXPECT_EQ(offline.SendReport(report(path)), kReportLogged);
        }
        EXPECT_EQ(offline.LoadPendingReports().size(), 3u);
    }
    std::vector<std::string> received;
    ScriptedServer server(answer_with(BuildReportReply(102), false, &received));
    PublishReporter next_start(local(server.port()), folder.path(), kQuick);
    EXPECT_EQ(next_start.ResendPendingReports(), 3u);
    EXPECT_EQ(received, (std::vector<std::string>{"/1.mp4", "/2.mp4", "/3.mp4"}));
    EXPECT_FALSE(std::filesystem::exists(next_start.log_path()));
    EXPECT_EQ(next_start.ResendPendingReports(), 0u);
}

TEST(ResendPendingReports, AReportThatFailsAgainIsTheOnlyRecordLeft) {
    TempFolder folder;
    PublishReporter offline(local(test::closed_port()), folder.path(), kQuick);
    for (const char* path : {"/1.mp4", "/2.mp4", "/3.mp4"}) {
        offline.SendReport(report(path));
    }
    int seen = 0;
    ScriptedServer server([&](int fd) {
        const bool refuse = ++seen == 2;
        answer_with(BuildReportReply(refuse ? 103 : 102))(fd);
    });
    PublishReporter next_start(local(server.port()), folder.path(), kQuick);
    EXPECT_EQ(next_start.ResendPendingReports(), 2u);
    EXPECT_EQ(log_records(next_start), Records{report("/2.mp4")});
}

TEST(ResendPendingReports, ReportsLoggedDuringTheResendAreKept) {
    TempFolder folder;
    PublishReporter offline(local(test::closed_port()), folder.path(), kQuick);
    offline.SendReport(report("/old.mp4"));
    // While the old report is being resent, the publisher logs a new one.
    ScriptedServer server([&](int fd) {
        offline.SendReport(report("/new.mp4"));
        answer_with(BuildReportReply(102))(fd);
    });
    PublishReporter next_start(local(server.port()), folder.path(), kQuick);
    EXPECT_EQ(next_start.ResendPendingReports(), 1u);
    EXPECT_EQ(log_records(next_start), Records{report("/new.mp4")});
}

TEST(ResendPendingReports, AStoppedResendKeepsEveryReport) {
    TempFolder folder;
    PublishReporter offline(local(test::closed_port()), folder.path(), kQuick);
    offline.SendReport(report("/1.mp4"));
    offline.SendReport(report("/2.mp4"));
    ScriptedServer server(answer_with(BuildReportReply(102)));
    PublishReporter stopping(local(server.port()), folder.path(), kQuick);
    std::atomic<bool> stop{true};
    EXPECT_EQ(stopping.ResendPendingReports(&stop), 0u);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(log_records(stopping).size(), 2u);
}

TEST(ReportEndpoints, ReadFromTheReportSection) {
    TempFolder folder;
    const auto ini = folder.path() / "Wharfkeep.ini";
    {
        std::ofstream out(ini);
        out << "[report]\npublish_host = reports.example.net\nactivity_host = stats.example.net\n"
               "activity_port = 8080\n";
    }
    ReportEndpoints endpoints = LoadReportEndpoints(platform::IniFile::load(ini));
    EXPECT_EQ(endpoints.publish.host, "reports.example.net");
    EXPECT_EQ(endpoints.publish.port, 1980);
    EXPECT_EQ(endpoints.activity.port, 8080);
    EXPECT_TRUE(endpoints.activity.configured());
    {
        std::ofstream out(ini);
        out << "[report]\npublish_host = r.example.net\npublish_port = 70000\n";
    }
    endpoints = LoadReportEndpoints(platform::IniFile::load(ini));
    EXPECT_FALSE(endpoints.publish.configured()) << "a port out of range turns it off";
    EXPECT_FALSE(endpoints.activity.configured()) << "no host: off";
    EXPECT_EQ(endpoints.activity.port, 80);
}

}  // namespace
}  // namespace wharfkeep
