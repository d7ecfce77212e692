#include "wharfkeep/engine/media_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

namespace wharfkeep {
namespace {

// A walk never needs more boxes than this; a file made of countless empty boxes is not
// a media file worth reading to the end.
constexpr int kMaxBoxesPerLevel = 100'000;
constexpr std::uint64_t kTrailingRoom = 64;

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool is_open() const { return fd_ >= 0; }
    std::optional<std::uint64_t> size() const {
        struct stat status {};
        if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
            return std::nullopt;
        }
        return std::uint64_t(status.st_size);
    }
    // Up to `n` bytes at `offset`; the count read.
    std::size_t read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd_, buffer + done, n - done, off_t(offset + done));
            if (got <= 0) {
                break;
            }
            done += std::size_t(got);
        }
        return done;
    }

private:
    int fd_;
};

std::optional<Mp4BoxHeader> box_at(const ReadOnlyFile& file, std::uint64_t offset,
                                   std::uint64_t range_end) {
    std::uint8_t head[16];
    const std::size_t got = file.read_at(offset, head, sizeof head);
    auto box = decode_mp4_box_header(std::span(head, got), offset, range_end);
    if (!box || box->end() > range_end) {
        return std::nullopt;
    }
    return box;
}

std::optional<std::int32_t> header_word(const ReadOnlyFile& file, const Mp4BoxHeader& zqhd) {
    std::uint8_t word[4];
    if (zqhd.size < zqhd.header_size + 4 ||
        file.read_at(zqhd.offset + zqhd.header_size, word, 4) != 4) {
        return std::nullopt;
    }
    return std::int32_t(std::uint32_t(word[0]) | (std::uint32_t(word[1]) << 8) |
                        (std::uint32_t(word[2]) << 16) | (std::uint32_t(word[3]) << 24));
}

std::optional<Mp4BoxHeader> zqhd_child(const ReadOnlyFile& file, const Mp4BoxHeader& moov) {
    std::uint64_t offset = moov.offset + moov.header_size;
    for (int i = 0; i < kMaxBoxesPerLevel && offset < moov.end(); ++i) {
        const auto child = box_at(file, offset, moov.end());
        if (!child) {
            break;
        }
        if (child->is("zqhd")) {
            return child;
        }
        offset = child->end();
    }
    return std::nullopt;
}

// The type of the box whose header starts at `offset`, printable or not.
std::string box_type_at(const ReadOnlyFile& file, std::uint64_t offset) {
    std::uint8_t head[8];
    if (file.read_at(offset, head, 8) != 8) {
        return "?";
    }
    std::string type(reinterpret_cast<const char*>(head + 4), 4);
    for (char& c : type) {
        if (c < 0x20 || c > 0x7E) {
            c = '?';
        }
    }
    return type;
}

std::string not_streamable_reason(bool has_movie, bool has_media, bool has_header_word,
                                  const std::optional<std::string>& truncated_box) {
    if (truncated_box) {
        if (*truncated_box == "mdat") {
            return "truncated: sample data past the end of the file";
        }
        return "truncated: the " + *truncated_box + " box runs past the end of the file";
    }
    if (!has_movie) {
        return "no movie box (moov) in the file";
    }
    if (!has_media) {
        return "no media data box (mdat) in the file";
    }
    if (!has_header_word) {
        return "damaged streaming header (zqhd box too short)";
    }
    return "not streamable";
}

}  // namespace

std::optional<MediaProbeResult> MediaProbe(const std::filesystem::path& path) {
    ReadOnlyFile file(path);
    const auto size = file.is_open() ? file.size() : std::nullopt;
    if (!size) {
        return std::nullopt;
    }
    MediaProbeResult result;
    result.file_size = *size;
    std::uint8_t start[8];
    if (*size == 0) {
        result.not_streamable_reason = "empty file (0 bytes)";
        return result;
    }
    if (*size < 8 || file.read_at(0, start, 8) != 8) {
        result.not_streamable_reason = "truncated: shorter than one MP4 box";
        return result;
    }
    const std::string_view type(reinterpret_cast<const char*>(start + 4), 4);
    if (type != "ftyp" && type != "zqhd") {
        result.not_streamable_reason = "not an MP4 file (it does not start with an ftyp box)";
        return result;
    }

    std::optional<Mp4BoxHeader> zqhd, moov, media;
    std::optional<std::string> truncated_box;
    std::uint64_t offset = 0;
    for (int i = 0; i < kMaxBoxesPerLevel && offset < *size && !((zqhd || moov) && media); ++i) {
        const auto box = box_at(file, offset, *size);
        if (!box) {
            truncated_box = box_type_at(file, offset);
            break;
        }
        if (box->is("zqhd") && !zqhd) {
            zqhd = box;
        } else if (box->is("moov") && !zqhd && !moov) {
            moov = box;
        } else if ((box->is("mdat") || box->is("zqdt")) && !media) {
            media = box;
        }
        offset = box->end();
    }

    std::optional<std::int32_t> word;
    MediaKind kind = kMediaNotStreamable;
    if (zqhd) {
        word = header_word(file, *zqhd);
        kind = kMediaHeaderTopLevel;
    } else if (moov) {
        const auto child = zqhd_child(file, *moov);
        kind = child ? kMediaHeaderInMoov : kMediaPlainMp4;
        word = child ? header_word(file, *child) : std::optional<std::int32_t>(0);
    }
    if (!media || !word) {
        // No media data, or a header box too short to hold its flag.
        result.not_streamable_reason =
            not_streamable_reason(zqhd || moov, media.has_value(), word.has_value(), truncated_box);
        return result;
    }
    result.kind = kind;
    result.header_word = *word;
    result.media_box = media;
    result.data_box_flag = *size - media->end() < kTrailingRoom ? 0 : 1;
    return result;
}

}  // namespace wharfkeep
