#include "remote_access.h"

#include "wharfkeep/control/listen_address.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <charconv>

namespace wharfkeep::control {
namespace {

bool IsNumericAddress(const std::string& text) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::optional<AddressRange> ParseAddressRange(const std::string& text) {
    AddressRange range;
    std::string address = TrimmedItem(text);
    std::size_t slash = address.find('/');
    std::string prefix_text = slash == std::string::npos ? "" : address.substr(slash + 1);
    address = address.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), range.bytes) == 1) {
        range.family = AF_INET;
        range.prefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), range.bytes) == 1) {
        range.family = AF_INET6;
        range.prefix = 128;
    } else {
        return std::nullopt;
    }
    if (slash != std::string::npos) {
        int prefix = -1;
        auto [end, problem] =
            std::from_chars(prefix_text.data(), prefix_text.data() + prefix_text.size(), prefix);
        if (problem != std::errc() || end != prefix_text.data() + prefix_text.size() ||
            prefix < 0 || prefix > range.prefix) {
            return std::nullopt;
        }
        range.prefix = prefix;
    }
    return range;
}

bool InRange(const AddressRange& range, const std::string& address) {
    unsigned char bytes[16] = {};
    if (inet_pton(range.family, address.c_str(), bytes) != 1) {
        return false;
    }
    int whole = range.prefix / 8;
    if (!std::equal(bytes, bytes + whole, range.bytes)) {
        return false;
    }
    int rest = range.prefix % 8;
    if (rest == 0) {
        return true;
    }
    auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == (range.bytes[whole] & mask);
}

Scope RequiredScope(const std::string& method, const std::string& path) {
    const bool accounts = StartsWith(path, "/tokens") || StartsWith(path, "/users");
    const bool admin_resource = path == "/settings" || StartsWith(path, "/ipfilter") || accounts ||
                                path == "/actions/ipfilter-import";
    if (admin_resource && method != "GET" && method != "HEAD") {
        return Scope::kAdmin;
    }
    if (accounts) {
        return Scope::kAdmin;  // even listing them
    }
    if (path == "/browse") {
        return Scope::kOperate;  // the server's folders are shown only to who may add one
    }
    if (method == "GET" || method == "HEAD") {
        return Scope::kRead;
    }
    return admin_resource ? Scope::kAdmin : Scope::kOperate;
}

bool HostAllowed(const std::string& host_header, const std::vector<std::string>& names) {
    std::string host = TrimmedItem(host_header);
    if (!host.empty() && host[0] == '[') {
        std::size_t close = host.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = host.substr(1, close - 1);
        return IsNumericAddress(host);
    }
    host = host.substr(0, host.find(':'));
    if (host.empty()) {
        return false;
    }
    if (IsNumericAddress(host)) {
        return true;
    }
    if (host.back() == '.') {
        host.pop_back();  // the absolute form of the same name
    }
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return ::strcasecmp(name.c_str(), host.c_str()) == 0;
    });
}

std::string ClientAddress(const std::string& peer, const std::string& forwarded_for,
                          const std::vector<AddressRange>& trusted) {
    auto is_trusted = [&](const std::string& address) {
        return std::any_of(trusted.begin(), trusted.end(),
                           [&](const AddressRange& range) { return InRange(range, address); });
    };
    if (!is_trusted(peer) || forwarded_for.empty()) {
        return peer;
    }
    // The list grows to the right as each proxy appends the address it heard from; walk
    // back through the trusted ones to the first address they vouch for.
    std::string client = peer;
    std::size_t end = forwarded_for.size();
    while (true) {
        // At the very start nothing is left: an empty item, which ends the walk.
        std::size_t comma = end == 0 ? std::string::npos : forwarded_for.rfind(',', end - 1);
        std::size_t start = comma == std::string::npos ? 0 : comma + 1;
        std::string item = TrimmedItem(forwarded_for.substr(start, end - start));
        if (!IsNumericAddress(item)) {
            return client;  // a name or garbage: trust stops here
        }
        client = item;
        if (!is_trusted(item) || comma == std::string::npos) {
            return client;
        }
        end = comma;
    }
}

int BanList::BannedFor(const std::string& address, std::int64_t now) {
    auto found = entries_.find(address);
    if (found == entries_.end() || found->second.banned_until <= now) {
        return 0;
    }
    return static_cast<int>(found->second.banned_until - now);
}

bool BanList::Fail(const std::string& address, std::int64_t now) {
    ++failures_;
    if (entries_.size() >= max_addresses_ && entries_.count(address) == 0) {
        Prune(now);
    }
    Entry& entry = entries_[address];
    entry.failures.push_back(now);
    while (!entry.failures.empty() && entry.failures.front() <= now - window_) {
        entry.failures.pop_front();
    }
    if (static_cast<int>(entry.failures.size()) < limit_ || entry.banned_until > now) {
        return false;
    }
    entry.banned_until = now + ban_;
    entry.failures.clear();
    ++bans_;
    return true;
}

// Forgets addresses that are neither banned nor failing lately; when all are, the ones
// that are not banned, so that a flood of addresses cannot lift a ban.
void BanList::Prune(std::int64_t now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        bool quiet = it->second.banned_until <= now &&
                     (it->second.failures.empty() || it->second.failures.back() <= now - window_);
        it = quiet ? entries_.erase(it) : std::next(it);
    }
    for (auto it = entries_.begin(); it != entries_.end() && entries_.size() >= max_addresses_;) {
        it = it->second.banned_until <= now ? entries_.erase(it) : std::next(it);
    }
}

}  // namespace wharfkeep::control
