#include "wharfkeep/control/tls_identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;

struct Free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
    void operator()(BIGNUM* number) const { BN_free(number); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(std::FILE* file) const { std::fclose(file); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

constexpr const char* kCertificateName = "control-cert.pem";
constexpr const char* kKeyName = "control-key.pem";
constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

bool AddExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

std::string SubjectAltNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        unsigned char bytes[16];
        bool address = inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
                       inet_pton(AF_INET6, name.c_str(), bytes) == 1;
        text += (text.empty() ? "" : ",") + std::string(address ? "IP:" : "DNS:") + name;
    }
    return text;
}

Owned<X509> SelfSigned(EVP_PKEY* key, const std::vector<std::string>& names) {
    Owned<X509> certificate(X509_new());
    Owned<BIGNUM> serial(BN_new());
    if (!certificate || !serial || X509_set_version(certificate.get(), 2) != 1 ||
        BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr) {
        return nullptr;
    }
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    const std::string common_name = "wharfkeepd " + (names.empty() ? "localhost" : names[0]);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                               0);
    if (X509_set_issuer_name(certificate.get(), subject) != 1 ||
        X509_set_pubkey(certificate.get(), key) != 1 ||
        !AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth") ||
        (!names.empty() &&
         !AddExtension(certificate.get(), NID_subject_alt_name, SubjectAltNames(names))) ||
        X509_sign(certificate.get(), key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return certificate;
}

// Writes through a new file beside `path` and renames it, so that a reader never sees half
// a file; the file has `mode` from its creation.
bool WriteAtomically(const fs::path& path, mode_t mode,
                     const std::function<bool(std::FILE*)>& write) {
    fs::path partial = path;
    partial += ".partial";
    ::unlink(partial.c_str());
    int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    Owned<std::FILE> file(::fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        return false;
    }
    bool written = write(file.get()) && std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
    file.reset();
    if (!written || ::rename(partial.c_str(), path.c_str()) != 0) {
        ::unlink(partial.c_str());
        return false;
    }
    return true;
}

Owned<X509> ReadCertificate(const fs::path& path) {
    Owned<std::FILE> file(std::fopen(path.c_str(), "r"));
    return Owned<X509>(file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

Owned<EVP_PKEY> ReadKey(const fs::path& path) {
    Owned<std::FILE> file(std::fopen(path.c_str(), "r"));
    return Owned<EVP_PKEY>(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                                : nullptr);
}

std::string Unreadable(const char* key_name, const fs::path& path) {
    std::error_code ignored;
    return std::string(key_name) + "=" + path.string() +
           (fs::exists(path, ignored) ? ": not a PEM file this program can read"
                                      : ": no such file");
}

}  // namespace

std::optional<TlsFiles> EnsureSelfSignedCertificate(const fs::path& folder,
                                                    const std::vector<std::string>& names,
                                                    std::string& error) {
    TlsFiles files{folder / kCertificateName, folder / kKeyName};
    std::error_code ignored;
    if (fs::exists(files.certificate, ignored) && fs::exists(files.key, ignored)) {
        return files;
    }
    std::error_code made;
    fs::create_directories(folder, made);
    ::chmod(folder.c_str(), 0700);
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Owned<X509> certificate = key ? SelfSigned(key.get(), names) : nullptr;
    if (!certificate) {
        error = "cannot make a self-signed certificate";
        return std::nullopt;
    }
    bool written =
        WriteAtomically(files.key, 0600,
                        [&](std::FILE* file) {
                            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0,
                                                        nullptr, nullptr) == 1;
                        }) &&
        WriteAtomically(files.certificate, 0644, [&](std::FILE* file) {
            return PEM_write_X509(file, certificate.get()) == 1;
        });
    if (!written) {
        error = "cannot write the self-signed certificate in " + folder.string();
        return std::nullopt;
    }
    return files;
}

std::string CertificateFingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) {
        return "";
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += (i == 0 ? "" : ":");
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

std::shared_ptr<TlsIdentity> TlsIdentity::Load(const TlsFiles& files, std::string& error) {
    Owned<X509> certificate = ReadCertificate(files.certificate);
    if (!certificate) {
        error = Unreadable("tls_certificate", files.certificate);
        return nullptr;
    }
    Owned<EVP_PKEY> key = ReadKey(files.key);
    if (!key) {
        error = Unreadable("tls_key", files.key);
        return nullptr;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        error = "tls_key=" + files.key.string() +
                " is not the key of tls_certificate=" + files.certificate.string();
        return nullptr;
    }
    Owned<SSL_CTX> context(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
        error = "cannot set up TLS with tls_certificate=" + files.certificate.string();
        return nullptr;
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
    std::string fingerprint = CertificateFingerprint(certificate.get());
    return std::shared_ptr<TlsIdentity>(new TlsIdentity(context.release(), fingerprint));
}

TlsIdentity::~TlsIdentity() {
    SSL_CTX_free(context_);
}

}  // namespace wharfkeep::control
