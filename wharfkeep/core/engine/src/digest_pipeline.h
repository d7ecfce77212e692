#pragma once
// The digest stage of a publication. Whoever moves the file's bytes (the restructuring job
// writing the new file, or the engine reading an already streamable one) hands them over in
// order. The few sampled ranges of the identifiers are copied aside as they pass; the piece
// digests, nearly all of the work, are hashed by the piece hasher's lanes (one per
// processor) from the one copy it makes into its few 2 MiB buffers. So on two cores the
// I/O and the hashing run side by side, the feeder waits only while every buffer is
// queued, and memory stays flat whatever the file's size.

#include <cstdint>
#include <optional>
#include <string>

#include "moovwright/moovwright.h"
#include "stream_digests.h"

namespace wharfkeep {

class DigestPipeline final : public IStreamWriteSink {
public:
    explicit DigestPipeline(std::string path);
    DigestPipeline(const DigestPipeline&) = delete;
    DigestPipeline& operator=(const DigestPipeline&) = delete;

    // A file of `file_size` bytes begins; whatever was fed before is dropped.
    uint32_t OnOutputStart(uint64_t file_size) override;
    // The next bytes; waits while every buffer of the lanes is queued. Non-zero once the
    // bytes cannot be hashed: the stage wants no more of them.
    uint32_t OnOutputBytes(const uint8_t* bytes, size_t length) override;

    // Waits until everything fed is hashed. The file's facts, or nothing when no file was
    // started or its bytes could not be hashed (the reason is in `why_not`).
    std::optional<parsefile> Finish(std::string* why_not = nullptr);

private:
    std::string path_;
    bool started_ = false;
    std::optional<StreamDigests> digests_;
    std::string error_;
};

}  // namespace wharfkeep
