#include "source_read_ahead.h"

#include <algorithm>

#include "core/result.h"

namespace moovwright {

SourceReadAhead::SourceReadAhead(IZHDFileCtrl& file, size_t windowSize, size_t windowCount)
    : file_(file),
      windowSize_(std::max<size_t>(windowSize, 4)),
      windows_(std::max<size_t>(windowCount, 1)) {}

uint32_t SourceReadAhead::ReadExact(uint64_t position, uint8_t* out, size_t length) {
    MW_RETURN_IF_FAILED(file_.Seek(position));
    size_t got = 0;
    MW_RETURN_IF_FAILED(file_.Read(out, length, &got));
    return got == length ? MW_OK : MW_NOT_ENOUGH_DATA;
}

uint32_t SourceReadAhead::ReadOnItsOwn(uint64_t position, size_t length, const uint8_t** bytes) {
    single_.resize(length);
    MW_RETURN_IF_FAILED(ReadExact(position, single_.data(), length));
    *bytes = single_.data();
    return MW_OK;
}

uint32_t SourceReadAhead::Slide(Window& window, uint64_t position) {
    const uint64_t newest = std::min(position, window.end());
    const uint64_t keepFrom =
        std::max(window.start, newest - std::min<uint64_t>(newest, windowSize_ / 4));
    window.bytes.erase(window.bytes.begin(),
                       window.bytes.begin() + static_cast<ptrdiff_t>(keepFrom - window.start));
    window.start = keepFrom;
    const uint64_t end = window.end();
    const size_t more =
        static_cast<size_t>(std::min<uint64_t>(windowSize_ - window.bytes.size(), fileSize_ - end));
    window.bytes.resize(window.bytes.size() + more);
    const uint32_t read = ReadExact(end, window.bytes.data() + (end - window.start), more);
    if (read != MW_OK)
        window.bytes.clear();
    return read;
}

uint32_t SourceReadAhead::Restart(Window& window, uint64_t position) {
    window.start = position;
    window.bytes.clear();
    return Slide(window, position);
}

uint32_t SourceReadAhead::Fetch(uint64_t position, size_t length, const uint8_t** bytes) {
    if (!sizeKnown_) {
        MW_RETURN_IF_FAILED(file_.GetSize(&fileSize_));
        sizeKnown_ = true;
    }
    if (position > fileSize_ || fileSize_ - position < length)
        return MW_NOT_ENOUGH_DATA;
    if (length > windowSize_ / 4)
        return ReadOnItsOwn(position, length, bytes);
    ++uses_;
    Window* chosen = nullptr;
    for (Window& window : windows_) {
        const bool within = position >= window.start && position + length <= window.end();
        const bool justAhead = position >= window.start &&
                               position < window.end() + windowSize_ / 4 && !window.bytes.empty();
        if (within || justAhead) {
            chosen = &window;
            if (!within)
                MW_RETURN_IF_FAILED(Slide(window, position));
            break;
        }
    }
    if (chosen == nullptr) {
        for (const Window& window : windows_) {
            if (!window.bytes.empty() && position < window.start &&
                window.start - position < windowSize_)
                return ReadOnItsOwn(position, length, bytes);
        }
        chosen = &*std::min_element(
            windows_.begin(), windows_.end(),
            [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
        MW_RETURN_IF_FAILED(Restart(*chosen, position));
    }
    chosen->lastUse = uses_;
    *bytes = chosen->bytes.data() + (position - chosen->start);
    return MW_OK;
}

}  // namespace moovwright
