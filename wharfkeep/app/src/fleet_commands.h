#pragma once
// wharfkeepd fleet status FILE: every host of a fleet file asked at once, one line each and
// the totals.

#include <CLI/CLI.hpp>

#include <string>

namespace wharfkeep::app {

struct FleetOptions {
    std::string file;
    bool json = false;
    int timeout_seconds = 10;  // for each host
};

// Adds "fleet status"; returns the "fleet" command.
CLI::App* AddFleetCommands(CLI::App& app, FleetOptions& options);
int RunFleetStatus(const FleetOptions& options);

}  // namespace wharfkeep::app
