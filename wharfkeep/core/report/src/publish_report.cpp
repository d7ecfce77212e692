#include "wharfkeep/report/publish_report.h"

#include "wharfkeep/byte_cursor.h"
#include "wharfkeep/byte_order.h"

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

// A text field: its length as a uint32, then its bytes.
std::string LengthPrefixedText(ByteCursor& in) {
    return in.text(in.u32(), std::string::npos);
}

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
    const std::uint32_t rest = read_be32(bytes, 8);
    if (read_be32(bytes, 0) != 1 || read_be32(bytes, 4) != 13 || rest < 19 ||
        rest > kPublishReportCapacity - kLeadLength) {
        decoding.status = ReportDecoding::Status::kMalformed;
        return decoding;
    }
    if (bytes.size() - kLeadLength < rest) {
        return decoding;
    }
    ByteCursor in(bytes.subspan(kLeadLength, rest));
    const std::uint16_t command = in.u16();
    decoding.report.master_id = LengthPrefixedText(in);
    decoding.report.reserved = LengthPrefixedText(in);
    decoding.report.flag = in.u8();
    decoding.report.local_path = LengthPrefixedText(in);
    decoding.report.link = LengthPrefixedText(in);
    if (!in.ok() || in.remaining() != 0 || command != kPublishReportCommand) {
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
    return read_be16(reply, 12);
}

}  // namespace wharfkeep
