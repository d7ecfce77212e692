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
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace wharfkeep::control {

inline constexpr const char* kTokenFileName = "control-tokens.json";

// What a token may do. Each scope includes the ones before it.
enum class Scope {
    kRead,     // every GET, the event stream and the metrics
    kOperate,  // and the actions: publish, withdraw, rescan, remove, watch, export
    kAdmin,    // and the settings, the IP filter and the tokens
};

std::optional<Scope> ParseScope(const std::string& text);
const char* ScopeName(Scope scope);

struct TokenRecord {
    std::string name;
    Scope scope = Scope::kRead;
    std::string sha256;          // hexadecimal, of the token's text
    std::int64_t created = 0;    // seconds since the epoch
    std::int64_t last_used = 0;  // 0: never
};

// A token or a user that came or went since its store last reported; the file's other
// contents (hashes, passwords, last uses) stay out of it.
struct StoreChange {
    bool added = false;  // false: revoked or removed
    std::string name;
    Scope scope = Scope::kRead;
};

// Why a store refused a change, for callers that answer with a status rather than a text.
enum class StoreRefusal {
    kNone,
    kInvalid,    // the name or password is not acceptable
    kTaken,      // the name exists already
    kUnknown,    // no entry has that name
    kLastAdmin,  // the only admin user would go
    kUnusable,   // the file cannot be read, is damaged, or cannot be written
};

class TokenStore {
public:
    explicit TokenStore(std::filesystem::path file) : file_(std::move(file)) {}

    // A new token for `name` (letters, digits, '.', '_', '-'; at most 64), or nothing with
    // `error` (and `refusal`, when given) set when the name is taken or invalid or the file
    // cannot be written.
    std::optional<std::string> Create(const std::string& name, Scope scope, std::string& error,
                                      StoreRefusal* refusal = nullptr);
    // False, with `error` (and `refusal`) set, when no token has that name.
    bool Revoke(const std::string& name, std::string& error, StoreRefusal* refusal = nullptr);
    std::vector<TokenRecord> List(std::string& error) const;

    // The record of `token` when it is known now (rereading the file when it changed), and
    // notes its use. Thread-safe.
    std::optional<TokenRecord> Verify(const std::string& token, std::int64_t now);
    // True when a token with this hash is still known (after rereading a changed file).
    bool StillValid(const std::string& sha256);
    // Writes the last uses noted since the last call into the file.
    void SaveLastUses();
    // The tokens created and revoked since the last call, by whichever program changed the
    // file; the first call only learns which exist. Nothing while the file is unreadable or
    // damaged. Thread-safe.
    std::vector<StoreChange> TakeChanges();

private:
    bool Refresh();
    std::filesystem::path file_;
    std::mutex mutex_;
    std::map<std::string, TokenRecord> by_hash_;  // the file as last read
    std::string file_stamp_;                      // inode, size and time of that reading
    std::map<std::string, std::int64_t> uses_;    // last uses not written yet
    bool read_ok_ = false;                        // that reading succeeded
    std::optional<std::map<std::string, TokenRecord>> reported_;  // by TakeChanges
};

// Sets `*refusal` (when given) to `why`; false, for a store's refusing return.
bool NoteRefusal(StoreRefusal* refusal, StoreRefusal why);

// SHA-256 of `text`, in hexadecimal.
std::string Sha256Hex(const std::string& text);

}  // namespace wharfkeep::control
