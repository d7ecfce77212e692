#pragma once
// Typed access to the operator settings kept in pwt_commparam: one small wrapper per key,
// so that no page or command spells a key or its encoding itself.
//
// Values are stored as decimal text ("%u"); a missing, empty or non-numeric value reads as 0
// (leading digits count, as the classic decimal conversion reads them).

#include <cstdint>
#include <optional>
#include <string>

namespace wharfkeep {
class ResourceDatabase;
}

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

inline constexpr std::uint16_t kDefaultTransferPort = 8189;
inline constexpr std::uint16_t kDefaultProtocolPort = 8190;

// The stored text as the classic decimal conversion reads it: optional blanks and sign,
// then leading digits; 0 without digits. Values beyond 32 bits wrap like an unsigned int.
std::uint32_t ParseStoredUnsigned(const std::string& text);

// Strict parsing for values an operator types on a command line: the whole text must be a
// decimal number not above `max`.
std::optional<std::uint32_t> ParseOperatorUnsigned(const std::string& text, std::uint32_t max);

// A Master ID the operator may choose: after trimming white space at both ends, exactly 18
// hexadecimal digits. Returns the trimmed identity.
std::optional<std::string> ValidMasterId(const std::string& text);

// A dotted IPv4 address "a.b.c.d" with each part 0..255, as a value with the first octet
// most significant.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);
std::string FormatIpv4(std::uint32_t address);

}  // namespace wharfkeep::host
