#include "wharfkeep/control/listen_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace wharfkeep::control {
namespace {

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    unsigned value = 0;
    auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || problem != std::errc() || end != text.data() + text.size() ||
        value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<ListenAddress> ParseOne(const std::string& item, std::string& error) {
    ListenAddress address;
    std::string port_text;
    if (!item.empty() && item[0] == '[') {
        std::size_t close = item.find(']');
        if (close == std::string::npos || close + 1 >= item.size() || item[close + 1] != ':') {
            error = "\"" + item + "\" is not [IPV6]:PORT";
            return std::nullopt;
        }
        address.host = item.substr(1, close - 1);
        address.ipv6 = true;
        port_text = item.substr(close + 2);
    } else {
        std::size_t colon = item.find(':');
        if (colon != std::string::npos && item.find(':', colon + 1) != std::string::npos) {
            error = "\"" + item + "\": an IPv6 address needs brackets, as in [::1]:8443";
            return std::nullopt;
        }
        if (colon == std::string::npos) {
            error = "\"" + item + "\" has no port; write ADDRESS:PORT";
            return std::nullopt;
        }
        address.host = item.substr(0, colon);
        port_text = item.substr(colon + 1);
    }
    unsigned char bytes[16];
    if (inet_pton(address.ipv6 ? AF_INET6 : AF_INET, address.host.c_str(), bytes) != 1) {
        error = "\"" + item + "\": \"" + address.host + "\" is not a numeric IPv" +
                (address.ipv6 ? "6" : "4") + " address";
        return std::nullopt;
    }
    std::optional<std::uint16_t> port = ParsePort(port_text);
    if (!port) {
        error = "\"" + item + "\": the port must be a number from 0 to 65535";
        return std::nullopt;
    }
    address.port = *port;
    return address;
}

}  // namespace

std::string TrimmedItem(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string ListenAddress::Text() const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<std::vector<ListenAddress>> ParseListenAddresses(const std::string& list,
                                                               std::string& error) {
    std::vector<ListenAddress> addresses;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::string item = TrimmedItem(list.substr(start, comma - start));
        if (!item.empty()) {
            std::optional<ListenAddress> address = ParseOne(item, error);
            if (!address) {
                return std::nullopt;
            }
            addresses.push_back(*address);
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return addresses;
}

}  // namespace wharfkeep::control
