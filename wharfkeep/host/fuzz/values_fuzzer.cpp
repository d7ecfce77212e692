// Values an operator types (addresses, numbers, Master IDs) and stored links: the parsers
// must accept exactly what they print back and never misbehave on other bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    using namespace wharfkeep::host;
    if (std::optional<std::uint32_t> address = ParseIpv4(text)) {
        if (ParseIpv4(FormatIpv4(*address)) != address) {
            std::abort();
        }
    }
    if (std::optional<std::uint32_t> number = ParseOperatorUnsigned(text, 0xFFFFFFFFu)) {
        if (ParseStoredUnsigned(std::to_string(*number)) != *number) {
            std::abort();
        }
    }
    if (std::optional<std::string> id = ValidMasterId(text)) {
        if (id->size() != 18 || ValidMasterId(*id) != id) {
            std::abort();
        }
    }
    ParseStoredUnsigned(text);
    std::string encoded = EncodeLink(text);
    std::size_t remainder = text.size() > 9 ? text.size() - 9 : 0;
    if (encoded.size() != 9 + 4 * ((remainder + 2) / 3)) {
        std::abort();
    }
    FolderOf(text);
    FileNameOf(text);
    return 0;
}
