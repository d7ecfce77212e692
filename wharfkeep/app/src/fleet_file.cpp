#include "fleet_file.h"

#include <algorithm>
#include <sstream>

namespace wharfkeep::app {

std::optional<std::vector<FleetHost>> ParseFleetFile(const std::string& text, std::string& error) {
    std::vector<FleetHost> hosts;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        FleetHost host;
        if (!(words >> host.name)) {
            continue;  // blank or a comment
        }
        if (!(words >> host.url) || host.url.rfind("https://", 0) != 0 ||
            host.url.size() == std::string("https://").size()) {
            error = where +
                    "write NAME https://HOST:PORT [token_file=PATH] [fingerprint=SHA256] "
                    "[cacert=PATH]";
            return std::nullopt;
        }
        while (!host.url.empty() && host.url.back() == '/') {
            host.url.pop_back();
        }
        for (std::string word; words >> word;) {
            const std::size_t equals = word.find('=');
            const std::string key = word.substr(0, equals);
            const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
            if (value.empty()) {
                error = where + "\"" + word + "\" is not KEY=VALUE";
                return std::nullopt;
            }
            if (key == "token_file") {
                host.token_file = value;
            } else if (key == "fingerprint") {
                host.fingerprint = value;
            } else if (key == "cacert") {
                host.ca_file = value;
            } else {
                error = where + "unknown key " + key + "; use token_file, fingerprint or cacert";
                return std::nullopt;
            }
        }
        if (!host.fingerprint.empty() && !host.ca_file.empty()) {
            error = where + "give fingerprint or cacert, not both";
            return std::nullopt;
        }
        if (std::any_of(hosts.begin(), hosts.end(),
                        [&](const FleetHost& other) { return other.name == host.name; })) {
            error = where + "the name " + host.name + " is given twice";
            return std::nullopt;
        }
        hosts.push_back(std::move(host));
    }
    return hosts;
}

}  // namespace wharfkeep::app
