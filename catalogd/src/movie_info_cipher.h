#pragma once
// Encryption of the movie-info commands: AES-128 in electronic-codebook mode with PKCS#7
// padding, keyed per command by the MD5 digest of (command code + sequence number + a fixed
// protocol constant). Everything goes through OpenSSL's EVP interface.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace catalogd {

// The fixed 32-bit value both sides add into the key derivation.
inline constexpr std::uint32_t kKeyDerivationConstant = 0x7E3A91C5;
inline constexpr std::size_t kCipherBlock = 16;

using CommandKey = std::array<std::uint8_t, 16>;

// MD5 of the little-endian bytes of (command_code + sequence + kKeyDerivationConstant) mod 2^32.
CommandKey derive_command_key(std::uint32_t command_code, std::uint32_t sequence);

// AES-128-ECB with PKCS#7 padding: 16 * (plaintext.size() / 16 + 1) bytes.
// Throws std::runtime_error when the cipher is unavailable.
std::vector<std::uint8_t> encrypt_padded(const CommandKey& key,
                                         std::span<const std::uint8_t> plaintext);

// Decrypts whole blocks in place, leaving the padding for the caller to judge.
// `blocks.size()` must be a non-zero multiple of 16. Throws std::runtime_error when the
// cipher is unavailable.
void decrypt_blocks(const CommandKey& key, std::span<std::uint8_t> blocks);

}  // namespace catalogd
