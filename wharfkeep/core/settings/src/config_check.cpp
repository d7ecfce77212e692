#include "wharfkeep/settings/config_check.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "platform/ini_file.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::settings {
namespace {

// The rule of a key, one function each: nothing when the value passes, else the value the
// reader uses instead.
enum class Rule {
    kLogLevel,     // error, warning (or warn), info, debug; any letter case
    kHost,         // empty or a host name: printable, no blanks, at most 255 bytes
    kPort,         // 1..65535
    kPageSize,     // a multiple of 4096 from 4096 to 16 MiB
    kBytes,        // 0..2147483647 (the reader takes 32 signed bits)
    kPositive,     // 1..2147483647
    kParallelIo,   // 1..64 reads at a time
    kFlag,         // 0 or 1
    kPath,         // shorter than 4096 bytes
    kHostAndPort,  // empty or HOST:PORT
    kText,         // any text; its reader checks it where it is used
    kClientCap,    // 1..100000 clients at once
    kFolderList,   // comma-separated absolute paths
};

struct KeyRule {
    IniKey key;
    Rule rule;
};

constexpr std::int64_t kLargestInt = 2147483647;
constexpr std::int64_t kParallelReads = 64;  // the peer server's cap of parallel disk reads
constexpr std::size_t kLongestPath = 4095;
constexpr std::size_t kLongestHostName = 255;

// The readers' defaults are repeated here; the test over packaging/Wharfkeep.ini compares
// them with the file that documents them.
constexpr std::array<KeyRule, 28> kKeys = {{
    {{"log", "level", "info", "error, warning, info or debug"}, Rule::kLogLevel},
    {{"report", "publish_host", "", "a host name or IPv4 address (empty: off)"}, Rule::kHost},
    {{"report", "publish_port", "1980", "a port from 1 to 65535"}, Rule::kPort},
    {{"report", "activity_host", "", "a host name or IPv4 address (empty: off)"}, Rule::kHost},
    {{"report", "activity_port", "80", "a port from 1 to 65535"}, Rule::kPort},
    {{"vp", "page_size", "65536", "a multiple of 4096 from 4096 to 16777216"}, Rule::kPageSize},
    {{"vp", "block_size", "67108864", "a whole number from 1 to 2147483647"}, Rule::kPositive},
    {{"vp", "reserved_mem_size", "314572800", "a whole number from 0 to 2147483647"}, Rule::kBytes},
    {{"vp", "minimum_mem_size", "268435456", "a whole number from 0 to 2147483647"}, Rule::kBytes},
    {{"vp", "maximum_mem_size", "1717986918", "a whole number from 0 to 2147483647"}, Rule::kBytes},
    {{"vp", "disk_read_buffer_size", "104857600", "a whole number from 0 to 2147483647"},
     Rule::kBytes},
    {{"vp", "pop_calc_period_minutes", "1440", "a whole number from 1 to 2147483647"},
     Rule::kPositive},
    {{"vp", "pop_calc_count_interval_minutes", "30", "a whole number from 1 to 2147483647"},
     Rule::kPositive},
    {{"vp", "max_inprogress_file_io", "1", "a whole number from 1 to 64"}, Rule::kParallelIo},
    {{"vp", "auto_dump_cache_interval_seconds", "0", "a whole number from 0 to 2147483647"},
     Rule::kBytes},
    {{"vp", "dump_cache_file_path", "", "a path shorter than 4096 bytes"}, Rule::kPath},
    {{"sts", "max_connections", "1024", "a whole number from 1 to 2147483647"}, Rule::kPositive},
    {{"control", "metrics_address", "", "HOST:PORT (empty: off)"}, Rule::kHostAndPort},
    {{"control", "listen", "", "ADDRESS:PORT items (empty: off)"}, Rule::kText},
    {{"control", "tls_certificate", "", "a PEM file"}, Rule::kText},
    {{"control", "tls_key", "", "a PEM file"}, Rule::kText},
    {{"control", "max_clients", "64", "a whole number from 1 to 100000"}, Rule::kClientCap},
    {{"control", "allowed_hosts", "", "host names"}, Rule::kText},
    {{"control", "trusted_proxies", "", "addresses or CIDR blocks"}, Rule::kText},
    {{"control", "socket_group", "", "a group name or number"}, Rule::kText},
    {{"web", "session_idle_minutes", "720", "a whole number from 1 to 2147483647"},
     Rule::kPositive},
    {{"web", "browse_roots", "", "absolute folders, comma-separated (empty: a typed path only)"},
     Rule::kFolderList},
    {{"crash", "usedump", "0", "0 or 1"}, Rule::kFlag},
}};

bool SameWord(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// The whole text as a decimal number (sign allowed), nothing when it is not one.
std::optional<std::int64_t> WholeNumber(const std::string& text) {
    std::int64_t number = 0;
    const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || stop != end || begin == end) {
        return std::nullopt;
    }
    return number;
}

// What the INI reader makes of a number: the leading decimal integer, 32 signed bits.
std::int64_t ReaderNumber(const std::string& text) {
    const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(parsed));
}

