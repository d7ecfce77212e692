// The texts a remote client or the operator hands the TCP listener's rules: the Host header,
// X-Forwarded-For behind a trusted proxy, address ranges and the listen list. The first
// byte picks the parser; nothing may crash, throw or read out of bounds, and what the
// listen-address parser accepts must read back as itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "remote_access.h"
#include "wharfkeep/control/listen_address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wharfkeep::control;
    if (size < 1 || size > 4096) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0: {
            static const std::vector<std::string> names{"localhost", "nas.example.org"};
            HostAllowed(text, names);
            break;
        }
        case 1: {
            // "PEER\nX-Forwarded-For" with the loopback block and a private block trusted.
            static const std::vector<AddressRange> trusted{*ParseAddressRange("127.0.0.0/8"),
                                                           *ParseAddressRange("fd00::/8")};
            const std::size_t split = text.find('\n');
            const std::string peer = text.substr(0, split);
            const std::string forwarded =
                split == std::string::npos ? std::string() : text.substr(split + 1);
            const std::string client = ClientAddress(peer, forwarded, trusted);
            if (client.size() > text.size()) {
                std::abort();  // the client is one of the given addresses, never longer
            }
            break;
        }
        case 2: {
            if (std::optional<AddressRange> range = ParseAddressRange(text)) {
                if (range->prefix < 0 || range->prefix > 128) {
                    std::abort();
                }
                InRange(*range, text);
                InRange(*range, "127.0.0.1");
                InRange(*range, "::1");
            }
            break;
        }
        default: {
            std::string error;
            std::optional<std::vector<ListenAddress>> addresses = ParseListenAddresses(text, error);
            if (!addresses) {
                if (error.empty()) {
                    std::abort();  // a refusal always says why
                }
                break;
            }
            std::string again;
            for (const ListenAddress& address : *addresses) {
                again += (again.empty() ? "" : ",") + address.Text();
            }
            std::optional<std::vector<ListenAddress>> reread = ParseListenAddresses(again, error);
            if (!reread || reread->size() != addresses->size()) {
                std::abort();
            }
            for (std::size_t i = 0; i < reread->size(); ++i) {
                if ((*reread)[i].Text() != (*addresses)[i].Text()) {
                    std::abort();
                }
            }
            break;
        }
    }
    return 0;
}
