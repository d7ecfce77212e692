#pragma once
// The web console's logins: a session per login, named by a random id that only the
// browser's HttpOnly cookie holds, with its own random CSRF token that the page sends in a
// header with every change. Sessions live in memory (a restart logs everyone out) and end
// at logout, after `idle_seconds` without a request, or when their user's entry in the
// users file is gone or has another password. Server thread only.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "wharfkeep/control/api_tokens.h"

namespace wharfkeep::control {

struct WebSession {
    std::string user;
    Scope scope = Scope::kRead;
    std::string csrf;
    std::string password_hash;  // the user's when they logged in
    std::int64_t last_seen = 0;
};

// 32 random bytes in URL-safe base64 without padding.
std::string RandomId();

class SessionTable {
public:
    SessionTable(std::int64_t idle_seconds, std::size_t max_sessions = 10000)
        : idle_seconds_(idle_seconds), max_sessions_(max_sessions) {}

    // A new session (always a new id); the one idle longest goes when the table is full.
    std::string Open(const std::string& user, Scope scope, const std::string& password_hash,
                     std::int64_t now);
    // The live session of `id`, its idle time restarted; nothing when unknown or expired
    // (an expired one is forgotten).
    WebSession* Touch(const std::string& id, std::int64_t now);
    // The session without restarting its idle time.
    WebSession* Find(const std::string& id, std::int64_t now);
    void Close(const std::string& id);
    std::size_t size() const { return sessions_.size(); }

private:
    std::int64_t idle_seconds_;
    std::size_t max_sessions_;
    std::map<std::string, WebSession> sessions_;
};

// The value of cookie `name` in a Cookie header; empty when absent.
std::string CookieValue(const std::string& header, const std::string& name);

// True when `origin` (an Origin header) is https://HOST where HOST is the Host header,
// compared without case and with the default port 443 left out of both.
bool SameOrigin(const std::string& origin, const std::string& host);

// True when the two texts are equal, in a time that does not depend on where they differ.
bool SecretsEqual(const std::string& a, const std::string& b);

}  // namespace wharfkeep::control
