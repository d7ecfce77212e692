#include "monitor_test_support.h"
#include "wharfkeep/host/host_test_access.h"

#include <QDir>
#include <QProcessEnvironment>

#include <cstdlib>
#include <fstream>

#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"

namespace wharfkeep::ui::testing {
namespace {

class NullEngine : public host::PublishBackend {
public:
    void SetReportFolder(const std::string&) override {}
    void SetLinkSettings(const std::string&, const std::string&, unsigned, unsigned,
                         const std::string&) override {}
    void SetReportMasterId(const std::string&) override {}
    void ReloadReportEndpoint() override {}
    PublishFileResult PublishFile(const std::string&) override {
        return {wharfkeep::kPublished, {}, {}, {}, {}};
    }
    int UnpublishFile(const std::string&, const std::string&) override { return 0; }
    std::string RelinkUrl(const std::string& url) override { return url; }
};

QString BinDir() {
    const char* dir = std::getenv("WK_BIN_DIR");
    return dir != nullptr ? QString::fromLocal8Bit(dir) : QStringLiteral(".");
}

}  // namespace

void RecordingSink::post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) {
    std::lock_guard lock(mutex_);
    posted_.push_back(Posted{message, wparam, payload.text});
}

void RecordingSink::show_message(const std::string& text) {
    messages_shown.push_back(text);
}

std::vector<RecordingSink::Posted> RecordingSink::Taken() {
    std::lock_guard lock(mutex_);
    return std::exchange(posted_, {});
}

MonitorFixture::MonitorFixture() {
    const std::string root = root_.path().toStdString();
    QDir(root_.path()).mkpath(QStringLiteral("home"));
    QDir(root_.path()).mkpath(QStringLiteral("desktop"));
    QDir(root_.path()).mkpath(QStringLiteral("media"));
    ::setenv("WHARFKEEP_HOME", (root + "/home").c_str(), 1);
    ::setenv("WHARFKEEP_DESKTOP", (root + "/desktop").c_str(), 1);

    media_path_ = root + "/media/Clip One.mp4";
    {
        std::ofstream out(media_path_, std::ios::binary);
        std::string block(1 << 16, 'v');
        for (std::uint64_t written = 0; written < kMediaSize; written += block.size()) {
            out << block;
        }
    }
    host_ = std::make_unique<host::Host>(sink_, std::make_unique<NullEngine>());
    host_->Open();

    ResourceDatabase& database = host::HostTestAccess::Database(*host_);
    database.AddMedia(media_path_, static_cast<std::int64_t>(kMediaSize), "2026-12-01 08:00:00");
    const MediaValue published[] = {
        {MediaColumn::State, "1"},
        {MediaColumn::CID, kGcid},
        {MediaColumn::STSPath, media_path_ + ".sts"},
        {MediaColumn::PublishDate, "2026-12-09 02:30:00"},
    };
    database.UpdateMedia(published, media_path_);
    database.AddMedia(root + "/media/waiting.mp4", 1000, "2026-12-01 08:00:00");

    peer_port_ = platform::free_tcp_port();
    host_->Settings().SetTransferPort(peer_port_);
    host_->Settings().SetProtocolPort(platform::free_tcp_port());
    host_->Settings().SetConnectionLimit(50);
    host_->Settings().SetUploadSpeedLimit(256 * 1024);
}

MonitorFixture::~MonitorFixture() {
    StopPeers();
    host_->Document().StopServices(false);
    host_->Close();
    host_.reset();
}

bool MonitorFixture::StartPeers(int count, int seconds) {
    auto peer = std::make_unique<QProcess>();
    peer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer->setStandardOutputFile(QProcess::nullDevice());
    peer->start(BinDir() + QStringLiteral("/wkpeer"),
                {QStringLiteral("load"), QStringLiteral("127.0.0.1:%1").arg(peer_port_),
                 QString::fromLatin1(kGcid), QString::number(kMediaSize), QStringLiteral("--peers"),
                 QString::number(count), QStringLiteral("--seconds"), QString::number(seconds),
                 QStringLiteral("--window"), QStringLiteral("2")});
    const bool started = peer->waitForStarted(5000);
    peers_.push_back(std::move(peer));
    return started;
}

void MonitorFixture::StopPeers() {
    for (auto& peer : peers_) {
        if (peer->state() != QProcess::NotRunning) {
            peer->kill();
            peer->waitForFinished(5000);
        }
    }
    peers_.clear();
}

std::uint32_t MonitorFixture::SessionsOf(const std::string& gcid) {
    std::uint32_t sessions = 0;
    resource_stat_list* list = vp_get_resource_stat_list();
    for (std::uint32_t at = 0; list != nullptr && at < list->count; ++at) {
        if (std::string(list->entries[at].gcid, 40) == gcid) {
            sessions = list->entries[at].sessions;
        }
    }
    vp_free_resource_stat_list(list);
    return sessions;
}

}  // namespace wharfkeep::ui::testing
