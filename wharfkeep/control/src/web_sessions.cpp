#include "web_sessions.h"

#include <sodium.h>
#include <strings.h>

#include <algorithm>

namespace wharfkeep::control {
namespace {

// "host:443" is "host"; a bracketed IPv6 address keeps its brackets.
std::string WithoutDefaultPort(std::string authority) {
    if (authority.size() > 4 && authority.compare(authority.size() - 4, 4, ":443") == 0) {
        authority.resize(authority.size() - 4);
    }
    std::transform(authority.begin(), authority.end(), authority.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return authority;
}

}  // namespace

std::string RandomId() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof(bytes));
    char text[sodium_base64_ENCODED_LEN(sizeof(bytes), sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(text, sizeof(text), bytes, sizeof(bytes),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    return text;
}

std::string SessionTable::Open(const std::string& user, Scope scope,
                               const std::string& password_hash, std::int64_t now) {
    if (sessions_.size() >= max_sessions_) {
        auto oldest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const auto& a, const auto& b) { return a.second.last_seen < b.second.last_seen; });
        sessions_.erase(oldest);
    }
    std::string id = RandomId();
    sessions_[id] = WebSession{user, scope, RandomId(), password_hash, now};
    return id;
}

WebSession* SessionTable::Find(const std::string& id, std::int64_t now) {
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return nullptr;
    }
    if (now - found->second.last_seen >= idle_seconds_) {
        sessions_.erase(found);
        return nullptr;
    }
    return &found->second;
}

WebSession* SessionTable::Touch(const std::string& id, std::int64_t now) {
    WebSession* session = Find(id, now);
    if (session != nullptr) {
        session->last_seen = now;
    }
    return session;
}

void SessionTable::Close(const std::string& id) {
    sessions_.erase(id);
}

std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find(';', start);
        std::string pair = header.substr(start, end == std::string::npos ? end : end - start);
        std::size_t first = pair.find_first_not_of(' ');
        std::size_t equals = pair.find('=');
        if (first != std::string::npos && equals != std::string::npos &&
            pair.compare(first, equals - first, name) == 0 && equals - first == name.size()) {
            std::string value = pair.substr(equals + 1);
            value.erase(value.find_last_not_of(' ') + 1);
            return value;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return "";
}

bool SameOrigin(const std::string& origin, const std::string& host) {
    const std::string scheme = "https://";
    if (host.empty() || origin.size() <= scheme.size() ||
        ::strncasecmp(origin.c_str(), scheme.c_str(), scheme.size()) != 0) {
        return false;
    }
    return WithoutDefaultPort(origin.substr(scheme.size())) == WithoutDefaultPort(host);
}

bool SecretsEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace wharfkeep::control
