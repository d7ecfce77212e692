#include "fleet_commands.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "command_output.h"
#include "commands.h"
#include "fleet_file.h"
#include "wharfkeep/control/control_client.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/quantity_text.h"

namespace wharfkeep::app {
namespace {

using nlohmann::json;

// Hosts asked at the same time; a larger fleet waits for free places.
constexpr std::size_t kMostAtOnce = 64;

struct HostStatus {
    bool answered = false;
    std::string error;
    bool running = false;
    std::uint64_t peers = 0;
    std::uint64_t upload_speed = 0;  // bytes per second
    std::uint64_t published = 0;
    std::string version;
};

std::string Trimmed(std::string text) {
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

// The host's token: its token_file, else WHARFKEEP_TOKEN; empty with `error` set when none.
std::string TokenOf(const FleetHost& host, std::string& error) {
    if (!host.token_file.empty()) {
        std::ifstream file(host.token_file);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) {
            error = "token_file " + host.token_file.string() + " cannot be read";
            return "";
        }
        return Trimmed(text.str());
    }
    const char* variable = std::getenv("WHARFKEEP_TOKEN");
    std::string token = variable != nullptr ? Trimmed(variable) : "";
    if (token.empty()) {
        error = "no token: set WHARFKEEP_TOKEN or token_file= on its line";
    }
    return token;
}

std::uint64_t Number(const json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

HostStatus AskHost(const FleetHost& host, int timeout_seconds) {
    HostStatus status;
    control::RemoteTarget target;
    target.url = host.url;
    target.fingerprint = host.fingerprint;
    target.ca_file = host.ca_file;
    target.token = TokenOf(host, status.error);
    if (target.token.empty()) {
        return status;
    }
    control::ClientAnswer answer = control::ControlClient(target, timeout_seconds).Get("/status");
    json body = json::parse(answer.body, nullptr, false);
    if (answer.status == 0) {
        status.error = answer.error;
        return status;
    }
    if (answer.status != 200 || !body.is_object()) {
        status.error = "HTTP " + std::to_string(answer.status);
        if (body.is_object() && body.contains("error") && body["error"].is_string()) {
            status.error += ": " + body["error"].get<std::string>();
        }
        return status;
    }
    status.answered = true;
    status.running = body.value("running", false);
    status.peers = Number(body, "peers");
    status.upload_speed = Number(body, "upload_speed");
    if (auto states = body.find("media_by_state"); states != body.end() && states->is_object()) {
        status.published = Number(*states, std::to_string(host::kPublished).c_str());
    }
    status.version = body.value("version", std::string());
    return status;
}

// Every host at once (up to kMostAtOnce), each answer in its own place.
std::vector<HostStatus> AskAll(const std::vector<FleetHost>& hosts, int timeout_seconds) {
    std::vector<HostStatus> statuses(hosts.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    const std::size_t count = std::min(hosts.size(), kMostAtOnce);
    for (std::size_t i = 0; i < count; ++i) {
        workers.emplace_back([&] {
            for (std::size_t index = next++; index < hosts.size(); index = next++) {
                statuses[index] = AskHost(hosts[index], timeout_seconds);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    return statuses;
}

json ToJson(const FleetHost& host, const HostStatus& status) {
    json row = {{"name", host.name}, {"url", host.url}, {"ok", status.answered}};
    if (!status.answered) {
        row["error"] = status.error;
        return row;
    }
    row["running"] = status.running;
    row["peers"] = status.peers;
    row["upload_speed"] = status.upload_speed;
    row["published"] = status.published;
    row["version"] = status.version;
    return row;
}

}  // namespace

CLI::App* AddFleetCommands(CLI::App& app, FleetOptions& options) {
    CLI::App* fleet = app.add_subcommand("fleet", "Ask many instances at once");
    fleet->require_subcommand(1);
    CLI::App* status = fleet->add_subcommand(
        "status",
        "Status of every host of FILE (lines \"NAME https://HOST:PORT [token_file=PATH] "
        "[fingerprint=SHA256] [cacert=PATH]\"); exit 1 when a host fails");
    status->add_option("FILE", options.file, "The fleet file")->required();
    status->add_flag("--json", options.json, "One JSON object with the hosts and the totals");
    status->add_option("--timeout", options.timeout_seconds, "Seconds to wait for each host")
        ->check(CLI::Range(1, 3600))
        ->type_name("SECONDS");
    return fleet;
}

int RunFleetStatus(const FleetOptions& options) {
    std::ifstream file(options.file);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        Error() << "fleet status: " << options.file << " cannot be read\n";
        return kExitNotFound;
    }
    std::string error;
    std::optional<std::vector<FleetHost>> hosts = ParseFleetFile(text.str(), error);
    if (!hosts) {
        Error() << options.file << ": " << error << "\n";
        return kExitUsage;
    }
    const std::vector<HostStatus> statuses = AskAll(*hosts, options.timeout_seconds);

    std::size_t failed = 0;
    std::size_t running = 0;
    std::uint64_t peers = 0;
    std::uint64_t upload = 0;
    std::uint64_t published = 0;
    for (const HostStatus& status : statuses) {
        failed += status.answered ? 0 : 1;
        running += status.running ? 1 : 0;
        peers += status.peers;
        upload += status.upload_speed;
        published += status.published;
    }
    if (options.json) {
        json rows = json::array();
        for (std::size_t i = 0; i < hosts->size(); ++i) {
            rows.push_back(ToJson((*hosts)[i], statuses[i]));
        }
        json totals = {{"hosts", hosts->size()}, {"failed", failed},
                       {"running", running},     {"peers", peers},
                       {"upload_speed", upload}, {"published", published}};
        std::cout << json{{"hosts", rows}, {"totals", totals}}.dump() << std::endl;
        return failed > 0 ? kExitFailed : kExitOk;
    }
    std::size_t width = 4;
    for (const FleetHost& host : *hosts) {
        width = std::max(width, host.name.size());
    }
    for (std::size_t i = 0; i < hosts->size(); ++i) {
        const HostStatus& status = statuses[i];
        std::cout << std::left << std::setw(static_cast<int>(width)) << (*hosts)[i].name << "  ";
        if (!status.answered) {
            std::cout << "error: " << status.error << "\n";
            continue;
        }
        std::cout << "services " << (status.running ? "running" : "stopped") << ", peers "
                  << status.peers << ", upload " << ByteRateText(status.upload_speed)
                  << ", published " << status.published << ", version " << status.version << "\n";
    }
    std::cout << "total: " << hosts->size() << " hosts, " << failed << " failed, " << running
              << " running, peers " << peers << ", upload " << ByteRateText(upload)
              << ", published " << published << std::endl;
    return failed > 0 ? kExitFailed : kExitOk;
}

}  // namespace wharfkeep::app
