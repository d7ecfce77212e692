#include "command_output.h"

#include <iostream>

namespace wharfkeep::app {

std::ostream& Error() {
    return std::cerr << "wharfkeepd: ";
}

int ExitCodeOf(Outcome::Kind kind) {
    switch (kind) {
        case Outcome::kDone:
        case Outcome::kAccepted:
            return kExitOk;
        case Outcome::kInvalid:
            return kExitUsage;
        case Outcome::kNotFound:
            return kExitNotFound;
        case Outcome::kConflict:
        case Outcome::kUnavailable:
            return kExitFailed;
    }
    return kExitFailed;
}

int Report(const Outcome& outcome) {
    if (!outcome.ok()) {
        Error() << outcome.message << "\n";
    } else if (!outcome.message.empty()) {
        std::cout << outcome.message << std::endl;
    }
    return ExitCodeOf(outcome.kind);
}

int PrintExport(const Outcome& outcome) {
    auto links = outcome.fields.find("links");
    if (!outcome.ok() || links == outcome.fields.end()) {
        return Report(outcome);
    }
    std::cout << links->second << std::flush;
    return std::cout ? kExitOk : kExitFailed;
}

std::optional<const settings::SettingEntry*> SettingArgument(const std::string& key) {
    if (key.empty()) {
        return nullptr;
    }
    const settings::SettingEntry* entry = settings::FindSetting(key);
    if (entry == nullptr) {
        Error() << "unknown setting " << key << "; known: " << settings::KnownKeys() << "\n";
        return std::nullopt;
    }
    return entry;
}

void PrintSettings(const control::SettingsReport& report, const settings::SettingEntry* only) {
    for (const control::SettingRow& row : report.settings) {
        const settings::SettingEntry* entry = settings::FindSetting(row.key);
        if (entry == nullptr || (only != nullptr && only != entry)) {
            continue;
        }
        std::cout << row.key << "=" << row.value;
        if (only == nullptr) {
            std::cout << "\t# " << (row.unit.empty() ? "" : row.unit + "; ") << entry->description
                      << "; "
                      << settings::AppliesText(row.at_next_start ? settings::Applies::kAtNextStart
                                                                 : settings::Applies::kAtOnce);
        }
        std::cout << "\n";
    }
    std::cout << std::flush;
}

std::string ListCountsText(std::uint64_t allow, std::uint64_t deny, bool deny_active) {
    return "allow list: " + std::to_string(allow) + " ranges" + (deny_active ? "" : " (active)") +
           ", deny list: " + std::to_string(deny) + " ranges" + (deny_active ? " (active)" : "");
}

}  // namespace wharfkeep::app
