#include "commands.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "check_config.h"
#include "command_output.h"
#include "console_host.h"
#include "control_session.h"
#include "document_control_host.h"
#include "platform/app_paths.h"
#include "platform/local_address.h"
#include "platform/log.h"
#include "platform/service_notify.h"
#include "remote_commands.h"
#include "remote_options.h"
#include "wharfkeep/control/control_router.h"
#include "wharfkeep/host/activity_report_timer.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/host_operations.h"
#include "wharfkeep/host/instance_lock.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/host/upload_limit_controller.h"
#include "wharfkeep/host/watched_folders.h"

namespace wharfkeep::app {
namespace {

namespace fs = std::filesystem;
using host::AppMessage;
using wharfkeep::Outcome;

std::optional<fs::path> AppFolder() {
    try {
        return platform::ensure_app_data_folder();
    } catch (const std::exception& error) {
        Error() << "cannot create the application-data folder " << platform::app_data_folder()
                << ": " << error.what() << "\n";
        return std::nullopt;
    }
}

// The lock of the application-data folder for a command that changes state; nothing, with
// the exit code in `exit_code`, when the folder cannot be written or another instance holds it.
std::optional<host::InstanceLock> LockForChange(const fs::path& folder, int& exit_code) {
    // A folder this user cannot write to cannot hold the lock either; that is its own fault,
    // not a sign of another instance.
    if (::access(folder.c_str(), W_OK) != 0) {
        Error() << "the application-data folder " << folder.string()
                << " is not writable: " << std::strerror(errno) << "\n";
        exit_code = kExitFolderUnusable;
        return std::nullopt;
    }
    std::optional<host::InstanceLock> lock = host::InstanceLock::TryAcquire(folder);
    if (!lock) {
        exit_code = kExitInstanceRunning;
        std::optional<pid_t> holder = host::InstanceLock::Holder(folder);
        Error() << "another instance";
        if (holder && *holder > 0) {
            std::cerr << " (process " << *holder << ")";
        }
        std::cerr << " is running for " << folder.string()
                  << "; stop it before changing anything\n";
    }
    return lock;
}

// An absolute, normalised folder path without a trailing "/", or nothing (with the reason
// printed) when it is not an existing folder that may be added.
std::optional<std::string> CheckedFolder(const std::string& text) {
    const std::string normal = host::AbsolutePathText(text);
    if (normal == "/") {
        Error() << "the root folder cannot be added\n";
        return std::nullopt;
    }
    std::error_code error;
    if (!fs::is_directory(normal, error)) {
        Error() << normal << " does not exist or is no folder\n";
        return std::nullopt;
    }
    return normal;
}

// A host started up as the programs start it, with the printing view.
struct HostSession {
    enum Kind { kPublishing, kChanging, kReading };
    explicit HostSession(Kind kind = kChanging) : lines(std::cout), sink(lines) {
        host = std::make_unique<host::Host>(
            sink, kind == kReading ? host::MakeLinkOnlyPublishBackend()
                                   : host::MakeEnginePublishBackend(kind == kPublishing));
        opened = host->Open();
        view = std::make_unique<ConsoleView>(host->Events(), lines);
    }
    ~HostSession() {
        view.reset();
        if (host) {
            host->Close();
        }
    }
    // Handles messages until WM_APP_EXIT (see RunMessageLoop).
    void Run(const std::function<void()>& after_each = {}) {
        RunMessageLoop(sink, host->Document(), view.get(), after_each);
    }
    // Runs the exit sequence and handles what is left.
    void Finish() {
        sink.post(AppMessage::WM_APP_EXIT, 0, {});
        Run();
    }

