#pragma once
// The addresses of the control interface's TCP listener as the operator writes them:
// "ADDRESS:PORT" items separated by commas, IPv6 addresses in brackets
// ("127.0.0.1:8443,[::1]:8443", "[::]:8443"). Only numeric addresses: a listener binds what
// it is told, not what a name resolves to today.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wharfkeep::control {

struct ListenAddress {
    std::string host;  // numeric, without brackets
    std::uint16_t port = 0;
    bool ipv6 = false;

    // "127.0.0.1:8443" or "[::1]:8443".
    std::string Text() const;
};

// `text` without spaces and tabs around it; settings lists are written with them.
std::string TrimmedItem(const std::string& text);

// The listed addresses, or nothing with `error` naming the item that is wrong and why.
std::optional<std::vector<ListenAddress>> ParseListenAddresses(const std::string& list,
                                                               std::string& error);

}  // namespace wharfkeep::control
