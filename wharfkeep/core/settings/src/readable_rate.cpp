#include "wharfkeep/settings/readable_rate.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace wharfkeep::settings {
namespace {

struct RateUnit {
    std::string_view name;
    double bytes_per_second;
};

// Byte units are matched exactly ("Mb/s" is no byte unit); bit units too.
constexpr RateUnit kUnits[] = {
    {"", 1},
    {"B/s", 1},
    {"kB/s", 1e3},
    {"KB/s", 1e3},
    {"MB/s", 1e6},
    {"GB/s", 1e9},
    {"KiB/s", 1024.0},
    {"MiB/s", 1024.0 * 1024},
    {"GiB/s", 1024.0 * 1024 * 1024},
    {"bit/s", 1.0 / 8},
    {"kbit/s", 1e3 / 8},
    {"Kbit/s", 1e3 / 8},
    {"Mbit/s", 1e6 / 8},
    {"Gbit/s", 1e9 / 8},
    {"bps", 1.0 / 8},
    {"kbps", 1e3 / 8},
    {"Kbps", 1e3 / 8},
    {"Mbps", 1e6 / 8},
    {"Gbps", 1e9 / 8},
};

}  // namespace

std::optional<std::uint32_t> ParseReadableRate(const std::string& text) {
    std::size_t digits_end = 0;
    bool seen_digit = false;
    bool seen_point = false;
    for (; digits_end < text.size(); ++digits_end) {
        const char c = text[digits_end];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            seen_digit = true;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (!seen_digit) {
        return std::nullopt;
    }
    const double number = std::strtod(text.substr(0, digits_end).c_str(), nullptr);
    std::string_view unit(text);
    unit.remove_prefix(digits_end);
    while (!unit.empty() && unit.front() == ' ') {
        unit.remove_prefix(1);
    }
    for (const RateUnit& known : kUnits) {
        if (unit == known.name) {
            // A little slack so that "0.1MB/s" gives 100000, not 99999.
            const double bytes = std::floor(number * known.bytes_per_second + 1e-6);
            if (bytes > 4294967295.0) {
                return std::nullopt;
            }
            return static_cast<std::uint32_t>(bytes);
        }
    }
    return std::nullopt;
}

}  // namespace wharfkeep::settings