    ConsoleLines lines;
    ConsoleSink sink;
    std::unique_ptr<host::Host> host;
    std::unique_ptr<ConsoleView> view;
    bool opened = false;  // false: the database cannot be used (the reason is printed)
};

// Adds a folder (counting, importing, creating its node) and queues its unpublished files.
// A stop request cancels the import and queues nothing.
std::size_t AddAndPublish(host::DirectoryOperations& directories, ConsoleLines& lines,
                          const std::string& folder, const SignalWatcher& signals) {
    host::AddDirectoryWorker worker(directories, folder);
    while (!worker.finished()) {
        if (signals.exit_requested()) {
            worker.Cancel();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    host::CPWTGuiderTreeNode* node = worker.Wait();
    if (signals.exit_requested()) {
        return 0;
    }
    lines.Say("added " + folder + "/ (" + std::to_string(worker.done()) + " media files" +
              (node ? "" : ", known already") + ")");
    return directories.PublishDirectory(folder + "/", /*retry_failed=*/true);
}

// Each folder through CheckedFolder; nothing when one of them is refused.
std::optional<std::vector<std::string>> CheckedFolders(
    const std::vector<std::string>& directories) {
    std::vector<std::string> folders;
    for (const std::string& directory : directories) {
        std::optional<std::string> folder = CheckedFolder(directory);
        if (!folder) {
            return std::nullopt;
        }
        folders.push_back(*folder);
    }
    return folders;
}

// The designed question of the window, as a warning with the command that answers it.
void WarnAboutAccessAddress(host::HostSettings& settings) {
    if (settings.JudgeAccessAddress() != host::AccessAddressVerdict::kWrong) {
        settings.CheckAccessAddress();  // a private address gets its softer warning
        return;
    }
    const std::string local = platform::local_address_text();
    const bool usable = platform::classify_ipv4_text(local) != platform::AddressKind::unusable;
    platform::log::warning(
        "access address \"{}\" is loopback or unspecified: links handed out now reach no peer; "
        "set the address peers use with: wharfkeepd config AccessIP {}",
        settings.Access().access_ip, usable ? local : "ADDRESS");
}

std::string ServiceStatusText(host::CPierwatchDoc& doc) {
    if (!doc.ServicesRunning()) {
        return "services stopped (VP_AutoStart is 0)";
    }
    const host::ServiceCounters counters = doc.Servers().Counters();
    return "serving peers on port " + std::to_string(ntohs(counters.peer_address.sin_port)) +
           ", lists on port " + std::to_string(ntohs(counters.list_address.sin_port));
}

// The application-data folder and its lock: what a command that changes state starts with.
struct ChangeStart {
    fs::path app_folder;
    host::InstanceLock lock;
};

// Nothing, with the exit code in `exit_code`, when the folder cannot be made or is locked.
std::optional<ChangeStart> PrepareChange(int& exit_code) {
    std::optional<fs::path> app_folder = AppFolder();
    if (!app_folder) {
        exit_code = kExitFolderUnusable;
        return std::nullopt;
    }
    std::optional<host::InstanceLock> lock = LockForChange(*app_folder, exit_code);
    if (!lock) {
        return std::nullopt;
    }
    return ChangeStart{*app_folder, std::move(*lock)};
}

// The checked folders as well, with SIGINT and SIGTERM blocked for the signal watcher: what
// serve and publish start with.
struct PublishingStart {
    std::vector<std::string> folders;
    ChangeStart change;
};

std::optional<PublishingStart> PreparePublishing(const CommandOptions& options, int& exit_code) {
    std::optional<std::vector<std::string>> folders = CheckedFolders(options.directories);
    if (!folders) {
        exit_code = kExitUsage;
        return std::nullopt;
    }
    std::optional<ChangeStart> change = PrepareChange(exit_code);
    if (!change) {
        return std::nullopt;
    }
    SignalWatcher::BlockSignals();
    return PublishingStart{std::move(*folders), std::move(*change)};
}

// What serve and publish hold while they run: the checked folders with the instance lock,
// the host session and the signal watcher, made in this order and released in reverse.
struct PublishingRun {
    explicit PublishingRun(PublishingStart checked) : start(std::move(checked)) {}
    PublishingStart start;
    HostSession session{HostSession::kPublishing};
    SignalWatcher watcher{session.sink};
};

// `Held` made from what was prepared, with its host session open; null when nothing was
// prepared (its exit code is in `exit_code` already) or the database cannot be opened.
template <typename Held, typename Prepared>
std::unique_ptr<Held> WithSession(std::optional<Prepared> prepared, int& exit_code) {
    if (!prepared) {
        return nullptr;
    }
    auto held = std::make_unique<Held>(std::move(*prepared));
    if (!held->session.opened) {
        exit_code = kExitFailed;
        return nullptr;
    }
    return held;
}

// The outcome of a command says what happened, as an instance's answer does; the view's
// event lines and the host's info notes would say it a second time (an instance keeps them
// in its log). Debug output, when asked for, stays.
class QuietInfoLog {
public:
    QuietInfoLog() : level_(platform::log::current_level()) {
        if (level_ == platform::log::Level::info) {
            platform::log::set_level(platform::log::Level::warning);
        }
    }
    ~QuietInfoLog() { platform::log::set_level(level_); }
    QuietInfoLog(const QuietInfoLog&) = delete;
    QuietInfoLog& operator=(const QuietInfoLog&) = delete;

private:
    platform::log::Level level_;
};

// The control interface's resources answered here, over the stored files, by the router and
// host adapter a running instance uses: what a command talks to when no instance runs. The
// operations run at once on this thread, the session's only one. A changing channel holds
// the folder's instance lock for as long as it lives.
class HereChannel : public control::ControlChannel {
public:
    HereChannel(std::optional<host::InstanceLock> lock, std::unique_ptr<HostSession> session)
        : lock_(std::move(lock)),
          session_(std::move(session)),
          host_(std::make_unique<control::DocumentControlHost>(
              *session_->host, [](std::function<void()> task) { task(); }, WK_VERSION)) {
        // The command prints the outcome; the view's event lines would say it again.
        session_->view.reset();
    }
    ~HereChannel() override {
        host_.reset();
        session_->Finish();
    }
    HereChannel(const HereChannel&) = delete;
    HereChannel& operator=(const HereChannel&) = delete;

    control::ClientAnswer Get(const std::string& target) const override {
        return Send("GET", target, "");
    }
    control::ClientAnswer Send(const std::string& method, const std::string& target,
                               const std::string& json_body) const override {
        std::optional<control::ControlRequest> request =
            control::ControlRequestOf(method, target, json_body);
        if (!request) {
            return {400, R"({"error":"the request target cannot be decoded"})", ""};
        }
        control::ControlResponse response = control::HandleControlRequest(*host_, *request);
        return {response.status, std::move(response.body), ""};
    }

private:
    QuietInfoLog quiet_;
    std::optional<host::InstanceLock> lock_;
    std::unique_ptr<HostSession> session_;
    std::unique_ptr<control::DocumentControlHost> host_;
};

}  // namespace

std::unique_ptr<control::ControlChannel> OpenChannel(ChannelUse use, int& exit_code) {
    if (std::optional<control::ControlClient> client =
            RunningInstance(platform::app_data_folder())) {
        return std::make_unique<control::ControlClient>(std::move(*client));
    }
    std::optional<fs::path> app_folder = AppFolder();
    if (!app_folder) {
        exit_code = kExitFolderUnusable;
        return nullptr;
    }
    std::optional<host::InstanceLock> lock;
    if (use == ChannelUse::kChange && !(lock = LockForChange(*app_folder, exit_code))) {
        return nullptr;
    }
    auto session = std::make_unique<HostSession>(
        use == ChannelUse::kChange ? HostSession::kChanging : HostSession::kReading);
    if (!session->opened) {
        exit_code = kExitFailed;
        return nullptr;
    }
    return std::make_unique<HereChannel>(std::move(lock), std::move(session));
}

int ThroughChannel(ChannelUse use, ChannelCommand command, const CommandOptions& options) {
    int exit_code = kExitOk;
    std::unique_ptr<control::ControlChannel> channel = OpenChannel(use, exit_code);
    return channel ? command(*channel, options) : exit_code;
}

namespace {

std::unique_ptr<PublishingRun> StartPublishingRun(const CommandOptions& options, int& exit_code) {
    return WithSession<PublishingRun>(PreparePublishing(options, exit_code), exit_code);
}

}  // namespace

// ---- serve ----

int RunServe(const CommandOptions& options) {
    int exit_code = kExitOk;
    std::unique_ptr<PublishingRun> run = StartPublishingRun(options, exit_code);
    if (!run) {
        return exit_code;
    }
    WarnAboutConfiguration(run->start.change.app_folder);
    run->session.lines.LogInstead();
    host::ActivityReportTimer activity_report(run->start.change.app_folder);
    host::Host& host = *run->session.host;

    // The services start before anything else, so that a port that cannot be bound ends the
    // process with its own exit code and a supervisor sees the failure.
    if (host.Settings().Setting(host::kVpAutoStart) == 1 && !host.Document().StartServices()) {
        platform::log::error(
            "services not started; change the port with: wharfkeepd config "
            "VP_Port PORT (transfer) or STS_Port PORT (protocol)");
        run->session.Finish();
        return kExitPortInUse;
    }
    // Then the start-up steps in the window program's order and the access-address check.
    // What an earlier run left queued is resumed before the added folders are queued:
    // resumed later, it would find their files waiting and queue each a second time.
    run->session.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    host.Directories().ResumeUnfinished();
    host.Watched().Start();
    WarnAboutAccessAddress(host.Settings());
    std::string control_error;
    bool remote_failed = false;
    std::unique_ptr<control::ControlSession> control = control::ControlSession::Start(
        host, run->start.change.app_folder,
        [&sink = run->session.sink](std::function<void()> task) { sink.RunLater(std::move(task)); },
        WK_VERSION, control_error, remote_failed);
    if (!control && remote_failed) {
        // Asked for and not had, as with a service port.
        platform::log::error("{}", control_error);
        run->session.Finish();
        return kExitPortInUse;
    }
    if (!control) {
        platform::log::warning("control interface off: {}", control_error);
    } else {
        run->session.view->SetReloadHook(
            [&control, folder = run->start.change.app_folder] { control->Reload(folder); });
    }
    for (const std::string& folder : run->start.folders) {
        AddAndPublish(host.Directories(), run->session.lines, folder, run->watcher);
    }
    platform::log::info("serving {} (process {}); SIGINT or SIGTERM stops, SIGHUP reloads",
                        run->start.change.app_folder.string(), ::getpid());
    platform::notify_service("READY=1\nSTATUS=" + ServiceStatusText(host.Document()));
    // Pinged from the message loop, so that a loop that stops answering is restarted.
    platform::ServiceWatchdog watchdog([&sink = run->session.sink](std::function<void()> ping) {
        sink.RunLater(std::move(ping));
    });
    run->session.Run();
    platform::log::info("stopped");
    return kExitOk;
}

// ---- publish ----

int RunPublish(const CommandOptions& options) {
    // Files are queued one by one; folders are added first.
    CommandOptions folder_options = options;
    folder_options.directories.clear();
    std::vector<std::string> files;
    for (const std::string& path : options.directories) {
        std::error_code error;
        if (fs::is_regular_file(path, error)) {
            files.push_back(host::AbsolutePathText(path));
        } else {
            folder_options.directories.push_back(path);
        }
    }
    int exit_code = kExitOk;
    std::unique_ptr<PublishingRun> run = StartPublishingRun(folder_options, exit_code);
    if (!run) {
        return exit_code;
    }
    PublishProgress progress(run->session.lines, ::isatty(STDOUT_FILENO) == 1);
    run->session.view->ShowProgress(progress, run->session.sink);
    // What a stopped or killed instance left publishing or waiting is finished too.
    host::Host& host = *run->session.host;
    std::size_t queued = host.Directories().ResumeUnfinished();
    for (const std::string& folder : run->start.folders) {
        queued += AddAndPublish(host.Directories(), run->session.lines, folder, run->watcher);
    }
    int refused = kExitOk;
    for (const std::string& file : files) {
        const Outcome outcome = host::PublishFile(host.Directories(), host.Library(), file);
        if (outcome.ok()) {
            ++queued;
        } else {
            Error() << outcome.message << "\n";
            refused = outcome.kind == Outcome::kNotFound ? kExitNotFound : kExitFailed;
        }
    }
    bool exit_posted = false;
    auto post_exit_when_done = [&] {
        if (!exit_posted && static_cast<std::size_t>(run->session.view->finished()) >= queued) {
            exit_posted = true;
            run->session.sink.post(AppMessage::WM_APP_EXIT, 0, {});
        }
    };
    post_exit_when_done();
    run->session.Run(post_exit_when_done);

    auto finished = static_cast<std::size_t>(run->session.view->finished());
    int failed = run->session.view->failed();
    std::cout << "summary: " << queued << " queued, " << finished - failed << " published, "
              << failed << " not published";
    if (finished < queued) {
        std::cout << ", " << queued - finished << " left queued (interrupted)";
    }
    std::cout << std::endl;
    if (const std::string throughput = progress.Throughput(); !throughput.empty()) {
        std::cout << throughput << std::endl;
    }
    if (refused != kExitOk) {
        return refused;
    }
    return failed > 0 || finished < queued ? kExitFailed : kExitOk;
}

// ---- backup ----

int RunBackup(const CommandOptions& options) {
    if (!AppFolder()) {
        return kExitFolderUnusable;
    }
    const fs::path source = ResourceDatabase::default_file();
    const fs::path target = host::AbsolutePathText(options.output);
    if (std::optional<std::string> failure = backup_database(source, target)) {
        Error() << "backup failed: " << *failure << "\n";
        return kExitFailed;
    }
    std::error_code error;
    std::cout << "backed up " << source.string() << " to " << target.string() << " ("
              << fs::file_size(target, error) << " bytes, integrity checked)\n";
    return kExitOk;
}

// ---- status ----

int RunStatus(const CommandOptions& options) {
    int exit_code = kExitOk;
    std::unique_ptr<control::ControlChannel> channel = OpenChannel(ChannelUse::kRead, exit_code);
    if (!channel) {
        return exit_code;
    }
    // The folder and the process serving it are this host's own facts, not the interface's.
    if (!options.json && !RemoteTargetInUse()) {
        const fs::path app_folder = platform::app_data_folder();
        std::cout << "folder: " << app_folder.string() << "\n";
        if (std::optional<pid_t> holder = host::InstanceLock::Holder(app_folder)) {
            std::cout << "instance: running (process " << *holder << ")\n";
        } else {
            std::cout << "instance: not running\n";
        }
    }
    return StatusThrough(*channel, options);
}

// ---- config ----

int RunConfig(const CommandOptions& options) {
    return ThroughChannel(options.value.empty() ? ChannelUse::kRead : ChannelUse::kChange,
                          ConfigThrough, options);
}

// ---- ipfilter ----

int RunIpFilter(const CommandOptions& options) {
    const bool reads =
        options.action.empty() || options.action == "list" || options.action == "export";
    return ThroughChannel(reads ? ChannelUse::kRead : ChannelUse::kChange, IpFilterThrough,
                          options);
}

}  // namespace wharfkeep::app
