// wharfkeepd's commands over a fake control host: what each sends, what it prints, and its
// exit code, whether the channel leads to a running instance or to the stored files here.

#include <gtest/gtest.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fake_control_host.h"
#include "remote_commands.h"
#include "wharfkeep/control/control_router.h"

namespace wharfkeep::app {
namespace {

using control::ClientAnswer;
using control::FakeControlHost;

// The channel a command gets, answered by the router over the fake host, as the channel
// here is answered over the document.
class FakeChannel : public control::ControlChannel {
public:
    explicit FakeChannel(FakeControlHost& host) : host_(host) {}
    ClientAnswer Get(const std::string& target) const override { return Send("GET", target, ""); }
    ClientAnswer Send(const std::string& method, const std::string& target,
                      const std::string& body) const override {
        if (silent) {
            return {0, "", "Connection refused"};
        }
        requests.push_back(method + " " + target + (body.empty() ? "" : " " + body));
        auto request = control::ControlRequestOf(method, target, body);
        if (!request) {
            return {400, R"({"error":"undecodable"})", ""};
        }
        control::ControlResponse response = control::HandleControlRequest(host_, *request);
        return {response.status, response.body, ""};
    }
    bool silent = false;  // no instance answers
    mutable std::vector<std::string> requests;

private:
    FakeControlHost& host_;
};

struct Printed {
    int exit_code;
    std::string out;
    std::string err;
};

// Runs a command with standard output and standard error caught.
template <typename Command>
Printed Caught(Command command) {
    std::ostringstream out, err;
    std::streambuf* old_out = std::cout.rdbuf(out.rdbuf());
    std::streambuf* old_err = std::cerr.rdbuf(err.rdbuf());
    const int exit_code = command();
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    return {exit_code, out.str(), err.str()};
}

class ChannelCommands : public ::testing::Test {
protected:
    CommandOptions IpFilter(std::string action, std::vector<std::string> arguments = {}) {
        CommandOptions options;
        options.action = std::move(action);
        options.arguments = std::move(arguments);
        return options;
    }
    Printed IpFilterCommand(const CommandOptions& options) {
        return Caught([&] { return IpFilterThrough(channel_, options); });
    }

    FakeControlHost host_;
    FakeChannel channel_{host_};
};

TEST_F(ChannelCommands, IpFilterAddTakesCidrAndRangesAndShowsBothListsCounts) {
    host_.ip_filter = {true, false, {{"10.0.0.0", "10.255.255.255"}}, 1, 4};
    Printed added = IpFilterCommand(IpFilter("add", {"10.1.2.3/8"}));
    EXPECT_EQ(added.exit_code, 0) << added.err;
    EXPECT_EQ(host_.Calls(), std::vector<std::string>{"iprange 10.0.0.0 10.255.255.255"});
    EXPECT_NE(added.out.find("host bits set: taken as 10.0.0.0/8"), std::string::npos);
    EXPECT_NE(added.out.find("enabled: yes\ntype: allow\n"
                             "allow list: 1 ranges (active), deny list: 4 ranges\n"
                             "0\t10.0.0.0 ~ 10.255.255.255\n"),
              std::string::npos)
        << added.out;

    Printed two = IpFilterCommand(IpFilter("add", {"192.0.2.1", "192.0.2.9"}));
    EXPECT_EQ(two.exit_code, 0);
    EXPECT_EQ(host_.Calls().back(), "iprange 192.0.2.1 192.0.2.9");

    // Wrong ranges are refused here, before anything is sent.
    channel_.requests.clear();
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"10.0.0.0/33"},
                                                  {"not-an-address"},
                                                  {},
                                                  {"1.1.1.1", "2.2.2.2", "3.3.3.3"}}) {
        Printed refused = IpFilterCommand(IpFilter("add", wrong));
        EXPECT_EQ(refused.exit_code, kExitUsage);
        EXPECT_NE(refused.err.find("ipfilter add needs an address"), std::string::npos);
    }
    EXPECT_TRUE(channel_.requests.empty());
}

