#pragma once
// The navigation model shown by the window's tree: fixed top-level pages and, under the
// directory root, one node per added directory.
//
// Threading contract: the window thread builds, reads and changes the nodes; the
// add-directory worker appends a directory node. Both hold Mutex() while they do; the
// model's own operations take it themselves.

#include <memory>
#include <mutex>
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

// A directory node as Build and the add-directory worker make it.
struct DirectoryNodeRow {
    std::string name;
    std::string path;  // ending with "/"
    int file_count = 0;
    int published_count = 0;
};

class NavigationModel {
public:
    std::mutex& Mutex() const { return mutex_; }
    // The top-level nodes; read them under Mutex().
    const std::vector<std::unique_ptr<CPWTGuiderTreeNode>>& Nodes() const { return nodes_; }
    // Null before Build and after Clear.
    CPWTGuiderTreeNode* DirectoryRoot() const { return directory_root_; }
    // The directory nodes for a path: the one whose path equals it, or else every one whose
    // path is a prefix of it.
    std::vector<CPWTGuiderTreeNode*> FindDirectoryNodes(const std::string& path) const;
    // Shows `published` as the published count of the directory node of exactly `path`.
    void SetPublishedCount(const std::string& path, int published);
    // True when `path` is a prefix of some directory node's path.
    bool HoldsDirectoryUnder(const std::string& path) const;
    // Every path of the tree, depth first, children after their parent.
    std::vector<std::string> DirectoryPaths() const;

    // The fixed pages, with one directory node per row under the directory root.
    void Build(const std::vector<DirectoryNodeRow>& directories);
    void Clear();
    // Appends a directory node as the last child of the root; null when there is no root.
    CPWTGuiderTreeNode* AppendDirectory(const DirectoryNodeRow& row);
    // Removes (and destroys) every child of the root whose path equals `path`.
    void RemoveDirectory(const std::string& path);

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<CPWTGuiderTreeNode>> nodes_;
    CPWTGuiderTreeNode* directory_root_ = nullptr;
};

}  // namespace wharfkeep::host
