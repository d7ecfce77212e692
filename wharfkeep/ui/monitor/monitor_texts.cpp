#include "monitor_texts.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>

#include "platform/hex.h"

namespace wharfkeep::ui::monitor {
namespace {

template <typename T>
int Order(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int UnitRank(char letter) {
    switch (letter) {
        case 'K':
            return 1;
        case 'M':
            return 2;
        case 'G':
            return 3;
        case 'T':
            return 4;
        default:
            return 0;
    }
}

struct SizeValue {
    int unit_rank = 0;
    double number = 0;
};

SizeValue ParseSize(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == '.' || (text[at] >= '0' && text[at] <= '9'))) {
        ++at;
    }
    SizeValue value;
    std::string number(text.substr(0, at));
    value.number = number.empty() ? 0 : std::strtod(number.c_str(), nullptr);
    if (at < text.size()) {
        value.unit_rank = UnitRank(text[at]);
    }
    return value;
}

// Leading decimal digits; saturates instead of wrapping.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::size_t& at) {
    std::size_t begin = at;
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
        value = value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10
                    ? std::numeric_limits<std::uint64_t>::max()
                    : value * 10 + digit;
    }
    if (at == begin) {
        return std::nullopt;
    }
    return value;
}

bool Expect(std::string_view text, std::size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

// Address then port as one 48-bit key; nothing when the text is no "a.b.c.d:port".
std::optional<std::uint64_t> AddressKey(std::string_view text) {
    std::size_t at = 0;
    std::uint64_t address = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0 && !Expect(text, at, '.')) {
            return std::nullopt;
        }
        std::optional<std::uint64_t> value = ParseUnsigned(text, at);
        if (!value || *value > 255) {
            return std::nullopt;
        }
        address = (address << 8) | *value;
    }
    std::optional<std::uint64_t> port;
    if (!Expect(text, at, ':') || !(port = ParseUnsigned(text, at)) || *port > 65535) {
        return std::nullopt;
    }
    return (address << 16) | *port;
}

std::optional<std::uint64_t> DurationSeconds(std::string_view text) {
    std::size_t at = 0;
    std::optional<std::uint64_t> hours = ParseUnsigned(text, at);
    std::optional<std::uint64_t> minutes, seconds;
    if (!hours || !Expect(text, at, ':') || !(minutes = ParseUnsigned(text, at)) ||
        !Expect(text, at, ':') || !(seconds = ParseUnsigned(text, at))) {
        return std::nullopt;
    }
    if (*hours > std::numeric_limits<std::uint64_t>::max() / 3600 - 1) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return *hours * 3600 + std::min<std::uint64_t>(*minutes, 1u << 20) * 60 +
           std::min<std::uint64_t>(*seconds, 1u << 20);
}

// Keys that do not parse sort before every key that does.
int OrderOptional(const std::optional<std::uint64_t>& a, const std::optional<std::uint64_t>& b) {
    if (a.has_value() != b.has_value()) {
        return a.has_value() ? 1 : -1;
    }
    return a ? Order(*a, *b) : 0;
}

}  // namespace

std::string BitRateText(std::uint64_t bytes_per_second) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t bits = bytes_per_second > kMax / 8 ? kMax : bytes_per_second * 8;
    return SizeText(bits) + "b/s";
}

std::string PeerIdText(const std::uint8_t (&peer_id)[16]) {
    return platform::upper_hex(peer_id);
}

std::string PeerAddressText(const sockaddr_in& address) {
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address.sin_addr.s_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", octets[0], octets[1], octets[2], octets[3],
                  static_cast<unsigned>(ntohs(address.sin_port)));
    return text;
}

int CompareSizeTexts(std::string_view a, std::string_view b) {
    SizeValue left = ParseSize(a);
    SizeValue right = ParseSize(b);
    if (left.unit_rank != right.unit_rank) {
        return Order(left.unit_rank, right.unit_rank);
    }
    return Order(left.number, right.number);
}

int CompareDecimalTexts(std::string_view a, std::string_view b) {
    std::size_t at_a = 0, at_b = 0;
    return OrderOptional(ParseUnsigned(a, at_a), ParseUnsigned(b, at_b));
}

int CompareAddressTexts(std::string_view a, std::string_view b) {
    return OrderOptional(AddressKey(a), AddressKey(b));
}

int CompareDurationTexts(std::string_view a, std::string_view b) {
    return OrderOptional(DurationSeconds(a), DurationSeconds(b));
}

}  // namespace wharfkeep::ui::monitor
