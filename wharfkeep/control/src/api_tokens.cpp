#include "wharfkeep/control/api_tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <nlohmann/json.hpp>

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

constexpr EntryLayout kTokenFile{"tokens", "token", "sha256", "make the tokens again"};

// The records of the file; an absent file has none. Nothing when the file is unreadable
// or damaged: no token is then accepted, rather than guessing.
std::optional<std::vector<TokenRecord>> ReadRecords(const fs::path& file, std::string& error) {
    return ReadEntries<TokenRecord>(
        file, kTokenFile,
        [](CredentialsEntry entry, const json& item) {
            return TokenRecord{std::move(entry), item["sha256"].get<std::string>(),
                               item.value("last_used", std::int64_t{0})};
        },
        error);
}

bool WriteRecords(const fs::path& file, const std::vector<TokenRecord>& records,
                  std::string& error) {
    return WriteEntries(
        file, kTokenFile, records, [](const TokenRecord& record) { return record.sha256; }, error);
}

}  // namespace

bool NoteRefusal(StoreRefusal* refusal, StoreRefusal why) {
    if (refusal != nullptr) {
        *refusal = why;
    }
    return false;
}

json ToJson(const TokenRecord& record) {
    json listed = ToJson(static_cast<const CredentialsEntry&>(record));
    listed["last_used"] = record.last_used;
    return listed;
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

// Tokens are told apart by their hash: a name revoked and made again is a new token.
TokenStore::TokenStore(fs::path file)
    : CredentialsFile(std::move(file), ReadRecords,
                      [](const TokenRecord& record) { return record.sha256; }) {}

std::optional<std::string> TokenStore::Create(const std::string& name, Scope scope,
                                              std::string& error, StoreRefusal* refusal) {
    if (!ValidName(name)) {
        error = "a token name is 1 to 64 letters, digits, '.', '_' or '-'";
        NoteRefusal(refusal, StoreRefusal::kInvalid);
        return std::nullopt;
    }
    FileLock lock(file());
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file(), error);
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
        {{name, scope, static_cast<std::int64_t>(::time(nullptr))}, Sha256Hex(token), 0});
    if (!WriteRecords(file(), *records, error)) {
        NoteRefusal(refusal, StoreRefusal::kUnusable);
        return std::nullopt;
    }
    return token;
}

bool TokenStore::Revoke(const std::string& name, std::string& error, StoreRefusal* refusal) {
    FileLock lock(file());
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file(), error);
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
    return WriteRecords(file(), *records, error) || NoteRefusal(refusal, StoreRefusal::kUnusable);
}

TokenRecord* TokenStore::Known(const std::string& sha256) {
    std::vector<TokenRecord>& records = Current();
    auto found = std::find_if(records.begin(), records.end(),
                              [&](const TokenRecord& record) { return record.sha256 == sha256; });
    return found == records.end() ? nullptr : &*found;
}

std::optional<TokenRecord> TokenStore::Verify(const std::string& token, std::int64_t now) {
    std::string hash = Sha256Hex(token);
    std::lock_guard<std::mutex> lock(mutex_);
    TokenRecord* record = Known(hash);
    if (record == nullptr) {
        return std::nullopt;
    }
    record->last_used = now;
    uses_[hash] = now;
    return *record;
}

bool TokenStore::StillValid(const std::string& sha256) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Known(sha256) != nullptr;
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
    FileLock lock(file());
    std::string error;
    std::optional<std::vector<TokenRecord>> records = ReadRecords(file(), error);
    if (!records) {
        return;
    }
    for (TokenRecord& record : *records) {
        if (auto use = uses.find(record.sha256); use != uses.end()) {
            record.last_used = std::max(record.last_used, use->second);
        }
    }
    WriteRecords(file(), *records, error);
}

}  // namespace wharfkeep::control
