#pragma once
// The published link of a file:
//
//   "pvessa://url=" + substituted url + "|sid=" + sid + "|key=" + key + "|name=" + name
//
// The plain url names the peer server, the file's identifiers and layout and the list
// server; LinkSubstitution disguises it character by character, and the key (a checksum of
// the substituted url mixed with the sid) lets a client tell a whole link from a damaged
// one. Every component that writes or reads links uses this one table.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wharfkeep/container/container_layout.h"
#include "wharfkeep/gcid/gcid.h"

namespace wharfkeep {

inline constexpr char kLinkScheme[] = "pvessa://url=";
inline constexpr std::uint32_t kLinkWpValue = 225;

// Nineteen pairs of characters that stand for each other; every other character is left
// alone, so applying the table twice restores a text.
class LinkSubstitution {
public:
    LinkSubstitution();
    char apply(char c) const { return table_[static_cast<unsigned char>(c)]; }
    std::string apply(std::string_view text) const;

private:
    std::array<char, 256> table_{};
};

// Where the links point: the host settings of the engine.
struct LinkSettings {
    std::string ip_host;
    std::string domain_host;
    std::uint32_t peer_port = 8189;
    std::uint32_t list_port = 8190;
    std::string sid;  // the Master ID

    // The host written into links: the IP host when set, else the domain host.
    const std::string& host() const { return ip_host.empty() ? domain_host : ip_host; }
};

// What the plain url says about one file.
struct LinkFacts {
    std::string gcid;  // 40 hexadecimal digits
    Sha1Digest check_digest{};
    std::uint64_t file_size = 0;
    ContainerLayout layout;
    Md5Digest combined_digest{};
};

// "pxv" for ".mp4", "spv" for ".rmvb", "fxv" for ".mkv", else empty.
std::string_view FormatWord(std::string_view extension);

std::string BuildPlainUrl(const LinkFacts& facts, const LinkSettings& settings);

// The sum modulo 2^32, over every position i up to length - 9, of the little-endian u32 of
// the url at i XOR the little-endian u32 at i mod m of the sid repeated (m its length), as
// "%08X". "00000000" for a url of 8 characters or fewer. The sid must not be empty.
std::string ComputeLinkKey(std::string_view substituted_url, std::string_view sid);

// The whole link for a plain url; empty for an empty url. The sid must not be empty.
std::string BuildPublishedLink(std::string_view plain_url, std::string_view sid,
                               std::string_view display_name);

// A stored link rebuilt for new settings: the same file, the new hosts, ports and sid, the
// old name. Nothing when the link is not one this program built or the sid is empty.
std::optional<std::string> RebuildLink(std::string_view link, const LinkSettings& settings);

// The part of a path after its last '/'.
std::string DisplayName(std::string_view path);

}  // namespace wharfkeep
