#pragma once
// Typed access to the operator settings kept in pwt_commparam: one small wrapper per key,
// so that no page or command spells a key or its encoding itself. Keys, defaults and value
// rules are those of the settings table (wharfkeep/settings/setting_table.h).
//
// Values are stored as decimal text ("%u"); a missing, empty or non-numeric value reads as 0
// (leading digits count, as the classic decimal conversion reads them).

#include <cstdint>
#include <optional>
#include <string>

#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep {
class ResourceDatabase;
struct ServerAccessSettings;
}  // namespace wharfkeep

namespace wharfkeep::host {

class UnsignedSetting {
public:
    constexpr explicit UnsignedSetting(const char* key) : key_(key) {}
    const char* key() const { return key_; }
    std::uint32_t Get(ResourceDatabase& db) const;
    void Set(ResourceDatabase& db, std::uint32_t value) const;

private:
    const char* key_;
};

inline constexpr UnsignedSetting kVpPort{"VP_Port"};
inline constexpr UnsignedSetting kStsPort{"STS_Port"};
inline constexpr UnsignedSetting kVpUploadSpeedLimit{"VP_UploadSpeedLimit"};
inline constexpr UnsignedSetting kVpConnLimit{"VP_ConnLimit"};
inline constexpr UnsignedSetting kVpAutoStart{"VP_AutoStart"};
inline constexpr UnsignedSetting kUseIpFilter{"UseIPFilter"};
inline constexpr UnsignedSetting kIpNameListType{"IP_NameListType"};
inline constexpr const char* kMasterIdKey = "Master_ID";

// The parsers of typed and stored values live with the table of settings.
using settings::ParseOperatorUnsigned;
using settings::ParseStoredUnsigned;
using settings::ValidMasterId;

// The stored value of a key of the settings table as text, as `wharfkeepd config` prints it:
// the access address from `access`, the schedule's days and times in their own forms,
// every other key as a decimal number.
std::string StoredSettingText(ResourceDatabase& db, const ServerAccessSettings& access,
                              const std::string& key);

// A dotted IPv4 address "a.b.c.d" with each part 0..255, as a value with the first octet
// most significant.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);
std::string FormatIpv4(std::uint32_t address);

}  // namespace wharfkeep::host
