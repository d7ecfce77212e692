#pragma once
// The client side of the peer protocol as wkpeer speaks it: the commands it sends, and a
// receive path for the server's answers.
//
// The server answers a full 65,536-byte REQUEST with a REQUESTRESP whose body is 65,574
// bytes and whose data length is 65,536: beyond what the codec's receiving rules admit
// (body 65,534, data 65,535). Those rules stay as they are for the server; this receive
// path admits exactly one larger form, a REQUESTRESP carrying up to 65,536 data bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peerfeed/codec/commands.h"

namespace wkpeer {

inline constexpr std::uint32_t max_request_length = 65536;
// REQUESTRESP body: result, offset, data length, data, six ext words, ext byte.
inline constexpr std::uint32_t requestresp_overhead = 38;
inline constexpr std::uint32_t max_requestresp_body = requestresp_overhead + max_request_length;

// 40 hexadecimal digits (either case) into the 20 GCID bytes; nothing when malformed.
std::optional<peerfeed::cid_bytes> gcid_from_hex(const std::string& text);

std::vector<std::uint8_t> encode_handshake(const peerfeed::cid_bytes& gcid, std::uint64_t size,
                                           const std::string& peer_id);
std::vector<std::uint8_t> encode_interested();
void append_request(std::vector<std::uint8_t>& out, std::uint64_t offset, std::uint32_t length);
std::vector<std::uint8_t> encode_cancel();

struct frame {
    std::uint8_t code = 0;
    const std::uint8_t* command = nullptr;  // the whole command, header included
    std::uint32_t total = 0;
};

enum class frame_status { incomplete, complete, invalid };

// The next noise-framed command at the start of `data`.
frame_status next_frame(const std::uint8_t* data, std::size_t size, frame& out);

struct request_response {
    std::uint8_t result = 0;
    std::uint64_t offset = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t data_length = 0;
};

// Decodes a whole REQUESTRESP command (header included). Returns an error text, empty on
// success; the data points into `command`.
std::string decode_requestresp(const std::uint8_t* command, std::uint32_t total,
                               request_response& out);

}  // namespace wkpeer
