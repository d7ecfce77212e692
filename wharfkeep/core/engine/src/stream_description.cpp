#include "wharfkeep/engine/stream_description.h"

#include <cstdio>
#include <limits>
#include <memory>
#include <system_error>

#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift <= 24; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_le64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    put_le32(out, static_cast<std::uint32_t>(value));
    put_le32(out, static_cast<std::uint32_t>(value >> 32));
}

template <std::size_t N>
void put_digest(std::vector<std::uint8_t>& out, const std::array<std::uint8_t, N>& digest) {
    put_le32(out, N);
    out.insert(out.end(), digest.begin(), digest.end());
}

constexpr std::size_t kFixedPart = 4 + 4 + (4 + 20) + 8 + (4 + 20) + 4;
constexpr std::size_t kPieceEntry = 4 + 16 + 4;

}  // namespace

std::vector<std::uint8_t> BuildStreamDescription(const Sha1Digest& check_digest,
                                                 std::uint64_t file_size, const GcidBytes& gcid,
                                                 const PieceDigestMap& pieces) {
    if (pieces.size() > (kStreamDescriptionCapacity - kFixedPart) / kPieceEntry) {
        throw CMyException("AESEncrypt Fail!");
    }
    std::vector<std::uint8_t> out;
    out.reserve(kFixedPart + pieces.size() * kPieceEntry);
    put_le32(out, 0);
    put_le32(out, 0);
    put_digest(out, check_digest);
    put_le64(out, file_size);
    put_digest(out, gcid);
    put_le32(out, static_cast<std::uint32_t>(pieces.size()));
    for (const auto& [range, digest] : pieces) {
        if (range.length > std::numeric_limits<std::uint32_t>::max()) {
            throw CMyException("AESEncrypt Fail!");
        }
        put_digest(out, digest.md5);
        put_le32(out, static_cast<std::uint32_t>(range.length));
    }
    return out;
}

void WriteStreamDescription(const std::filesystem::path& path,
                            const std::vector<std::uint8_t>& bytes) {
    std::filesystem::path temporary = path;
    temporary += ".partial";
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(temporary.c_str(), "wb"));
    std::error_code ignored;
    if (!file) {
        throw CMyException("The file ponit is null");
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                         std::fflush(file.get()) == 0;
    file.reset();
    if (!written) {
        std::filesystem::remove(temporary, ignored);
        throw CMyException("The file ponit is null");
    }
    std::filesystem::rename(temporary, path, ignored);
    if (ignored) {
        std::filesystem::remove(temporary, ignored);
        throw CMyException("The file ponit is null");
    }
}

}  // namespace wharfkeep
