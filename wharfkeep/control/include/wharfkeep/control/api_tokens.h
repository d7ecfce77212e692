#pragma once
// The API tokens of the control interface's TCP listener: named, scoped and revocable. A
// token is shown once, when made; the file keeps only its SHA-256 (the tokens are random,
// so a fast hash is enough) with its name, scope, creation and last use. The file is
// "control-tokens.json" in the application-data folder, mode 0600; wharfkeepd's token
// commands write it and a running instance rereads it when it changes, so a revocation holds
// from the next request.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wharfkeep/control/credentials_file.h"

namespace wharfkeep::control {

inline constexpr const char* kTokenFileName = "control-tokens.json";

struct TokenRecord : CredentialsEntry {
    std::string sha256;          // hexadecimal, of the token's text
    std::int64_t last_used = 0;  // seconds since the epoch; 0: never
};

// The token as listings show it: with its last use, never its hash.
nlohmann::json ToJson(const TokenRecord& record);

class TokenStore : public CredentialsFile<TokenRecord> {
public:
    explicit TokenStore(std::filesystem::path file);

    // A new token for `name` (letters, digits, '.', '_', '-'; at most 64), or nothing with
    // `error` (and `refusal`, when given) set when the name is taken or invalid or the file
    // cannot be written.
    std::optional<std::string> Create(const std::string& name, Scope scope, std::string& error,
                                      StoreRefusal* refusal = nullptr);
    // False, with `error` (and `refusal`) set, when no token has that name.
    bool Revoke(const std::string& name, std::string& error, StoreRefusal* refusal = nullptr);

    // The record of `token` when it is known now (rereading the file when it changed), and
    // notes its use. Thread-safe.
    std::optional<TokenRecord> Verify(const std::string& token, std::int64_t now);
    // True when a token with this hash is still known (after rereading a changed file).
    bool StillValid(const std::string& sha256);
    // Writes the last uses noted since the last call into the file.
    void SaveLastUses();

private:
    // The token with this hash as the file holds it now; null when there is none. Called
    // under `mutex_`.
    TokenRecord* Known(const std::string& sha256);

    std::map<std::string, std::int64_t> uses_;  // last uses not written yet
};

// SHA-256 of `text`, in hexadecimal.
std::string Sha256Hex(const std::string& text);

}  // namespace wharfkeep::control
