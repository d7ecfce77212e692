// Decodes arbitrary bytes as movie-info queries and responses. Random bytes almost never
// decrypt, so the input is also sealed with the key of its own header first: that way the
// body decoders see the input itself.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "movie_info.h"
#include "movie_info_cipher.h"

namespace {

template <typename Message>
void decode(const std::vector<std::uint8_t>& bytes) {
    try {
        Message message;
        message.Decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    } catch (const std::exception&) {
    }
}

// The input's first 12 bytes as header, the rest encrypted as type byte and body.
std::vector<std::uint8_t> sealed(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> message(data, data + 12);
    auto word = [&](std::size_t at) {
        return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
               (std::uint32_t{data[at + 2]} << 8) | data[at + 3];
    };
    std::vector<std::uint8_t> ciphertext =
        catalogd::encrypt_padded(catalogd::derive_command_key(word(0), word(4)),
                                 std::span<const std::uint8_t>(data + 12, size - 12));
    message.insert(message.end(), ciphertext.begin(), ciphertext.end());
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    std::vector<std::uint8_t> raw(data, data + size);
    decode<catalogd::cmd_stream_query_movie_info>(raw);
    decode<catalogd::cmd_stream_query_movie_info_resp>(raw);
    if (size >= 12) {
        std::vector<std::uint8_t> message = sealed(data, size);
        decode<catalogd::cmd_stream_query_movie_info>(message);
        decode<catalogd::cmd_stream_query_movie_info_resp>(message);
    }
    return 0;
}
