#include "source_copy_atom.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

namespace moovwright {

namespace {
constexpr uint64_t kCopyChunk = 1 << 20;
}

CZHDSourceCopyAtom::CZHDSourceCopyAtom(const CZHDAtom& original, IZHDFileCtrl& source)
    : CZHDAtom(original.type),
      source_(source),
      sourcePayloadPosition_(original.position + original.headerSize),
      sourcePayloadSize_(original.size - original.headerSize) {
    // A copy too large for a 32-bit size gets the 64-bit header instead of a wrapped size.
    headerSize = sourcePayloadSize_ + 8 > std::numeric_limits<uint32_t>::max() ? 16 : 8;
}

uint32_t CZHDSourceCopyAtom::UpdateDataSize() {
    dataSize = sourcePayloadSize_;
    return MW_OK;
}

uint32_t CZHDSourceCopyAtom::WriteData(IZHDFileCtrl& file) {
    try {
        std::vector<uint8_t> buffer(static_cast<size_t>(std::min(sourcePayloadSize_, kCopyChunk)));
        for (uint64_t copied = 0; copied < sourcePayloadSize_;) {
            const size_t want =
                static_cast<size_t>(std::min(sourcePayloadSize_ - copied, kCopyChunk));
            MW_RETURN_IF_FAILED(source_.Seek(sourcePayloadPosition_ + copied));
            size_t got = 0;
            MW_RETURN_IF_FAILED(source_.Read(buffer.data(), want, &got));
            if (got != want)
                return MW_NOT_ENOUGH_DATA;
            MW_RETURN_IF_FAILED(file.Write(buffer.data(), want));
            copied += want;
        }
    } catch (const std::bad_alloc&) {
        return MW_OUT_OF_MEMORY;
    }
    return MW_OK;
}

}  // namespace moovwright
