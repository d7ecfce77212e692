// Arbitrary text as a stored link: rebuilding it must yield nothing or a link that
// rebuilds to itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "wharfkeep/engine/link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string link(reinterpret_cast<const char*>(data), size);
    const wharfkeep::LinkSettings settings{"10.0.0.1", "", 8189, 8190, "0A1B2C3D4E5F607182"};
    const auto rebuilt = wharfkeep::RebuildLink(link, settings);
    if (rebuilt && wharfkeep::RebuildLink(*rebuilt, settings) != rebuilt) {
        __builtin_trap();
    }
    return 0;
}
