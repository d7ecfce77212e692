#include "wharfkeep/host/settings.h"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::host {

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
