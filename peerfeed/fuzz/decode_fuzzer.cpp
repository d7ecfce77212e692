// Feeds arbitrary bytes to the command decoder: every class, both framings, lenient or
// not. A decoded command must encode again and decode to the same bytes.

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>
#include <vector>

#include "peerfeed/codec/commands.h"

namespace {

void round_trip(peerfeed::p2p_cmd_tcp& decoded, bool noise) {
    // Omitted trailing fields and short cids are written out in full, which may take a
    // body past what a receiver accepts.
    if (decoded.body_size() + (noise ? 0 : 1) > peerfeed::max_body_length) {
        return;
    }
    std::uint32_t length = decoded.encoded_size(noise);
    std::vector<std::uint8_t> encoded(length);
    decoded.encode(encoded.data(), length, noise);
    // The same class again: the catch-all keeps no body, a typed command keeps its own.
    std::unique_ptr<peerfeed::p2p_cmd_tcp> again;
    if (typeid(decoded) != typeid(peerfeed::p2p_cmd_tcp)) {
        again = peerfeed::make_p2p_cmd(decoded.code);
    }
    if (!again) {
        again = std::make_unique<peerfeed::p2p_cmd_tcp>();
    }
    again->decode(encoded.data(), length, false, noise);
    std::uint32_t second_length = again->encoded_size(noise);
    if (second_length != length) {
        __builtin_trap();
    }
    (void)again->to_string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    const bool noise = (selector & 1) != 0;
    const bool lenient = (selector & 2) != 0;
    const std::uint8_t* payload = data + 1;
    const auto payload_size = static_cast<std::uint32_t>(size - 1);

    // The class the session would pick for the code in the buffer, and the catch-all.
    const std::size_t code_at = noise ? peerfeed::noise_code_offset : 8;
    std::vector<std::unique_ptr<peerfeed::p2p_cmd_tcp>> targets;
    targets.push_back(std::make_unique<peerfeed::p2p_cmd_tcp>());
    if (payload_size > code_at) {
        if (auto typed = peerfeed::make_p2p_cmd(payload[code_at])) {
            targets.push_back(std::move(typed));
        }
    }
    targets.push_back(std::make_unique<peerfeed::p2p_cmd_requestresp>(false));
    for (auto& target : targets) {
        try {
            target->decode(payload, payload_size, lenient, noise);
        } catch (const std::exception&) {
            continue;
        }
        (void)target->to_string();
        if (!lenient) {
            round_trip(*target, noise);
        }
    }

    (void)peerfeed::scan_noise_frame(payload, payload_size);
    peerfeed::p2p_cmd_reader reader(payload, payload_size);
    try {
        peerfeed::p2p_range range;
        std::string text;
        peerfeed::cid_bytes cid{};
        reader.read_range(range).read_string(text).read_cid(cid).skip(selector);
    } catch (const std::exception&) {
    }
    return 0;
}
