#include "remote_options.h"

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

}  // namespace wharfkeep::app
