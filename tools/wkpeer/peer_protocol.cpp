#include "peer_protocol.h"

#include <cstring>

#include "peerfeed/codec/cursor.h"
#include "peerfeed/codec/exceptions.h"

namespace wkpeer {
namespace {

std::uint32_t read_le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::vector<std::uint8_t> encode(peerfeed::p2p_cmd_tcp& command) {
    std::vector<std::uint8_t> bytes(command.encoded_size(true));
    std::uint32_t length = static_cast<std::uint32_t>(bytes.size());
    command.encode(bytes.data(), length, true);
    bytes.resize(length);
    return bytes;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::optional<peerfeed::cid_bytes> gcid_from_hex(const std::string& text) {
    if (text.size() != 2 * peerfeed::cid_size) {
        return std::nullopt;
    }
    peerfeed::cid_bytes gcid{};
    for (std::size_t i = 0; i < gcid.size(); ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        gcid[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return gcid;
}

std::vector<std::uint8_t> encode_handshake(const peerfeed::cid_bytes& gcid, std::uint64_t size,
                                           const std::string& peer_id) {
    peerfeed::p2p_cmd_handshake handshake;
    handshake.gcid = gcid;
    handshake.file_size = size;
    handshake.peer_id = peer_id;
    return encode(handshake);
}

std::vector<std::uint8_t> encode_interested() {
    peerfeed::p2p_cmd_interested interested;
    return encode(interested);
}

void append_request(std::vector<std::uint8_t>& out, std::uint64_t offset, std::uint32_t length) {
    peerfeed::p2p_cmd_request request;
    request.offset = offset;
    request.length = length;
    request.rq_word = 1;
    const std::size_t at = out.size();
    out.resize(at + request.encoded_size(true));
    std::uint32_t written = static_cast<std::uint32_t>(out.size() - at);
    request.encode(out.data() + at, written, true);
    out.resize(at + written);
}

std::vector<std::uint8_t> encode_cancel() {
    peerfeed::p2p_cmd_cancel cancel;
    return encode(cancel);
}

frame_status next_frame(const std::uint8_t* data, std::size_t size, frame& out) {
    if (size < peerfeed::noise_header_size) {
        return frame_status::incomplete;
    }
    const std::uint8_t code = data[peerfeed::noise_code_offset];
    const std::uint32_t body = read_le32(data + peerfeed::noise_body_length_offset);
    const std::uint32_t limit =
        code == peerfeed::cmd_requestresp ? max_requestresp_body : peerfeed::max_body_length;
    if (body > limit) {
        return frame_status::invalid;
    }
    const std::uint32_t total = peerfeed::noise_header_size + body;
    if (size < total) {
        return frame_status::incomplete;
    }
    out = {code, data, total};
    return frame_status::complete;
}

std::string decode_requestresp(const std::uint8_t* command, std::uint32_t total,
                               request_response& out) {
    if (total < peerfeed::noise_header_size ||
        command[peerfeed::noise_code_offset] != peerfeed::cmd_requestresp) {
        return "not a REQUESTRESP";
    }
    peerfeed::p2p_cmd_reader reader(command + peerfeed::noise_header_size,
                                    total - peerfeed::noise_header_size);
    try {
        reader.read_uint8(out.result).read_uint64(out.offset).read_uint32(out.data_length);
    } catch (const std::exception&) {
        return "REQUESTRESP cut short";
    }
    if (out.data_length > max_request_length) {
        return "Data Len = [" + std::to_string(out.data_length) + "] is illegal!";
    }
    if (out.result == 0 && out.data_length == 0) {
        return "Result is Success but Data Len = [0] is illegal!";
    }
    if (out.result != 0 && out.data_length != 0) {
        return "Result is Failed but Data Len = [" + std::to_string(out.data_length) +
               "] is illegal!";
    }
    out.data = reader.position();
    try {
        reader.skip(out.data_length);
    } catch (const std::exception& error) {
        return error.what();
    }
    // The trailing reserved fields may be left out by a sender; they carry nothing.
    return {};
}

}  // namespace wkpeer
