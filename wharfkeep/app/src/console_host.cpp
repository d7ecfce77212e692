#include "console_host.h"

#include <pthread.h>

#include <algorithm>
#include <ostream>
#include <utility>

#include "check_config.h"
#include "platform/app_paths.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/service_notify.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::app {

using host::AppMessage;

ConsoleLines::~ConsoleLines() {
    if (keeps_log_apart_) {
        platform::log::set_drawn_line(nullptr);
    }
}

void ConsoleLines::Say(const std::string& line) {
    if (logged_.load()) {
        platform::log::info("{}", line);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // "\033[K" clears what a longer rewritten line left to the right.
    out_ << (std::exchange(rewriting_, false) ? "\r" + line + "\033[K" : line) << std::endl;
}

void ConsoleLines::Rewrite(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    rewriting_ = true;
    rewritten_ = line;
    out_ << "\r" << line << "\033[K" << std::flush;
}

void ConsoleLines::KeepLogLinesApart() {
    keeps_log_apart_ = true;
    platform::log::set_drawn_line(this);
}

void ConsoleLines::around_log_line(const std::function<void()>& write_line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rewriting_) {
        write_line();
        return;
    }
    // Cleared and flushed before the log line, so that it starts at the line's beginning.
    out_ << "\r\033[K" << std::flush;
    write_line();
    out_ << rewritten_ << "\033[K" << std::flush;
}

void ConsoleSink::post(AppMessage message, std::int64_t wparam, host::AppPayload payload) {
    queue_.post(PostedMessage{message, wparam, std::move(payload)});
}

void ConsoleSink::RunLater(std::function<void()> task) {
    queue_.post(PostedMessage{AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {}, std::move(task)});
}

std::optional<PostedMessage> ConsoleSink::TryReceive() {
    if (queue_.empty()) {
        return std::nullopt;
    }
    return queue_.receive();
}

void ConsoleSink::show_message(const std::string& text) {
    platform::log::debug("message: {}", text);
}

bool ConsoleSink::ask_yes_no(const std::string& text) {
    if (text == host::kResumeQuestion) {
        lines_.Say("resuming unfinished publishing");
        return true;
    }
    platform::log::debug("question answered No: {}", text);
    return false;
}

ConsoleView::ConsoleView(host::HostEvents& events, ConsoleLines& lines)
    : events_(events), lines_(lines), main_thread_(std::this_thread::get_id()) {
    events_.Subscribe(this);
}

ConsoleView::~ConsoleView() {
    events_.Unsubscribe(this);
}

void ConsoleView::OnHostEvent(const host::HostEvent& event) {
    // Counted on the publisher's thread, so that the summary is exact however the printing
    // lags: a publication the database refused is not a published file.
    if (const auto* finished = std::get_if<host::PublicationFinished>(&event)) {
        if (!finished->stored && finished->record.state == host::kPublished) {
            not_stored_published_.fetch_add(1);
        }
    }
    if (const auto* progress = std::get_if<host::PublicationProgress>(&event)) {
        if (progress_ != nullptr) {
            progress_sink_->RunLater(
                [shown = progress_, path = progress->local_path, percent = progress->percent] {
                    shown->Progress(path, percent);
                });
        }
        return;
    }
    if (std::this_thread::get_id() != main_thread_) {
        return;  // printed from the window bridge's messages, on the main thread
    }
    if (const auto* queued = std::get_if<host::PublicationQueued>(&event)) {
        lines_.Say("queued " + queued->record.local_path);
    }
}

namespace {

std::uint64_t FileSize(const MediaRecord& record) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(record.file_size, 0));
}

std::string FinishedLine(const MediaRecord& record, std::int64_t result, const std::string& why) {
    std::string line = "finished " + record.local_path + " State " + std::to_string(record.state) +
                       " " + host::StateText(record.state) + " (result " + std::to_string(result) +
                       ")";
    if (!why.empty()) {
        line += ": " + why;
    }
    if (!record.url.empty()) {
        line += " " + record.url;
    }
    return line;
}

}  // namespace

void ConsoleView::ShowProgress(PublishProgress& progress, ConsoleSink& sink) {
    progress_sink_ = &sink;
    progress_ = &progress;
}

