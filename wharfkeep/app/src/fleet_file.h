#pragma once
// The list of hosts `wharfkeepd fleet status` asks: one "NAME URL" line per host, with
// optional token_file=PATH, fingerprint=SHA256 and cacert=PATH after them; "#" starts a
// comment and blank lines are skipped.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace wharfkeep::app {

struct FleetHost {
    std::string name;
    std::string url;  // https://HOST:PORT
    std::filesystem::path token_file;
    std::string fingerprint;
    std::filesystem::path ca_file;
};

// The hosts of `text`, or nothing with `error` naming the first wrong line ("LINE: why").
std::optional<std::vector<FleetHost>> ParseFleetFile(const std::string& text, std::string& error);

}  // namespace wharfkeep::app
