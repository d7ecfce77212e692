// Arbitrary bytes as the start of a media file: every parser must answer with a layout or
// CMyException, never read outside the bytes or allocate what the bytes ask for.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "wharfkeep/container/container_layout.h"
#include "wharfkeep/container/h264_seek_header.h"
#include "wharfkeep/my_exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    // The first byte stretches the file beyond the bytes given, as a prefix of a larger one.
    const std::uint64_t file_size = size + (size > 0 ? std::uint64_t{data[0]} << 20 : 0);
    auto reader = [&](std::size_t n) {
        return std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
    };
    try {
        const wharfkeep::ContainerLayout layout = wharfkeep::ParseContainer(reader, file_size);
        if (layout.header_length > layout.tail_offset || layout.tail_offset > file_size) {
            __builtin_trap();
        }
    } catch (const wharfkeep::CMyException&) {
    }
    wharfkeep::SeekHeader seek;
    if (wharfkeep::BuildH264SeekHeader(bytes, file_size, seek) == wharfkeep::kSeekHeaderOk &&
        seek.bytes.size() != seek.header_length) {
        __builtin_trap();
    }
    return 0;
}
