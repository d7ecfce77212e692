#pragma once
// What the monitoring pages' tests share: a fresh application-data folder, a document over
// it with a publish engine that does nothing, a sink that records what the pages post, a
// running peerfeed serving one published file, and real wkpeer processes downloading it.

#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/free_port.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/ui/page.h"
#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui::testing {

class RecordingSink : public host::MessageSink {
public:
    struct Posted {
        host::AppMessage message;
        std::int64_t wparam;
        std::string text;
    };
    void post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) override;
    bool window_exists() const override { return true; }
    void show_message(const std::string& text) override;
    bool ask_yes_no(const std::string&) override { return true; }

    std::vector<Posted> Taken();
    std::vector<std::string> messages_shown;

private:
    std::mutex mutex_;
    std::vector<Posted> posted_;
};

class SilentPrompter : public Prompter {
public:
    void Message(const QString&, const QString&, PromptIcon) override {}
    bool YesNo(const QString&, const QString&) override { return true; }
    bool OkCancel(const QString&, const QString&) override { return true; }
};

// A document over a fresh WHARFKEEP_HOME with the peer and list servers on free ports.
class MonitorFixture {
public:
    static constexpr const char* kGcid = "0123456789ABCDEF0123456789ABCDEF01234567";
    static constexpr std::uint64_t kMediaSize = 4u << 20;

    MonitorFixture();
    ~MonitorFixture();

    host::Host& Host() { return *host_; }
    RecordingSink& Sink() { return sink_; }
    PageContext Context() { return PageContext{*host_, sink_, prompter_}; }
    const std::string& MediaPath() const { return media_path_; }
    std::uint16_t PeerPort() const { return peer_port_; }

    // Starts `count` wkpeer processes asking for the published file for `seconds`.
    bool StartPeers(int count, int seconds);
    void StopPeers();
    // Live handshaken sessions peerfeed reports for the published file.
    static std::uint32_t SessionsOf(const std::string& gcid);

private:
    QTemporaryDir root_;
    RecordingSink sink_;
    SilentPrompter prompter_;
    std::unique_ptr<host::Host> host_;
    std::string media_path_;
    std::uint16_t peer_port_ = 0;
    std::vector<std::unique_ptr<QProcess>> peers_;
};

}  // namespace wharfkeep::ui::testing