void ConsoleView::OnAppMessage(AppMessage message, std::int64_t wparam,
                               const host::AppPayload& payload) {
    switch (message) {
        case AppMessage::WM_APP_PUBLISH_STARTED:
            if (payload.record && progress_ != nullptr) {
                progress_->Started(payload.record->local_path, FileSize(*payload.record));
            } else if (payload.record) {
                lines_.Say("started " + payload.record->local_path);
            }
            break;
        case AppMessage::WM_APP_PUBLISH_FINISHED:
            if (payload.record) {
                const MediaRecord& record = *payload.record;
                ++finished_;
                if (record.state != host::kPublished) {
                    ++failed_;
                }
                // The publisher has logged the outcome already.
                if (progress_ != nullptr) {
                    progress_->Finished(PublishedFile{record.local_path, record.state,
                                                      FileSize(record), payload.text, record.url});
                } else if (!lines_.logged()) {
                    lines_.Say(FinishedLine(record, wparam, payload.text));
                }
            }
            break;
        case AppMessage::WM_APP_ENTRY_SKIPPED:
            lines_.Say("skipped " + payload.text);
            break;
        case AppMessage::WM_APP_MEDIA_CHANGED:
            if (payload.record) {
                lines_.Say("withdrawn " + payload.record->local_path);
            }
            break;
        case AppMessage::WM_APP_RELOAD_SETTINGS:
            ReapplyLogLevel();
            if (reload_hook_) {
                reload_hook_();
            }
            platform::log::info("configuration reloaded");
            platform::notify_service("READY=1");
            break;
        default:
            break;
    }
}

namespace {

std::optional<std::string> log_level_from_command_line;

sigset_t WatchedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void ConfigureLog(const std::optional<std::string>& command_line) {
    log_level_from_command_line = command_line;
    platform::log::init(platform::log::configured_level(platform::IniFile::load_app_profile(),
                                                        log_level_from_command_line));
}

void ReapplyLogLevel() {
    platform::log::set_level(platform::log::configured_level(platform::IniFile::load_app_profile(),
                                                             log_level_from_command_line));
}

SignalWatcher::SignalWatcher(host::MessageSink& sink) : sink_(sink) {
    thread_ = std::thread([this] {
        const sigset_t signals = WatchedSignals();
        bool exit_posted = false;
        while (!stopping_.load()) {
            int received = 0;
            if (sigwait(&signals, &received) != 0) {
                continue;
            }
            if (stopping_.load()) {
                break;
            }
            if (received == SIGHUP) {
                // A configuration with problems is not applied at all.
                if (ConfigurationReloadable(platform::app_data_folder())) {
                    platform::notify_service("RELOADING=1");
                    sink_.post(AppMessage::WM_APP_RELOAD_SETTINGS, 0, {});
                }
            } else if (!exit_posted) {
                exit_posted = true;
                platform::notify_service("STOPPING=1");
                exit_requested_.store(true);
                sink_.post(AppMessage::WM_APP_EXIT, 0, {});
            }
        }
    });
}

SignalWatcher::~SignalWatcher() {
    stopping_.store(true);
    // Wakes the sigwait; the signal is blocked everywhere, so only the watcher takes it.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

void SignalWatcher::BlockSignals() {
    const sigset_t signals = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void RunMessageLoop(ConsoleSink& sink, host::CPierwatchDoc& doc, ConsoleView* view,
                    const std::function<void()>& after_each) {
    auto handle = [&](PostedMessage& posted) {
        doc.HandleAppMessage(posted.message, posted.wparam, posted.payload);
        if (view != nullptr) {
            view->OnAppMessage(posted.message, posted.wparam, posted.payload);
        }
    };
    while (std::optional<PostedMessage> posted = sink.Receive()) {
        if (posted->task) {
            posted->task();
            continue;
        }
        handle(*posted);
        if (posted->message == AppMessage::WM_APP_EXIT) {
            break;
        }
        if (after_each) {
            after_each();
        }
    }
    // The queue's threads have ended: what they posted last is handled now; handling may
    // post more (published counts), so drain until nothing is left.
    while (std::optional<PostedMessage> posted = sink.TryReceive()) {
        if (posted->task) {
            posted->task();
        } else if (posted->message != AppMessage::WM_APP_EXIT) {
            handle(*posted);
        }
    }
    sink.Close();
}

}  // namespace wharfkeep::app
