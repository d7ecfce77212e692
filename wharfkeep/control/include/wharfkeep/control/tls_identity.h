#pragma once
// The certificate and key the control interface's TCP listener presents. The operator names
// PEM files; without them a self-signed certificate (ECDSA P-256, for the host's names and
// addresses) is made once in the application-data folder and kept, so that clients can pin
// its fingerprint.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct x509_st;

namespace wharfkeep::control {

struct TlsFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// The files of the self-signed certificate in `folder` ("tls" of the application-data
// folder), made first when missing: the key with mode 0600. `names` are host names and
// addresses the certificate is for. Nothing, with `error` set, when they cannot be made.
std::optional<TlsFiles> EnsureSelfSignedCertificate(const std::filesystem::path& folder,
                                                    const std::vector<std::string>& names,
                                                    std::string& error);

// "AB:CD:..." of SHA-256 over the certificate's DER bytes, as `openssl x509 -fingerprint
// -sha256` and browsers show it.
std::string CertificateFingerprint(x509_st* certificate);

// A server context over a certificate and its key: TLS 1.2 at least.
class TlsIdentity {
public:
    // Nothing, with `error` naming the file and the problem, when a file is missing, is not
    // PEM, or the key does not belong to the certificate.
    static std::shared_ptr<TlsIdentity> Load(const TlsFiles& files, std::string& error);
    ~TlsIdentity();
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    ssl_ctx_st* context() const { return context_; }
    const std::string& fingerprint() const { return fingerprint_; }

private:
    TlsIdentity(ssl_ctx_st* context, std::string fingerprint)
        : context_(context), fingerprint_(std::move(fingerprint)) {}
    ssl_ctx_st* context_;
    std::string fingerprint_;
};

}  // namespace wharfkeep::control
