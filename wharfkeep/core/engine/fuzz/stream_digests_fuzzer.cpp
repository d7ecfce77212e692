// Arbitrary bytes as a file fed to the digest stage in pieces of arbitrary sizes: it must
// accept or refuse exactly as the layout parser does over the file's whole prefix, with the
// same layout, and never hold more than it may.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "stream_digests.h"
#include "wharfkeep/my_exception.h"

namespace {

std::optional<wharfkeep::ContainerLayout> layout_from_whole_prefix(
    std::span<const std::uint8_t> file) {
    const wharfkeep::PrefixReader read = [file](std::size_t n) {
        return std::vector<std::uint8_t>(file.begin(),
                                         file.begin() + std::ptrdiff_t(std::min(n, file.size())));
    };
    try {
        return wharfkeep::ParseContainer(read, file.size());
    } catch (const wharfkeep::CMyException&) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t chunk = std::size_t{data[0]} * 37 + 1;
    const std::span<const std::uint8_t> file(data + 1, size - 1);
    std::optional<wharfkeep::ContainerLayout> streamed;
    try {
        wharfkeep::StreamDigests digests("fuzz.mp4", file.size());
        for (std::size_t at = 0; at < file.size(); at += chunk) {
            digests.Append(file.subspan(at, std::min(chunk, file.size() - at)));
        }
        streamed = digests.Finish().layout;
    } catch (const wharfkeep::CMyException&) {
    }
    const auto whole = layout_from_whole_prefix(file);
    if (streamed.has_value() != whole.has_value() ||
        (streamed &&
         (streamed->header_length != whole->header_length ||
          streamed->tail_offset != whole->tail_offset || streamed->bit_rate != whole->bit_rate ||
          streamed->zqhd_length != whole->zqhd_length))) {
        __builtin_trap();
    }
    return 0;
}
