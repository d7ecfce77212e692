#include "wharfkeep/iprules/address_range.h"

#include <charconv>
#include <utility>

#include "text_scan.h"

namespace wharfkeep::iprules {
namespace {

// The netmask of a prefix length 0..32 (a shift by 32 would be undefined).
std::uint32_t PrefixMask(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

// The prefix length of a block that is exactly one CIDR block, or 33 when it is none.
unsigned ExactPrefix(const AddressRange& range) {
    for (unsigned prefix = 0; prefix <= 32; ++prefix) {
        const std::uint32_t mask = PrefixMask(prefix);
        if ((range.first & ~mask) == 0 && range.last == (range.first | ~mask)) {
            return prefix;
        }
    }
    return 33;
}

RangeParse Error(std::string text) {
    RangeParse result;
    result.error = std::move(text);
    return result;
}

RangeParse ParseCidr(std::string_view address_text, std::string_view prefix_text) {
    const std::optional<std::uint32_t> address = ParseAddress(TrimBlanks(address_text));
    if (!address) {
        return Error("not an IPv4 address before the \"/\"");
    }
    prefix_text = TrimBlanks(prefix_text);
    unsigned prefix = 0;
    const char* end = prefix_text.data() + prefix_text.size();
    auto [next, error] = std::from_chars(prefix_text.data(), end, prefix);
    if (error != std::errc() || next != end || prefix_text.size() > 2 || prefix > 32) {
        return Error("the prefix length after \"/\" must be 0 to 32");
    }
    const std::uint32_t mask = PrefixMask(prefix);
    RangeParse result;
    result.range = AddressRange{*address & mask, (*address & mask) | ~mask};
    if (result.range->first != *address) {
        result.note = "host bits set: taken as " + FormatRange(*result.range);
    }
    return result;
}

RangeParse ParseTwoEnds(std::string_view first_text, std::string_view last_text) {
    const std::optional<std::uint32_t> first = ParseAddress(TrimBlanks(first_text));
    const std::optional<std::uint32_t> last = ParseAddress(TrimBlanks(last_text));
    if (!first || !last) {
        return Error("not an IPv4 range \"first-last\"");
    }
    RangeParse result;
    result.range = AddressRange{*first, *last};
    if (*first > *last) {
        std::swap(result.range->first, result.range->last);
        result.note = "reversed: taken as " + FormatRange(*result.range);
    }
    return result;
}

}  // namespace

std::optional<std::uint32_t> ParseAddress(std::string_view text) {
    std::uint32_t address = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == end || *at != '.') {
                return std::nullopt;
            }
            ++at;
        }
        unsigned value = 0;
        auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || next == at || next - at > 3 || value > 255) {
            return std::nullopt;
        }
        address = (address << 8) | value;
        at = next;
    }
    if (at != end) {
        return std::nullopt;
    }
    return address;
}

std::string FormatAddress(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

RangeParse ParseRange(std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty()) {
        return Error("no address");
    }
    if (text.find(':') != std::string_view::npos) {
        return Error("IPv6 addresses are not supported");
    }
    if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
        return ParseCidr(text.substr(0, slash), text.substr(slash + 1));
    }
    if (const std::size_t dash = text.find('-'); dash != std::string_view::npos) {
        return ParseTwoEnds(text.substr(0, dash), text.substr(dash + 1));
    }
    const std::optional<std::uint32_t> address = ParseAddress(text);
    if (!address) {
        return Error("not an IPv4 address, CIDR block or range");
    }
    RangeParse result;
    result.range = AddressRange{*address, *address};
    return result;
}

std::string FormatRange(const AddressRange& range) {
    if (range.first == range.last) {
        return FormatAddress(range.first);
    }
    if (const unsigned prefix = ExactPrefix(range); prefix <= 32) {
        return FormatAddress(range.first) + "/" + std::to_string(prefix);
    }
    return FormatAddress(range.first) + "-" + FormatAddress(range.last);
}

}  // namespace wharfkeep::iprules
