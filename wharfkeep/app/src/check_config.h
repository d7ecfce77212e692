#pragma once
// wharfkeepd check-config, and the same check where serve starts and reloads.

#include <filesystem>

#include "commands.h"

namespace wharfkeep::app {

// Prints every problem of Wharfkeep.ini and of the stored settings of the application-data
// folder; exit code 0 when there is none, 1 otherwise.
int RunCheckConfig(const CommandOptions& options);

// At start: each problem of Wharfkeep.ini as a warning naming the value used instead.
void WarnAboutConfiguration(const std::filesystem::path& app_folder);

// Before a reload: true when Wharfkeep.ini has no problem; otherwise logs each one as an
// error and that the running configuration stays.
bool ConfigurationReloadable(const std::filesystem::path& app_folder);

}  // namespace wharfkeep::app
