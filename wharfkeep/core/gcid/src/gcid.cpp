#include "wharfkeep/gcid/gcid.h"

#include <vector>

#include "message_digest.h"
#include "platform/hex.h"
#include "wharfkeep/gcid/streaming_digests.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {

std::string digest_to_hex(std::span<const std::uint8_t> bytes) {
    return platform::upper_hex(bytes);
}

namespace {

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        digit = static_cast<char>(digit - 'a' + 'A');
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool gcid_text_to_bytes(std::string_view text, GcidBytes& bytes) {
    if (text.size() > 41) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); index += 2) {
        const int high = hex_value(text[index]);
        // An odd digit at the end pairs with the terminator, which is no digit.
        const int low = index + 1 < text.size() ? hex_value(text[index + 1]) : -1;
        if (high < 0 || low < 0 || index / 2 >= bytes.size()) {
            return false;
        }
        bytes[index / 2] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::array<std::uint32_t, kGcidSampleCount> gcid_sample_offsets(std::uint64_t file_size) {
    // Deliberately 32-bit: the network names large files by these wrapped offsets.
    const auto size32 = static_cast<std::uint32_t>(file_size);
    std::array<std::uint32_t, kGcidSampleCount> offsets{};
    for (std::uint32_t i = 0; i < kGcidSampleCount; ++i) {
        offsets[i] = (i * size32) / 5;
    }
    return offsets;
}

std::array<std::uint64_t, kCheckSampleCount> check_sample_offsets(std::uint64_t file_size) {
    std::array<std::uint64_t, kCheckSampleCount> offsets{};
    for (std::uint64_t i = 0; i < kCheckSampleCount; ++i) {
        // i * size overflows only beyond 6 EiB, far past any file system.
        offsets[i] = (i * file_size) / 3;
    }
    return offsets;
}

parsefileGCID::parsefileGCID(std::string path) : file_(std::move(path)) {}

namespace {

// SHA-1 over the ranges of an open file, each read exactly.
Sha1Digest hash_ranges(SourceFile& file, std::vector<ByteRange> ranges) {
    std::vector<std::uint8_t> buffer;
    SampledSha1 sha1(ranges);
    for (const ByteRange& range : ranges) {
        buffer.resize(range.length);
        file.read_exact_at(range.offset, buffer.data(), buffer.size());
        sha1.Feed(range.offset, buffer);
    }
    return sha1.Finish();
}

}  // namespace

const std::string& parsefileGCID::compute() {
    file_.open("rb");
    file_size_ = file_.size();
    digest_ = hash_ranges(file_, gcid_ranges(file_size_));
    file_.close();
    text_ = digest_to_hex(digest_);
    return text_;
}

Sha1Digest compute_check_digest(SourceFile& file, std::uint64_t file_size) {
    return hash_ranges(file, check_digest_ranges(file_size));
}

Md5Digest combined_digest(const GcidBytes& gcid, const Sha1Digest& check_digest,
                          std::uint64_t file_size) {
    std::array<std::uint8_t, 8> size_bytes{};
    for (std::size_t i = 0; i < size_bytes.size(); ++i) {
        size_bytes[i] = static_cast<std::uint8_t>(file_size >> (8 * i));
    }
    auto md5 = detail::MessageDigest::md5();
    md5.update(gcid.data(), gcid.size());
    md5.update(check_digest.data(), check_digest.size());
    md5.update(size_bytes.data(), size_bytes.size());
    return md5.finish<16>();
}

}  // namespace wharfkeep
