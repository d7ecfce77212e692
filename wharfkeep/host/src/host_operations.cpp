#include "wharfkeep/host/host_operations.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/app_paths.h"
#include "platform/log.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/server_host.h"
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

std::optional<MediaRecord> KnownMedia(CPierwatchDoc& doc, const std::string& path) {
    std::vector<MediaRecord> records = doc.Library().MediaAt(path);
    if (records.empty()) {
        return std::nullopt;
    }
    return records.front();
}

Outcome NotAddedFolder(const std::string& folder) {
    return Outcome::NotFound(folder + "/ is not an added folder");
}

Outcome WithdrawGcid(CPierwatchDoc& doc, const std::string& gcid) {
    const std::size_t files = doc.Library().MediaByCid(gcid).size();
    if (files == 0) {
        return Outcome::NotFound("no file has the GCID " + gcid);
    }
    doc.WithdrawByGcid(gcid);
    return Outcome::Done("withdrew " + std::to_string(files) + " files of " + gcid);
}

Outcome WithdrawPath(CPierwatchDoc& doc, const std::string& path) {
    if (std::optional<MediaRecord> record = KnownMedia(doc, path)) {
        std::vector<MediaRecord> rows{*record};
        doc.WithdrawList(rows, true);
        return Outcome::Done("withdrew " + path);
    }
    std::vector<MediaRecord> rows = doc.Library().ListedUnder(path + "/");
    if (rows.empty()) {
        return Outcome::NotFound(path + " is not a known media file, folder or GCID");
    }
    doc.WithdrawDirectory(path + "/", rows);
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

// "-": the list itself in the field "links", through a temporary file the document writes.
Outcome ExportToText(CPierwatchDoc& doc, const std::optional<std::string>& directory) {
    std::optional<fs::path> temporary = platform::make_temp_file("wharfkeep-links-");
    if (!temporary) {
        return Outcome::Conflict("cannot create a temporary file in " +
                                 platform::temp_folder().string());
    }
    std::optional<fs::path> written = doc.ExportLinks(directory, temporary);
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

CPWTGuiderTreeNode* AddedFolder(CPierwatchDoc& doc, const std::string& folder) {
    for (CPWTGuiderTreeNode* node : doc.Navigation().FindDirectoryNodes(folder + "/")) {
        if (node->path == folder + "/") {
            return node;
        }
    }
    return nullptr;
}

// ---- Publishing and folders ----

Outcome PublishFile(CPierwatchDoc& doc, const std::string& file) {
    std::optional<MediaRecord> record = KnownMedia(doc, file);
    if (!record) {
        // A new file in an added folder: the rescan adds it.
        const std::string parent = fs::path(file).parent_path().string();
        for (CPWTGuiderTreeNode* node : doc.Navigation().FindDirectoryNodes(parent + "/")) {
            doc.RefreshDirectory(node);
        }
        record = KnownMedia(doc, file);
    }
    if (!record) {
        return Outcome::NotFound(file + " is not a media file of an added folder");
    }
    if (record->state == kPublished || record->state == kPublishing || record->state == kWaiting) {
        return Outcome::Conflict(file + " is " + StateText(record->state) +
                                 " already; withdraw it first to publish it again");
    }
    doc.Publish({*record});
    Outcome outcome = Outcome::Accepted("queued " + file);
    outcome.fields["queued"] = "1";
    return outcome;
}

Outcome Withdraw(CPierwatchDoc& doc, const std::string& gcid_or_path) {
    if (IsGcidText(gcid_or_path)) {
        return WithdrawGcid(doc, GcidKey(gcid_or_path));
    }
    std::optional<std::string> path = NormalAbsolutePath(gcid_or_path);
    if (!path) {
        return Outcome::Invalid("give an absolute path or a GCID of 40 hexadecimal digits");
    }
    return WithdrawPath(doc, *path);
}

Outcome RemoveFolder(CPierwatchDoc& doc, const std::string& folder) {
    if (AddedFolder(doc, folder) == nullptr) {
        return NotAddedFolder(folder);
    }
    doc.RemoveDirectory(folder + "/");
    return Outcome::Done("removed " + folder + "/");
}

Outcome Rescan(CPierwatchDoc& doc, const std::string& folder) {
    CPWTGuiderTreeNode* node = AddedFolder(doc, folder);
    if (node == nullptr) {
        return NotAddedFolder(folder);
    }
    doc.RefreshDirectory(node);
    return Outcome::Done("rescanned " + folder + "/: " + std::to_string(node->file_count) +
                         " files, " + std::to_string(node->published_count) + " published");
}

Outcome SetFolderWatched(CPierwatchDoc& doc, const std::string& folder, bool watched) {
    if (!doc.Watched().SetWatched(folder + "/", watched)) {
        return NotAddedFolder(folder);
    }
    return Outcome::Done(folder + (watched ? "/ is watched" : "/ is not watched"));
}

Outcome ExportLinks(CPierwatchDoc& doc, const std::string& folder, const std::string& output) {
    std::optional<std::string> directory;
    if (!folder.empty()) {
        directory = folder + "/";
    }
    if (output == "-") {
        return ExportToText(doc, directory);
    }
    std::optional<fs::path> target = ExportTarget(output);
    std::optional<fs::path> written = doc.ExportLinks(directory, target);
    if (!written) {
        return Outcome::Conflict("cannot write the link list" +
                                 (target ? " " + target->string() : std::string()));
    }
    Outcome outcome = Outcome::Done("exported " + written->string());
    outcome.fields["file"] = written->string();
    return outcome;
}

// ---- Settings ----

Outcome ChangeSettings(CPierwatchDoc& doc, const std::vector<SettingChange>& changes) {
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
        const std::string before = doc.SettingText(entry->key);
        const bool changed = doc.ChangeSetting(*entry, value);
        const std::string after = doc.SettingText(entry->key);
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
std::string WithRefusalWarning(CPierwatchDoc& doc, std::string message) {
    const std::string warning = RefusesEveryPeerWarning(doc.IpFilterRules());
    return warning.empty() ? message : message + "; warning: " + warning;
}

}  // namespace

Outcome AddIpRange(CPierwatchDoc& doc, std::uint32_t first, std::uint32_t last) {
    doc.AddIpRange(first, last);
    return Outcome::Done("range added");
}

Outcome DeleteIpRange(CPierwatchDoc& doc, std::size_t index) {
    if (index >= doc.IpFilterRules().ranges.size()) {
        return Outcome::NotFound("no range with index " + std::to_string(index));
    }
    doc.DeleteIpFilterEntry(index);
    return Outcome::Done(WithRefusalWarning(doc, "range deleted"));
}

Outcome SetIpFilterEnabled(CPierwatchDoc& doc, bool enabled) {
    doc.SetIpFilterEnabled(enabled);
    return Outcome::Done(WithRefusalWarning(doc, enabled ? "IP filter on" : "IP filter off"));
}

Outcome SetIpFilterDenyList(CPierwatchDoc& doc, bool deny_list) {
    const char* name = deny_list ? "deny" : "allow";
    if (!doc.SetIpDenyList(deny_list)) {
        return Outcome::Done(
            WithRefusalWarning(doc, std::string("the ") + name + " list is active already"));
    }
    return Outcome::Done(WithRefusalWarning(doc, std::string(name) + " list active"));
}

Outcome ImportIpRanges(CPierwatchDoc& doc, const iprules::BlockList& list) {
    const std::string report = iprules::DescribeReport(list.report);
    if (list.report.taken == 0 && list.report.refused > 0) {
        return Outcome::Invalid(report + "nothing was added");
    }
    const IpImportResult result = doc.ImportIpRanges(list.ranges);
    if (!result.stored) {
        return Outcome::Conflict("the database refused the ranges; nothing was added");
    }
    Outcome outcome =
        Outcome::Done(report + "added " + std::to_string(result.added) + " ranges to the " +
                      (doc.IpFilterRules().deny_list ? "deny" : "allow") + " list (" +
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
