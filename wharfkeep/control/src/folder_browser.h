#pragma once
// The web console's folder picker on the server: GET /browse lists the folders an operator
// may add, confined to the roots of `[web] browse_roots`. Paths are resolved (symbolic
// links, "." and "..") before they are compared with the resolved roots, so that no name
// leads outside them; every listing is bounded.

#include <cstddef>
#include <string>
#include <vector>

#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {

struct BrowseLimits {
    // Sub-folders listed per answer; more make the answer "truncated".
    std::size_t max_folders = 2000;
    // Directory entries read per answer, over the folder and its sub-folders' counts.
    std::size_t max_entries_read = 100000;
};

// GET /browse (the roots) or GET /browse?path=P (P's sub-folders and .mp4 counts): 200 with
// {"path", "parent", "mp4_files", "folders": [{"name", "path", "mp4_files"}], "truncated"};
// 403 outside the roots or unreadable, 404 missing, 400 not a folder or a bad query.
ControlResponse BrowseFolders(const std::vector<std::string>& roots, const ControlRequest& request,
                              const BrowseLimits& limits = {});

}  // namespace wharfkeep::control
