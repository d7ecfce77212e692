#pragma once
// The address peers should use for this host: the first IPv4 address of an interface that
// is up and is neither loopback nor link-local; when there is none, the address the host's
// own name resolves to (on Debian that is often 127.0.1.1, which is why it comes second).
// Also the judgement of an address as an access address.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One IPv4 address of a network interface, host byte order (first octet most significant).
struct InterfaceAddress {
    std::string interface_name;
    std::uint32_t ipv4 = 0;
    bool up = false;
};

enum class AddressKind {
    unusable,       // unspecified (0.0.0.0), loopback (127/8), or not an address at all
    link_local,     // 169.254/16: valid only on one link
    private_range,  // 10/8, 172.16/12, 192.168/16, 100.64/10: reachable within a site only
    public_range,
};

AddressKind classify_ipv4(std::uint32_t address);
// The same for dotted text; text that is not a dotted IPv4 address is unusable.
AddressKind classify_ipv4_text(const std::string& text);

// Where the addresses come from; tests replace both.
struct AddressSources {
    std::function<std::vector<InterfaceAddress>()> interfaces;  // getifaddrs
    std::function<std::optional<std::uint32_t>()> host_name;    // gethostname + getaddrinfo
};
AddressSources system_address_sources();

// The first IPv4 of an up interface that is neither unusable nor link-local, else the host
// name's address, else "0.0.0.0".
std::string choose_local_address(const AddressSources& sources);
// choose_local_address() with the current sources (the system's unless a test replaced them).
std::string local_address_text();

// Replaces the sources of local_address_text() while it lives (tests).
class ScopedAddressSources {
public:
    explicit ScopedAddressSources(AddressSources sources);
    ~ScopedAddressSources();
    ScopedAddressSources(const ScopedAddressSources&) = delete;
    ScopedAddressSources& operator=(const ScopedAddressSources&) = delete;

private:
    AddressSources previous_;
};

}  // namespace platform
