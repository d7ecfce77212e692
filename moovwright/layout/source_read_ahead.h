#pragma once
// Reads the source's samples through a few sliding windows. The layout writes samples in
// time order, which in most sources is close to the order they are stored in: a window
// slides forward over the file in large sequential reads, keeping a quarter of itself
// behind the newest sample for the small inversions of an interleaved source. A source that
// stores its tracks far apart gets a window per region. A sample just behind a window, or
// larger than a quarter of one, is read on its own; so no byte is read twice except such
// samples and the few bytes at a window's restart.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/file_ctrl.h"

namespace moovwright {

class SourceReadAhead {
public:
    static constexpr size_t kDefaultWindowSize = size_t{2} << 20;
    static constexpr size_t kDefaultWindowCount = 3;

    explicit SourceReadAhead(IZHDFileCtrl& file, size_t windowSize = kDefaultWindowSize,
                             size_t windowCount = kDefaultWindowCount);

    // Points `*bytes` at the `length` bytes at `position` of the file; valid until the next
    // call. 12 when the file ends sooner; anything the file returns.
    uint32_t Fetch(uint64_t position, size_t length, const uint8_t** bytes);

private:
    struct Window {
        uint64_t start = 0;
        std::vector<uint8_t> bytes;  // the file's bytes from `start`
        uint64_t lastUse = 0;
        uint64_t end() const { return start + bytes.size(); }
    };

    uint32_t ReadExact(uint64_t position, uint8_t* out, size_t length);
    uint32_t ReadOnItsOwn(uint64_t position, size_t length, const uint8_t** bytes);
    // Drops all but the last quarter before `position` and reads on to fill the window.
    uint32_t Slide(Window& window, uint64_t position);
    uint32_t Restart(Window& window, uint64_t position);

    IZHDFileCtrl& file_;
    size_t windowSize_;
    std::vector<Window> windows_;
    std::vector<uint8_t> single_;  // a sample read on its own
    uint64_t fileSize_ = 0;
    bool sizeKnown_ = false;
    uint64_t uses_ = 0;
};

}  // namespace moovwright
