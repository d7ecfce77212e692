// Sort comparisons of the monitor's list texts and the mount table walk on arbitrary bytes:
// no crash, no hang, and every comparison antisymmetric (a sort relies on it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include "monitor_texts.h"
#include "platform/disk_space.h"

namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

void CheckAntisymmetric(int (*compare)(std::string_view, std::string_view), std::string_view a,
                        std::string_view b) {
    if (Sign(compare(a, b)) != -Sign(compare(b, a)) || compare(a, a) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('|');
    const std::string_view a = input.substr(0, split);
    const std::string_view b =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    using namespace wharfkeep::ui::monitor;
    CheckAntisymmetric(CompareSizeTexts, a, b);
    CheckAntisymmetric(CompareDecimalTexts, a, b);
    CheckAntisymmetric(CompareAddressTexts, a, b);
    CheckAntisymmetric(CompareDurationTexts, a, b);

    platform::DiskSpace space = platform::sum_disk_space(
        input,
        [](const std::string& source, const std::string&) -> std::optional<std::uint64_t> {
            if (source.empty() || source[0] != '/') {
                return std::nullopt;
            }
            return std::hash<std::string>{}(source) % 7;
        },
        [](const std::string& point) -> std::optional<platform::DiskSpace> {
            if (point.size() % 3 == 0) {
                return std::nullopt;
            }
            return platform::DiskSpace{point.size(), point.size() * 2};
        });
    if (space.free_bytes > space.total_bytes) {
        std::abort();
    }
    return 0;
}
