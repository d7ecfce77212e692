// The document as the servers and the settings pages see it: the four callbacks, the
// services with their port conflicts, the status snapshot and the setters.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "catalogd/catalogd.h"
#include "file_text.h"
#include "host_test_support.h"
#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"
#include "platform/local_address.h"
#include "platform/log.h"
#include "platform/unique_fd.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/host_test_access.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {
namespace {

using platform::testing::file_text;
using testing::FakeEngine;
using testing::RecordingSink;
using testing::TempHome;

// A listening socket on 127.0.0.1 that keeps its port busy.
class BusyPort {
public:
    BusyPort() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(socket_.get(), 1);
        socklen_t length = sizeof address;
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    unsigned port() const { return port_; }

private:
    platform::UniqueFd socket_;
    unsigned port_ = 0;
};

class ServerHostTest : public ::testing::Test, protected testing::OpenedDocument {
protected:
    ~ServerHostTest() override {
        vp_stop();
        sts_stop();
        host.reset();
    }

    void AddRow(const std::string& path, int state, const std::string& cid) {
        testing::StoreMediaRow(HostTestAccess::Database(*host), path, state, cid);
    }
};

const std::string kGcid(40, 'A');

TEST_F(ServerHostTest, PathCallbacksAnswerOnlyFromPublishedRows) {
    AddRow("/m/queued.mp4", kWaiting, kGcid);
    AddRow("/m/failed.mp4", kFailed, kGcid);
    AddRow("/m/second.mp4", kPublished, kGcid);
    char path[4096] = "untouched";
    ASSERT_TRUE(Services::LocalPathForGcid(kGcid.c_str(), path, sizeof path));
    EXPECT_STREQ(path, "/m/second.mp4");
    ASSERT_TRUE(Services::DescriptorPathForGcid(kGcid.c_str(), path, sizeof path));
    EXPECT_STREQ(path, "/m/second.mp4.sts");

    std::string other(40, 'B');
    AddRow("/m/publishing.mp4", kPublishing, other);
    std::strcpy(path, "untouched");
    EXPECT_FALSE(Services::LocalPathForGcid(other.c_str(), path, sizeof path));
    EXPECT_STREQ(path, "untouched");
}

TEST_F(ServerHostTest, PathThatDoesNotFitIsRefusedNotCut) {
    const std::string stored = "/m/a-rather-long-name.mp4";
    AddRow(stored, kPublished, kGcid);
    std::vector<char> short_by_one(stored.size(), 'k');
    EXPECT_FALSE(Services::LocalPathForGcid(kGcid.c_str(), short_by_one.data(),
                                            static_cast<unsigned>(short_by_one.size())));
    EXPECT_EQ(short_by_one, std::vector<char>(stored.size(), 'k'));
    std::vector<char> exact(stored.size() + 1);  // the path and its terminator
    EXPECT_TRUE(Services::LocalPathForGcid(kGcid.c_str(), exact.data(),
                                           static_cast<unsigned>(exact.size())));
    EXPECT_EQ(std::string(exact.data()), stored);
}

TEST_F(ServerHostTest, ListExportWritesOneLinePerPublishedFile) {
    std::filesystem::path list = home.path() / "list.txt";
    ASSERT_TRUE(Services::ExportPublishedList(list.c_str()));
    EXPECT_EQ(file_text(list), "");
    AddRow("/m/a.mp4", kPublished, kGcid);
    AddRow("/m/b.mp4", kWaiting, std::string(40, 'C'));
    ASSERT_TRUE(Services::ExportPublishedList(list.c_str()));
    EXPECT_EQ(file_text(list), kGcid + " 100\r\n");
    EXPECT_FALSE(Services::ExportPublishedList((home.path() / "no/such/dir").c_str()));
}

TEST_F(ServerHostTest, ClosedDocumentAnswersNoPathNoRefusalAndExportSuccess) {
    AddRow("/m/a.mp4", kPublished, kGcid);
    host->IpFilter().SetEnabled(true);  // allow list, empty: everybody refused
    in_addr peer{};
    ::inet_pton(AF_INET, "10.0.0.5", &peer);
    EXPECT_TRUE(Services::RefusePeer(&peer));
    host->Close();
    char path[64];
    EXPECT_FALSE(Services::LocalPathForGcid(kGcid.c_str(), path, sizeof path));
    EXPECT_FALSE(Services::RefusePeer(&peer));
    EXPECT_TRUE(Services::ExportPublishedList((home.path() / "x").c_str()));
    EXPECT_FALSE(std::filesystem::exists(home.path() / "x"));
}

TEST_F(ServerHostTest, StartAndStopServicesKeepAutoStart) {
    host->Settings().SetTransferPort(platform::free_tcp_port());
    host->Settings().SetProtocolPort(platform::free_tcp_port());
    UnsignedSetting auto_start = kVpAutoStart;
    auto_start.Set(HostTestAccess::Database(*host), 0);
    ASSERT_TRUE(host->Document().StartServices());
    EXPECT_TRUE(host->Document().ServicesRunning());
    EXPECT_EQ(sts_run_stat(), 1);
    EXPECT_EQ(host->Settings().Setting(kVpAutoStart), 1u);
    ServerStatusSnapshot status;
    host->Document().GetServerStatus(status);
    EXPECT_EQ(status.running, 1);
    EXPECT_EQ(status.address, host->Settings().Access().access_ip + ":" +
                                  std::to_string(host->Settings().Setting(kVpPort)));
    host->Document().StopServices(true);
    EXPECT_FALSE(host->Document().ServicesRunning());
    EXPECT_EQ(host->Settings().Setting(kVpAutoStart), 0u);
    host->Document().GetServerStatus(status);
    EXPECT_EQ(status.running, 0);
}

TEST_F(ServerHostTest, TransferPortConflictSaysSoAndOpensTheField) {
    BusyPort busy;
    host->Settings().SetTransferPort(busy.port());
    kVpAutoStart.Set(HostTestAccess::Database(*host), 0);
    EXPECT_FALSE(host->Document().StartServices());
    EXPECT_FALSE(host->Document().ServicesRunning());
    ASSERT_EQ(sink.messages_shown.size(), 1u);
    EXPECT_EQ(sink.messages_shown[0], "传输端口（" + std::to_string(busy.port()) +
                                          "）有冲突，请手动修改端口，以便工具正常服务。");
    std::vector<testing::PostedMessage> posted = sink.Take();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, AppMessage::WM_APP_GOTO_SETTING);
    EXPECT_EQ(posted[0].wparam, kFieldTransferPort);
    EXPECT_EQ(host->Settings().Setting(kVpAutoStart), 0u);
}

