#pragma once
// Test doubles shared by the host's tests: a temporary application-data folder, a sink that
// records posted messages and pumps them into a document, and a publish engine the test
// controls.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/publish_backend.h"

namespace wharfkeep::host {
class Host;
}

namespace wharfkeep::host::testing {

// Adds a media row of 100 bytes and stores it with `state`, `cid`, an STS path beside it
// and a link; returns the record as stored.
MediaRecord StoreMediaRow(ResourceDatabase& db, const std::string& path, int state,
                          const std::string& cid);

// A fresh folder used as WHARFKEEP_HOME (and a desktop beside it) for one test.
class TempHome : public platform::testing::TempHomeAndDesktop {
public:
    TempHome() : TempHomeAndDesktop("wk-host") {}
    // Writes `bytes` bytes of filler into media()/relative and returns the full path.
    std::string WriteMedia(const std::string& relative, std::size_t bytes = 64) const;
};

struct PostedMessage {
    AppMessage message;
    std::int64_t wparam;
    AppPayload payload;
};

class RecordingSink : public MessageSink {
public:
    void post(AppMessage message, std::int64_t wparam, AppPayload payload) override;
    bool window_exists() const override { return window_.load(); }
    void show_message(const std::string& text) override;
    bool ask_yes_no(const std::string& text) override;

    // Waits until a message of this kind has been posted (and not yet taken); false after
    // the time-out.
    bool WaitFor(AppMessage message, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Takes every queued message, in order.
    std::vector<PostedMessage> Take();
    // Hands every queued message to the document, repeating until none is left.
    std::vector<PostedMessage> Pump(Host& host);
    // Pumps until `done` holds (checked after each round) or the time-out passes.
    bool PumpUntil(Host& host, const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::atomic<bool> window_{true};
    bool answer_ = true;
    std::vector<std::string> messages_shown;
    std::vector<std::string> questions_asked;
    // Every message handed to the document by Pump, in order.
    std::vector<std::pair<AppMessage, std::int64_t>> handled;

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<PostedMessage> queue_;
};

// A publish engine whose outcomes the test sets per path. PublishFile may be made to block
// until the test releases it or the file is abandoned (UnpublishFile with empty texts).
class FakeEngine : public PublishBackend {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::string, int> results;  // path -> code, 0 when absent
        std::vector<std::string> published;  // PublishFile calls, in order
        // PrepareNext calls, each with the number of PublishFile calls made before it.
        std::vector<std::pair<std::string, std::size_t>> prepared;
        std::vector<std::pair<std::string, std::string>> unpublished;  // (cid, sts) calls
        int cancels = 0;
        int ignore_cancels = 0;  // the next n cancels find nothing to cancel
        bool block = false;      // PublishFile waits for release or cancel
        bool in_publish = false;
        bool cancel_requested = false;
        bool release = false;
        int progress = 0;  // what GetProgress answers
        std::string ip_host, domain_host, sid, report_master_id, report_folder;
        int endpoint_reloads = 0;
        unsigned peer_port = 0, list_port = 0;
        std::function<void(const std::string&)> on_publish;  // called inside PublishFile
    };

    explicit FakeEngine(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void SetReportFolder(const std::string& folder) override;
    void SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                         unsigned peer_port, unsigned list_port, const std::string& sid) override;
    void SetReportMasterId(const std::string& master_id) override;
    void ReloadReportEndpoint() override;
    PublishFileResult PublishFile(const std::string& path) override;
    void PrepareNext(const std::string& path) override;
    int UnpublishFile(const std::string& cid, const std::string& sts_path) override;
    std::string RelinkUrl(const std::string& url) override;
    int GetProgress() override;

    // Waits until PublishFile is running (blocking) for some file.
    static bool WaitInPublish(State& state,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10));
    static void Release(State& state);

    // The identifier the fake gives a path: 40 hex digits derived from it.
    static std::string CidFor(const std::string& path);

private:
    std::shared_ptr<State> state_;
};

// A document over a fresh application-data folder, with the recording sink and the engine
// double, opened as the programs open it; closed before the folder goes.
struct OpenedDocument {
    OpenedDocument();
    ~OpenedDocument();
    OpenedDocument(const OpenedDocument&) = delete;
    OpenedDocument& operator=(const OpenedDocument&) = delete;
    // The stored state of a media file; -100 when it has no row.
    int StateOf(const std::string& path);

    TempHome home;
    RecordingSink sink;
    std::shared_ptr<FakeEngine::State> engine = std::make_shared<FakeEngine::State>();
    std::unique_ptr<Host> host;
};

}  // namespace wharfkeep::host::testing
