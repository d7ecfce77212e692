#pragma once
// The stream-description file written beside a published medium (its path + ".sts") and
// served by the list server. All integers little-endian; each text and digest is preceded
// by its length as u32:
//
//   text "" | text "" | u32 20, check digest | u64 file size | u32 20, GCID bytes |
//   u32 piece count | per piece, by offset: u32 16, MD5, u32 piece length

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "wharfkeep/gcid/gcid.h"

namespace wharfkeep {

inline constexpr char kStreamDescriptionSuffix[] = ".sts";
inline constexpr std::size_t kStreamDescriptionCapacity = 1'024'000;

// The bytes of the file. Raises CMyException "AESEncrypt Fail!" when they would exceed
// kStreamDescriptionCapacity or a piece length does not fit its u32 field.
std::vector<std::uint8_t> BuildStreamDescription(const Sha1Digest& check_digest,
                                                 std::uint64_t file_size, const GcidBytes& gcid,
                                                 const PieceDigestMap& pieces);

// Writes the file through a temporary name and one rename, so a reader never sees it half
// written. Raises CMyException "The file ponit is null" when it cannot be written.
void WriteStreamDescription(const std::filesystem::path& path,
                            const std::vector<std::uint8_t>& bytes);

}  // namespace wharfkeep
