#include <algorithm>

#include "web_assets.h"

namespace wharfkeep::control {
namespace {

constexpr std::string_view kAssetPrefix = "/assets/";

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// True when any "/"-separated part of `path` is "." or ".." or empty.
bool LeavesFolder(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        std::string_view part = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part == "." || part == "..") {
            return true;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return path.find('\\') != std::string_view::npos;
}

// True when `if_none_match` (a list of quoted tags, or "*") names `etag`.
bool Matches(const std::string& if_none_match, std::string_view etag) {
    if (if_none_match == "*") {
        return true;
    }
    std::size_t at = 0;
    while ((at = if_none_match.find(etag, at)) != std::string::npos) {
        bool starts = at == 0 || if_none_match[at - 1] == ' ' || if_none_match[at - 1] == ',' ||
                      if_none_match[at - 1] == '/';  // a weak tag W/"..." matches too
        std::size_t end = at + etag.size();
        bool ends =
            end == if_none_match.size() || if_none_match[end] == ',' || if_none_match[end] == ' ';
        if (starts && ends) {
            return true;
        }
        at = end;
    }
    return false;
}

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
    std::span<const WebAsset> assets = WebAssets();
    auto found = std::lower_bound(
        assets.begin(), assets.end(), path,
        [](const WebAsset& asset, std::string_view wanted) { return asset.path < wanted; });
    return found != assets.end() && found->path == path ? &*found : nullptr;
}

std::string_view AssetContentType(std::string_view path) {
    static const struct {
        std::string_view extension;
        std::string_view type;
    } kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".json", "application/json"},
        {".txt", "text/plain; charset=utf-8"},
        {".woff2", "font/woff2"},
    };
    for (const auto& entry : kTypes) {
        if (EndsWith(path, entry.extension)) {
            return entry.type;
        }
    }
    return "application/octet-stream";
}

bool IsAssetRequest(const std::string& path) {
    return path == "/" || path.compare(0, kAssetPrefix.size(), kAssetPrefix) == 0;
}

ControlResponse AssetResponse(const std::string& method, const std::string& path,
                              const std::string& if_none_match) {
    if (method != "GET" && method != "HEAD") {
        return ErrorResponse(405, method + " is not allowed on " + path + "; use GET");
    }
    std::string_view relative = path == "/" ? std::string_view("index.html")
                                            : std::string_view(path).substr(kAssetPrefix.size());
    if (LeavesFolder(relative)) {
        return ErrorResponse(400, "the asset path " + path + " is not a plain relative path");
    }
    const WebAsset* asset = FindWebAsset(relative);
    if (asset == nullptr) {
        return ErrorResponse(404, "no console file " + std::string(relative));
    }
    ControlResponse response;
    response.content_type = std::string(AssetContentType(asset->path));
    response.headers.emplace_back("Cache-Control", "no-cache");
    response.headers.emplace_back("ETag", std::string(asset->etag));
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    if (EndsWith(asset->path, ".html")) {
        response.headers.emplace_back("Content-Security-Policy",
                                      "default-src 'self'; frame-ancestors 'none'");
        response.headers.emplace_back("Referrer-Policy", "no-referrer");
        response.headers.emplace_back("X-Frame-Options", "DENY");
    }
    if (!if_none_match.empty() && Matches(if_none_match, asset->etag)) {
        response.status = 304;
        return response;
    }
    response.body.assign(asset->data);
    return response;
}

}  // namespace wharfkeep::control
