#pragma once
// The navigation model shown by the window's tree: fixed top-level pages and, under the
// directory root, one node per added directory.

#include <memory>
#include <string>
#include <vector>

namespace wharfkeep::host {

enum NodeKind : int {
    kNodeStatus = 0,
    kNodeDirectoryRoot = 1,
    kNodeExportLinks = 2,
    kNodeConnectionMonitor = 3,
    kNodeSettings = 4,
    kNodeIpFilter = 5,
    kNodeHelp = 6,
    kNodeDirectory = 7,
    kNodeAddDirectory = 8,
};

struct CPWTGuiderTreeNode {
    std::vector<std::unique_ptr<CPWTGuiderTreeNode>> children;  // owned
    int level = 0;  // 0 top level, 1 child of the directory root
    int kind = 0;
    std::string label;  // a directory's Name
    std::string path;   // a directory's Path, ending with "/"; empty for other kinds
    int file_count = 0;
    int published_count = 0;
};

// "%s (%d/%d)": a directory item's text with its published and file counts.
std::string DirectoryItemText(const CPWTGuiderTreeNode& node);

}  // namespace wharfkeep::host
