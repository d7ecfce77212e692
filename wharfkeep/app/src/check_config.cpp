#include "check_config.h"

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/app_paths.h"
#include "platform/local_address.h"
#include "platform/log.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/settings/config_check.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::app {
namespace {

namespace fs = std::filesystem;
using settings::ConfigProblem;

constexpr const char* kIniName = "Wharfkeep.ini";

// The stored settings as `wharfkeepd config` shows them; none when there is no database yet
// (a check must not create one) or it cannot be opened (said on standard error).
std::vector<std::pair<std::string, std::string>> StoredSettings(const fs::path& database_file,
                                                                bool& readable) {
    readable = true;
    std::vector<std::pair<std::string, std::string>> stored;
    if (!fs::exists(database_file)) {
        return stored;
    }
    ResourceDatabase db;
    ServerAccessSettings access;
    if (!db.Open(database_file, platform::local_address_text(), "", access)) {
        std::cerr << "wharfkeepd: " << db.open_error() << "\n";
        readable = false;
        return stored;
    }
    for (const settings::SettingEntry& entry : settings::AllSettings()) {
        std::string text = host::StoredSettingText(db, access, entry.key);
        // A key never stored reads as empty; it takes its default.
        if (!text.empty()) {
            stored.emplace_back(entry.key, std::move(text));
        }
    }
    return stored;
}

}  // namespace

int RunCheckConfig(const CommandOptions&) {
    const fs::path folder = platform::app_data_folder();
    std::vector<ConfigProblem> problems = settings::CheckIniFile(folder / kIniName);
    bool database_readable = true;
    const fs::path database_file = ResourceDatabase::default_file();
    const std::vector<ConfigProblem> stored = settings::CheckStoredSettings(
        StoredSettings(database_file, database_readable), database_file.string());
    problems.insert(problems.end(), stored.begin(), stored.end());
    for (const ConfigProblem& problem : problems) {
        std::cout << problem.Text() << "\n";
    }
    if (!problems.empty() || !database_readable) {
        std::cout << "configuration has " << problems.size() << " problem"
                  << (problems.size() == 1 ? "" : "s") << "\n";
        return kExitFailed;
    }
    std::cout << "configuration ok: " << (folder / kIniName).string() << " and the settings of "
              << database_file.string() << "\n";
    return kExitOk;
}

void WarnAboutConfiguration(const fs::path& app_folder) {
    for (const ConfigProblem& problem : settings::CheckIniFile(app_folder / kIniName)) {
        platform::log::warning("{}", problem.Text());
    }
}

bool ConfigurationReloadable(const fs::path& app_folder) {
    const std::vector<ConfigProblem> problems = settings::CheckIniFile(app_folder / kIniName);
    for (const ConfigProblem& problem : problems) {
        platform::log::error("{}: {}", problem.location, problem.message);
    }
    if (!problems.empty()) {
        platform::log::error(
            "configuration not reloaded: {} problem{} in {} (see wharfkeepd check-config); the "
            "running configuration stays",
            problems.size(), problems.size() == 1 ? "" : "s", (app_folder / kIniName).string());
    }
    return problems.empty();
}

}  // namespace wharfkeep::app
