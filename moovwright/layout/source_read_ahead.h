#pragma once
// Reads the source's samples through a few large windows. The layout writes samples in time
// order, which in most sources is close to the order they are stored in; with one window per
// track (or two for a source that stores its tracks far apart) copying them costs a few
// large sequential reads instead of one small read per sample, and no byte is read twice
// unless a window is evicted before its samples are used.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/file_ctrl.h"

namespace moovwright {

class SourceReadAhead {
public:
    static constexpr size_t kDefaultWindowSize = size_t{2} << 20;
    static constexpr size_t kDefaultWindowCount = 4;

    explicit SourceReadAhead(IZHDFileCtrl& file, size_t windowSize = kDefaultWindowSize,
                             size_t windowCount = kDefaultWindowCount);

    // Points `*bytes` at the `length` bytes at `position` of the file; valid until the next
    // call. 12 when the file ends sooner; anything the file returns.
    uint32_t Fetch(uint64_t position, size_t length, const uint8_t** bytes);

private:
    struct Window {
        uint64_t start = 0;
        std::vector<uint8_t> bytes;  // empty: not filled yet
        uint64_t lastUse = 0;
    };

    uint32_t ReadExact(uint64_t position, uint8_t* out, size_t length);
    Window& LeastRecentlyUsed();

    IZHDFileCtrl& file_;
    size_t windowSize_;
    std::vector<Window> windows_;
    std::vector<uint8_t> oversize_;  // a sample larger than a window, read on its own
    uint64_t fileSize_ = 0;
    bool sizeKnown_ = false;
    uint64_t uses_ = 0;
};

}  // namespace moovwright
