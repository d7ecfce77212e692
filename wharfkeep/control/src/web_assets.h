#pragma once
// The files of the web console, built into the program (cmake/EmbedWebAssets.cmake makes
// their table from wharfkeep/web/static), and how the TCP listener answers for them.

#include <span>
#include <string>
#include <string_view>

#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {

struct WebAsset {
    std::string_view path;  // relative to the console's folder, "/"-separated
    std::string_view data;
    std::string_view etag;  // quoted hash of the contents
};

// Every file, sorted by path.
std::span<const WebAsset> WebAssets();

// The file at `path` ("index.html", "js/app.js"); nothing for an unknown path.
const WebAsset* FindWebAsset(std::string_view path);

// The Content-Type for a file name by its extension.
std::string_view AssetContentType(std::string_view path);

// True for the paths served as console files: "/" and "/assets/...".
bool IsAssetRequest(const std::string& path);

// The answer for GET or HEAD of "/" or "/assets/PATH": the file with its type, no-cache
// and ETag (304 when `if_none_match` names it), and on HTML the headers that keep the page
// out of frames and foreign scripts out of it. 404 for an unknown file; 400 for a path that
// tries to leave the folder.
ControlResponse AssetResponse(const std::string& method, const std::string& path,
                              const std::string& if_none_match);

}  // namespace wharfkeep::control
