#pragma once
// Sizes, rates and durations as operators read them, the one form for the window's monitor
// pages and wharfkeepd's output.
//
// Size texts: a count below 1024 as a plain number, otherwise divided by its unit and shown
// with two decimals and the unit letter (K, M, G, T for 2^10 ... 2^40): "1023", "7.99K",
// "1.50M". BytesText and ByteRateText append "B" and "B/s" ("1.50MB", "8.00KB/s").

#include <cstdint>
#include <cstdio>
#include <string>

namespace wharfkeep {

inline std::string SizeText(std::uint64_t value) {
    constexpr struct {
        std::uint64_t unit;
        const char* letter;
    } kUnits[] = {{1ull << 40, "T"}, {1ull << 30, "G"}, {1ull << 20, "M"}, {1ull << 10, "K"}};
    char text[64];
    for (const auto& [unit, letter] : kUnits) {
        if (value >= unit) {
            // Rounded through float, as the monitor pages always have.
            const auto scaled = static_cast<float>(static_cast<double>(value) / unit);
            std::snprintf(text, sizeof text, "%.2f%s", static_cast<double>(scaled), letter);
            return text;
        }
    }
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

inline std::string BytesText(std::uint64_t bytes) {
    return SizeText(bytes) + "B";
}

inline std::string ByteRateText(std::uint64_t bytes_per_second) {
    return SizeText(bytes_per_second) + "B/s";
}

// "HH:MM:SS"; the hours have at least two digits and no upper bound.
inline std::string DurationText(std::uint64_t seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%02llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return text;
}

}  // namespace wharfkeep
