#pragma once
// The rules of the TCP listener that decide who may call what, apart from the transport:
// the scope each resource needs, the Host check against DNS rebinding, which proxies'
// X-Forwarded-For is believed, and the ban of addresses that keep failing to authenticate.
// Pure functions and one small table, so that each rule is tested alone.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wharfkeep/control/api_tokens.h"

namespace wharfkeep::control {

// An address or a CIDR block ("10.0.0.0/8", "::1", "fd00::/8").
struct AddressRange {
    int family = 0;  // AF_INET or AF_INET6
    unsigned char bytes[16] = {};
    int prefix = 0;
};

std::optional<AddressRange> ParseAddressRange(const std::string& text);
bool InRange(const AddressRange& range, const std::string& address);

// The scope a request needs: reading for GET and HEAD; operating for the actions and the
// folder picker (/browse); admin for settings, the IP filter (and its import), the tokens and
// the users (even to list them).
Scope RequiredScope(const std::string& method, const std::string& path);

// True when the Host header (with or without a port) is a numeric address, which a
// rebinding page cannot make a browser send for its own name, or one of `names`.
bool HostAllowed(const std::string& host_header, const std::vector<std::string>& names);

// The client's address: the peer's, or when the peer is a trusted proxy, the nearest
// address of X-Forwarded-For that is not a trusted proxy itself.
std::string ClientAddress(const std::string& peer, const std::string& forwarded_for,
                          const std::vector<AddressRange>& trusted);

// Counts failed authentications per address; `limit` failures within `window` seconds ban
// the address for `ban` seconds. Holds at most `max_addresses` addresses.
class BanList {
public:
    BanList(int limit, int window, int ban, std::size_t max_addresses = 4096)
        : limit_(limit), window_(window), ban_(ban), max_addresses_(max_addresses) {}

    // Seconds left of the address's ban; 0 when it is not banned.
    int BannedFor(const std::string& address, std::int64_t now);
    // Notes a failure; true when this one bans the address.
    bool Fail(const std::string& address, std::int64_t now);

    std::uint64_t failures() const { return failures_; }
    std::uint64_t bans() const { return bans_; }

private:
    struct Entry {
        std::deque<std::int64_t> failures;
        std::int64_t banned_until = 0;
    };
    void Prune(std::int64_t now);

    int limit_;
    int window_;
    int ban_;
    std::size_t max_addresses_;
    std::map<std::string, Entry> entries_;
    std::uint64_t failures_ = 0;
    std::uint64_t bans_ = 0;
};

}  // namespace wharfkeep::control
