#include "wharfkeep/host/settings.h"

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::host {

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    return iprules::ParseAddress(text);
}

std::string FormatIpv4(std::uint32_t address) {
    return iprules::FormatAddress(address);
}

std::uint32_t UnsignedSetting::Get(ResourceDatabase& db) const {
    return ParseStoredUnsigned(db.GetParam(key_));
}

void UnsignedSetting::Set(ResourceDatabase& db, std::uint32_t value) const {
    db.SetParam(key_, std::to_string(value));
}

}  // namespace wharfkeep::host
