#include "wharfkeep/host/host_operations.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/app_paths.h"
#include "platform/log.h"
#include "wharfkeep/host/directory_operations.h"
#include "wharfkeep/host/host_settings.h"
#include "wharfkeep/host/ip_filter_control.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/watched_folders.h"

namespace wharfkeep::host {
namespace {

namespace fs = std::filesystem;

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::optional<MediaRecord> KnownMedia(MediaLibrary& library, const std::string& path) {
    std::vector<MediaRecord> records = library.MediaAt(path);
    if (records.empty()) {
        return std::nullopt;
    }
    return records.front();
}

Outcome NotAddedFolder(const std::string& folder) {
    return Outcome::NotFound(folder + "/ is not an added folder");
}

Outcome WithdrawGcid(DirectoryOperations& directories, MediaLibrary& library,
                     const std::string& gcid) {
    const std::size_t files = library.MediaByCid(gcid).size();
    if (files == 0) {
        return Outcome::NotFound("no file has the GCID " + gcid);
    }
    directories.WithdrawByGcid(gcid);
    return Outcome::Done("withdrew " + std::to_string(files) + " files of " + gcid);
}

Outcome WithdrawPath(DirectoryOperations& directories, MediaLibrary& library,
                     const std::string& path) {
    if (std::optional<MediaRecord> record = KnownMedia(library, path)) {
        std::vector<MediaRecord> rows{*record};
        directories.WithdrawList(rows, true);
        return Outcome::Done("withdrew " + path);
    }
    std::vector<MediaRecord> rows = library.ListedUnder(path + "/");
    if (rows.empty()) {
        return Outcome::NotFound(path + " is not a known media file, folder or GCID");
    }
    directories.WithdrawDirectory(path + "/", rows);
    return Outcome::Done("withdrew " + std::to_string(rows.size()) + " files under " + path + "/");
}

// The link list goes where the operator is: a server has no desktop.
std::optional<fs::path> ExportTarget(const std::string& output) {
    if (!output.empty()) {
        return fs::path(output);
    }
    std::error_code ignored;
    return NextExportFilePath(fs::current_path(ignored));
}

std::string FileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "-": the list itself in the field "links", through a temporary file the export writes.
Outcome ExportToText(DirectoryOperations& directories,
                     const std::optional<std::string>& directory) {
    std::optional<fs::path> temporary = platform::make_temp_file("wharfkeep-links-");
    if (!temporary) {
        return Outcome::Conflict("cannot create a temporary file in " +
                                 platform::temp_folder().string());
    }
    std::optional<fs::path> written = directories.ExportLinks(directory, temporary);
    Outcome outcome =
        written ? Outcome::Done("exported") : Outcome::Conflict("cannot write the link list");
    if (written) {
        outcome.fields["links"] = FileText(*written);
    }
    std::error_code ignored;
    fs::remove(*temporary, ignored);
    return outcome;
}

}  // namespace

bool IsGcidText(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string GcidKey(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::optional<std::string> NormalAbsolutePath(const std::string& text) {
    if (text.empty() || text[0] != '/' || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return WithoutTrailingSlash(fs::path(text).lexically_normal().string());
}

std::string AbsolutePathText(const std::string& text) {
    std::error_code error;
    return WithoutTrailingSlash(fs::absolute(text, error).lexically_normal().string());
}

CPWTGuiderTreeNode* AddedFolder(const DirectoryOperations& directories, const std::string& folder) {
    for (CPWTGuiderTreeNode* node : directories.Navigation().FindDirectoryNodes(folder + "/")) {
        if (node->path == folder + "/") {
            return node;
        }
    }
    return nullptr;
}

// ---- Publishing and folders ----

Outcome PublishFile(DirectoryOperations& directories, MediaLibrary& library,
                    const std::string& file) {
    std::optional<MediaRecord> record = KnownMedia(library, file);
    if (!record) {
        // A new file in an added folder: the rescan adds it.
        const std::string parent = fs::path(file).parent_path().string();
        for (CPWTGuiderTreeNode* node : directories.Navigation().FindDirectoryNodes(parent + "/")) {
            directories.RefreshDirectory(node);
        }
        record = KnownMedia(library, file);
    }
    if (!record) {
        return Outcome::NotFound(file + " is not a media file of an added folder");
    }
    if (record->state == kPublished || record->state == kPublishing || record->state == kWaiting) {
        return Outcome::Conflict(file + " is " + StateText(record->state) +
                                 " already; withdraw it first to publish it again");
    }
    directories.Publish({*record});
    Outcome outcome = Outcome::Accepted("queued " + file);
    outcome.fields["queued"] = "1";
    return outcome;
}

Outcome Withdraw(DirectoryOperations& directories, MediaLibrary& library,
                 const std::string& gcid_or_path) {
    if (IsGcidText(gcid_or_path)) {
        return WithdrawGcid(directories, library, GcidKey(gcid_or_path));
    }
    std::optional<std::string> path = NormalAbsolutePath(gcid_or_path);
    if (!path) {
        return Outcome::Invalid("give an absolute path or a GCID of 40 hexadecimal digits");
    }
    return WithdrawPath(directories, library, *path);
}

Outcome RemoveFolder(DirectoryOperations& directories, const std::string& folder) {
    if (AddedFolder(directories, folder) == nullptr) {
        return NotAddedFolder(folder);
    }
    directories.RemoveDirectory(folder + "/");
    return Outcome::Done("removed " + folder + "/");
}

Outcome Rescan(DirectoryOperations& directories, const std::string& folder) {
    CPWTGuiderTreeNode* node = AddedFolder(directories, folder);
    if (node == nullptr) {
        return NotAddedFolder(folder);
    }
    directories.RefreshDirectory(node);
    return Outcome::Done("rescanned " + folder + "/: " + std::to_string(node->file_count) +
                         " files, " + std::to_string(node->published_count) + " published");
}

Outcome SetFolderWatched(WatchedFolders& watched_folders, const std::string& folder, bool watched) {
    if (!watched_folders.SetWatched(folder + "/", watched)) {
        return NotAddedFolder(folder);
    }
    return Outcome::Done(folder + (watched ? "/ is watched" : "/ is not watched"));
}

Outcome ExportLinks(DirectoryOperations& directories, const std::string& folder,
                    const std::string& output) {
    std::optional<std::string> directory;
    if (!folder.empty()) {
        directory = folder + "/";
    }
    if (output == "-") {
        return ExportToText(directories, directory);
    }
    std::optional<fs::path> target = ExportTarget(output);
    std::optional<fs::path> written = directories.ExportLinks(directory, target);
    if (!written) {
        return Outcome::Conflict("cannot write the link list" +
                                 (target ? " " + target->string() : std::string()));
    }
    Outcome outcome = Outcome::Done("exported " + written->string());
    outcome.fields["file"] = written->string();
    return outcome;
}

// ---- Settings ----

Outcome ChangeSettings(HostSettings& settings, const std::vector<SettingChange>& changes) {
    std::vector<std::pair<const settings::SettingEntry*, settings::CheckedValue>> checked;
    for (const auto& [key, value] : changes) {
        const settings::SettingEntry* entry = settings::FindSetting(key);
        if (entry == nullptr) {
            return Outcome::Invalid("unknown setting " + key + "; known: " + settings::KnownKeys());
        }
        settings::SettingCheck check = settings::CheckSetting(*entry, value);
        if (!check.value) {
            return Outcome::Invalid(check.refusal);
        }
        checked.emplace_back(entry, std::move(*check.value));
    }
    std::string message;
    for (const auto& [entry, value] : checked) {
        const std::string before = settings.SettingText(entry->key);
        const bool changed = settings.ChangeSetting(*entry, value);
        const std::string after = settings.SettingText(entry->key);
        if (changed && after != before) {
            platform::log::info("setting {} changed from {} to {}", entry->key, before, after);
        }
        message +=
            (message.empty() ? "" : "\n") +
            (changed ? SettingChangeText(*entry, after) : std::string(entry->key) + " unchanged");
    }
    return Outcome::Done(message);
}

std::string SettingChangeText(const settings::SettingEntry& entry, const std::string& value) {
    std::string text = std::string(entry.key) + "=" + value;
    if (entry.applies == settings::Applies::kAtNextStart) {
        text += " (stored; applies at the next start)";
    }
    return text;
}

// ---- IP filter ----

namespace {

// The message with the warning of rules that refuse every peer, when they do.
std::string WithRefusalWarning(IpFilterControl& ip_filter, std::string message) {
    const std::string warning = RefusesEveryPeerWarning(ip_filter.Rules());
    return warning.empty() ? message : message + "; warning: " + warning;
}

}  // namespace

Outcome AddIpRange(IpFilterControl& ip_filter, std::uint32_t first, std::uint32_t last) {
    ip_filter.AddRange(first, last);
    return Outcome::Done("range added");
}

Outcome DeleteIpRange(IpFilterControl& ip_filter, std::size_t index) {
    if (index >= ip_filter.Rules().ranges.size()) {
        return Outcome::NotFound("no range with index " + std::to_string(index));
    }
    ip_filter.DeleteEntry(index);
    return Outcome::Done(WithRefusalWarning(ip_filter, "range deleted"));
}

Outcome SetIpFilterEnabled(IpFilterControl& ip_filter, bool enabled) {
    ip_filter.SetEnabled(enabled);
    return Outcome::Done(WithRefusalWarning(ip_filter, enabled ? "IP filter on" : "IP filter off"));
}

Outcome SetIpFilterDenyList(IpFilterControl& ip_filter, bool deny_list) {
    const char* name = deny_list ? "deny" : "allow";
    if (!ip_filter.SetDenyList(deny_list)) {
        return Outcome::Done(
            WithRefusalWarning(ip_filter, std::string("the ") + name + " list is active already"));
    }
    return Outcome::Done(WithRefusalWarning(ip_filter, std::string(name) + " list active"));
}

Outcome ImportIpRanges(IpFilterControl& ip_filter, const iprules::BlockList& list) {
    const std::string report = iprules::DescribeReport(list.report);
    if (list.report.taken == 0 && list.report.refused > 0) {
        return Outcome::Invalid(report + "nothing was added");
    }
    const IpImportResult result = ip_filter.ImportRanges(list.ranges);
    if (!result.stored) {
        return Outcome::Conflict("the database refused the ranges; nothing was added");
    }
    Outcome outcome =
        Outcome::Done(report + "added " + std::to_string(result.added) + " ranges to the " +
                      (ip_filter.Rules().deny_list ? "deny" : "allow") + " list (" +
                      std::to_string(result.already) + " listed already)");
    // The counts, for a caller that shows them rather than the text.
    outcome.fields["added"] = std::to_string(result.added);
    outcome.fields["already"] = std::to_string(result.already);
    outcome.fields["lines"] = std::to_string(list.report.lines);
    outcome.fields["taken"] = std::to_string(list.report.taken);
    outcome.fields["merged"] = std::to_string(list.report.merged);
    outcome.fields["refused"] = std::to_string(list.report.refused);
    outcome.fields["skipped"] = std::to_string(list.report.skipped);
    return outcome;
}

}  // namespace wharfkeep::host
