#include "wharfkeep/control/control_router.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/lookup_table.h"
#include "request_body.h"
#include "wharfkeep/control/control_json.h"

namespace wharfkeep::control {
namespace {

using nlohmann::json;

constexpr platform::LookupRow<Outcome::Kind, int> kOutcomeStatuses[] = {
    {Outcome::kDone, 200},     {Outcome::kAccepted, 202}, {Outcome::kInvalid, 400},
    {Outcome::kNotFound, 404}, {Outcome::kConflict, 409}, {Outcome::kUnavailable, 503}};

int StatusFor(Outcome::Kind kind) {
    return platform::look_up(kOutcomeStatuses, kind, 500);
}

ControlResponse OutcomeResponse(const Outcome& outcome) {
    if (!outcome.ok()) {
        return ErrorResponse(StatusFor(outcome.kind), outcome.message);
    }
    json body{{"message", outcome.message}};
    for (const auto& [key, value] : outcome.fields) {
        body[key] = value;
    }
    return JsonResponse(body, StatusFor(outcome.kind));
}

std::optional<std::uint64_t> ParseIndex(const std::string& text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// ASCII lower case: paths and GCIDs are matched without case, byte by byte otherwise.
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::uint64_t kMaxPageRows = 1000;

ControlResponse MediaList(ControlHost& host, const ControlRequest& request) {
    MediaPageQuery page;
    bool paged = false;
    for (const auto& [key, value] : request.query) {
        if (key == "folder") {
            page.filter.folder = value;
        } else if (key == "state") {
            bool negative = !value.empty() && value[0] == '-';
            std::optional<std::uint64_t> magnitude = ParseIndex(negative ? value.substr(1) : value);
            if (!magnitude || *magnitude > 4) {
                return ErrorResponse(400, "state must be a publish state between -4 and 4");
            }
            page.filter.state =
                negative ? -static_cast<int>(*magnitude) : static_cast<int>(*magnitude);
        } else if (key == "offset" || key == "limit") {
            std::optional<std::uint64_t> number = ParseIndex(value);
            if (!number || (key == "limit" && (*number == 0 || *number > kMaxPageRows))) {
                return ErrorResponse(400, key == "limit"
                                              ? "limit must be a whole number from 1 to 1000"
                                              : "offset must be a whole number");
            }
            (key == "limit" ? page.limit : page.offset) = *number;
            paged = true;
        } else if (key == "sort") {
            static const std::map<std::string, MediaPageQuery::Key> kKeys = {
                {"path", MediaPageQuery::Key::kPath},
                {"name", MediaPageQuery::Key::kName},
                {"size", MediaPageQuery::Key::kSize},
                {"state", MediaPageQuery::Key::kState},
                {"time", MediaPageQuery::Key::kTime}};
            auto found = kKeys.find(value);
            if (found == kKeys.end()) {
                return ErrorResponse(400, "sort must be path, name, size, state or time");
            }
            page.sort = found->second;
            paged = true;
        } else if (key == "order") {
            if (value != "asc" && value != "desc") {
                return ErrorResponse(400, "order must be asc or desc");
            }
            page.descending = value == "desc";
            paged = true;
        } else if (key == "q") {
            page.text.resize(value.size());
            std::transform(value.begin(), value.end(), page.text.begin(), Lower);
            paged = true;
        } else {
            return ErrorResponse(400, "unknown query \"" + key +
                                          "\"; use folder, state, q, sort, order, offset or limit");
        }
    }
    if (!paged) {
        // Written row by row: the whole list never stands in memory as one document.
        std::string body = "[";
        host.VisitMedia(page.filter, [&body](MediaRow&& row) {
            body += body.size() > 1 ? "," : "";
            body += ToJson(row).dump(-1, ' ', false, json::error_handler_t::replace);
        });
        body += "]\n";
        return ControlResponse{200, "application/json", std::move(body)};
    }
    MediaPageReport report = host.MediaPage(page);
    return JsonResponse(json{{"total", report.total},
                             {"offset", page.offset},
                             {"limit", page.limit},
                             {"items", ToJson(report.rows)}});
}

ControlResponse ConnectionList(ControlHost& host, const ControlRequest& request) {
    std::string gcid;
    bool by_speed = false;
    for (const auto& [key, value] : request.query) {
        if (key == "gcid") {
            gcid = value;
        } else if (key == "sort" && (value == "speed" || value == "none")) {
            by_speed = value == "speed";
        } else {
            return ErrorResponse(
                400, "unknown query \"" + key + "=" + value + "\"; use gcid=GCID or sort=speed");
        }
    }
    std::vector<ConnectionRow> rows = host.Connections(gcid);
    if (by_speed) {
        std::stable_sort(
            rows.begin(), rows.end(),
            [](const ConnectionRow& a, const ConnectionRow& b) { return a.speed > b.speed; });
    }
    return JsonResponse(ToJson(rows));
}

ControlResponse ChangeSettings(ControlHost& host, const std::string& text) {
    Body body = ObjectBody(text);
    if (body.refusal) {
        return *body.refusal;
    }
    if (body.value.empty()) {
        return ErrorResponse(400, "no setting to change");
    }
    std::vector<SettingChange> changes;
    for (const auto& item : body.value.items()) {
        const json& value = item.value();
        if (value.is_number_unsigned()) {
            changes.emplace_back(item.key(), std::to_string(value.get<std::uint64_t>()));
        } else if (value.is_string()) {
            changes.emplace_back(item.key(), value.get<std::string>());
        } else {
            return ErrorResponse(
                400, "\"" + item.key() + "\" must be a non-negative whole number or text");
        }
    }
    Outcome outcome = host.ChangeSettings(changes);
    if (!outcome.ok()) {
        return OutcomeResponse(outcome);
    }
    return JsonResponse(ToJson(host.Settings()));
}

// The IP filter as `outcome` left it, or the outcome's refusal.
ControlResponse IpFilterAfter(ControlHost& host, const Outcome& outcome) {
    return outcome.ok() ? JsonResponse(ToJson(host.IpFilter())) : OutcomeResponse(outcome);
}

ControlResponse ChangeIpFilter(ControlHost& host, const std::string& text) {
    Body body = ObjectBody(text, {"enabled", "type"});
    if (body.refusal) {
        return *body.refusal;
    }
    std::string error;
    std::optional<bool> enabled = BoolMember(body.value, "enabled", error);
    std::optional<std::string> type = TextMember(body.value, "type", false, error);
    if (!error.empty()) {
        return ErrorResponse(400, error);
    }
    if (type && *type != "allow" && *type != "deny") {
        return ErrorResponse(400, "\"type\" must be \"allow\" or \"deny\"");
    }
    if (!enabled && !type) {
        return ErrorResponse(400, "nothing to change; send \"enabled\" and/or \"type\"");
    }
    Outcome outcome = type ? host.SetIpFilterDenyList(*type == "deny") : Outcome::Done();
    if (outcome.ok() && enabled) {
        outcome = host.SetIpFilterEnabled(*enabled);
    }
    return IpFilterAfter(host, outcome);
}

ControlResponse AddIpRange(ControlHost& host, const std::string& text) {
    Body body = ObjectBody(text, {"first", "last"});
    if (body.refusal) {
        return *body.refusal;
    }
    std::string error;
    std::optional<std::string> first = TextMember(body.value, "first", true, error);
    std::optional<std::string> last = TextMember(body.value, "last", false, error);
    if (!error.empty()) {
        return ErrorResponse(400, error);
    }
    return IpFilterAfter(host, host.AddIpRange(*first, last.value_or(*first)));
}

ControlResponse DeleteIpRange(ControlHost& host, const std::string& index_text) {
    std::optional<std::uint64_t> index = ParseIndex(index_text);
    if (!index) {
        return ErrorResponse(400, "the range index must be a whole number");
    }
    return IpFilterAfter(host, host.DeleteIpRange(static_cast<std::size_t>(*index)));
}

// A block list named by a file on the server ("path") or uploaded as its text ("text").
ControlResponse ImportBlockList(ControlHost& host, const json& args) {
    if (auto refusal = OnlyMembers(args, {"path", "text"})) {
        return *refusal;
    }
    std::string error;
    std::optional<std::string> path = TextMember(args, "path", false, error);
    std::optional<std::string> text = TextMember(args, "text", false, error);
    if (error.empty() && path.has_value() == text.has_value()) {
        error = "send either \"path\" (a file on the server) or \"text\" (the list itself)";
    }
    if (!error.empty()) {
        return ErrorResponse(400, error);
    }
    return OutcomeResponse(path ? host.ImportIpRanges(*path) : host.ImportIpRangeText(*text));
}

// POST /actions/NAME with a JSON object body.
ControlResponse RunAction(ControlHost& host, const std::string& name, const std::string& text) {
    Body body = ObjectBody(text.empty() ? "{}" : text);
    if (body.refusal) {
        return *body.refusal;
    }
    const json& args = body.value;
    std::string error;
    auto path_action = [&](const char* member,
                           const std::function<Outcome(const std::string&)>& run) {
        if (auto refusal = OnlyMembers(args, {member})) {
            return *refusal;
        }
        std::optional<std::string> value = TextMember(args, member, true, error);
        if (!value) {
            return ErrorResponse(400, error);
        }
        return OutcomeResponse(run(*value));
    };
    if (name == "add-folder") {
        if (auto refusal = OnlyMembers(args, {"path", "publish"})) {
            return *refusal;
        }
        std::optional<std::string> path = TextMember(args, "path", true, error);
        std::optional<bool> publish = BoolMember(args, "publish", error);
        if (!error.empty()) {
            return ErrorResponse(400, error);
        }
        return OutcomeResponse(host.AddFolder(*path, publish.value_or(true)));
    }
    if (name == "publish") {
        return path_action("path", [&](const std::string& path) { return host.Publish(path); });
    }
    if (name == "rescan") {
        return path_action("path", [&](const std::string& path) { return host.Rescan(path); });
    }
    if (name == "ipfilter-import") {
        return ImportBlockList(host, args);
    }
    if (name == "watch-folder") {
        if (auto refusal = OnlyMembers(args, {"path", "watched"})) {
            return *refusal;
        }
        std::optional<std::string> path = TextMember(args, "path", true, error);
        std::optional<bool> watched = BoolMember(args, "watched", error);
        if (error.empty() && !watched) {
            error = "missing \"watched\" (true or false)";
        }
        if (!error.empty()) {
            return ErrorResponse(400, error);
        }
        return OutcomeResponse(host.SetFolderWatched(*path, *watched));
    }
    if (name == "withdraw") {
        return path_action("target",
                           [&](const std::string& target) { return host.Withdraw(target); });
    }
    if (name == "remove-folder") {
        return path_action("path",
                           [&](const std::string& path) { return host.RemoveFolder(path); });
    }
    if (name == "export") {
        if (auto refusal = OnlyMembers(args, {"folder", "output"})) {
            return *refusal;
        }
        std::optional<std::string> folder = TextMember(args, "folder", false, error);
        std::optional<std::string> output = TextMember(args, "output", false, error);
        if (!error.empty()) {
            return ErrorResponse(400, error);
        }
        return OutcomeResponse(host.ExportLinks(folder.value_or(""), output.value_or("")));
    }
    if (name == "start-services" || name == "stop-services") {
        if (auto refusal = OnlyMembers(args, {})) {
            return *refusal;
        }
        return OutcomeResponse(host.SetServicesRunning(name == "start-services"));
    }
    return ErrorResponse(
        404, "unknown action \"" + name +
                 "\"; known: add-folder, publish, rescan, watch-folder, ipfilter-import, withdraw, "
                 "remove-folder, export, start-services, stop-services");
}

// A resource read with GET (`read`) and changed with PUT (`change`).
ControlResponse ReadOrChange(const ControlRequest& request,
                             const std::function<ControlResponse()>& read,
                             const std::function<ControlResponse()>& change) {
    if (request.method == "GET") {
        return read();
    }
    return request.method == "PUT" ? change() : WrongMethod(request, "GET or PUT");
}

}  // namespace

ControlResponse ErrorResponse(int status, const std::string& message) {
    return ControlResponse{
        status, "application/json",
        json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
            "\n"};
}

MediaPageReport PageOfRows(std::vector<MediaRow> rows, const MediaPageQuery& query) {
    if (!query.text.empty()) {
        auto holds = [&](const std::string& text) {
            return std::search(text.begin(), text.end(), query.text.begin(), query.text.end(),
                               [](char a, char b) { return Lower(a) == b; }) != text.end();
        };
        std::erase_if(rows,
                      [&](const MediaRow& row) { return !holds(row.path) && !holds(row.gcid); });
    }
    MediaPageReport report;
    report.total = rows.size();
    using Key = MediaPageQuery::Key;
    auto compare = [](const auto& a, const auto& b) { return a < b ? -1 : b < a ? 1 : 0; };
    auto by_key = [&](const MediaRow& a, const MediaRow& b) -> int {
        switch (query.sort) {
            case Key::kName:
                return compare(a.name, b.name);
            case Key::kSize:
                return compare(a.file_size, b.file_size);
            case Key::kState:
                return compare(a.state, b.state);
            case Key::kTime:
                return compare(a.publish_date, b.publish_date);
            case Key::kPath:
                break;
        }
        return 0;  // the tie-break alone
    };
    auto less = [&](const MediaRow& a, const MediaRow& b) {
        int order = by_key(a, b);
        if (order == 0) {
            order = compare(a.path, b.path);
        }
        return query.descending ? order > 0 : order < 0;
    };
    const std::size_t begin =
        static_cast<std::size_t>(std::min<std::uint64_t>(rows.size(), query.offset));
    const std::size_t end = static_cast<std::size_t>(
        std::min<std::uint64_t>(rows.size(), query.offset + std::min(query.limit, kMaxPageRows)));
    std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(end), rows.end(),
                      less);
    report.rows.assign(std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(begin)),
                       std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(end)));
    return report;
}

