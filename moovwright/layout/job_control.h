#pragma once
// What a running job shares with the code doing its work: the caller's cancel request and
// the progress the work reports. Written by one thread and read by another, hence atomic.

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>

#include "moovwright/moovwright.h"

namespace moovwright {

// Where 32-bit offsets and sizes end; tests lower it to exercise the large-file layout with
// small files.
struct LayoutLimits {
    uint64_t largest32BitValue = std::numeric_limits<uint32_t>::max();
};

class JobControl {
public:
    bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
    void request_cancel() { cancel_.store(true, std::memory_order_relaxed); }

    uint32_t progress() const { return progress_.load(std::memory_order_relaxed); }
    void set_progress(uint32_t percent) { progress_.store(percent, std::memory_order_relaxed); }

    // Clears both for a new job.
    void reset() {
        cancel_.store(false, std::memory_order_relaxed);
        progress_.store(0, std::memory_order_relaxed);
    }

    // Test hook: called by the layout writer after every sample it has copied, with the
    // number copied so far.
    std::function<void(uint64_t samples_written)> on_sample_written;
    // Test hook: the limits the layout writer works to.
    LayoutLimits layout_limits;
    // Told every byte of the output as the layout writer writes it (may be null).
    IStreamWriteSink* write_sink = nullptr;

private:
    std::atomic<bool> cancel_{false};
    std::atomic<uint32_t> progress_{0};
};

}  // namespace moovwright
