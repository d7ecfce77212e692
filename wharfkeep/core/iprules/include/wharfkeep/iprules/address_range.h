#pragma once
// IPv4 address ranges as operators write them: a single address "10.0.0.7", a CIDR block
// "10.0.0.0/8" or two addresses "10.0.0.1-10.0.0.9". Addresses are 32-bit values with the
// first octet most significant, as the IP range tables store them. Pure functions, no state.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wharfkeep::iprules {

// Both ends inclusive; first <= last once parsed.
struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;

    bool Contains(std::uint32_t address) const { return first <= address && address <= last; }
    bool operator==(const AddressRange&) const = default;
};

// A dotted IPv4 address, four decimal parts of one to three digits each, 0..255. Leading
// zeros are decimal ("010" is ten), as block lists pad their octets that way.
std::optional<std::uint32_t> ParseAddress(std::string_view text);
std::string FormatAddress(std::uint32_t address);

// The outcome of reading one range text: the range, or why it was not taken.
struct RangeParse {
    std::optional<AddressRange> range;
    std::string error;  // empty when a range was read
    // A CIDR block written with host bits set ("10.0.0.5/8") is taken as its whole block;
    // this says so, so that a front end can tell the operator what was stored.
    std::string note;
};

// One address, a CIDR block or "first-last" (blanks allowed around the text and the dash).
// A reversed range is taken with its ends swapped, as the IP editors store the lower address
// first. Anything else gives an error text.
RangeParse ParseRange(std::string_view text);

// The shortest text ParseRange reads back as the same range: "a.b.c.d" for one address,
// "a.b.c.d/n" for an exact CIDR block, else "a.b.c.d-e.f.g.h".
std::string FormatRange(const AddressRange& range);

}  // namespace wharfkeep::iprules
