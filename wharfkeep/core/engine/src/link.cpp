#include "wharfkeep/engine/link.h"

#include <cinttypes>
#include <cstdio>
#include <numeric>

namespace wharfkeep {
namespace {

constexpr std::string_view kPairs[] = {
    "0G", "1H", "2J", "3K", "4L", "5M", "6N", "7P", "8R", "9T",
    "ax", "bw", "cv", "du", "et", "fs", "gr", "hq", "&~",
};

std::string upper_hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIX64, value);
    return text;
}

std::uint32_t le32_at(std::string_view text, std::size_t at) {
    return std::uint32_t(static_cast<unsigned char>(text[at])) |
           (std::uint32_t(static_cast<unsigned char>(text[at + 1])) << 8) |
           (std::uint32_t(static_cast<unsigned char>(text[at + 2])) << 16) |
           (std::uint32_t(static_cast<unsigned char>(text[at + 3])) << 24);
}

constexpr std::string_view kSidField = "|sid=";
constexpr std::string_view kNameField = "|name=";
constexpr std::string_view kUrlMiddle = "/s?wp=";
constexpr std::string_view kListServerField = "&sts=";
constexpr std::string_view kCombinedField = "&pmz=";

}  // namespace

LinkSubstitution::LinkSubstitution() {
    std::iota(table_.begin(), table_.end(), char(0));
    for (std::string_view pair : kPairs) {
        table_[static_cast<unsigned char>(pair[0])] = pair[1];
        table_[static_cast<unsigned char>(pair[1])] = pair[0];
    }
}

std::string LinkSubstitution::apply(std::string_view text) const {
    std::string out(text);
    for (char& c : out) {
        c = apply(c);
    }
    return out;
}

std::string_view FormatWord(std::string_view extension) {
    if (extension == ".mp4") {
        return "pxv";
    }
    if (extension == ".rmvb") {
        return "spv";
    }
    if (extension == ".mkv") {
        return "fxv";
    }
    return {};
}

std::string BuildPlainUrl(const LinkFacts& facts, const LinkSettings& settings) {
    const ContainerLayout& layout = facts.layout;
    std::string url = settings.host() + ":" + std::to_string(settings.peer_port);
    url += std::string(kUrlMiddle) + std::to_string(kLinkWpValue);
    url += "&wd=" + facts.gcid;
    url += "&vd=" + digest_to_hex(facts.check_digest);
    url += "&fz=" + upper_hex(facts.file_size);
    url += "&lh=" + upper_hex(layout.header_length);
    url += "&pi=" + upper_hex(layout.tail_length);
    url += "&pr=" + upper_hex(layout.bit_rate);
    url += "&pps=" + upper_hex(layout.packet_size);
    url += "&ppc=" + upper_hex(layout.packet_count);
    url += "&ptp=" + upper_hex(layout.tail_offset);
    url += "&zqhd=" + upper_hex(layout.zqhd_length);
    url +=
        std::string(kListServerField) + settings.host() + ":" + std::to_string(settings.list_port);
    url += std::string(kCombinedField) + digest_to_hex(facts.combined_digest);
    url += "&ped=" + std::string(FormatWord(layout.extension));
    return url;
}

std::string ComputeLinkKey(std::string_view url, std::string_view sid) {
    if (url.size() <= 8 || sid.empty()) {
        return "00000000";
    }
    // The sid repeated far enough for a u32 read at any of its positions.
    std::string repeated;
    while (repeated.size() < sid.size() + 3) {
        repeated += sid;
    }
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 9 <= url.size(); ++i) {
        sum += le32_at(url, i) ^ le32_at(repeated, i % sid.size());
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08X", sum);
    return text;
}

std::string BuildPublishedLink(std::string_view plain_url, std::string_view sid,
                               std::string_view display_name) {
    if (plain_url.empty()) {
        return {};
    }
    const std::string substituted = LinkSubstitution().apply(plain_url);
    std::string link = kLinkScheme + substituted;
    link += std::string(kSidField) + std::string(sid);
    link += "|key=" + ComputeLinkKey(substituted, sid);
    link += std::string(kNameField) + std::string(display_name);
    return link;
}

std::optional<std::string> RebuildLink(std::string_view link, const LinkSettings& settings) {
    const std::string_view scheme = kLinkScheme;
    if (settings.sid.empty() || link.substr(0, scheme.size()) != scheme) {
        return std::nullopt;
    }
    const std::size_t url_end = link.find('|', scheme.size());
    if (url_end == std::string_view::npos) {
        return std::nullopt;
    }
    // The name field is found by its key, so a name containing '|' survives.
    const std::size_t name_at = link.find(kNameField, url_end);
    if (name_at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string plain =
        LinkSubstitution().apply(link.substr(scheme.size(), url_end - scheme.size()));
    const std::size_t middle = plain.find(kUrlMiddle);
    const std::size_t list_server = plain.find(kListServerField, middle);
    const std::size_t combined = plain.find(kCombinedField, list_server);
    if (middle == std::string::npos || list_server == std::string::npos ||
        combined == std::string::npos) {
        return std::nullopt;
    }
    std::string url = settings.host() + ":" + std::to_string(settings.peer_port);
    url += plain.substr(middle, list_server - middle);
    url +=
        std::string(kListServerField) + settings.host() + ":" + std::to_string(settings.list_port);
    url += plain.substr(combined);
    return BuildPublishedLink(url, settings.sid, link.substr(name_at + kNameField.size()));
}

std::string DisplayName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace wharfkeep
