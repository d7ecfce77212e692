#include "wharfkeep/control/api_tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/lookup_table.h"
#include "private_file.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t kTokenBytes = 32;  // 256 random bits
constexpr const char* kTokenPrefix = "wk_";

constexpr platform::LookupRow<Scope, const char*> kScopeNames[] = {
    {Scope::kRead, "read"}, {Scope::kOperate, "operate"}, {Scope::kAdmin, "admin"}};

std::string Base64Url(const unsigned char* bytes, std::size_t size) {
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                  static_cast<int>(size));
    text.resize(static_cast<std::size_t>(written));
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    return text;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

json ToJson(const TokenRecord& record) {
    return json{{"name", record.name},
                {"scope", ScopeName(record.scope)},
                {"sha256", record.sha256},
                {"created", record.created},
                {"last_used", record.last_used}};
}

// The records of the file; an absent file has none. Nothing when the file is unreadable
// or damaged: no token is then accepted, rather than guessing.
std::optional<std::vector<TokenRecord>> ReadRecords(const fs::path& file, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        std::error_code ignored;
        if (!fs::exists(file, ignored)) {
            return std::vector<TokenRecord>{};
        }
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    json document = json::parse(in, nullptr, false);
    std::vector<TokenRecord> records;
    if (document.is_discarded() || !document.is_object() || !document.contains("tokens") ||
        !document["tokens"].is_array()) {
        error = file.string() + " is damaged; remove it and make the tokens again";
        return std::nullopt;
    }
    for (const json& item : document["tokens"]) {
        TokenRecord record;
        std::optional<Scope> scope;
        if (item.is_object() && item.value("name", json()).is_string() &&
            item.value("sha256", json()).is_string() && item.value("scope", json()).is_string()) {
            scope = ParseScope(item["scope"].get<std::string>());
        }
        if (!scope) {
            error = file.string() + " has an entry that is not a token";
            return std::nullopt;
        }
        record.name = item["name"].get<std::string>();
        record.sha256 = item["sha256"].get<std::string>();
        record.scope = *scope;
        record.created = item.value("created", std::int64_t{0});
        record.last_used = item.value("last_used", std::int64_t{0});
        records.push_back(record);
    }
    return records;
}

bool WriteRecords(const fs::path& file, const std::vector<TokenRecord>& records,
                  std::string& error) {
    json list = json::array();
    for (const TokenRecord& record : records) {
        list.push_back(ToJson(record));
    }
    return WritePrivateFile(file, json{{"tokens", list}}.dump(2) + "\n", error);
}

}  // namespace

bool NoteRefusal(StoreRefusal* refusal, StoreRefusal why) {
    if (refusal != nullptr) {
        *refusal = why;
    }
    return false;
}

std::optional<Scope> ParseScope(const std::string& text) {
    return platform::key_of(kScopeNames, text);
}

const char* ScopeName(Scope scope) {
    return platform::look_up(kScopeNames, scope, "read");
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

std::optional<std::string> TokenStore::Create(const std::string& name, Scope scope,
                                              std::string& error, StoreRefusal* refusal) {
    if (!ValidName(name)) {
        error = "a token name is 1 to 64 letters, digits, '.', '_' or '-'";
        NoteRefusal(refusal, StoreRefusal::kInvalid);
        return std::nullopt;
    }
    FileLock lock(file_);
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file_, error);
    if (!records) {
        NoteRefusal(refusal, StoreRefusal::kUnusable);
        return std::nullopt;
    }
    if (std::any_of(records->begin(), records->end(),
                    [&](const TokenRecord& record) { return record.name == name; })) {
        error = "a token named " + name + " exists; revoke it first";
        NoteRefusal(refusal, StoreRefusal::kTaken);
        return std::nullopt;
    }
    unsigned char bytes[kTokenBytes];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
        error = "no random bytes for a token";
        NoteRefusal(refusal, StoreRefusal::kUnusable);
        return std::nullopt;
    }
    std::string token = kTokenPrefix + Base64Url(bytes, sizeof(bytes));
    records->push_back(
        {name, scope, Sha256Hex(token), static_cast<std::int64_t>(::time(nullptr)), 0});
    if (!WriteRecords(file_, *records, error)) {
        NoteRefusal(refusal, StoreRefusal::kUnusable);
        return std::nullopt;
    }
    return token;
}

bool TokenStore::Revoke(const std::string& name, std::string& error, StoreRefusal* refusal) {
    FileLock lock(file_);
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file_, error);
    if (!records) {
        return NoteRefusal(refusal, StoreRefusal::kUnusable);
    }
    auto kept = std::remove_if(records->begin(), records->end(),
                               [&](const TokenRecord& record) { return record.name == name; });
    if (kept == records->end()) {
        error = "no token named " + name;
        return NoteRefusal(refusal, StoreRefusal::kUnknown);
    }
    records->erase(kept, records->end());
    return WriteRecords(file_, *records, error) || NoteRefusal(refusal, StoreRefusal::kUnusable);
}

std::vector<TokenRecord> TokenStore::List(std::string& error) const {
    return ReadRecords(file_, error).value_or(std::vector<TokenRecord>{});
}

bool TokenStore::Refresh() {
    std::string stamp = FileStamp(file_);
    if (stamp == file_stamp_) {
        return read_ok_;
    }
    std::string error;
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file_, error);
    by_hash_.clear();
    file_stamp_ = stamp;
    for (const TokenRecord& record : records.value_or(std::vector<TokenRecord>{})) {
        by_hash_[record.sha256] = record;
    }
    read_ok_ = records.has_value();
    return read_ok_;
}

// Tokens are told apart by their hash: a name revoked and made again is a new token.
std::vector<StoreChange> TokenStore::TakeChanges() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Refresh()) {
        return {};
    }
    std::vector<StoreChange> changes;
    if (reported_) {
        for (const auto& [hash, record] : *reported_) {
            if (by_hash_.count(hash) == 0) {
                changes.push_back({false, record.name, record.scope});
            }
        }
        for (const auto& [hash, record] : by_hash_) {
            if (reported_->count(hash) == 0) {
                changes.push_back({true, record.name, record.scope});
            }
        }
    }
    reported_ = by_hash_;
    return changes;
}

std::optional<TokenRecord> TokenStore::Verify(const std::string& token, std::int64_t now) {
    std::string hash = Sha256Hex(token);
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    auto found = by_hash_.find(hash);
    if (found == by_hash_.end()) {
        return std::nullopt;
    }
    found->second.last_used = now;
    uses_[hash] = now;
    return found->second;
}

bool TokenStore::StillValid(const std::string& sha256) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refresh();
    return by_hash_.count(sha256) > 0;
}

void TokenStore::SaveLastUses() {
    std::map<std::string, std::int64_t> uses;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uses.swap(uses_);
    }
    if (uses.empty()) {
        return;
    }
    FileLock lock(file_);
    std::string error;
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file_, error);
    if (!records) {
        return;
    }
    for (TokenRecord& record : *records) {
        if (auto use = uses.find(record.sha256); use != uses.end()) {
            record.last_used = std::max(record.last_used, use->second);
        }
    }
    WriteRecords(file_, *records, error);
}

}  // namespace wharfkeep::control
