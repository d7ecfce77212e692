#pragma once
// What publishing learns about one media file after its GCID: the container layout and
// the check, piece and combined digests, all read through one SourceFile.

#include <string>

#include "wharfkeep/container/container_layout.h"
#include "wharfkeep/gcid/gcid.h"

namespace wharfkeep {

struct parsefile {
    std::string media_path;
    std::string gcid_text;
    GcidBytes gcid{};
    std::uint64_t file_size = 0;
    Sha1Digest check_digest{};
    ContainerLayout layout;
    PieceDigestMap pieces;
    Md5Digest combined_digest{};

    // Opens the file, runs the container dispatcher and the digests, closes the file.
    // Raises CMyException on every failure.
    static parsefile parse(const std::string& path, const std::string& gcid_text);
};

}  // namespace wharfkeep
