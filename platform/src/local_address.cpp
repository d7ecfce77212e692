#include "platform/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <mutex>

namespace platform {
namespace {

std::mutex sources_mutex;
std::optional<AddressSources> replaced_sources;  // guarded by sources_mutex

bool in_block(std::uint32_t address, std::uint32_t block, int prefix_bits) {
    std::uint32_t mask = prefix_bits == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix_bits);
    return (address & mask) == (block & mask);
}

std::vector<InterfaceAddress> system_interfaces() {
    std::vector<InterfaceAddress> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return found;
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        found.push_back({entry->ifa_name ? entry->ifa_name : "", ntohl(address->sin_addr.s_addr),
                         (entry->ifa_flags & IFF_UP) != 0});
    }
    ::freeifaddrs(list);
    return found;
}

std::optional<std::uint32_t> system_host_name_address() {
    char name[1024] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> address;
    if (found->ai_addr != nullptr && found->ai_family == AF_INET) {
        address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(found);
    return address;
}

std::string dotted(std::uint32_t address) {
    in_addr network{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &network, text, sizeof text);
    return text;
}

}  // namespace

AddressKind classify_ipv4(std::uint32_t address) {
    if (address == 0 || in_block(address, 0x7F000000u, 8)) {
        return AddressKind::unusable;
    }
    if (in_block(address, 0xA9FE0000u, 16)) {
        return AddressKind::link_local;
    }
    if (in_block(address, 0x0A000000u, 8) || in_block(address, 0xAC100000u, 12) ||
        in_block(address, 0xC0A80000u, 16) || in_block(address, 0x64400000u, 10)) {
        return AddressKind::private_range;
    }
    return AddressKind::public_range;
}

AddressKind classify_ipv4_text(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return AddressKind::unusable;
    }
    return classify_ipv4(ntohl(parsed.s_addr));
}

AddressSources system_address_sources() {
    return {system_interfaces, system_host_name_address};
}

std::string choose_local_address(const AddressSources& sources) {
    if (sources.interfaces) {
        for (const InterfaceAddress& entry : sources.interfaces()) {
            AddressKind kind = classify_ipv4(entry.ipv4);
            if (entry.up && kind != AddressKind::unusable && kind != AddressKind::link_local) {
                return dotted(entry.ipv4);
            }
        }
    }
    if (sources.host_name) {
        if (std::optional<std::uint32_t> address = sources.host_name()) {
            return dotted(*address);
        }
    }
    return "0.0.0.0";
}

std::string local_address_text() {
    AddressSources sources;
    {
        std::lock_guard lock(sources_mutex);
        sources = replaced_sources ? *replaced_sources : system_address_sources();
    }
    return choose_local_address(sources);
}

ScopedAddressSources::ScopedAddressSources(AddressSources sources) {
    std::lock_guard lock(sources_mutex);
    previous_ = replaced_sources.value_or(AddressSources{});
    replaced_sources = std::move(sources);
}

ScopedAddressSources::~ScopedAddressSources() {
    std::lock_guard lock(sources_mutex);
    if (previous_.interfaces || previous_.host_name) {
        replaced_sources = previous_;
    } else {
        replaced_sources.reset();
    }
}

}  // namespace platform
