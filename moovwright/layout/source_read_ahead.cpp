#include "source_read_ahead.h"

#include <algorithm>

#include "core/result.h"

namespace moovwright {

SourceReadAhead::SourceReadAhead(IZHDFileCtrl& file, size_t windowSize, size_t windowCount)
    : file_(file),
      windowSize_(std::max<size_t>(windowSize, 1)),
      windows_(std::max<size_t>(windowCount, 1)) {}

uint32_t SourceReadAhead::ReadExact(uint64_t position, uint8_t* out, size_t length) {
    MW_RETURN_IF_FAILED(file_.Seek(position));
    size_t got = 0;
    MW_RETURN_IF_FAILED(file_.Read(out, length, &got));
    return got == length ? MW_OK : MW_NOT_ENOUGH_DATA;
}

SourceReadAhead::Window& SourceReadAhead::LeastRecentlyUsed() {
    return *std::min_element(
        windows_.begin(), windows_.end(),
        [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
}

uint32_t SourceReadAhead::Fetch(uint64_t position, size_t length, const uint8_t** bytes) {
    if (length > windowSize_) {
        oversize_.resize(length);
        MW_RETURN_IF_FAILED(ReadExact(position, oversize_.data(), length));
        *bytes = oversize_.data();
        return MW_OK;
    }
    ++uses_;
    for (Window& window : windows_) {
        if (position >= window.start && position - window.start <= window.bytes.size() &&
            window.bytes.size() - (position - window.start) >= length && !window.bytes.empty()) {
            window.lastUse = uses_;
            *bytes = window.bytes.data() + (position - window.start);
            return MW_OK;
        }
    }
    if (!sizeKnown_) {
        MW_RETURN_IF_FAILED(file_.GetSize(&fileSize_));
        sizeKnown_ = true;
    }
    if (position > fileSize_ || fileSize_ - position < length)
        return MW_NOT_ENOUGH_DATA;
    Window& window = LeastRecentlyUsed();
    const size_t fill = static_cast<size_t>(std::min<uint64_t>(windowSize_, fileSize_ - position));
    window.bytes.resize(fill);
    window.start = position;
    window.lastUse = uses_;
    if (const uint32_t read = ReadExact(position, window.bytes.data(), fill); read != MW_OK) {
        window.bytes.clear();
        return read;
    }
    *bytes = window.bytes.data();
    return MW_OK;
}

}  // namespace moovwright
