#include "wharfkeep/host/link_export.h"

#include <openssl/evp.h>

#include <vector>

namespace wharfkeep::host {
namespace {

constexpr const char* kScheme = "pvessa://";
constexpr std::size_t kSchemeLength = 9;

}  // namespace

std::filesystem::path NextExportFilePath(const std::filesystem::path& desktop) {
    std::filesystem::path plain = desktop / "视频链接列表.txt";
    std::error_code error;
    if (!std::filesystem::exists(plain, error)) {
        return plain;
    }
    for (unsigned number = 1;; ++number) {
        std::filesystem::path numbered =
            desktop / ("视频链接列表(" + std::to_string(number) + ").txt");
        if (!std::filesystem::exists(numbered, error)) {
            return numbered;
        }
    }
}

std::string EncodeLink(const std::string& url) {
    std::string remainder = url.size() > kSchemeLength ? url.substr(kSchemeLength) : std::string();
    // EVP_EncodeBlock writes 4 characters per 3 bytes (rounded up) and a terminator.
    std::vector<unsigned char> encoded(4 * ((remainder.size() + 2) / 3) + 1);
    int length =
        EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char*>(remainder.data()),
                        static_cast<int>(remainder.size()));
    return std::string(kScheme) + std::string(reinterpret_cast<const char*>(encoded.data()),
                                              static_cast<std::size_t>(length));
}

std::string FolderOf(const std::string& local_path) {
    std::size_t slash = local_path.rfind('/');
    return slash == std::string::npos ? std::string() : local_path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace wharfkeep::host
