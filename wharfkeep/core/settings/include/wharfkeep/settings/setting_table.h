#pragma once
// The operator settings in one table: key, kind of value, default, unit, description and the
// rule a typed value must pass. The database writes the defaults of a new file from it,
// `wharfkeepd config` lists and checks keys with it, the control interface checks changes
// with it and the settings page takes its default ports from it, so a key, its default and
// the reason a value is refused are written once.
//
// Plain data and pure functions: safe on any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wharfkeep::settings {

enum class SettingKind {
    kPort,          // 0..65535 (0: the server's own default)
    kCount,         // a whole number 0..4294967295
    kRate,          // bytes per second, also written as "2MB/s" or "800kbit/s"
    kFlag,          // 0 or 1
    kAccessWay,     // 0 by IP address, 1 by domain name
    kIpv4,          // dotted IPv4 address
    kHostName,      // printable text of at most 255 bytes
    kMasterId,      // 18 hexadecimal digits, blanks at both ends trimmed
    kScheduleDays,  // "all", "weekdays", "weekend" or "mon,tue,..."
    kTimeOfDay,     // "HH:MM"
    kSeconds,       // a duration of 0..86400 seconds
};

// When a changed value takes effect in a running instance.
enum class Applies {
    kAtOnce,
    kAtNextStart,  // read when the services or the folder watcher start
};

struct SettingEntry {
    const char* key;
    SettingKind kind;
    // The value a new database holds; nullptr when a new database does not store the key
    // (read as 0 or empty, or made fresh like the Master ID).
    const char* first_run_value;
    const char* unit;  // empty when the value has none
    const char* description;
    Applies applies;
};

// "applies at once" or "applies at the next start".
const char* AppliesText(Applies applies);

// Every setting, the ones a new database stores first and in the order it stores them.
std::span<const SettingEntry> AllSettings();

// The setting of `key`, letter case ignored; nullptr for an unknown key.
const SettingEntry* FindSetting(std::string_view key);
// The setting of a key the program itself names; throws std::logic_error for a key missing
// from the table (a programming fault).
const SettingEntry& SettingOf(std::string_view key);

// The first-run value of a key that has one, as a number.
std::uint32_t DefaultNumber(std::string_view key);

// A typed value that passed its rule: the text to store and, for numeric kinds, its number.
struct CheckedValue {
    std::string text;
    std::uint32_t number = 0;
};

// Either the checked value or the reason it was refused ("invalid value "x" for KEY: ...").
struct SettingCheck {
    std::optional<CheckedValue> value;
    std::string refusal;
};

SettingCheck CheckSetting(const SettingEntry& entry, const std::string& text);

// What a value of `kind` must look like, as the refusal says it.
const char* ExpectedValue(SettingKind kind);

// The keys as one line, "VP_Port STS_Port ...", for "unknown setting" answers.
std::string KnownKeys();

// The stored text as the classic decimal conversion reads it: optional blanks and sign,
// then leading digits; 0 without digits. Values beyond 32 bits wrap like an unsigned int.
std::uint32_t ParseStoredUnsigned(const std::string& text);

// Strict parsing for values an operator types: the whole text must be a decimal number not
// above `max`.
std::optional<std::uint32_t> ParseOperatorUnsigned(const std::string& text, std::uint32_t max);

// A Master ID the operator may choose: after trimming white space at both ends, exactly 18
// hexadecimal digits. Returns the trimmed identity.
std::optional<std::string> ValidMasterId(const std::string& text);

}  // namespace wharfkeep::settings
