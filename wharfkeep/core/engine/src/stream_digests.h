#pragma once
// What publishing learns about a file (its parsefile: layout, GCID, check, piece and
// combined digests) computed from the file's bytes fed in order, front to back, once, so
// that a file being written or read anyway needs no further read. The result equals
// parsefile::parse after parsefileGCID for the same bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "parsefile.h"
#include "wharfkeep/gcid/streaming_digests.h"

namespace wharfkeep {

class StreamDigests {
public:
    // The piece digests are hashed on `piece_lanes` threads (see PieceHasher).
    StreamDigests(std::string path, std::uint64_t file_size, unsigned piece_lanes = 1);

    // The next bytes of the file. Raises CMyException when the container cannot be
    // understood (with the texts of ParseContainer) or the bytes run past the size.
    void Append(std::span<const std::uint8_t> bytes);
    // Raises CMyException unless exactly the announced size was fed.
    parsefile Finish();

private:
    // Whether the first bytes held so far decide the layout as the file's whole prefix
    // would: ParseContainer reads up to 40 MiB but needs only the boxes up to the media
    // data in an ordinary file.
    bool PrefixDecidesLayout() const;
    bool Mp4PrefixDecidesLayout() const;
    void ParseLayout();

    std::string path_;
    std::uint64_t file_size_;
    unsigned piece_lanes_;
    std::uint64_t seen_ = 0;
    SampledSha1 gcid_;
    SampledSha1 check_;
    std::vector<std::uint8_t> prefix_;  // the first bytes, held until the layout is known
    ContainerLayout layout_;
    std::optional<PieceHasher> pieces_;
};

}  // namespace wharfkeep