TEST_F(ServerHostTest, ProtocolPortConflictStopsThePeerServerAgain) {
    BusyPort busy;
    host->Settings().SetTransferPort(platform::free_tcp_port());
    host->Settings().SetProtocolPort(busy.port());
    EXPECT_FALSE(host->Document().StartServices());
    EXPECT_EQ(vp_run_stat(), 0);
    EXPECT_EQ(sts_run_stat(), 0);
    ASSERT_EQ(sink.messages_shown.size(), 1u);
    EXPECT_NE(sink.messages_shown[0].find("协议端口（" + std::to_string(busy.port())),
              std::string::npos);
    std::vector<testing::PostedMessage> posted = sink.Take();
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back().wparam, kFieldProtocolPort);
}

TEST_F(ServerHostTest, PortChangeReconfiguresTheEngineButNotTheRunningServer) {
    unsigned first = platform::free_tcp_port();
    host->Settings().SetTransferPort(first);
    host->Settings().SetProtocolPort(platform::free_tcp_port());
    ASSERT_TRUE(host->Document().StartServices());
    unsigned second = platform::free_tcp_port();
    host->Settings().SetTransferPort(second);
    {
        std::lock_guard lock(engine->mutex);
        EXPECT_EQ(engine->peer_port, second);
    }
    ServerStatusSnapshot status;
    host->Document().GetServerStatus(status);
    EXPECT_NE(status.address.find(":" + std::to_string(first)), std::string::npos);
}

TEST_F(ServerHostTest, AccessAddressQuestionIsAskedForEmptyOrAnyAddress) {
    host->Settings().SetAccess(1, "0.0.0.0", "video.example.net");
    sink.Take();
    sink.answer_ = true;
    host->Settings().CheckAccessAddress();
    ASSERT_EQ(sink.questions_asked.size(), 1u);
    EXPECT_EQ(sink.questions_asked[0],
              "当前IP地址(0.0.0.0)有误，无法正常提供服务，您需要修改IP地址吗？");
    std::vector<testing::PostedMessage> posted = sink.Take();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].wparam, kFieldAccessIp);

    host->Settings().SetAccess(0, "127.0.1.1", "");
    host->Settings().CheckAccessAddress();
    ASSERT_EQ(sink.questions_asked.size(), 2u) << "loopback reaches no peer either";
    EXPECT_NE(sink.questions_asked[1].find("(127.0.1.1)"), std::string::npos);

    host->Settings().SetAccess(0, "192.0.2.7", "");
    host->Settings().CheckAccessAddress();
    EXPECT_EQ(sink.questions_asked.size(), 2u);
}

TEST_F(ServerHostTest, PrivateAccessAddressGetsAWarningLineButNoQuestion) {
    std::ostringstream log_lines;
    platform::log::init_stream(log_lines, platform::log::Level::info, true);
    host->Settings().SetAccess(0, "192.168.1.20", "");
    host->Settings().CheckAccessAddress();
    platform::log::init(platform::log::Level::info);
    EXPECT_TRUE(sink.questions_asked.empty());
    EXPECT_EQ(log_lines.str(),
              "<4>access address 192.168.1.20 is a private address: only peers on this site "
              "can reach it\n");
}

