#include "remote_commands.h"
#include "remote_options.h"

#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "command_output.h"
#include "console_host.h"
#include "document_control_host.h"
#include "platform/app_paths.h"
#include "platform/local_address.h"
#include "publish_progress.h"
#include "wharfkeep/control/control_json.h"
#include "wharfkeep/control/control_server.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/host_operations.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/iprules/address_range.h"
#include "wharfkeep/quantity_text.h"
#include "wharfkeep/schedule/upload_schedule.h"

namespace wharfkeep::app {
namespace {

namespace fs = std::filesystem;
using control::ClientAnswer;
using control::ControlChannel;
using control::ControlClient;
using nlohmann::json;

// Long outputs are written in pieces of about this many bytes.
constexpr std::size_t kOutputChunk = 1 << 16;

// An action's answer as the outcome the operation gave in the instance.
Outcome OutcomeOf(const ClientAnswer& answer) {
    if (answer.status == 0) {
        return Outcome::Unavailable("the running instance does not answer: " + answer.error);
    }
    json body = json::parse(answer.body, nullptr, false);
    Outcome outcome;
    outcome.kind = answer.status == 202   ? Outcome::kAccepted
                   : answer.status == 400 ? Outcome::kInvalid
                   : answer.status == 404 ? Outcome::kNotFound
                   : answer.status == 409 ? Outcome::kConflict
                   : answer.status >= 400 ? Outcome::kUnavailable
                                          : Outcome::kDone;
    if (!body.is_object()) {
        outcome.message = answer.body;
        return outcome;
    }
    for (const auto& [key, value] : body.items()) {
        if (!value.is_string()) {
            continue;
        }
        if (key == "message" || key == "error") {
            outcome.message = value.get<std::string>();
        } else {
            outcome.fields[key] = value.get<std::string>();
        }
    }
    return outcome;
}

// The answer's JSON, or nothing with the reason printed and the exit code set.
std::optional<json> Answer(const ClientAnswer& answer, int& exit_code) {
    if (answer.status == 0) {
        Error() << "the running instance does not answer: " << answer.error << "\n";
        exit_code = kExitFailed;
        return std::nullopt;
    }
    json body = json::parse(answer.body, nullptr, false);
    if (answer.status >= 400) {
        std::string message =
            body.is_object() && body.contains("error") && body["error"].is_string()
                ? body["error"].get<std::string>()
                : answer.body;
        Error() << message << "\n";
        exit_code = answer.status == 404   ? kExitNotFound
                    : answer.status == 400 ? kExitUsage
                                           : kExitFailed;
        return std::nullopt;
    }
    exit_code = kExitOk;
    return body.is_discarded() ? json() : body;
}

std::string BodyText(const json& body) {
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Sends one action; prints the answer's message (or, with --json, the answer).
int SimpleAction(const ControlChannel& channel, const std::string& action, const json& body,
                 bool as_json) {
    const ClientAnswer answer = channel.Send("POST", "/actions/" + action, BodyText(body));
    const Outcome outcome = OutcomeOf(answer);
    if (as_json && outcome.ok()) {
        std::cout << answer.body << std::endl;
        return kExitOk;
    }
    return Report(outcome);
}

// A setting's value as GET /settings answers it.
std::string SettingValue(const json& settings, const char* key) {
    auto row = settings.find(key);
    return row != settings.end() && row->is_object() ? row->value("value", std::string()) : "";
}

std::uint32_t SettingNumber(const json& settings, const char* key) {
    return static_cast<std::uint32_t>(
        std::strtoul(SettingValue(settings, key).c_str(), nullptr, 10));
}

void PrintServices(const json& status) {
    const bool running = status.value("running", false);
    std::cout << "services: " << (running ? "running" : "stopped");
    if (!running && !status.value("stopped_reason", std::string()).empty()) {
        std::cout << " (" << status["stopped_reason"].get<std::string>() << ")";
    }
    std::cout << "\n";
    if (running) {
        std::cout << "address: " << status.value("address", std::string()) << "\n";
    }
    if (auto remote = status.find("remote_control"); remote != status.end()) {
        std::cout << "remote control: " << remote->value("listen", json::array()).dump()
                  << ", TLS certificate SHA-256 " << remote->value("tls_fingerprint", "")
                  << ", banned addresses " << remote->value("bans", 0) << "\n";
    }
    std::cout << "ports: peer " << status.value("transfer_port", 0) << " (VP_Port), list "
              << status.value("protocol_port", 0) << " (STS_Port)\n";
}

// The stored settings that decide how peers reach this host and how much it sends.
void PrintAccessAndUpload(const json& status, const json& settings) {
    std::cout << "access: "
              << (SettingValue(settings, "AccessWay") == "1"
                      ? "domain " + SettingValue(settings, "AccessDomain")
                      : "IP " + SettingValue(settings, "AccessIP"))
              << "\n";
    const std::string mode = status.value("upload_mode", std::string("normal"));
    std::cout << "upload: " << mode;
    if (mode != "paused") {
        std::cout << ", "
                  << schedule::DescribeLimit(static_cast<std::uint32_t>(
                         status.value("upload_limit", std::uint64_t{0})));
    }
    std::cout << "\n";
    const bool scheduled = SettingValue(settings, "VP_AltScheduleOn") == "1";
    std::cout << "alternative limit: "
              << schedule::DescribeLimit(SettingNumber(settings, "VP_AltUploadSpeedLimit"))
              << ", schedule "
              << (scheduled ? SettingValue(settings, "VP_AltScheduleDays") + " " +
                                  SettingValue(settings, "VP_AltScheduleFrom") + "-" +
                                  SettingValue(settings, "VP_AltScheduleTo")
                            : std::string("off"))
              << ", switch " << (SettingValue(settings, "VP_AltLimitManual") == "1" ? "on" : "off")
              << "\n";
}

// What the servers do now: zero while they are stopped.
void PrintTraffic(const json& status) {
    std::cout << "sending: " << ByteRateText(status.value("upload_speed", std::uint64_t{0}))
              << " now, " << BytesText(status.value("bytes_sent", std::uint64_t{0})) << " served\n";
    std::cout << "peers: " << status.value("peers", 0) << " (limit "
              << status.value("connection_limit", 0)
              << ", 0: none), resources being served: " << status.value("resources", 0) << "\n";
    std::cout << "cache: hit rate " << status.value("cache_hit_ratio", 0) << "% ("
              << status.value("cache_hits", std::uint64_t{0}) << " hits, "
              << status.value("cache_misses", std::uint64_t{0}) << " misses), holding "
              << BytesText(status.value("cache_bytes", std::uint64_t{0})) << " of "
              << BytesText(status.value("cache_budget", std::uint64_t{0})) << ", disk read "
              << BytesText(status.value("disk_bytes_read", std::uint64_t{0})) << " at "
              << ByteRateText(status.value("disk_read_speed", std::uint64_t{0})) << "\n";
    std::cout << "refused peers:";
    auto refused = status.find("refused_by_reason");
    if (refused != status.end() && refused->is_object()) {
        for (auto it = refused->begin(); it != refused->end(); ++it) {
            std::cout << " " << it.key() << " " << it.value().dump() << ";";
        }
    }
    std::cout << "\n";
}

void PrintIpFilterLine(const json& status) {
    const json filter = status.value("ip_filter", json::object());
    std::cout << "IP filter: " << (filter.value("enabled", false) ? "on" : "off") << "; "
              << ListCountsText(filter.value("allow_ranges", std::uint64_t{0}),
                                filter.value("deny_ranges", std::uint64_t{0}),
                                filter.value("type", std::string()) == "deny")
              << "\n";
}

void PrintWatchedFolders(const json& status) {
    std::cout << "watched folders:";
    bool none = true;
    auto watched = status.find("watched_folders");
    if (watched != status.end() && watched->is_array()) {
        for (const json& folder : *watched) {
            if (folder.is_string()) {
                std::cout << " " << folder.get<std::string>();
                none = false;
            }
        }
    }
    std::cout << (none ? " none" : "");
    if (status.value("watching_by_rescan_only", false)) {
        std::cout << " (by rescans only: the inotify watch limit is reached)";
    }
    std::cout << "\n";
}

// The library: its folders and its files by publish state.
void PrintLibrary(const json& status, const json& folders) {
    json by_state = json::object();
    if (auto found = status.find("media_by_state"); found != status.end() && found->is_object()) {
        by_state = *found;
    }
    std::uint64_t files = 0;
    for (const auto& [state, count] : by_state.items()) {
        files += count.get<std::uint64_t>();
    }
    std::cout << "folders: " << (folders.is_array() ? folders.size() : 0)
              << ", media files: " << files << "\n";
    for (const auto& [state, count] : by_state.items()) {
        const int code = std::atoi(state.c_str());
        std::cout << "  State " << code << " " << host::StateText(code) << ": " << count << "\n";
    }
}

// Every line of `status`, from the status, the settings and the folders the control
// interface answers, whether an instance answered or the stored files did.
void PrintStatus(const json& status, const json& settings, const json& folders) {
    PrintServices(status);
    PrintAccessAndUpload(status, settings);
    PrintTraffic(status);
    PrintIpFilterLine(status);
    PrintWatchedFolders(status);
    std::cout << "disks: " << BytesText(status.value("disk_free", std::uint64_t{0})) << " free of "
              << BytesText(status.value("disk_total", std::uint64_t{0})) << "\n";
    std::cout << "autostart: " << SettingValue(settings, "VP_AutoStart") << "\n";
    std::cout << "Master ID: " << SettingValue(settings, "Master_ID") << "\n";
    PrintLibrary(status, folders);
    std::cout << "uptime: " << DurationText(status.value("uptime_seconds", std::uint64_t{0}))
              << ", version " << status.value("version", std::string()) << std::endl;
}

void PrintIpFilter(const json& filter) {
    const std::string type = filter.value("type", std::string());
    std::cout << "enabled: " << (filter.value("enabled", false) ? "yes" : "no") << "\n";
    std::cout << "type: " << type << "\n";
    std::cout << ListCountsText(filter.value("allow_ranges", std::uint64_t{0}),
                                filter.value("deny_ranges", std::uint64_t{0}), type == "deny")
              << "\n";
    for (const json& range : filter["ranges"]) {
        std::cout << range.value("index", 0) << "\t" << range.value("first", std::string()) << " ~ "
                  << range.value("last", std::string()) << "\n";
    }
}

// The path of an event and the targets of a publish command: the file itself, or a file
// under a target folder.
bool UnderTargets(const std::string& path, const std::vector<std::string>& targets) {
    return std::any_of(targets.begin(), targets.end(), [&](const std::string& target) {
        return path == target || path.compare(0, target.size() + 1, target + "/") == 0;
    });
}

}  // namespace

std::optional<ControlClient> RunningInstance(const fs::path& app_folder) {
    if (const std::optional<control::RemoteTarget>& remote = RemoteTargetInUse()) {
        return ControlClient(*remote);  // --remote: that instance, never a local one
    }
    fs::path socket = app_folder / control::kControlSocketName;
    if (!control::ControlSocketAnswers(socket)) {
        return std::nullopt;
    }
    return ControlClient(socket);
}

int StatusThrough(const ControlChannel& channel, const CommandOptions& options) {
    int exit_code = kExitOk;
    std::optional<json> status = Answer(channel.Get("/status"), exit_code);
    if (status && options.json) {
        std::cout << status->dump() << std::endl;
        return exit_code;
    }
    std::optional<json> settings;
    std::optional<json> folders;
    if (status && (settings = Answer(channel.Get("/settings"), exit_code)) &&
        (folders = Answer(channel.Get("/folders"), exit_code))) {
        PrintStatus(*status, *settings, *folders);
    }
    return exit_code;
}

namespace {

// A query value with every byte outside the unreserved set percent-encoded.
std::string QueryValue(const std::string& text) {
    char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    std::string value = escaped != nullptr ? escaped : "";
    curl_free(escaped);
    return value;
}

// Calls `visit` with each object of a JSON array, keeping one at a time: a hundred
// thousand rows never stand in memory as one document. False when the text is no array.
bool VisitArrayObjects(const std::string& text, const std::function<void(const json&)>& visit) {
    const json::parser_callback_t each = [&](int depth, json::parse_event_t event, json& parsed) {
        if (depth == 1 && event == json::parse_event_t::object_end) {
            visit(parsed);
            return false;  // handled: not kept in the array
        }
        return true;
    };
    const json whole = json::parse(text, each, false);
    return whole.is_array();
}

// "STATE\tNAME\tSIZE\tGCID\tPATH[\tREASON]": one media file as `list` prints it.
void AppendListLine(std::string& text, const json& row) {
    const std::string gcid = row.value("gcid", std::string());
    const std::string reason = row.value("reason", std::string());
    text += std::to_string(row.value("state", 0));
    text += '\t';
    text += row.value("state_text", std::string());
    text += '\t';
    text += std::to_string(row.value("file_size", std::uint64_t{0}));
    text += '\t';
    text += gcid.empty() ? "-" : gcid;
    text += '\t';
    text += row.value("path", std::string());
    if (!reason.empty()) {
        text += '\t';
        text += reason;
    }
    text += '\n';
}

// "dir\tPATH\tPUBLISHED/FILES[\twatched]" for each added folder under `prefix`.
void PrintFolderLines(const json& folders, const std::string& prefix) {
    for (const json& folder : folders) {
        const std::string path = folder.value("path", std::string());
        if (path.compare(0, prefix.size(), prefix) == 0) {
            std::cout << "dir\t" << path << "\t" << folder.value("published", 0) << "/"
                      << folder.value("files", 0)
                      << (folder.value("watched", false) ? "\twatched" : "") << "\n";
        }
    }
}

// True when `path` is an added folder or holds one.
bool HoldsFolder(const json& folders, const std::string& path) {
    return std::any_of(folders.begin(), folders.end(), [&](const json& folder) {
        const std::string added = folder.value("path", std::string());
        return added == path || added.compare(0, path.size() + 1, path + "/") == 0;
    });
}

}  // namespace

int ListThrough(const ControlChannel& channel, const CommandOptions& options) {
    int exit_code = kExitOk;
    std::optional<json> folders = Answer(channel.Get("/folders"), exit_code);
    if (!folders || !folders->is_array()) {
        return folders ? kExitFailed : exit_code;
    }
    const std::string path = options.path.empty() ? "" : host::AbsolutePathText(options.path);
    // A path that neither is nor holds an added folder may be a file: the rows of its folder
    // are read and only its own is shown.
    const std::string one_file = path.empty() || HoldsFolder(*folders, path) ? "" : path;
    const std::string listed = one_file.empty() ? path : fs::path(path).parent_path().string();
    const ClientAnswer answer =
        channel.Get(listed.empty() ? "/media" : "/media?folder=" + QueryValue(listed));
    if (answer.status != 200) {
        Answer(answer, exit_code);
        return exit_code;
    }
    if (one_file.empty() && !options.json) {
        PrintFolderLines(*folders, path.empty() ? "" : path + "/");
    }
    // Lines gathered into pieces of about 64 KiB: a hundred thousand rows written value by
    // value through the stream would cost more than reading them.
    std::string text = options.json ? "[" : "";
    bool any = false;
    const bool parsed = VisitArrayObjects(answer.body, [&](const json& row) {
        if (!one_file.empty() && row.value("path", std::string()) != one_file) {
            return;
        }
        if (options.json) {
            text += any ? "," : "";
            text += BodyText(row);
        } else {
            AppendListLine(text, row);
        }
        any = true;
        if (text.size() >= kOutputChunk) {
            std::cout << text;
            text.clear();
        }
    });
    if (!parsed || (!one_file.empty() && !any)) {
        if (!parsed) {
            Error() << "the media list cannot be read: " << answer.body.substr(0, 200) << "\n";
            return kExitFailed;
        }
        Error() << "not in the library: " << path << "\n";
        return kExitNotFound;
    }
    std::cout << text << (options.json ? "]\n" : "") << std::flush;
    return kExitOk;
}

int PeersThrough(const ControlChannel& channel, const CommandOptions& options) {
    std::string target = "/connections?sort=" + (options.sort.empty() ? "speed" : options.sort);
    if (!options.path.empty()) {
        target += "&gcid=" + options.path;
    }
    int exit_code = kExitOk;
    std::optional<json> rows = Answer(channel.Get(target), exit_code);
    if (!rows) {
        return exit_code;
    }
    if (options.json) {
        std::cout << rows->dump() << std::endl;
        return kExitOk;
    }
    std::cout << "ADDRESS\tSPEED\tSENT\tCONNECTED\tFILE\tGCID\n";
    for (const json& row : *rows) {
        std::cout << row.value("address", std::string()) << ":" << row.value("port", 0) << "\t"
                  << ByteRateText(row.value("speed", std::uint64_t{0})) << "\t"
                  << BytesText(row.value("bytes_sent", std::uint64_t{0})) << "\t"
                  << DurationText(row.value("connected_seconds", std::uint64_t{0})) << "\t"
                  << row.value("name", std::string()) << "\t" << row.value("gcid", std::string())
                  << "\n";
    }
    std::cout << rows->size() << " peers" << std::endl;
    return kExitOk;
}

int RemoteWatch(const ControlClient& client, const CommandOptions& options) {
    std::string error = client.Watch([&](const std::string& type, const std::string& data) {
        if (options.json) {
            std::cout << data << std::endl;
            return true;
        }
        json event = json::parse(data, nullptr, false);
        std::cout << type;
        if (event.is_object()) {
            for (const auto& [key, value] : event.items()) {
                if (key != "type") {
                    std::cout << " " << key << "="
                              << (value.is_string() ? value.get<std::string>() : BodyText(value));
                }
            }
        }
        std::cout << std::endl;
        return true;
    });
    Error() << error << "\n";
    return kExitFailed;
}

// Queues every path, then follows the event stream until each queued file has finished,
// showing the files as a local `publish` does.
int RemotePublish(const ControlClient& client, const CommandOptions& options) {
    std::vector<std::string> targets;
    for (const std::string& path : options.directories) {
        targets.push_back(host::AbsolutePathText(path));
    }
    ConsoleLines lines(std::cout);
    PublishProgress progress(lines, ::isatty(STDOUT_FILENO) == 1);
    std::uint64_t expected = 0;
    std::set<std::string> folders_being_added;
    int exit_code = kExitOk;
    auto finished = [&] { return static_cast<std::uint64_t>(progress.finished()); };
    auto done = [&] { return folders_being_added.empty() && finished() >= expected; };
    auto queue_all = [&] {
        for (const std::string& target : targets) {
            int code = kExitOk;
            std::optional<json> answer = Answer(
                client.Send("POST", "/actions/publish", BodyText(json{{"path", target}})), code);
            if (!answer) {
                exit_code = code;
                continue;
            }
            lines.Say(answer->value("message", std::string()));
            if (answer->contains("queued")) {
                expected += std::stoull((*answer)["queued"].get<std::string>());
            } else {
                folders_being_added.insert(target + "/");
            }
        }
        return !done();
    };
    auto on_event = [&](const std::string& type, const std::string& data) {
        json event = json::parse(data, nullptr, false);
        if (!event.is_object()) {
            return !done();
        }
        const std::string path = event.value("path", std::string());
        if (type == control::kEventFolderAdded && folders_being_added.erase(path) > 0) {
            expected += event.value("queued", std::uint64_t{0});
            lines.Say("added " + path + ": " + event.value("reason", std::string()));
        } else if (!UnderTargets(path, targets)) {
            return !done();
        } else if (type == control::kEventPublishStarted) {
            progress.Started(path, event.value("size", std::uint64_t{0}));
        } else if (type == control::kEventPublishProgress) {
            progress.Progress(path, event.value("percent", 0));
        } else if (type == control::kEventPublishFinished) {
            progress.Finished(PublishedFile{
                path, event.value("state", 0), event.value("size", std::uint64_t{0}),
                event.value("reason", std::string()), event.value("link", std::string())});
        }
        return !done();
    };
    std::string error = client.Watch(on_event, queue_all);
    if (!error.empty()) {
        Error() << error << "\n";
        return kExitFailed;
    }
    const int failed = progress.finished() - progress.published();
    std::cout << "summary: " << expected << " queued, " << progress.published() << " published, "
              << failed << " not published" << std::endl;
    if (const std::string throughput = progress.Throughput(); !throughput.empty()) {
        std::cout << throughput << std::endl;
    }
    return exit_code != kExitOk ? exit_code : failed > 0 ? kExitFailed : kExitOk;
}

int RescanThrough(const ControlChannel& channel, const CommandOptions& options) {
    return SimpleAction(channel, "rescan", json{{"path", host::AbsolutePathText(options.path)}},
                        options.json);
}

int WatchFolderThrough(const ControlChannel& channel, const CommandOptions& options) {
    return SimpleAction(
        channel, "watch-folder",
        json{{"path", host::AbsolutePathText(options.path)}, {"watched", options.action == "on"}},
        options.json);
}

int WithdrawThrough(const ControlChannel& channel, const CommandOptions& options) {
    const bool gcid = host::IsGcidText(options.path);
    return SimpleAction(
        channel, "withdraw",
        json{{"target", gcid ? options.path : host::AbsolutePathText(options.path)}}, options.json);
}

int RemoveThrough(const ControlChannel& channel, const CommandOptions& options) {
    return SimpleAction(channel, "remove-folder",
                        json{{"path", host::AbsolutePathText(options.path)}}, options.json);
}

int ExportThrough(const ControlChannel& channel, const CommandOptions& options) {
    json body = json::object();
    if (!options.path.empty()) {
        body["folder"] = host::AbsolutePathText(options.path);
    }
    if (RemoteTargetInUse() && options.output != "-") {
        // Another host's list is written here, where the operator is, not on that host.
        body["output"] = "-";
        Outcome outcome = OutcomeOf(channel.Send("POST", "/actions/export", BodyText(body)));
        auto links = outcome.fields.find("links");
        if (!outcome.ok() || links == outcome.fields.end()) {
            return Report(outcome);
        }
        std::error_code ignored;
        const fs::path file = options.output.empty()
                                  ? host::NextExportFilePath(fs::current_path(ignored))
                                  : fs::path(host::AbsolutePathText(options.output));
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (!(out << links->second) || !out.flush()) {
            Error() << "cannot write the link list " << file.string() << "\n";
            return kExitFailed;
        }
        std::cout << "exported " << file.string() << std::endl;
        return kExitOk;
    }
    if (options.output == "-") {
        body["output"] = "-";
    } else {
        // Without a file the list goes where the operator is, as without an instance.
        std::error_code ignored;
        body["output"] = options.output.empty()
                             ? host::NextExportFilePath(fs::current_path(ignored)).string()
                             : host::AbsolutePathText(options.output);
    }
    return PrintExport(OutcomeOf(channel.Send("POST", "/actions/export", BodyText(body))));
}

namespace {

// The settings as GET /settings answers them.
control::SettingsReport SettingsOf(const json& body) {
    control::SettingsReport report;
    for (const settings::SettingEntry& entry : settings::AllSettings()) {
        auto row = body.find(entry.key);
        if (row != body.end() && row->is_object()) {
            report.settings.push_back({entry.key, row->value("value", std::string()),
                                       row->value("unit", std::string()),
                                       row->value("applies", std::string()) == "next_start"});
        }
    }
    return report;
}

}  // namespace

int ConfigThrough(const ControlChannel& channel, const CommandOptions& options) {
    const std::optional<const settings::SettingEntry*> named = SettingArgument(options.key);
    if (!named) {
        return kExitUsage;
    }
    const settings::SettingEntry* entry = *named;
    int exit_code = kExitOk;
    if (!options.value.empty() && entry != nullptr) {
        // The instance checks the value by the same rule as a change without one.
        std::optional<json> answer =
            Answer(channel.Send("PUT", "/settings", BodyText(json{{entry->key, options.value}})),
                   exit_code);
        if (answer) {
            const std::string value = (*answer)[entry->key].value("value", std::string());
            std::cout << host::SettingChangeText(*entry, value) << std::endl;
        }
        return exit_code;
    }
    std::optional<json> answer = Answer(channel.Get("/settings"), exit_code);
    if (answer && options.json) {
        std::cout << answer->dump() << std::endl;
    } else if (answer) {
        PrintSettings(SettingsOf(*answer), entry);
    }
    return exit_code;
}

namespace {

// `ipfilter export`: the active list's ranges, one a line, as block lists take them; to
// standard output or a file here.
int ExportIpFilter(const ControlChannel& channel, const std::vector<std::string>& args) {
    if (args.size() > 1) {
        Error() << "ipfilter export takes at most one file (- for standard output)\n";
        return kExitUsage;
    }
    int exit_code = kExitOk;
    std::optional<json> filter = Answer(channel.Get("/ipfilter"), exit_code);
    if (!filter) {
        return exit_code;
    }
    std::string text;
    std::size_t count = 0;
    for (const json& range : filter->value("ranges", json::array())) {
        std::optional<std::uint32_t> first = host::ParseIpv4(range.value("first", std::string()));
        std::optional<std::uint32_t> last = host::ParseIpv4(range.value("last", std::string()));
        if (!first || !last) {
            Error() << "the instance answered a range that is not two IPv4 addresses: "
                    << range.dump() << "\n";
            return kExitFailed;
        }
        text += iprules::FormatRange({*first, *last}) + "\n";
        ++count;
    }
    if (args.empty() || args[0] == "-") {
        std::cout << text << std::flush;
        return kExitOk;
    }
    std::ofstream out(args[0], std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) {
        Error() << "cannot write " << args[0] << "\n";
        return kExitFailed;
    }
    std::cerr << "wrote " << count << " ranges of the " << filter->value("type", std::string())
              << " list to " << args[0] << "\n";
    return kExitOk;
}

// The range of `ipfilter add` as two dotted addresses: one argument as an address, CIDR
// block or first-last, or two addresses as the window's two editors take them.
std::optional<std::pair<std::string, std::string>> RangeArgument(
    const std::vector<std::string>& args) {
    const iprules::RangeParse parsed =
        args.empty() || args.size() > 2
            ? iprules::RangeParse{}
            : iprules::ParseRange(args.size() == 2 ? args[0] + "-" + args[1] : args[0]);
    if (!parsed.range) {
        if (!parsed.error.empty()) {
            Error() << "ipfilter add: " << parsed.error << "\n";
        }
        Error() << "ipfilter add needs an address, a CIDR block (10.0.0.0/8), a range "
                   "(10.0.0.1-10.0.0.9) or two addresses\n";
        return std::nullopt;
    }
    if (!parsed.note.empty()) {
        std::cout << parsed.note << "\n";
    }
    return std::pair{host::FormatIpv4(parsed.range->first), host::FormatIpv4(parsed.range->last)};
}

// Rules that refuse every peer are said on standard error after each change.
void WarnWhenEveryPeerIsRefused(const json& filter) {
    host::IpFilterState state;
    state.enabled = filter.value("enabled", false);
    state.deny_list = filter.value("type", std::string()) == "deny";
    state.ranges.resize(filter.value("ranges", json::array()).size());
    if (const std::string warning = host::RefusesEveryPeerWarning(state); !warning.empty()) {
        Error() << "warning: " << warning << "\n";
    }
}

// The request of a changing `ipfilter` action; nothing (with the reason printed) when its
// arguments are wrong.
std::optional<ClientAnswer> IpFilterChange(const ControlChannel& channel, const std::string& action,
                                           const std::vector<std::string>& args) {
    if (action == "add") {
        std::optional<std::pair<std::string, std::string>> range = RangeArgument(args);
        if (!range) {
            return std::nullopt;
        }
        return channel.Send("POST", "/ipfilter/ranges",
                            BodyText(json{{"first", range->first}, {"last", range->second}}));
    }
    if (action == "delete" && args.size() == 1) {
        return channel.Send("DELETE", "/ipfilter/ranges/" + args[0], "");
    }
    if (action == "type" && args.size() == 1) {
        return channel.Send("PUT", "/ipfilter", BodyText(json{{"type", args[0]}}));
    }
    if ((action == "enable" || action == "disable") && args.empty()) {
        return channel.Send("PUT", "/ipfilter", BodyText(json{{"enabled", action == "enable"}}));
    }
    Error() << "ipfilter: use list, add FIRST [LAST], import FILE, export [FILE|-], delete "
               "INDEX, type allow|deny, enable or disable\n";
    return std::nullopt;
}

// `ipfilter import FILE`: the import's report, then the counts of both lists.
int ImportIpFilter(const ControlChannel& channel, const std::vector<std::string>& args,
                   bool as_json) {
    if (args.size() != 1) {
        Error() << "ipfilter import needs one block-list file\n";
        return kExitUsage;
    }
    const int result = SimpleAction(channel, "ipfilter-import",
                                    json{{"path", host::AbsolutePathText(args[0])}}, as_json);
    int exit_code = kExitOk;
    std::optional<json> filter;
    if (result == kExitOk && !as_json && (filter = Answer(channel.Get("/ipfilter"), exit_code))) {
        std::cout << ListCountsText(filter->value("allow_ranges", std::uint64_t{0}),
                                    filter->value("deny_ranges", std::uint64_t{0}),
                                    filter->value("type", std::string()) == "deny")
                  << std::endl;
        WarnWhenEveryPeerIsRefused(*filter);
    }
    return result != kExitOk ? result : exit_code;
}

}  // namespace

int IpFilterThrough(const ControlChannel& channel, const CommandOptions& options) {
    const std::string action = options.action.empty() ? "list" : options.action;
    const std::vector<std::string>& args = options.arguments;
    if (action == "export") {
        return ExportIpFilter(channel, args);
    }
    if (action == "import") {
        return ImportIpFilter(channel, args, options.json);
    }
    std::optional<ClientAnswer> answer;
    if (action == "list" && args.empty()) {
        answer = channel.Get("/ipfilter");
    } else if (action != "list" && !(answer = IpFilterChange(channel, action, args))) {
        return kExitUsage;
    } else if (action == "list") {
        Error() << "ipfilter list takes no arguments\n";
        return kExitUsage;
    }
    int exit_code = kExitOk;
    std::optional<json> filter = Answer(*answer, exit_code);
    if (filter && options.json) {
        std::cout << filter->dump() << std::endl;
    } else if (filter) {
        PrintIpFilter(*filter);
        if (action != "list") {
            WarnWhenEveryPeerIsRefused(*filter);
        }
    }
    return exit_code;
}

// ---- Only with an instance ----

int RunPeers(const CommandOptions& options) {
    fs::path app_folder = platform::app_data_folder();
    if (std::optional<ControlClient> client = RunningInstance(app_folder)) {
        return PeersThrough(*client, options);
    }
    if (options.json) {
        std::cout << "[]" << std::endl;
    } else {
        std::cout << "no instance runs for " << app_folder.string() << "; no peers" << std::endl;
    }
    return kExitOk;
}

int RunWatch(const CommandOptions& options) {
    fs::path app_folder = platform::app_data_folder();
    if (std::optional<ControlClient> client = RunningInstance(app_folder)) {
        return RemoteWatch(*client, options);
    }
    Error() << "no instance runs for " << app_folder.string() << "; nothing to watch\n";
    return kExitNotFound;
}

}  // namespace wharfkeep::app
