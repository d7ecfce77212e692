#pragma once
// The host without windows: a message sink whose queue the program's main thread runs, a
// view that prints one line per event, the signal watcher that turns SIGINT and SIGTERM into
// the exit message and SIGHUP into a reload, and the log's configuration.

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/log.h"
#include "platform/message_queue.h"
#include "publish_progress.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/server_host.h"

namespace wharfkeep::app {

struct PostedMessage {
    host::AppMessage message;
    std::int64_t wparam;
    host::AppPayload payload;
    // When set, the loop runs this instead of handing the message to the document.
    std::function<void()> task{};
};

// Questions get the answers a program without an operator gives: unfinished publishing is
// resumed, every other question is answered No (the commands say in English what the window
// would have asked). Message boxes go to the log at debug level: the host logs each case in
// English already.
// Where the lines of what the host did go: printed on `out` for a command an operator waits
// on, or logged (with time and level, on standard error) for `serve`, whose standard output
// would otherwise say each publication a second time beside the log.
// On a terminal one line may be rewritten in place (a file's progress); the next line said
// takes its place. A log line written meanwhile (on standard error, the same terminal) would
// land inside it, so once KeepLogLinesApart() was called the rewritten line is cleared before
// each log line and drawn again after it.
class ConsoleLines : public platform::log::DrawnLine {
public:
    explicit ConsoleLines(std::ostream& out) : out_(out) {}
    ~ConsoleLines() override;
    ConsoleLines(const ConsoleLines&) = delete;
    ConsoleLines& operator=(const ConsoleLines&) = delete;

    void Say(const std::string& line);
    // Replaces the line being rewritten, or starts one, without ending it.
    void Rewrite(const std::string& line);
    void LogInstead() { logged_.store(true); }
    bool logged() const { return logged_.load(); }
    // Log lines step around the rewritten line until this object is destroyed.
    void KeepLogLinesApart();

    void around_log_line(const std::function<void()>& write_line) override;

private:
    std::ostream& out_;
    std::atomic<bool> logged_{false};
    bool keeps_log_apart_ = false;
    std::mutex mutex_;        // one line at a time from any thread
    bool rewriting_ = false;  // a line without its end is on the terminal
    std::string rewritten_;   // that line
};

class ConsoleSink : public host::MessageSink {
public:
    explicit ConsoleSink(ConsoleLines& lines) : lines_(lines) {}
    void post(host::AppMessage message, std::int64_t wparam, host::AppPayload payload) override;
    bool window_exists() const override { return open_.load(); }
    void show_message(const std::string& text) override;
    bool ask_yes_no(const std::string& text) override;

    // Runs `task` on the loop's thread, in order with the messages.
    void RunLater(std::function<void()> task);
    // Blocks for the next message.
    std::optional<PostedMessage> Receive() { return queue_.receive(); }
    // The next message if one is queued.
    std::optional<PostedMessage> TryReceive();
    void Close() { open_.store(false); }

private:
    ConsoleLines& lines_;
    std::atomic<bool> open_{true};
    platform::MessageQueue<PostedMessage> queue_;
};

// Prints what the host did, one line per event, on the main thread: the events the main
// thread raises itself (a file queued) as they come, those of the publisher's thread from
// the private messages the host's window bridge posts for them.
class ConsoleView : public host::HostListener {
public:
    // Subscribes to the host's events until destroyed.
    ConsoleView(host::HostEvents& events, ConsoleLines& lines);
    ~ConsoleView() override;
    ConsoleView(const ConsoleView&) = delete;
    ConsoleView& operator=(const ConsoleView&) = delete;

    // The printing part of a message, after the host's part.
    void OnAppMessage(host::AppMessage message, std::int64_t wparam,
                      const host::AppPayload& payload);
    void OnHostEvent(const host::HostEvent& event) override;

    // Runs on each reload of the configuration, after the host's part (serve's control
    // listeners).
    void SetReloadHook(std::function<void()> hook) { reload_hook_ = std::move(hook); }
    // Files started, their progress and their ends go to `progress` instead of plain lines;
    // progress, raised on the publisher's watch thread, reaches it through `sink`'s loop.
    void ShowProgress(PublishProgress& progress, ConsoleSink& sink);

    int finished() const { return finished_; }
    // Files not published, counting those whose publication the database could not store.
    int failed() const { return failed_ + not_stored_published_.load(); }

private:
    host::HostEvents& events_;
    ConsoleLines& lines_;
    std::thread::id main_thread_;
    int finished_ = 0;
    int failed_ = 0;
    std::atomic<int> not_stored_published_{0};
    std::function<void()> reload_hook_;
    PublishProgress* progress_ = nullptr;  // set before any file starts
    ConsoleSink* progress_sink_ = nullptr;
};

// The log threshold: `command_line` (--log-level) when given, else [log] level of
// Wharfkeep.ini, else info. ReapplyLogLevel reads the INI file again; the command line
// keeps winning.
void ConfigureLog(const std::optional<std::string>& command_line);
void ReapplyLogLevel();

// Blocks SIGINT, SIGTERM and SIGHUP in every thread (call before any thread starts) and
// waits for them on a thread of its own, which posts WM_APP_EXIT to the sink once, and
// WM_APP_RELOAD_SETTINGS for each SIGHUP.
class SignalWatcher {
public:
    explicit SignalWatcher(host::MessageSink& sink);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;
    static void BlockSignals();
    // True once SIGINT or SIGTERM has arrived: a wait that runs before the message loop
    // asks this, so that no wait of the program is deaf to a stop request.
    bool exit_requested() const { return exit_requested_.load(); }

private:
    host::MessageSink& sink_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> exit_requested_{false};
    std::thread thread_;
};

// Hands every message to the document and then to the view (when given) until WM_APP_EXIT
// has been handled, then the messages the stopped threads left behind. `after_each` runs
// after every message (a command posts WM_APP_EXIT from it when its work is done).
void RunMessageLoop(ConsoleSink& sink, host::CPierwatchDoc& doc, ConsoleView* view,
                    const std::function<void()>& after_each = {});

}  // namespace wharfkeep::app
