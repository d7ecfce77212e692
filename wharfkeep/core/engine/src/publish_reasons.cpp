#include "wharfkeep/engine/publish_reasons.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "moovwright/moovwright.h"

namespace wharfkeep {
namespace {

std::string folder_of(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

// The copy needs about as much room as the file itself: it holds the same media data and
// an index rebuilt from the old one, which the file's size already counts. The headroom
// covers the index growing (32-bit chunk offsets becoming 64-bit ones), the free box
// appended behind the media data and the stream-description file, which is written once
// the copy has replaced the original and takes 24 bytes a piece (a few KiB for most files).
constexpr std::uint64_t kRewriteHeadroom = 1 << 20;

std::string mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(1 << 20));
    return text;
}

}  // namespace

std::string OpenFailureReason(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::string("cannot open: ") + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return "not a regular file";
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::string("cannot open: ") + std::strerror(errno);
    }
    ::close(fd);
    return "cannot read the file";
}

std::string RestructureFailureReason(std::uint32_t code, const std::string& library_text) {
    switch (code) {
        case MW_FAIL:
            return "restructuring failed (a required table is missing, or reading or writing "
                   "failed)";
        case MW_OUT_OF_MEMORY:
            return "not enough memory to restructure the file";
        case MW_VARIABLE_FRAME_RATE:
            return "variable frame rate: only constant-rate tracks can be restructured";
        case MW_NOT_ENOUGH_DATA:
            return "truncated: sample data past the end of the file";
        case MW_BAD_ATOM_SIZE:
            return "damaged MP4 file: a box has an impossible size";
        case MW_ATOM_NOT_FOUND:
            return "damaged MP4 file: a required box is missing";
        case MW_TOO_MANY_TRACKS:
            return "more than two tracks (only one video and one audio track are supported)";
        case MW_SAMPLE_CTS_MISMATCH:
            return "composition offsets cannot be kept exactly (not whole frame durations); "
                   "the file is unchanged";
        case MW_VIDEO_NOT_AVC1:
            return "not H.264 video (avc1)";
        case MW_AUDIO_NOT_AAC:
            return "audio is not AAC (mp4a)";
        case MW_CANCELLED:
            return "cancelled";
        case MW_NOT_MP4:
            return "not an MP4 file";
        case MW_DURATION_MISMATCH:
            return "the tracks' durations differ by more than 10%";
        default:
            if (code >= MW_TRACK_COUNT_MISMATCH && code <= MW_SAMPLE_KEY_MISMATCH) {
                return "the restructured copy did not match the source (" + library_text +
                       "); the file is unchanged";
            }
            return "restructuring failed: " + library_text + " (" + std::to_string(code) + ")";
    }
}

std::optional<std::string> InsufficientSpaceReason(const std::string& path,
                                                   std::uint64_t file_size) {
    const std::string folder = folder_of(path);
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) != 0) {
        return std::nullopt;  // the rewrite itself says what is wrong with the folder
    }
    const std::uint64_t available = std::uint64_t(space.f_bavail) * space.f_frsize;
    const std::uint64_t needed = file_size + kRewriteHeadroom;
    if (available >= needed) {
        return std::nullopt;
    }
    return "not enough free space: " + mebibytes(needed) + " needed, " + mebibytes(available) +
           " free in " + folder;
}

std::optional<std::string> DiagnoseFailedRewrite(
    const std::string& path, const std::optional<platform::FileIdentity>& before) {
    const std::optional<platform::FileIdentity> now = platform::identify_file(path);
    if (before && now != before) {
        return "the file changed while it was being restructured; it was left as it is now "
               "and can be published again";
    }
    const std::string folder = folder_of(path);
    if (::access(folder.c_str(), W_OK) != 0) {
        return "cannot write the restructured copy: the folder " + folder + " is not writable";
    }
    struct statvfs space {};
    if (now && ::statvfs(folder.c_str(), &space) == 0) {
        const std::uint64_t available = std::uint64_t(space.f_bavail) * space.f_frsize;
        if (available < std::uint64_t(now->size) + kRewriteHeadroom) {
            return "disk full while writing the restructured copy (" +
                   std::to_string(available >> 20) + " MiB free, about " +
                   std::to_string((std::uint64_t(now->size) + kRewriteHeadroom) >> 20) +
                   " MiB needed)";
        }
    }
    return std::nullopt;
}

}  // namespace wharfkeep
