#pragma once
// The small JSON files of the control interface that hold secrets' hashes (the tokens, the
// users): written whole under a lock file, to a temporary file that replaces the old one
// (mode 0600), and reread by a running instance when their stamp changes.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "wharfkeep/control/credentials_file.h"

namespace wharfkeep::control {

// Holds "FILE.lock" exclusively while it lives, so that a command and a running instance
// do not write over each other's change.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& file);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    platform::UniqueFd file_;
};

// Replaces `file` with `text` at once (mode 0600, synced); false with `error` set when it
// cannot, leaving the old file as it was.
bool WritePrivateFile(const std::filesystem::path& file, const std::string& text,
                      std::string& error);

// How a credentials file lays out its entries: {"tokens": [{"name": ..., "scope": ...,
// "created": ..., "sha256": ...}, ...]}.
struct EntryLayout {
    const char* list;    // the member that holds the entries: "tokens"
    const char* kind;    // what one entry is, for messages: "token"
    const char* secret;  // the member with the entry's hash: "sha256"
    const char* remedy;  // what to do with a damaged file: "make the tokens again"
};

// The array `layout.list` of the JSON object that `file` holds; an empty one when the file
// is absent. Nothing, with `error` set, when the file cannot be read or holds no such array.
std::optional<nlohmann::json> ReadEntryList(const std::filesystem::path& file,
                                            const EntryLayout& layout, std::string& error);

// What every entry has, when `item` is an object with "name", "scope" (a scope's name) and
// `secret` as text; nothing when it is not.
std::optional<CredentialsEntry> ReadEntry(const nlohmann::json& item, const char* secret);

// The records of `file`, each made by make(entry, item) from what every entry has and the
// item it was read from; none when the file is absent. Nothing, with `error` set, when the
// file is unreadable or damaged.
template <typename Record, typename Make>
std::optional<std::vector<Record>> ReadEntries(const std::filesystem::path& file,
                                               const EntryLayout& layout, Make make,
                                               std::string& error) {
    std::optional<nlohmann::json> items = ReadEntryList(file, layout, error);
    if (!items) {
        return std::nullopt;
    }
    std::vector<Record> records;
    for (const nlohmann::json& item : *items) {
        std::optional<CredentialsEntry> entry = ReadEntry(item, layout.secret);
        if (!entry) {
            error = file.string() + " has an entry that is not a " + layout.kind;
            return std::nullopt;
        }
        records.push_back(make(std::move(*entry), item));
    }
    return records;
}

// Replaces `file` with `records` as WritePrivateFile does: each as listings show it, with
// its secret(record) beside.
template <typename Record, typename Secret>
bool WriteEntries(const std::filesystem::path& file, const EntryLayout& layout,
                  const std::vector<Record>& records, Secret secret, std::string& error) {
    nlohmann::json list = nlohmann::json::array();
    for (const Record& record : records) {
        nlohmann::json entry = ToJson(record);
        entry[layout.secret] = secret(record);
        list.push_back(std::move(entry));
    }
    return WritePrivateFile(file, nlohmann::json{{layout.list, std::move(list)}}.dump(2) + "\n",
                            error);
}

}  // namespace wharfkeep::control
