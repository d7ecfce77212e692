#include "wharfkeep/settings/setting_table.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <stdexcept>

#include "wharfkeep/iprules/address_range.h"
#include "wharfkeep/schedule/upload_schedule.h"
#include "wharfkeep/settings/readable_rate.h"

namespace wharfkeep::settings {
namespace {

using enum SettingKind;
using enum Applies;

// Those with a first-run value are what a new database stores, in this order (the designed
// seven, then the per-address cap); the Master ID of a new database is made fresh by the
// database itself.
//
// VP_AddrConnLimit is 32 from the first run: peers behind one NAT (a household, an office,
// a campus gateway) share an address, and 32 lets a crowd of them download at once, while
// one address can take no more than about a sixth of the default VP_ConnLimit of 200, so
// no single host can fill the limit and lock every other peer out.
constexpr std::array<SettingEntry, 21> kSettings = {{
    {"UseIPFilter", kFlag, "0", "", "1: the IP filter is on", kAtOnce},
    {"IP_NameListType", kFlag, "0", "", "0: allow list active, 1: deny list active", kAtOnce},
    {"VP_UploadSpeedLimit", kRate, "0", "bytes/s",
     "upload limit in bytes per second, or 2MB/s, 800kbit/s (0: unlimited)", kAtOnce},
    {"VP_ConnLimit", kCount, "200", "connections", "maximum peer connections (0: unlimited)",
     kAtOnce},
    {"VP_Port", kPort, "8189", "", "transfer port of the peer upload server (0: its own default)",
     kAtNextStart},
    {"STS_Port", kPort, "8190", "", "protocol port of the list server (0: its own default)",
     kAtNextStart},
    {"VP_AutoStart", kFlag, "1", "", "1: start the services at start-up", kAtNextStart},
    {"VP_AddrConnLimit", kCount, "32", "connections",
     "maximum peer connections from one address (0: no cap)", kAtOnce},
    {"VP_AltUploadSpeedLimit", kCount, nullptr, "bytes/s",
     "alternative upload limit in bytes per second (0: unlimited)", kAtOnce},
    {"VP_AltScheduleOn", kFlag, nullptr, "", "1: the alternative limit follows its schedule",
     kAtOnce},
    {"VP_AltScheduleDays", kScheduleDays, nullptr, "",
     "days the schedule starts: all, weekdays, weekend or mon,tue,...", kAtOnce},
    {"VP_AltScheduleFrom", kTimeOfDay, nullptr, "HH:MM", "schedule start, HH:MM", kAtOnce},
    {"VP_AltScheduleTo", kTimeOfDay, nullptr, "HH:MM",
     "schedule end, HH:MM (at or before the start: the next day)", kAtOnce},
    {"VP_AltLimitManual", kFlag, nullptr, "", "1: the alternative limit now, whatever the schedule",
     kAtOnce},
    {"VP_UploadPaused", kFlag, nullptr, "", "1: send nothing to peers", kAtOnce},
    {"WatchSettleSeconds", kSeconds, nullptr, "s",
     "watched folders: seconds a file must stay unchanged before it is published (0: 10)",
     kAtNextStart},
    {"WatchRescanSeconds", kSeconds, nullptr, "s",
     "watched folders: seconds between safety rescans (0: 300)", kAtNextStart},
    {"Master_ID", kMasterId, nullptr, "", "publisher identity, 18 hexadecimal digits", kAtOnce},
    {"AccessWay", kAccessWay, nullptr, "", "0: peers reach this host by IP, 1: by domain name",
     kAtOnce},
    {"AccessIP", kIpv4, nullptr, "", "IPv4 address peers use", kAtOnce},
    {"AccessDomain", kHostName, nullptr, "", "domain name peers use", kAtOnce},
}};

constexpr std::size_t kLongestHostName = 255;

std::optional<CheckedValue> Numeric(std::optional<std::uint32_t> number) {
    if (!number) {
        return std::nullopt;
    }
    return CheckedValue{std::to_string(*number), *number};
}

std::optional<CheckedValue> CheckValue(SettingKind kind, const std::string& text) {
    switch (kind) {
        case kPort:
            return Numeric(ParseOperatorUnsigned(text, 65535));
        case kCount:
            return Numeric(ParseOperatorUnsigned(text, 0xFFFFFFFFu));
        case kRate:
            return Numeric(ParseReadableRate(text));
        case kFlag:
        case kAccessWay:
            return Numeric(ParseOperatorUnsigned(text, 1));
        case kIpv4: {
            std::optional<std::uint32_t> address = iprules::ParseAddress(text);
            if (!address) {
                return std::nullopt;
            }
            return CheckedValue{iprules::FormatAddress(*address), *address};
        }
        case kHostName: {
            const bool printable = std::all_of(
                text.begin(), text.end(), [](unsigned char c) { return c >= 0x20 && c != 0x7F; });
            if (!printable || text.size() > kLongestHostName) {
                return std::nullopt;
            }
            return CheckedValue{text, 0};
        }
        case kMasterId: {
            std::optional<std::string> id = ValidMasterId(text);
            if (!id) {
                return std::nullopt;
            }
            return CheckedValue{*id, 0};
        }
        case kScheduleDays: {
            const int days = schedule::ParseDays(text);
            if (days < 0) {
                return std::nullopt;
            }
            return CheckedValue{std::to_string(days), static_cast<std::uint32_t>(days)};
        }
        case kSeconds:
            return Numeric(ParseOperatorUnsigned(text, 86400));
        case kTimeOfDay: {
            const int minute = schedule::ParseTimeOfDay(text);
            if (minute < 0) {
                return std::nullopt;
            }
            return CheckedValue{std::to_string(minute), static_cast<std::uint32_t>(minute)};
        }
    }
    return std::nullopt;
}

}  // namespace

const char* AppliesText(Applies applies) {
    return applies == kAtOnce ? "applies at once" : "applies at the next start";
}

std::span<const SettingEntry> AllSettings() {
    return kSettings;
}

const SettingEntry* FindSetting(std::string_view key) {
    for (const SettingEntry& entry : kSettings) {
        std::string_view name = entry.key;
        if (name.size() == key.size() && strncasecmp(name.data(), key.data(), key.size()) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

const SettingEntry& SettingOf(std::string_view key) {
    const SettingEntry* entry = FindSetting(key);
    if (entry == nullptr) {
        throw std::logic_error("no setting " + std::string(key));
    }
    return *entry;
}

std::uint32_t DefaultNumber(std::string_view key) {
    const SettingEntry& entry = SettingOf(key);
    return entry.first_run_value == nullptr ? 0u : ParseStoredUnsigned(entry.first_run_value);
}

const char* ExpectedValue(SettingKind kind) {
    // In the order of SettingKind.
    static constexpr const char* kExpected[] = {
        "a port number 0..65535",
        "a whole number 0..4294967295",
        "bytes per second, or a rate such as 2MB/s, 1.5MiB/s, 800kbit/s",
        "0 or 1",
        "0 (by IP address) or 1 (by domain name)",
        "a dotted IPv4 address",
        "a host name of at most 255 bytes without control characters",
        "18 hexadecimal digits",
        "all, weekdays, weekend or days like mon,wed,sat",
        "a time of day HH:MM",
        "seconds 0..86400",
    };
    static_assert(std::size(kExpected) == static_cast<std::size_t>(kSeconds) + 1);
    return kExpected[static_cast<std::size_t>(kind)];
}

SettingCheck CheckSetting(const SettingEntry& entry, const std::string& text) {
    SettingCheck check;
    check.value = CheckValue(entry.kind, text);
    if (!check.value) {
        check.refusal =
            "invalid value \"" + text + "\" for " + entry.key + ": " + ExpectedValue(entry.kind);
    }
    return check;
}

std::string KnownKeys() {
    std::string keys;
    for (const SettingEntry& entry : kSettings) {
        keys += keys.empty() ? "" : " ";
        keys += entry.key;
    }
    return keys;
}

std::uint32_t ParseStoredUnsigned(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::uint32_t value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        value = value * 10u + static_cast<std::uint32_t>(text[at] - '0');
    }
    return negative ? 0u - value : value;
}

std::optional<std::uint32_t> ParseOperatorUnsigned(const std::string& text, std::uint32_t max) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> ValidMasterId(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) {
        return std::nullopt;
    }
    std::size_t last = text.find_last_not_of(" \t\r\n\v\f");
    std::string trimmed = text.substr(first, last - first + 1);
    if (trimmed.size() != 18) {
        return std::nullopt;
    }
    for (char c : trimmed) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    return trimmed;
}

}  // namespace wharfkeep::settings
