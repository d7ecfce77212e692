#pragma once
// What the token and user files of the control interface share: the scopes, the changes a
// running instance reports, why a store refuses a change, and the file as that instance
// last read it.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace wharfkeep::control {

// What a token or a user may do. Each scope includes the ones before it.
enum class Scope {
    kRead,     // every GET, the event stream and the metrics
    kOperate,  // and the actions: publish, withdraw, rescan, remove, watch, export
    kAdmin,    // and the settings, the IP filter and the tokens
};

std::optional<Scope> ParseScope(const std::string& text);
const char* ScopeName(Scope scope);

// What every token and user has: all a listing shows of a user.
struct CredentialsEntry {
    std::string name;
    Scope scope = Scope::kRead;
    std::int64_t created = 0;  // seconds since the epoch
};

// `entry` as listings show it (never a hash or a password); a list of them as the
// ToJson of control_json.h makes it.
nlohmann::json ToJson(const CredentialsEntry& entry);

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

// Sets `*refusal` (when given) to `why`; false, for a store's refusing return.
bool NoteRefusal(StoreRefusal* refusal, StoreRefusal why);

// The inode, size and time of `file`, or "none": a change means it was rewritten.
std::string FileStamp(const std::filesystem::path& file);

// What a store of a credentials file (the tokens, the users) shares: reading its records,
// and, for a running instance, the file as last read, read again whenever its stamp
// changes (so that a command's change holds from the next request), with the entries that
// came and went since it last reported. `Record` is a CredentialsEntry.
template <typename Record>
class CredentialsFile {
public:
    // The file's records; nothing, with `error` set, when it is unreadable or damaged.
    using Reader = std::optional<std::vector<Record>> (*)(const std::filesystem::path& file,
                                                          std::string& error);
    // Tells entries apart: one whose identity is new came, one whose identity is gone went.
    using Identity = std::string (*)(const Record& record);

    // The file's records; none, with `error` set, when it is unreadable or damaged.
    std::vector<Record> List(std::string& error) const {
        return read_(file_, error).value_or(std::vector<Record>{});
    }

    // The entries added and removed since the last call, by whichever program changed the
    // file; the first call only learns which exist. Nothing while the file is unreadable or
    // damaged. Thread-safe.
    std::vector<StoreChange> TakeChanges() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Refresh()) {
            return {};
        }
        std::vector<StoreChange> changes;
        if (reported_) {
            NoteMissing(*reported_, records_, false, changes);
            NoteMissing(records_, *reported_, true, changes);
        }
        reported_ = records_;
        return changes;
    }

protected:
    CredentialsFile(std::filesystem::path file, Reader read, Identity identity)
        : file_(std::move(file)), read_(read), identity_(identity) {}

    const std::filesystem::path& file() const { return file_; }

    // The records as the file holds them now; none while it is unreadable or damaged. A
    // change to one lasts until the file is read again. Called holding `mutex_`.
    std::vector<Record>& Current() {
        Refresh();
        return records_;
    }

    std::mutex mutex_;  // guards what was read, and what the store keeps beside it

private:
    // Reads the file again when its stamp changed; whether the last reading succeeded.
    bool Refresh() {
        std::string stamp = FileStamp(file_);
        if (stamp == stamp_) {
            return read_ok_;
        }
        std::string error;
        std::optional<std::vector<Record>> records = read_(file_, error);
        read_ok_ = records.has_value();
        records_ = std::move(records).value_or(std::vector<Record>{});
        stamp_ = stamp;
        return read_ok_;
    }

    // Adds to `changes` an entry of `added` kind for each record of `from` that `to` lacks.
    void NoteMissing(const std::vector<Record>& from, const std::vector<Record>& to, bool added,
                     std::vector<StoreChange>& changes) const {
        for (const Record& record : from) {
            const bool kept = std::any_of(to.begin(), to.end(), [&](const Record& other) {
                return identity_(other) == identity_(record);
            });
            if (!kept) {
                changes.push_back({added, record.name, record.scope});
            }
        }
    }

    const std::filesystem::path file_;
    const Reader read_;
    const Identity identity_;
    std::vector<Record> records_;                  // the file as last read
    std::string stamp_;                            // its stamp at that reading
    bool read_ok_ = false;                         // that reading succeeded
    std::optional<std::vector<Record>> reported_;  // by TakeChanges
};

}  // namespace wharfkeep::control
