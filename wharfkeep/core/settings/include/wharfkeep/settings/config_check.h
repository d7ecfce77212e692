#pragma once
// Checks the configuration an instance starts with, as `wharfkeepd check-config` does
// before a reload (after `nginx -t`): every entry of Wharfkeep.ini against the table of
// the keys the programs read, and the values stored in the database against the table of
// settings. A problem names where it is (FILE:LINE, or the database and the key), the rule
// the value breaks and the value the program uses instead.
//
// The readers of Wharfkeep.ini are spread over the modules that use each section (the peer
// server's cache, the list server, the reports, the log, the control interface, the crash
// handler); the rules here say what those readers accept, in one place, so that a value a
// reader would quietly replace is reported.
//
// Plain data and pure functions of their input: safe on any thread.

#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace wharfkeep::settings {

struct ConfigProblem {
    std::string location;      // "/var/lib/wharfkeep/Wharfkeep.ini:12"
    std::string message;       // "[log] level = loud: expected error, warning, info or debug"
    std::string used_instead;  // what the program uses instead; empty when nothing applies
    // "LOCATION: MESSAGE; using USED" as the command and the log print it.
    std::string Text() const;
};

// A key of Wharfkeep.ini the programs read.
struct IniKey {
    const char* section;
    const char* key;
    const char* default_value;  // as the reader takes it when the key is absent
    const char* rule;           // what a value must be, as a problem says it
};

// Every key, in the order packaging/Wharfkeep.ini lists them.
std::span<const IniKey> AllIniKeys();

// The problems of the INI file at `path`: unknown sections and keys, values that break
// their key's rule, keys given twice (the first counts), malformed and overlong lines. A
// missing file has none: every key then takes its default.
std::vector<ConfigProblem> CheckIniFile(const std::filesystem::path& path);

// The problems of stored settings, given as (key, stored text) pairs: values the table of
// settings refuses. `where` names the database in the locations.
std::vector<ConfigProblem> CheckStoredSettings(
    const std::vector<std::pair<std::string, std::string>>& stored, const std::string& where);

}  // namespace wharfkeep::settings
