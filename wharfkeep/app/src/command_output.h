#pragma once
// How wharfkeepd reports the outcome of an operation, the same whether the operation ran
// in this process or in a running instance: the message on standard output, a refusal on
// standard error, and one exit code per kind of outcome.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "commands.h"
#include "wharfkeep/control/control_host.h"
#include "wharfkeep/outcome.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::app {

// Standard error, with the program's name in front.
std::ostream& Error();
int ExitCodeOf(Outcome::Kind kind);
// Prints the message (refusals on standard error) and gives the exit code.
int Report(const Outcome& outcome);
// An export's outcome: the link list itself when it carries one (export -o -), else as Report.
int PrintExport(const Outcome& outcome);
// The setting a config command names: null when it names none; nothing, with the known
// keys printed, when the key is unknown.
std::optional<const settings::SettingEntry*> SettingArgument(const std::string& key);
// Every setting as `config` lists it ("KEY=VALUE\t# unit; description; applies ..."), or
// only the value of `only` ("KEY=VALUE").
void PrintSettings(const control::SettingsReport& report, const settings::SettingEntry* only);
// "allow list: 1 ranges, deny list: 2 ranges (active)"
std::string ListCountsText(std::uint64_t allow, std::uint64_t deny, bool deny_active);

}  // namespace wharfkeep::app
