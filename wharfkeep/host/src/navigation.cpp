#include "wharfkeep/host/navigation.h"

#include "wharfkeep/host/window_text.h"

#include <algorithm>

namespace wharfkeep::host {
namespace {

std::unique_ptr<CPWTGuiderTreeNode> MakeNode(int kind, std::string label) {
    auto node = std::make_unique<CPWTGuiderTreeNode>();
    node->kind = kind;
    node->label = std::move(label);
    return node;
}

std::unique_ptr<CPWTGuiderTreeNode> MakeDirectoryNode(const DirectoryNodeRow& row) {
    auto node = MakeNode(kNodeDirectory, row.name);
    node->level = 1;
    node->path = row.path;
    node->file_count = row.file_count;
    node->published_count = row.published_count;
    return node;
}

}  // namespace

std::string DirectoryItemText(const CPWTGuiderTreeNode& node) {
    return node.label + " (" + std::to_string(node.published_count) + "/" +
           std::to_string(node.file_count) + ")";
}

std::vector<CPWTGuiderTreeNode*> NavigationModel::FindDirectoryNodes(
    const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<CPWTGuiderTreeNode*> found;
    if (directory_root_ == nullptr) {
        return found;
    }
    for (const auto& child : directory_root_->children) {
        if (child->kind == kNodeDirectory && child->path == path) {
            return {child.get()};
        }
    }
    for (const auto& child : directory_root_->children) {
        if (child->kind == kNodeDirectory && !child->path.empty() &&
            path.compare(0, child->path.size(), child->path) == 0) {
            found.push_back(child.get());
        }
    }
    return found;
}

void NavigationModel::SetPublishedCount(const std::string& path, int published) {
    std::lock_guard lock(mutex_);
    if (directory_root_ == nullptr) {
        return;
    }
    for (const auto& child : directory_root_->children) {
        if (child->kind == kNodeDirectory && child->path == path) {
            child->published_count = published;
        }
    }
}

bool NavigationModel::HoldsDirectoryUnder(const std::string& path) const {
    std::lock_guard lock(mutex_);
    if (directory_root_ == nullptr) {
        return false;
    }
    return std::any_of(directory_root_->children.begin(), directory_root_->children.end(),
                       [&path](const std::unique_ptr<CPWTGuiderTreeNode>& child) {
                           return child->kind == kNodeDirectory &&
                                  child->path.compare(0, path.size(), path) == 0;
                       });
}

std::vector<std::string> NavigationModel::DirectoryPaths() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    std::vector<const CPWTGuiderTreeNode*> stack;
    for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) {
        stack.push_back(it->get());
    }
    while (!stack.empty()) {
        const CPWTGuiderTreeNode* node = stack.back();
        stack.pop_back();
        if (!node->path.empty()) {
            paths.push_back(node->path);
        }
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            stack.push_back(it->get());
        }
    }
    return paths;
}

void NavigationModel::Build(const std::vector<DirectoryNodeRow>& directories) {
    std::lock_guard lock(mutex_);
    nodes_.clear();
    nodes_.push_back(MakeNode(kNodeStatus, WK_WINDOW_TEXT("Navigation", "状态信息")));
    nodes_.push_back(MakeNode(kNodeDirectoryRoot, WK_WINDOW_TEXT("Navigation", "发布目录管理")));
    directory_root_ = nodes_.back().get();
    auto add = MakeNode(kNodeAddDirectory, WK_WINDOW_TEXT("Navigation", "添加新的目录"));
    add->level = 1;
    directory_root_->children.push_back(std::move(add));
    for (const DirectoryNodeRow& row : directories) {
        directory_root_->children.push_back(MakeDirectoryNode(row));
    }
    nodes_.push_back(MakeNode(kNodeExportLinks, WK_WINDOW_TEXT("Navigation", "导出链接")));
    nodes_.push_back(MakeNode(kNodeConnectionMonitor, WK_WINDOW_TEXT("Navigation", "连接监控")));
    nodes_.push_back(MakeNode(kNodeSettings, WK_WINDOW_TEXT("Navigation", "选项设置")));
    nodes_.push_back(MakeNode(kNodeIpFilter, WK_WINDOW_TEXT("Navigation", "IP过滤")));
    nodes_.push_back(MakeNode(kNodeHelp, WK_WINDOW_TEXT("Navigation", "帮助说明")));
}

void NavigationModel::Clear() {
    std::lock_guard lock(mutex_);
    directory_root_ = nullptr;
    nodes_.clear();
}

CPWTGuiderTreeNode* NavigationModel::AppendDirectory(const DirectoryNodeRow& row) {
    std::lock_guard lock(mutex_);
    if (directory_root_ == nullptr) {
        return nullptr;
    }
    directory_root_->children.push_back(MakeDirectoryNode(row));
    return directory_root_->children.back().get();
}

void NavigationModel::RemoveDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (directory_root_ == nullptr) {
        return;
    }
    auto& children = directory_root_->children;
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [&path](const std::unique_ptr<CPWTGuiderTreeNode>& child) {
                                      return child->path == path;
                                  }),
                   children.end());
}

}  // namespace wharfkeep::host
