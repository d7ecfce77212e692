#include "remote_options.h"

#include <curl/curl.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "commands.h"

namespace wharfkeep::app {
namespace {

std::optional<control::RemoteTarget>& Chosen() {
    static std::optional<control::RemoteTarget> chosen;
    return chosen;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string WithoutSpaceAround(std::string text) {
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

}  // namespace

void AddRemoteOptions(CLI::App& app, RemoteOptions& options) {
    app.add_option("--remote", options.url,
                   "Run the command on the instance at https://HOST:PORT (default: "
                   "WHARFKEEP_REMOTE)");
    app.add_option("--token-file", options.token_file,
                   "File holding the API token (default: WHARFKEEP_TOKEN)");
    app.add_option("--cacert", options.ca_file,
                   "Check the server's certificate against this CA (or the certificate itself)");
    app.add_option("--fingerprint", options.fingerprint,
                   "Accept only the server certificate with this SHA-256 fingerprint");
}

bool ChooseRemote(const RemoteOptions& options, std::string& error) {
    control::RemoteTarget target;
    target.url = options.url.empty() ? Environment("WHARFKEEP_REMOTE") : options.url;
    if (target.url.empty()) {
        return true;
    }
    if (target.url.rfind("https://", 0) != 0) {
        error = "--remote " + target.url + ": the control interface is reached by https:// only";
        return false;
    }
    if (!options.ca_file.empty() && !options.fingerprint.empty()) {
        error = "give --cacert or --fingerprint, not both";
        return false;
    }
    if (!options.token_file.empty()) {
        std::ifstream file(options.token_file);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) {
            error = "--token-file " + options.token_file + ": cannot be read";
            return false;
        }
        target.token = WithoutSpaceAround(text.str());
    } else {
        target.token = WithoutSpaceAround(Environment("WHARFKEEP_TOKEN"));
    }
    target.ca_file = options.ca_file;
    target.fingerprint = options.fingerprint;
    Chosen() = target;
    return true;
}

const std::optional<control::RemoteTarget>& RemoteTargetInUse() {
    return Chosen();
}

int RemoteMediaList(const control::ControlClient& client, const std::string& folder, bool json) {
    std::string target = "/media";
    if (!folder.empty()) {
        char* escaped = curl_easy_escape(nullptr, folder.c_str(), static_cast<int>(folder.size()));
        target += "?folder=" + std::string(escaped != nullptr ? escaped : "");
        curl_free(escaped);
    }
    control::ClientAnswer answer = client.Get(target);
    nlohmann::json rows = nlohmann::json::parse(answer.body, nullptr, false);
    if (answer.status != 200 || !rows.is_array()) {
        std::string reason = answer.error;
        if (reason.empty() && rows.is_object()) {
            reason = rows.value("error", answer.body);
        }
        std::cerr << "wharfkeepd: " << (reason.empty() ? answer.body : reason) << "\n";
        return answer.status == 404 ? kExitNotFound : kExitFailed;
    }
    if (json) {
        std::cout << rows.dump() << std::endl;
        return kExitOk;
    }
    // The media lines of a local list (the folders' lines have no resource of their own).
    for (const nlohmann::json& row : rows) {
        const std::string gcid = row.value("gcid", std::string());
        const std::string reason = row.value("reason", std::string());
        std::cout << row.value("state", 0) << "\t" << row.value("state_text", std::string()) << "\t"
                  << row.value("file_size", std::uint64_t{0}) << "\t" << (gcid.empty() ? "-" : gcid)
                  << "\t" << row.value("path", std::string())
                  << (reason.empty() ? "" : "\t" + reason) << "\n";
    }
    return kExitOk;
}

}  // namespace wharfkeep::app
