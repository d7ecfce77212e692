#include "engine_test_support.h"

#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "wharfkeep/engine/link.h"

namespace wharfkeep::test {

Bytes read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

namespace {

Bytes media_data(std::string_view type, std::uint32_t payload) {
    Bytes out = padding_box(type, payload + 8);
    for (std::uint32_t i = 0; i < payload; ++i) {
        out[8 + i] = std::uint8_t(i * 7 + 3);
    }
    return out;
}

Bytes movie(bool with_header, std::uint32_t header_word, std::uint32_t chunk) {
    Bytes track = trak(mdhd(90000), {stts({{250, 3600}}), stco({chunk})});
    if (!with_header) {
        return box("moov", {mvhd(1000, 10000), track});
    }
    return box("moov", {mvhd(1000, 10000), zqhd(header_word, 10), track});
}

}  // namespace

Bytes top_level_header_file(std::uint32_t payload, std::uint32_t header_word) {
    return concat({zqhd(header_word, 10), media_data("zqdt", payload)});
}

Bytes header_in_moov_file(std::uint32_t payload, std::uint32_t header_word) {
    return concat({ftyp(), movie(true, header_word, 1000), media_data("mdat", payload)});
}

Bytes plain_mp4_file(std::uint32_t payload) {
    return concat({ftyp(), movie(false, 0, 1000), media_data("mdat", payload)});
}

namespace {

std::vector<std::uint8_t> digest(const EVP_MD* type, const Bytes& bytes) {
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, type, nullptr);
    out.resize(length);
    return out;
}

}  // namespace

std::vector<std::uint8_t> sha1(const Bytes& bytes) {
    return digest(EVP_sha1(), bytes);
}
std::vector<std::uint8_t> md5(const Bytes& bytes) {
    return digest(EVP_md5(), bytes);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        out += pair;
    }
    return out;
}

std::string sha1_hex(const Bytes& bytes) {
    return hex(sha1(bytes));
}

std::map<std::string, std::string> link_fields(const std::string& link) {
    std::map<std::string, std::string> fields;
    const std::string scheme = kLinkScheme;
    if (link.rfind(scheme, 0) != 0) {
        return fields;
    }
    const std::size_t url_end = link.find('|');
    const std::size_t sid_at = link.find("|sid=");
    const std::size_t key_at = link.find("|key=");
    const std::size_t name_at = link.find("|name=");
    fields["sid"] = link.substr(sid_at + 5, key_at - sid_at - 5);
    fields["key"] = link.substr(key_at + 5, name_at - key_at - 5);
    fields["name"] = link.substr(name_at + 6);
    fields["substituted"] = link.substr(scheme.size(), url_end - scheme.size());
    const std::string plain = LinkSubstitution().apply(fields["substituted"]);
    fields["plain"] = plain;
    const std::size_t query = plain.find("/s?");
    fields["host"] = plain.substr(0, query);
    std::size_t at = query + 3;
    while (at < plain.size()) {
        std::size_t end = plain.find('&', at);
        if (end == std::string::npos) {
            end = plain.size();
        }
        const std::string pair = plain.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        fields[pair.substr(0, equals)] = pair.substr(equals + 1);
        at = end + 1;
    }
    return fields;
}

std::filesystem::path test_library(const std::string& name) {
    if (const char* folder = std::getenv("WK_LIB_DIR")) {
        return std::filesystem::path(folder) / name;
    }
    // The library folder beside the tests' folder.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib" /
           name;
}

}  // namespace wharfkeep::test