namespace {

// Plain text for probes: "ok" when every check passed (each check listed with ?verbose);
// otherwise 503 with the failed checks and their reasons, every check with ?verbose.
ControlResponse HealthResponse(const std::string& what, const std::vector<HealthCheck>& checks,
                               bool verbose) {
    bool all_ok = true;
    std::string lines;
    for (const HealthCheck& check : checks) {
        all_ok = all_ok && check.ok;
        if (check.ok && verbose) {
            lines += "[+]" + check.name + " ok\n";
        } else if (!check.ok) {
            lines += "[-]" + check.name + " failed: " + check.reason + "\n";
        }
    }
    ControlResponse response{all_ok ? 200 : 503, "text/plain; charset=utf-8", ""};
    if (all_ok && !verbose) {
        response.body = "ok\n";
    } else {
        response.body = lines + what + (all_ok ? " check passed\n" : " check failed\n");
    }
    return response;
}

}  // namespace

ControlResponse HandleControlRequest(ControlHost& host, const ControlRequest& request) {
    const std::string& path = request.path;
    const std::string& method = request.method;
    auto read_only = [&](const std::function<ControlResponse()>& answer) {
        if (method != "GET") {
            return WrongMethod(request, "GET");
        }
        return answer();
    };
    const bool health = path == "/livez" || path == "/readyz";
    if (health) {
        if (request.query.size() > 1 ||
            (request.query.size() == 1 && request.query.count("verbose") == 0)) {
            return ErrorResponse(400, path + " takes only ?verbose");
        }
        return read_only([&] {
            return HealthResponse(path.substr(1),
                                  path == "/livez" ? host.Liveness() : host.Readiness(),
                                  request.query.count("verbose") == 1);
        });
    }
    if (path != "/media" && path != "/connections" && !request.query.empty()) {
        return ErrorResponse(400, path + " takes no query");
    }
    if (path == "/status") {
        return read_only([&] { return JsonResponse(ToJson(host.Status())); });
    }
    if (path == "/resources") {
        return read_only([&] { return JsonResponse(ToJson(host.Resources())); });
    }
    if (path == "/connections") {
        return read_only([&] { return ConnectionList(host, request); });
    }
    if (path == "/media") {
        return read_only([&] { return MediaList(host, request); });
    }
    if (path == "/folders") {
        return read_only([&] { return JsonResponse(ToJson(host.Folders())); });
    }
    if (path == "/metrics") {
        return read_only([&] {
            return ControlResponse{200, "text/plain; version=0.0.4", MetricsText(host.Metrics())};
        });
    }
    if (path == "/settings") {
        return ReadOrChange(
            request, [&] { return JsonResponse(ToJson(host.Settings())); },
            [&] { return ChangeSettings(host, request.body); });
    }
    if (path == "/ipfilter") {
        return ReadOrChange(
            request, [&] { return JsonResponse(ToJson(host.IpFilter())); },
            [&] { return ChangeIpFilter(host, request.body); });
    }
    if (path == "/ipfilter/ranges") {
        return method == "POST" ? AddIpRange(host, request.body) : WrongMethod(request, "POST");
    }
    const std::string ranges_prefix = "/ipfilter/ranges/";
    if (path.compare(0, ranges_prefix.size(), ranges_prefix) == 0) {
        return method == "DELETE" ? DeleteIpRange(host, path.substr(ranges_prefix.size()))
                                  : WrongMethod(request, "DELETE");
    }
    const std::string actions_prefix = "/actions/";
    if (path.compare(0, actions_prefix.size(), actions_prefix) == 0) {
        return method == "POST" ? RunAction(host, path.substr(actions_prefix.size()), request.body)
                                : WrongMethod(request, "POST");
    }
    return ErrorResponse(
        404, "no resource " + path +
                 "; known: /status /resources /connections /media /folders /settings "
                 "/ipfilter /ipfilter/ranges /actions/NAME /events /metrics /livez /readyz");
}

}  // namespace wharfkeep::control
