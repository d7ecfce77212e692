#include "folder_browser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "request_body.h"

namespace wharfkeep::control {
namespace {

using nlohmann::json;

struct Resolution {
    std::string path;  // empty when it could not be resolved
    int error = 0;     // errno of realpath then
};

Resolution Resolve(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (resolved == nullptr) {
        return {"", errno};
    }
    return {resolved.get(), 0};
}

bool Within(const std::string& path, const std::string& root) {
    if (root == "/") {
        return !path.empty() && path[0] == '/';
    }
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool IsMp4(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string extension = name.substr(name.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return extension == ".mp4";
}

// The roots that exist now, each resolved as paths asked for are.
struct Root {
    std::string name;  // as configured
    std::string path;  // resolved
};

std::vector<Root> ResolvedRoots(const std::vector<std::string>& roots) {
    std::vector<Root> resolved;
    for (const std::string& root : roots) {
        Resolution resolution = Resolve(root);
        struct stat info {};
        if (!resolution.path.empty() && ::stat(resolution.path.c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode)) {
            resolved.push_back({root, resolution.path});
        }
    }
    return resolved;
}

const Root* RootHolding(const std::vector<Root>& roots, const std::string& path) {
    auto found = std::find_if(roots.begin(), roots.end(),
                              [&](const Root& root) { return Within(path, root.path); });
    return found == roots.end() ? nullptr : &*found;
}

struct FolderCloser {
    void operator()(DIR* folder) const { ::closedir(folder); }
};

// What one read of a folder found. `complete` is false when the entry budget ran out.
struct FolderReading {
    bool readable = false;
    std::vector<std::string> folders;  // names of sub-folders inside the roots, unsorted
    std::uint64_t mp4_files = 0;
    bool complete = true;
};

// Reads `path`'s entries, at most `budget` of them (what is read is taken off it). Hidden
// entries are left out; a symbolic link counts as what it leads to, and as a folder only
// when that lies inside a root.
FolderReading ReadFolder(const std::string& path, const std::vector<Root>& roots,
                         std::size_t& budget) {
    FolderReading reading;
    std::unique_ptr<DIR, FolderCloser> folder(::opendir(path.c_str()));
    if (folder == nullptr) {
        return reading;
    }
    reading.readable = true;
    while (dirent* entry = ::readdir(folder.get())) {
        if (budget == 0) {
            reading.complete = false;
            break;
        }
        --budget;
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') {
            continue;
        }
        bool is_folder = entry->d_type == DT_DIR;
        bool is_file = entry->d_type == DT_REG;
        bool is_link = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN) {  // a file system that does not say: ask
            struct stat own {};
            is_link =
                ::fstatat(::dirfd(folder.get()), entry->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(own.st_mode);
        }
        if (is_link || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(::dirfd(folder.get()), entry->d_name, &info, 0) != 0) {
                continue;  // a dangling link
            }
            is_folder = S_ISDIR(info.st_mode);
            is_file = S_ISREG(info.st_mode);
            if (is_folder && is_link) {
                Resolution target = Resolve(Joined(path, name));
                is_folder = !target.path.empty() && RootHolding(roots, target.path) != nullptr;
            }
        }
        if (is_folder) {
            reading.folders.push_back(name);
        } else if (is_file && IsMp4(name)) {
            ++reading.mp4_files;
        }
    }
    return reading;
}

json FolderEntry(const std::string& name, const std::string& path, const std::vector<Root>& roots,
                 std::size_t& budget, bool& truncated) {
    json entry{{"name", name}, {"path", path}, {"mp4_files", nullptr}};
    if (budget == 0) {
        truncated = true;
        return entry;
    }
    FolderReading reading = ReadFolder(path, roots, budget);
    if (!reading.readable) {
        entry["readable"] = false;
    } else if (reading.complete) {
        entry["mp4_files"] = reading.mp4_files;
    } else {
        truncated = true;
    }
    return entry;
}

ControlResponse JsonAnswer(const json& body) {
    return {200, "application/json",
            body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}

ControlResponse ListRoots(const std::vector<Root>& roots, const BrowseLimits& limits) {
    std::size_t budget = limits.max_entries_read;
    bool truncated = false;
    json folders = json::array();
    for (const Root& root : roots) {
        folders.push_back(FolderEntry(root.name, root.path, roots, budget, truncated));
    }
    return JsonAnswer({{"path", nullptr},
                       {"parent", nullptr},
                       {"mp4_files", nullptr},
                       {"folders", folders},
                       {"truncated", truncated}});
}

// The nearest ancestor of `path` that resolves, resolved. The text is cut one name at a
// time, never normalised, so that "link/.." goes where the link leads, as it would on disk.
std::string ResolvedAncestor(const std::string& path) {
    std::filesystem::path ancestor(path);
    while (ancestor.has_relative_path()) {
        ancestor = ancestor.parent_path();
        Resolution resolution = Resolve(ancestor.string());
        if (!resolution.path.empty()) {
            return resolution.path;
        }
    }
    return "/";
}

// The refusal for a path that cannot be listed, or nothing when `resolved` is a folder
// inside a root. A path outside the roots is refused the same whether it exists or not.
std::optional<ControlResponse> Refusal(const std::string& asked, const Resolution& resolved,
                                       const std::vector<Root>& roots) {
    const std::string outside =
        asked + " is outside the folders offered for browsing ([web] browse_roots)";
    if (resolved.path.empty()) {
        if (RootHolding(roots, ResolvedAncestor(asked)) == nullptr) {
            return ErrorResponse(403, outside);
        }
        if (resolved.error == EACCES) {
            return ErrorResponse(403, asked + " cannot be read");
        }
        return ErrorResponse(404, "there is no folder " + asked);
    }
    if (RootHolding(roots, resolved.path) == nullptr) {
        return ErrorResponse(403, outside);
    }
    struct stat info {};
    if (::stat(resolved.path.c_str(), &info) != 0) {
        return ErrorResponse(404, "there is no folder " + asked);
    }
    if (!S_ISDIR(info.st_mode)) {
        return ErrorResponse(400, asked + " is not a folder");
    }
    return std::nullopt;
}

ControlResponse ListFolder(const std::string& asked, const std::vector<Root>& roots,
                           const BrowseLimits& limits) {
    if (asked.empty() || asked[0] != '/') {
        return ErrorResponse(400, "path must be an absolute path");
    }
    const Resolution resolved = Resolve(asked);
    if (std::optional<ControlResponse> refusal = Refusal(asked, resolved, roots)) {
        return *refusal;
    }
    const std::string& path = resolved.path;
    std::size_t budget = limits.max_entries_read;
    FolderReading reading = ReadFolder(path, roots, budget);
    if (!reading.readable) {
        return ErrorResponse(403, asked + " cannot be read");
    }
    bool truncated = !reading.complete;
    std::sort(reading.folders.begin(), reading.folders.end());
    if (reading.folders.size() > limits.max_folders) {
        reading.folders.resize(limits.max_folders);
        truncated = true;
    }
    json folders = json::array();
    for (const std::string& name : reading.folders) {
        folders.push_back(FolderEntry(name, Joined(path, name), roots, budget, truncated));
    }
    const bool is_root = std::any_of(roots.begin(), roots.end(),
                                     [&](const Root& root) { return root.path == path; });
    json parent = nullptr;
    if (!is_root) {
        parent = std::filesystem::path(path).parent_path().string();
    }
    return JsonAnswer({{"path", path},
                       {"parent", parent},
                       {"mp4_files", reading.complete ? json(reading.mp4_files) : json(nullptr)},
                       {"folders", folders},
                       {"truncated", truncated}});
}

}  // namespace

ControlResponse BrowseFolders(const std::vector<std::string>& roots, const ControlRequest& request,
                              const BrowseLimits& limits) {
    if (request.method != "GET") {
        return WrongMethod(request, "GET");
    }
    for (const auto& item : request.query) {
        if (item.first != "path") {
            return ErrorResponse(400, "/browse takes only ?path=FOLDER");
        }
    }
    const std::vector<Root> resolved = ResolvedRoots(roots);
    auto path = request.query.find("path");
    if (path == request.query.end()) {
        return ListRoots(resolved, limits);
    }
    return ListFolder(path->second, resolved, limits);
}

}  // namespace wharfkeep::control
