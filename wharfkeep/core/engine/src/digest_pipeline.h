#pragma once
// The digest stage of a publication. Whoever moves the file's bytes (the restructuring job
// writing the new file, or the engine reading an already streamable one) hands them over in
// order; a thread of the stage's own hashes them. A few blocks of 1 MiB sit between the two,
// so on two cores the I/O and the hashing run side by side, and the one that is ahead waits
// only when all blocks are in use: memory stays flat whatever the file's size.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "moovwright/moovwright.h"
#include "stream_digests.h"

namespace wharfkeep {

class DigestPipeline final : public IStreamWriteSink {
public:
    explicit DigestPipeline(std::string path);
    ~DigestPipeline() override;
    DigestPipeline(const DigestPipeline&) = delete;
    DigestPipeline& operator=(const DigestPipeline&) = delete;

    // A file of `file_size` bytes begins; whatever was fed before is dropped.
    uint32_t OnOutputStart(uint64_t file_size) override;
    // The next bytes; waits while every block is queued for hashing.
    uint32_t OnOutputBytes(const uint8_t* bytes, size_t length) override;

    // Waits until everything fed is hashed. The file's facts, or nothing when no file was
    // started or its bytes could not be hashed (the reason is in `why_not`).
    std::optional<parsefile> Finish(std::string* why_not = nullptr);

private:
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
    static constexpr std::size_t kQueuedBlocks = 4;

    void HashQueuedBlocks();
    void QueueCurrentBlock();
    void Stop();

    std::string path_;
    std::vector<std::uint8_t> current_;  // filled by the feeding thread
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queued_;  // guarded by mutex_
    std::vector<std::vector<std::uint8_t>> spare_;  // guarded by mutex_
    bool closing_ = false;                          // guarded by mutex_
    // Used by the hashing thread until it is joined, then by Finish.
    std::optional<StreamDigests> digests_;
    std::string error_;
    std::thread hasher_;
};

}  // namespace wharfkeep
