#include "wharfkeep/report/publish_report.h"

namespace wharfkeep {
namespace {

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_text(std::vector<std::uint8_t>& out, std::string_view text) {
    put_u32(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

std::uint32_t get_u32(std::span<const std::uint8_t> in, std::size_t at) {
    return (std::uint32_t{in[at]} << 24) | (std::uint32_t{in[at + 1]} << 16) |
           (std::uint32_t{in[at + 2]} << 8) | in[at + 3];
}

// Reads fields from a message whose length is already known to be available.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    bool at_end() const { return position_ == bytes_.size(); }
    std::uint32_t u32() {
        if (!take(4)) {
            return 0;
        }
        return get_u32(bytes_, position_ - 4);
    }
    std::uint16_t u16() {
        if (!take(2)) {
            return 0;
        }
        return static_cast<std::uint16_t>((bytes_[position_ - 2] << 8) | bytes_[position_ - 1]);
    }
    std::uint8_t u8() { return take(1) ? bytes_[position_ - 1] : 0; }
    std::string text() {
        const std::uint32_t length = u32();
        if (!take(length)) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(bytes_.data()) + position_ - length,
                           length);
    }

private:
    bool take(std::size_t n) {
        if (!ok_ || n > bytes_.size() - position_) {
            ok_ = false;
            return false;
        }
        position_ += n;
        return true;
    }
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

constexpr std::size_t kLeadLength = 12;  // the three leading words

bool is_utf8_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::string_view ReportPathField(std::string_view local_path) {
    if (local_path.size() <= kReportPathCapacity) {
        return local_path;
    }
    std::size_t cut = kReportPathCapacity;
    while (cut > 0 && is_utf8_continuation(local_path[cut])) {
        --cut;
    }
    return local_path.substr(0, cut);
}

std::optional<std::vector<std::uint8_t>> BuildPublishReport(std::string_view master_id,
                                                            std::string_view full_local_path,
                                                            std::string_view link) {
    const std::string_view local_path = ReportPathField(full_local_path);
    const std::size_t rest = 19 + master_id.size() + local_path.size() + link.size();
    if (rest > kPublishReportCapacity - kLeadLength) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> message;
    message.reserve(kLeadLength + rest);
    put_u32(message, 1);
    put_u32(message, 13);
    put_u32(message, static_cast<std::uint32_t>(rest));
    put_u16(message, kPublishReportCommand);
    put_text(message, master_id);
    put_text(message, "");
    message.push_back(1);
    put_text(message, local_path);
    put_text(message, link);
    return message;
}

ReportDecoding DecodePublishReport(std::span<const std::uint8_t> bytes) {
    ReportDecoding decoding;
    if (bytes.size() < kLeadLength) {
        return decoding;
    }
    const std::uint32_t rest = get_u32(bytes, 8);
    if (get_u32(bytes, 0) != 1 || get_u32(bytes, 4) != 13 || rest < 19 ||
        rest > kPublishReportCapacity - kLeadLength) {
        decoding.status = ReportDecoding::Status::kMalformed;
        return decoding;
    }
    if (bytes.size() - kLeadLength < rest) {
        return decoding;
    }
    FieldReader in(bytes.subspan(kLeadLength, rest));
    const std::uint16_t command = in.u16();
    decoding.report.master_id = in.text();
    decoding.report.reserved = in.text();
    decoding.report.flag = in.u8();
    decoding.report.local_path = in.text();
    decoding.report.link = in.text();
    if (!in.ok() || !in.at_end() || command != kPublishReportCommand) {
        decoding.status = ReportDecoding::Status::kMalformed;
        return decoding;
    }
    decoding.status = ReportDecoding::Status::kComplete;
    decoding.consumed = kLeadLength + rest;
    return decoding;
}

std::vector<std::uint8_t> BuildReportReply(std::uint16_t code) {
    std::vector<std::uint8_t> reply;
    put_u32(reply, 1);
    put_u32(reply, 13);
    put_u32(reply, 3);
    put_u16(reply, code);
    reply.push_back(0);
    return reply;
}

std::optional<std::uint16_t> ReplyCode(std::span<const std::uint8_t> reply) {
    if (reply.size() != kReportReplyLength) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>((reply[12] << 8) | reply[13]);
}

}  // namespace wharfkeep
