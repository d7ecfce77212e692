#pragma once
// Short texts that tell the operator why a file was not published and what to do about
// it. They travel with the publish result beside its code; the codes stay as they are.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_identity.h"

namespace wharfkeep {

// Why a file cannot be opened for the probe ("permission denied", "not a regular file").
std::string OpenFailureReason(const std::string& path);

// The reason for a restructuring library result code other than success. For the
// generic failure (1) the caller adds what it can find out itself (DiagnoseFailedRewrite).
std::string RestructureFailureReason(std::uint32_t code, const std::string& library_text);

// Why a file of `file_size` bytes cannot be restructured where it lies: the file system
// holding its folder has less room than the copy written beside it needs ("not enough
// free space: 59.0 MiB needed, 12.3 MiB free in /media/x"). Nothing when it has room, or
// when the room cannot be found out.
std::optional<std::string> InsufficientSpaceReason(const std::string& path,
                                                   std::uint64_t file_size);

// Why a restructuring that failed with the generic code most likely failed: the file
// changed meanwhile, its folder is not writable, or there is no room for the copy.
// Nothing when none of these is found.
// `before` is what the file looked like when the restructuring started.
std::optional<std::string> DiagnoseFailedRewrite(
    const std::string& path, const std::optional<platform::FileIdentity>& before);

}  // namespace wharfkeep
