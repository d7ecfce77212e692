#include "movie_info_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace catalogd {
namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct DigestFree {
    void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

// Fetched once: an explicit fetch avoids the provider look-up on every query.
const EVP_CIPHER* aes_128_ecb() {
    static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher(
        EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr));
    if (!cipher) {
        throw std::runtime_error("AES-128-ECB is not available");
    }
    return cipher.get();
}

const EVP_MD* md5() {
    static const std::unique_ptr<EVP_MD, DigestFree> digest(EVP_MD_fetch(nullptr, "MD5", nullptr));
    if (!digest) {
        throw std::runtime_error("MD5 is not available");
    }
    return digest.get();
}

CipherContext new_context() {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) {
        throw std::runtime_error("cannot allocate a cipher context");
    }
    return context;
}

}  // namespace

CommandKey derive_command_key(std::uint32_t command_code, std::uint32_t sequence) {
    std::uint32_t sum = command_code + sequence + kKeyDerivationConstant;
    std::uint8_t bytes[4] = {static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
                             static_cast<std::uint8_t>(sum >> 16),
                             static_cast<std::uint8_t>(sum >> 24)};
    CommandKey key{};
    unsigned int length = 0;
    if (EVP_Digest(bytes, sizeof bytes, key.data(), &length, md5(), nullptr) != 1 ||
        length != key.size()) {
        throw std::runtime_error("MD5 failed");
    }
    return key;
}

std::vector<std::uint8_t> encrypt_padded(const CommandKey& key,
                                         std::span<const std::uint8_t> plaintext) {
    CipherContext context = new_context();
    if (EVP_EncryptInit_ex2(context.get(), aes_128_ecb(), key.data(), nullptr, nullptr) != 1) {
        throw std::runtime_error("AES key set-up failed");
    }
    std::vector<std::uint8_t> out(kCipherBlock * (plaintext.size() / kCipherBlock + 1));
    int written = 0;
    int final_written = 0;
    if (EVP_EncryptUpdate(context.get(), out.data(), &written, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), out.data() + written, &final_written) != 1 ||
        static_cast<std::size_t>(written + final_written) != out.size()) {
        throw std::runtime_error("AES encryption failed");
    }
    return out;
}

void decrypt_blocks(const CommandKey& key, std::span<std::uint8_t> blocks) {
    if (blocks.empty() || blocks.size() % kCipherBlock != 0) {
        throw std::invalid_argument("ciphertext is not made of whole blocks");
    }
    CipherContext context = new_context();
    if (EVP_DecryptInit_ex2(context.get(), aes_128_ecb(), key.data(), nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        throw std::runtime_error("AES key set-up failed");
    }
    std::vector<std::uint8_t> plain(blocks.size());
    int written = 0;
    int final_written = 0;
    if (EVP_DecryptUpdate(context.get(), plain.data(), &written, blocks.data(),
                          static_cast<int>(blocks.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), plain.data() + written, &final_written) != 1) {
        throw std::runtime_error("AES decryption failed");
    }
    std::copy(plain.begin(), plain.end(), blocks.begin());
}

}  // namespace catalogd
