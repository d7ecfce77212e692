#pragma once
// Shared pieces of the publish page tests: a temporary application-data folder, a host
// document over a publish engine the test controls, a sink that hands posted messages to
// the document and the page the way the main window does, and scripted message boxes.

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/ui/page.h"
#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui::testing {

class TempHome : public platform::testing::TempHomeAndDesktop {
public:
    TempHome() : TempHomeAndDesktop("wk-publish") {}
    // A file of `bytes` bytes (sparse) under media(); its full path.
    std::string WriteFile(const std::string& relative, std::int64_t bytes = 64) const;
};

struct Posted {
    host::AppMessage message;
    std::int64_t wparam;
    host::AppPayload payload;
};

// post() from any thread queues; Pump() on the test's thread hands each message to the
// document and then to the page, as the main window's router does.
class PumpSink : public host::MessageSink {
public:
    void post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) override;
    bool window_exists() const override { return window_.load(); }
    void show_message(const std::string& text) override;
    bool ask_yes_no(const std::string& text) override;

    // Delivers everything queued (repeating until the queue is empty); the messages seen.
    std::vector<host::AppMessage> Pump(host::Host& host, CPWTPage* page);
    // Pumps until `done` holds or the time-out passes (Qt events are processed between).
    bool PumpUntil(host::Host& host, CPWTPage* page, const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Messages taken by Pump, with their text payloads.
    std::vector<std::pair<host::AppMessage, std::string>> seen;
    // When set, each message goes here instead (the main window's router, for instance).
    std::function<void(host::AppMessage, std::int64_t, host::AppPayload&)> deliver;

    std::atomic<bool> window_{true};

private:
    std::mutex mutex_;
    std::vector<Posted> queue_;
};

// Answers the questions by script and records every box.
class ScriptedPrompter : public Prompter {
public:
    void Message(const QString& text, const QString& caption, PromptIcon icon) override;
    bool YesNo(const QString& text, const QString& caption) override;
    bool OkCancel(const QString& text, const QString& caption) override;

    bool answer = true;
    struct Box {
        QString text;
        QString caption;
        PromptIcon icon;
    };
    std::vector<Box> boxes;
};

// A publish engine that publishes nothing: it records the files it is given and answers
// with a fixed link per file. RelinkUrl marks the links it rebuilds.
class RecordingEngine : public host::PublishBackend {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> published;
        std::vector<std::string> relinked;
        bool block = false;  // PublishFile waits until released
        bool in_publish = false;
        bool release = false;
        int progress = 0;  // what GetProgress reports
    };
    // Waits until PublishFile runs (blocking); false after the time-out.
    static bool WaitInPublish(State& state);
    static void Release(State& state);
    explicit RecordingEngine(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void SetReportFolder(const std::string&) override {}
    void SetLinkSettings(const std::string&, const std::string&, unsigned, unsigned,
                         const std::string&) override {}
    void SetReportMasterId(const std::string&) override {}
    void ReloadReportEndpoint() override {}
    PublishFileResult PublishFile(const std::string& path) override;
    int UnpublishFile(const std::string&, const std::string&) override { return 0; }
    std::string RelinkUrl(const std::string& url) override;
    int GetProgress();

private:
    std::shared_ptr<State> state_;
};

// A document started on a fresh database, with a recording engine.
struct HostFixture {
    HostFixture();
    ~HostFixture();
    TempHome home;
    PumpSink sink;
    ScriptedPrompter prompter;
    std::shared_ptr<RecordingEngine::State> engine = std::make_shared<RecordingEngine::State>();
    std::unique_ptr<host::Host> host;
    PageContext context() { return PageContext{*host, sink, prompter}; }
    // Adds a media row in `state` with the given size and dates.
    void AddMedia(const std::string& path, std::int64_t size, int state,
                  const std::string& file_date = "2026-01-01 00:00:00",
                  const std::string& url = {});
    // Adds a directory row (path ends with "/").
    void AddDirectory(const std::string& path);
};

}  // namespace wharfkeep::ui::testing