// A number rule: nothing when `text` is a whole number in [low, high]; else what the reader
// uses, its own reading when that is in range, the default otherwise.
std::optional<std::string> NumberIn(const std::string& text, std::int64_t low, std::int64_t high,
                                    const char* fallback) {
    std::optional<std::int64_t> number = WholeNumber(text);
    if (number && *number >= low && *number <= high) {
        return std::nullopt;
    }
    const std::int64_t read = ReaderNumber(text);
    return read >= low && read <= high ? std::to_string(read) : std::string(fallback);
}

bool PrintableWithoutBlanks(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isgraph(c); });
}

// True when every item of a comma-separated list is an absolute path (blank items are
// skipped, as the reader skips them).
bool AllAbsolute(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        const std::size_t first = item.find_first_not_of(" \t");
        if (first != std::string::npos && item[first] != '/') {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

std::optional<std::string> Broken(const KeyRule& entry, const std::string& text) {
    const char* fallback = entry.key.default_value;
    switch (entry.rule) {
        case Rule::kLogLevel:
            for (const char* level : {"error", "warning", "warn", "info", "debug"}) {
                if (SameWord(text, level)) {
                    return std::nullopt;
                }
            }
            return fallback;
        case Rule::kHost:
            if (text.size() <= kLongestHostName && PrintableWithoutBlanks(text)) {
                return std::nullopt;
            }
            return "it as written (reports to it fail)";
        case Rule::kPort:
            return NumberIn(text, 1, 65535, "off");
        case Rule::kPageSize: {
            std::optional<std::int64_t> size = WholeNumber(text);
            if (size && *size >= 4096 && *size <= (16 << 20) && *size % 4096 == 0) {
                return std::nullopt;
            }
            return fallback;
        }
        case Rule::kBytes:
            return NumberIn(text, 0, kLargestInt, fallback);
        case Rule::kPositive:
            return NumberIn(text, 1, kLargestInt, fallback);
        case Rule::kParallelIo: {
            std::optional<std::string> used = NumberIn(text, 1, kParallelReads, fallback);
            if (used && ReaderNumber(text) > kParallelReads) {
                return std::to_string(kParallelReads);  // the reader clamps
            }
            return used;
        }
        case Rule::kFlag:
            return NumberIn(text, 0, 1, fallback);
        case Rule::kPath:
            return text.size() <= kLongestPath ? std::nullopt
                                               : std::optional<std::string>(fallback);
        case Rule::kHostAndPort: {
            if (text.empty()) {
                return std::nullopt;
            }
            const std::size_t colon = text.rfind(':');
            if (colon != std::string::npos && colon > 0 &&
                PrintableWithoutBlanks(text.substr(0, colon)) &&
                !NumberIn(text.substr(colon + 1), 0, 65535, "")) {
                return std::nullopt;
            }
            return "nothing: the control interface does not start";
        }
        case Rule::kText:
            return std::nullopt;
        case Rule::kClientCap:
            return NumberIn(text, 1, 100000, "nothing: serve does not start");
        case Rule::kFolderList:
            return AllAbsolute(text) ? std::nullopt
                                     : std::optional<std::string>(
                                           "nothing: the control interface does not start");
    }
    return fallback;
}

const KeyRule* FindKey(const std::string& section, const std::string& key) {
    for (const KeyRule& entry : kKeys) {
        if (SameWord(section, entry.key.section) && SameWord(key, entry.key.key)) {
            return &entry;
        }
    }
    return nullptr;
}

bool KnownSection(const std::string& section) {
    return std::any_of(kKeys.begin(), kKeys.end(),
                       [&](const KeyRule& entry) { return SameWord(section, entry.key.section); });
}

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::string ConfigProblem::Text() const {
    std::string text = location + ": " + message;
    if (!used_instead.empty()) {
        text += "; using " + used_instead;
    }
    return text;
}

std::span<const IniKey> AllIniKeys() {
    static const std::array<IniKey, kKeys.size()> keys = [] {
        std::array<IniKey, kKeys.size()> all{};
        std::transform(kKeys.begin(), kKeys.end(), all.begin(),
                       [](const KeyRule& entry) { return entry.key; });
        return all;
    }();
    return keys;
}

std::vector<ConfigProblem> CheckIniFile(const std::filesystem::path& path) {
    const platform::IniFile::Listing listing = platform::IniFile::list(path);
    std::vector<ConfigProblem> problems;
    auto at = [&path](int line) { return path.string() + ":" + std::to_string(line); };
    std::set<std::string> unknown_sections;
    std::map<std::string, int> first_line_of;  // "section\nkey" -> the line that counts
    for (const platform::IniFile::Entry& entry : listing.entries) {
        const std::string name = "[" + entry.section + "] " + entry.key;
        if (!KnownSection(entry.section)) {
            if (unknown_sections.insert(Lowered(entry.section)).second) {
                problems.push_back({at(entry.line), "unknown section [" + entry.section + "]", ""});
            }
            continue;
        }
        const KeyRule* rule = FindKey(entry.section, entry.key);
        if (rule == nullptr) {
            problems.push_back({at(entry.line), "unknown key " + name, ""});
            continue;
        }
        auto [first, inserted] =
            first_line_of.emplace(Lowered(entry.section + "\n" + entry.key), entry.line);
        if (!inserted) {
            problems.push_back(
                {at(entry.line),
                 name + " given again; line " + std::to_string(first->second) + " counts", ""});
            continue;
        }
        if (std::optional<std::string> used = Broken(*rule, entry.value)) {
            problems.push_back({at(entry.line),
                                name + " = " + entry.value + ": expected " + rule->key.rule,
                                used->empty() ? "an empty value" : *used});
        }
    }
    if (listing.first_malformed_line > 0) {
        problems.push_back({at(listing.first_malformed_line),
                            "not a [section], a key = value line or a ; comment", "nothing of it"});
    }
    for (int line : listing.long_lines) {
        problems.push_back({at(line), "line too long to read", "nothing of it"});
    }
    std::stable_sort(
        problems.begin(), problems.end(), [](const ConfigProblem& a, const ConfigProblem& b) {
            return a.location.size() != b.location.size() ? a.location.size() < b.location.size()
                                                          : a.location < b.location;
        });
    return problems;
}

std::vector<ConfigProblem> CheckStoredSettings(
    const std::vector<std::pair<std::string, std::string>>& stored, const std::string& where) {
    std::vector<ConfigProblem> problems;
    for (const auto& [key, text] : stored) {
        const SettingEntry* entry = FindSetting(key);
        if (entry == nullptr) {
            problems.push_back({where, "unknown setting " + key, ""});
            continue;
        }
        SettingCheck check = CheckSetting(*entry, text);
        if (!check.value) {
            problems.push_back({where, check.refusal, ""});
        }
    }
    return problems;
}

}  // namespace wharfkeep::settings