TEST_F(ServerHostTest, ReloadSettingsAppliesLimitsStoredMeanwhile) {
    kVpUploadSpeedLimit.Set(HostTestAccess::Database(*host), 4096);
    kVpConnLimit.Set(HostTestAccess::Database(*host), 3);
    host->Settings().ReloadSettings();
    EXPECT_EQ(vp_get_speed_limit(), 4096u);
    EXPECT_EQ(vp_get_connection_limit(), 3u);
    std::lock_guard lock(engine->mutex);
    EXPECT_EQ(engine->endpoint_reloads, 1) << "the publish-report endpoint is read again";
}

// A host whose name resolves to loopback, as Debian's 127.0.1.1 line makes it.
platform::AddressSources LoopbackNamedHost(std::vector<platform::InterfaceAddress> interfaces) {
    return {[interfaces] { return interfaces; },
            [] { return std::optional<std::uint32_t>(0x7F000101u); }};
}

TEST(NewDatabaseAccessAddress, TakesAnInterfaceAddressOverALoopbackHostName) {
    TempHome home;
    platform::ScopedAddressSources sources(
        LoopbackNamedHost({{"lo", 0x7F000001u, true}, {"eth0", 0xC000020Au, true}}));
    RecordingSink sink;
    Host host(sink, std::make_unique<FakeEngine>(std::make_shared<FakeEngine::State>()));
    host.Open();
    EXPECT_EQ(host.Settings().Access().access_ip, "192.0.2.10");
    host.Settings().CheckAccessAddress();
    EXPECT_TRUE(sink.questions_asked.empty());
}

TEST(NewDatabaseAccessAddress, AsksWhenOnlyLoopbackIsThere) {
    TempHome home;
    platform::ScopedAddressSources sources(LoopbackNamedHost({{"lo", 0x7F000001u, true}}));
    RecordingSink sink;
    sink.answer_ = false;
    Host host(sink, std::make_unique<FakeEngine>(std::make_shared<FakeEngine::State>()));
    host.Open();
    EXPECT_EQ(host.Settings().Access().access_ip, "127.0.1.1");
    host.Settings().CheckAccessAddress();
    ASSERT_EQ(sink.questions_asked.size(), 1u);
    EXPECT_NE(sink.questions_asked[0].find("(127.0.1.1)"), std::string::npos);
}

TEST_F(ServerHostTest, AccessSettingsReachTheEngineAndSurviveReopening) {
    host->Settings().SetAccess(1, "192.0.2.7", "video.example.net");
    {
        std::lock_guard lock(engine->mutex);
        EXPECT_EQ(engine->ip_host, "");
        EXPECT_EQ(engine->domain_host, "video.example.net");
    }
    host.reset();
    auto state = std::make_shared<FakeEngine::State>();
    host = std::make_unique<Host>(sink, std::make_unique<FakeEngine>(state));
    host->Open();
    EXPECT_EQ(host->Settings().Access().access_way, 1);
    EXPECT_EQ(host->Settings().Access().access_domain, "video.example.net");
    std::lock_guard lock(state->mutex);
    EXPECT_EQ(state->domain_host, "video.example.net");
    EXPECT_EQ(state->sid, host->Settings().MasterId());
    EXPECT_EQ(state->report_master_id, host->Settings().MasterId());
}

TEST_F(ServerHostTest, NewMasterIdRelinksEveryPublishedFile) {
    AddRow("/m/a.mp4", kPublished, kGcid);
    AddRow("/m/b.mp4", kWaiting, std::string(40, 'B'));
    host->Settings().SetMasterId("0123456789ABCDEF01");
    EXPECT_EQ(host->Settings().MasterId(), "0123456789ABCDEF01");
    EXPECT_EQ(host->Settings().Access().master_id, "0123456789ABCDEF01");
    const std::vector<MediaRecord> rows = host->Library().ListedUnder("/m/");
    ASSERT_EQ(rows.size(), 2u);
    for (const MediaRecord& row : rows) {
        bool relinked = row.url.find("|relinked=") != std::string::npos;
        EXPECT_EQ(relinked, row.state == kPublished) << row.local_path;
    }
}

TEST_F(ServerHostTest, LimitsAreStoredAndPassedToThePeerServer) {
    host->Settings().SetUploadSpeedLimit(12800);
    host->Settings().SetConnectionLimit(7);
    EXPECT_EQ(host->Settings().Setting(kVpUploadSpeedLimit), 12800u);
    EXPECT_EQ(vp_get_speed_limit(), 12800u);
    EXPECT_EQ(vp_get_connection_limit(), 7u);
}

TEST_F(ServerHostTest, NavigationModelFollowsTheDesignedOrder) {
    std::vector<std::string> labels;
    for (const auto& node : host->Navigation().Nodes()) {
        labels.push_back(node->label);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"状态信息", "发布目录管理", "导出链接", "连接监控",
                                                "选项设置", "IP过滤", "帮助说明"}));
    ASSERT_EQ(host->Navigation().DirectoryRoot()->children.size(), 1u);
    EXPECT_EQ(host->Navigation().DirectoryRoot()->children[0]->kind, kNodeAddDirectory);
}

}  // namespace
}  // namespace wharfkeep::host
