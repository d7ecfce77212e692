#pragma once
// The people who may log in to the web console: a name, a scope (as the tokens have) and an
// Argon2id hash of the password (libsodium's crypto_pwhash_str, at its interactive limits).
// The file is "control-users.json" in the application-data folder, mode 0600; wharfkeepd's
// user commands write it and a running instance rereads it when it changes, so removing a
// user or changing a password ends that user's sessions at their next request.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "wharfkeep/control/api_tokens.h"

namespace wharfkeep::control {

inline constexpr const char* kUsersFileName = "control-users.json";

struct UserRecord : CredentialsEntry {
    std::string password_hash;  // crypto_pwhash_str's text, "$argon2id$..."
};

// Makes libsodium ready; false when it cannot be (no source of random bytes).
bool InitPasswordHashing();

// The Argon2id hash of `password`, or nothing (out of memory).
std::optional<std::string> HashPassword(const std::string& password);

// True when `password` is the one `hash` was made from. Takes as long as hashing.
bool PasswordMatches(const std::string& hash, const std::string& password);

class UserStore : public CredentialsFile<UserRecord> {
public:
    explicit UserStore(std::filesystem::path file);

    // Whether removing a user may leave nobody with the admin scope. The console keeps one,
    // so that nobody is locked out of it; on the server's own command line anyone with the
    // file's rights can add one again.
    enum class LastAdmin { kMayGo, kStays };

    // Adds a user (name: letters, digits, '.', '_', '-', '@'; at most 64); false with
    // `error` (and `refusal`, when given) set when the name is taken or invalid, the
    // password is empty, or the file cannot be written. Adding and SetPassword hash the
    // password: tens of milliseconds.
    bool Add(const std::string& name, Scope scope, const std::string& password, std::string& error,
             StoreRefusal* refusal = nullptr);
    bool Remove(const std::string& name, std::string& error,
                LastAdmin last_admin = LastAdmin::kMayGo, StoreRefusal* refusal = nullptr);
    bool SetPassword(const std::string& name, const std::string& password, std::string& error,
                     StoreRefusal* refusal = nullptr);

    // The user's record as the file holds it now (rereading it when it changed); nothing
    // for an unknown name or an unreadable file. Thread-safe.
    std::optional<UserRecord> Find(const std::string& name);
};

}  // namespace wharfkeep::control
