#pragma once
// A reusable OpenSSL EVP digest context (SHA-1 or MD5), freed with its owner.

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "wharfkeep/my_exception.h"

namespace wharfkeep::detail {

class MessageDigest {
public:
    static MessageDigest sha1() { return MessageDigest(EVP_sha1()); }
    static MessageDigest md5() { return MessageDigest(EVP_md5()); }

    void update(const void* data, std::size_t length) {
        if (length != 0 && EVP_DigestUpdate(context_.get(), data, length) != 1) {
            throw CMyException("digest update failed");
        }
    }

    // Returns the digest and readies the context for the next message.
    template <std::size_t N>
    std::array<std::uint8_t, N> finish() {
        std::array<std::uint8_t, N> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != N) {
            throw CMyException("digest final failed");
        }
        restart();
        return digest;
    }

private:
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };

    explicit MessageDigest(const EVP_MD* algorithm)
        : algorithm_(algorithm), context_(EVP_MD_CTX_new()) {
        if (!context_) {
            throw CMyException("digest context allocation failed");
        }
        restart();
    }

    void restart() {
        if (EVP_DigestInit_ex(context_.get(), algorithm_, nullptr) != 1) {
            throw CMyException("digest init failed");
        }
    }

    const EVP_MD* algorithm_;
    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
};

}  // namespace wharfkeep::detail