TEST_F(ChannelCommands, IpFilterChangesWarnWhenEveryPeerIsRefused) {
    host_.ip_filter = {true, false, {}, 0, 2};
    Printed enabled = IpFilterCommand(IpFilter("enable"));
    EXPECT_EQ(enabled.exit_code, 0);
    EXPECT_NE(enabled.err.find("warning: the allow list has no ranges"), std::string::npos)
        << enabled.err;
    // Listing says nothing more than the rules; a deny list refuses no one by being empty.
    EXPECT_EQ(IpFilterCommand(IpFilter("list")).err, "");
    host_.ip_filter.deny_list = true;
    EXPECT_EQ(IpFilterCommand(IpFilter("type", {"deny"})).err, "");

    EXPECT_EQ(IpFilterCommand(IpFilter("frobnicate")).exit_code, kExitUsage);
    EXPECT_EQ(IpFilterCommand(IpFilter("list", {"extra"})).exit_code, kExitUsage);
    EXPECT_EQ(IpFilterCommand(IpFilter("delete", {"x"})).exit_code, kExitUsage);
}

TEST_F(ChannelCommands, IpFilterImportReportsThenCountsAndExportWritesRanges) {
    host_.ip_filter = {false, true, {{"1.2.3.0", "1.2.4.255"}, {"8.8.8.8", "8.8.8.8"}}, 0, 2};
    host_.answer = Outcome::Done("3 lines: 2 taken");
    Printed imported = IpFilterCommand(IpFilter("import", {"/lists/level1.dat"}));
    EXPECT_EQ(imported.exit_code, 0) << imported.err;
    EXPECT_EQ(imported.out,
              "3 lines: 2 taken\nallow list: 0 ranges, deny list: 2 ranges (active)\n");
    EXPECT_EQ(host_.Calls().back(), "import /lists/level1.dat");

    host_.answer = Outcome::NotFound("/lists/none: cannot be read");
    Printed missing = IpFilterCommand(IpFilter("import", {"/lists/none"}));
    EXPECT_EQ(missing.exit_code, kExitNotFound);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("/lists/none: cannot be read"), std::string::npos);

    Printed exported = IpFilterCommand(IpFilter("export", {"-"}));
    EXPECT_EQ(exported.exit_code, 0);
    EXPECT_EQ(exported.out, "1.2.3.0-1.2.4.255\n8.8.8.8\n");
}

TEST_F(ChannelCommands, ActionsPrintTheOutcomeAndGiveItsExitCode) {
    CommandOptions options;
    options.path = "/media/films/a.mp4";
    host_.answer = Outcome::Done("withdrew /media/films/a.mp4");
    Printed withdrew = Caught([&] { return WithdrawThrough(channel_, options); });
    EXPECT_EQ(withdrew.exit_code, 0);
    EXPECT_EQ(withdrew.out, "withdrew /media/films/a.mp4\n");
    EXPECT_EQ(host_.Calls().back(), "withdraw /media/films/a.mp4");

    // A GCID goes as it is; a path is made absolute first.
    options.path = std::string(40, 'A');
    Caught([&] { return WithdrawThrough(channel_, options); });
    EXPECT_EQ(host_.Calls().back(), "withdraw " + std::string(40, 'A'));

    host_.answer = Outcome::NotFound("not in the library: /media/none");
    options.path = "/media/none";
    Printed unknown = Caught([&] { return RemoveThrough(channel_, options); });
    EXPECT_EQ(unknown.exit_code, kExitNotFound);
    EXPECT_EQ(unknown.out, "");
    EXPECT_NE(unknown.err.find("not in the library: /media/none"), std::string::npos);

    host_.answer = Outcome::Done("watching /media");
    options.path = "/media";
    options.action = "on";
    EXPECT_EQ(Caught([&] { return WatchFolderThrough(channel_, options); }).exit_code, 0);
    EXPECT_EQ(host_.Calls().back(), "watch-folder /media on");

    channel_.silent = true;
    Printed gone = Caught([&] { return RescanThrough(channel_, options); });
    EXPECT_EQ(gone.exit_code, kExitFailed);
    EXPECT_NE(gone.err.find("does not answer: Connection refused"), std::string::npos) << gone.err;
}

TEST_F(ChannelCommands, ConfigChecksTheKeyHereAndTheValueThere) {
    host_.settings.settings = {{"VP_ConnLimit", "200", "connections", false},
                               {"WatchSettleSeconds", "5", "seconds", true}};
    CommandOptions options;
    options.key = "VP_ConnLimit";
    Printed one = Caught([&] { return ConfigThrough(channel_, options); });
    EXPECT_EQ(one.exit_code, 0);
    EXPECT_EQ(one.out, "VP_ConnLimit=200\n");

    options.key = "NoSuchKey";
    channel_.requests.clear();
    Printed unknown = Caught([&] { return ConfigThrough(channel_, options); });
    EXPECT_EQ(unknown.exit_code, kExitUsage);
    EXPECT_NE(unknown.err.find("unknown setting NoSuchKey"), std::string::npos);
    EXPECT_TRUE(channel_.requests.empty());

    options.key = "VP_ConnLimit";
    options.value = "150";
    Caught([&] { return ConfigThrough(channel_, options); });
    EXPECT_EQ(host_.Calls().back(), "settings VP_ConnLimit=150");
}

