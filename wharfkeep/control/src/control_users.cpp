#include "wharfkeep/control/control_users.h"

#include <sodium.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "private_file.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Longer passwords are refused rather than hashed: the request body is capped anyway, and
// a megabyte of password costs the same as a short one only after it was read.
constexpr std::size_t kMaxPasswordBytes = 1024;

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
               c == '@';
    });
}

constexpr EntryLayout kUserFile{"users", "user", "password", "add the users again"};

// The records of the file; an absent file has none. Nothing when it is unreadable or
// damaged: nobody can then log in, rather than guessing.
std::optional<std::vector<UserRecord>> ReadUsers(const fs::path& file, std::string& error) {
    return ReadEntries<UserRecord>(
        file, kUserFile,
        [](CredentialsEntry entry, const json& item) {
            return UserRecord{std::move(entry), item["password"].get<std::string>()};
        },
        error);
}

bool WriteUsers(const fs::path& file, const std::vector<UserRecord>& users, std::string& error) {
    return WriteEntries(
        file, kUserFile, users, [](const UserRecord& user) { return user.password_hash; }, error);
}

bool CheckPassword(const std::string& password, std::string& error) {
    if (password.empty()) {
        error = "the password is empty";
        return false;
    }
    if (password.size() > kMaxPasswordBytes) {
        error = "the password is longer than 1024 bytes";
        return false;
    }
    return true;
}

}  // namespace

bool InitPasswordHashing() {
    return sodium_init() >= 0;
}

std::optional<std::string> HashPassword(const std::string& password) {
    char hash[crypto_pwhash_STRBYTES];
    if (!InitPasswordHashing() || crypto_pwhash_str_alg(hash, password.data(), password.size(),
                                                        crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                                        crypto_pwhash_MEMLIMIT_INTERACTIVE,
                                                        crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return std::nullopt;
    }
    return std::string(hash);
}

namespace {

// The hash of an acceptable password; nothing when it is refused or cannot be hashed (why in
// `error` and `refusal`).
std::optional<std::string> AcceptedPasswordHash(const std::string& password, std::string& error,
                                                StoreRefusal* refusal) {
    if (!CheckPassword(password, error)) {
        NoteRefusal(refusal, StoreRefusal::kInvalid);
        return std::nullopt;
    }
    std::optional<std::string> hash = HashPassword(password);
    if (!hash) {
        error = "cannot hash the password (out of memory?)";
        NoteRefusal(refusal, StoreRefusal::kUnusable);
    }
    return hash;
}

// Where the user named `name` stands in `users`; nothing when the users could not be read or
// hold no such user (why in `error` and `refusal`).
std::optional<std::size_t> FindUser(const std::optional<std::vector<UserRecord>>& users,
                                    const std::string& name, std::string& error,
                                    StoreRefusal* refusal) {
    if (!users) {
        NoteRefusal(refusal, StoreRefusal::kUnusable);
        return std::nullopt;
    }
    auto found = std::find_if(users->begin(), users->end(),
                              [&](const UserRecord& user) { return user.name == name; });
    if (found == users->end()) {
        error = "no user named " + name;
        NoteRefusal(refusal, StoreRefusal::kUnknown);
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - users->begin());
}

}  // namespace

bool PasswordMatches(const std::string& hash, const std::string& password) {
    if (hash.size() >= crypto_pwhash_STRBYTES || password.size() > kMaxPasswordBytes ||
        !InitPasswordHashing()) {
        return false;
    }
    char text[crypto_pwhash_STRBYTES] = {};
    std::copy(hash.begin(), hash.end(), text);
    return crypto_pwhash_str_verify(text, password.data(), password.size()) == 0;
}

// Users are told apart by name and creation time: a name removed and added again is a new
// user, a new password is not.
UserStore::UserStore(fs::path file)
    : CredentialsFile(std::move(file), ReadUsers, [](const UserRecord& user) {
          return user.name + "\n" + std::to_string(user.created);
      }) {}

bool UserStore::Add(const std::string& name, Scope scope, const std::string& password,
                    std::string& error, StoreRefusal* refusal) {
    if (!ValidName(name)) {
        error = "a user name is 1 to 64 letters, digits, '.', '_', '-' or '@'";
        return NoteRefusal(refusal, StoreRefusal::kInvalid);
    }
    std::optional<std::string> hash = AcceptedPasswordHash(password, error, refusal);
    if (!hash) {
        return false;
    }
    FileLock lock(file());
    std::optional<std::vector<UserRecord>> users = ReadUsers(file(), error);
    if (!users) {
        return NoteRefusal(refusal, StoreRefusal::kUnusable);
    }
    if (std::any_of(users->begin(), users->end(),
                    [&](const UserRecord& user) { return user.name == name; })) {
        error = "a user named " + name + " exists; remove it first or change its password";
        return NoteRefusal(refusal, StoreRefusal::kTaken);
    }
    users->push_back({{name, scope, static_cast<std::int64_t>(::time(nullptr))}, *hash});
    return WriteUsers(file(), *users, error) || NoteRefusal(refusal, StoreRefusal::kUnusable);
}

bool UserStore::Remove(const std::string& name, std::string& error, LastAdmin last_admin,
                       StoreRefusal* refusal) {
    FileLock lock(file());
    std::optional<std::vector<UserRecord>> users = ReadUsers(file(), error);
    const std::optional<std::size_t> found = FindUser(users, name, error, refusal);
    if (!found) {
        return false;
    }
    const auto is_admin = [](const UserRecord& user) { return user.scope == Scope::kAdmin; };
    if (last_admin == LastAdmin::kStays && is_admin((*users)[*found]) &&
        std::count_if(users->begin(), users->end(), is_admin) == 1) {
        error = name + " is the only admin user; give another user the admin scope first";
        return NoteRefusal(refusal, StoreRefusal::kLastAdmin);
    }
    users->erase(users->begin() + static_cast<std::ptrdiff_t>(*found));
    return WriteUsers(file(), *users, error) || NoteRefusal(refusal, StoreRefusal::kUnusable);
}

bool UserStore::SetPassword(const std::string& name, const std::string& password,
                            std::string& error, StoreRefusal* refusal) {
    std::optional<std::string> hash = AcceptedPasswordHash(password, error, refusal);
    if (!hash) {
        return false;
    }
    FileLock lock(file());
    std::optional<std::vector<UserRecord>> users = ReadUsers(file(), error);
    const std::optional<std::size_t> found = FindUser(users, name, error, refusal);
    if (!found) {
        return false;
    }
    (*users)[*found].password_hash = *hash;
    return WriteUsers(file(), *users, error) || NoteRefusal(refusal, StoreRefusal::kUnusable);
}

std::optional<UserRecord> UserStore::Find(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<UserRecord>& users = Current();
    auto found = std::find_if(users.begin(), users.end(),
                              [&](const UserRecord& user) { return user.name == name; });
    if (found == users.end()) {
        return std::nullopt;
    }
    return *found;
}

}  // namespace wharfkeep::control