TEST_F(ChannelCommands, ListPrintsFoldersAndRowsOrOneFileOrSaysWhatIsNotInTheLibrary) {
    host_.folders = {{"/media", "media", 2, 1, true}, {"/other", "other", 0, 0, false}};
    host_.media = {{"/media/a.mp4", "a.mp4", 10, 1, "published", "published", "ABC", "", "", ""},
                   {"/media/b.mp4", "b.mp4", 20, -3, "failed", "failed", "", "", "", "damaged"}};
    CommandOptions options;
    options.path = "/media";
    Printed folder = Caught([&] { return ListThrough(channel_, options); });
    EXPECT_EQ(folder.exit_code, 0) << folder.err;
    EXPECT_EQ(folder.out,
              "1\tpublished\t10\tABC\t/media/a.mp4\n-3\tfailed\t20\t-\t/media/b.mp4\tdamaged\n")
        << "no line of the folder itself, only of folders below it";
    EXPECT_EQ(host_.last_filter.folder, "/media");

    options.path = "/media/b.mp4";
    Printed file = Caught([&] { return ListThrough(channel_, options); });
    EXPECT_EQ(file.out, "-3\tfailed\t20\t-\t/media/b.mp4\tdamaged\n");
    options.json = true;
    file = Caught([&] { return ListThrough(channel_, options); });
    EXPECT_EQ(nlohmann::json::parse(file.out).size(), 1u) << file.out;

    options.path = "/media/none.mp4";
    Printed unknown = Caught([&] { return ListThrough(channel_, options); });
    EXPECT_EQ(unknown.exit_code, kExitNotFound);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "wharfkeepd: not in the library: /media/none.mp4\n");

    options = {};
    Printed all = Caught([&] { return ListThrough(channel_, options); });
    EXPECT_EQ(all.out.rfind("dir\t/media\t1/2\twatched\ndir\t/other\t0/0\n1\t", 0), 0u) << all.out;
}

TEST_F(ChannelCommands, StatusPrintsTheModeTheFilterAndTheLibraryFromTheInterface) {
    host_.status.upload_mode = "alternative";
    host_.status.upload_limit = 1280;
    host_.status.ip_filter = {true, true, 1, 2};
    host_.status.media_by_state = {{1, 5}, {-2, 1}};
    host_.folders = {{"/media", "media", 6, 5, false}};
    host_.settings.settings = {{"AccessWay", "1", "", false},
                               {"AccessDomain", "example.org", "", false},
                               {"VP_AltScheduleOn", "1", "", false},
                               {"VP_AltScheduleDays", "weekdays", "", false},
                               {"VP_AltScheduleFrom", "08:00", "", false},
                               {"VP_AltScheduleTo", "18:00", "", false},
                               {"Master_ID", "0A1B2C3D4E5F607182", "", false}};
    Printed status = Caught([&] { return StatusThrough(channel_, {}); });
    EXPECT_EQ(status.exit_code, 0) << status.err;
    for (const char* line : {"access: domain example.org\n", "upload: alternative, 1280 B/s\n",
                             "schedule weekdays 08:00-18:00, switch off\n",
                             "IP filter: on; allow list: 1 ranges, deny list: 2 ranges (active)\n",
                             "Master ID: 0A1B2C3D4E5F607182\n", "folders: 1, media files: 6\n",
                             "  State 1 published: 5\n"}) {
        EXPECT_NE(status.out.find(line), std::string::npos) << line << status.out;
    }
    host_.status.upload_mode = "paused";
    EXPECT_NE(Caught([&] { return StatusThrough(channel_, {}); }).out.find("upload: paused\n"),
              std::string::npos);

    channel_.silent = true;
    Printed silent = Caught([&] { return StatusThrough(channel_, {}); });
    EXPECT_EQ(silent.exit_code, kExitFailed);
    EXPECT_NE(silent.err.find("does not answer"), std::string::npos);
}

}  // namespace
}  // namespace wharfkeep::app
