#pragma once
// The host's operations as every front end calls them: the window, wharfkeepd (with or
// without a running instance) and the control interface. Each checks what it is given,
// runs the operation of the host's part it concerns and answers with one Outcome whose message the
// operator reads, so that the same request gets the same answer and the same refusal
// whoever asks.
//
// Threads: the operations run on the user-interface thread, as the parts' do; the
// path and name helpers on any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wharfkeep/iprules/block_list.h"
#include "wharfkeep/outcome.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::host {

class DirectoryOperations;
class HostSettings;
class IpFilterControl;
class MediaLibrary;
class WatchedFolders;
struct CPWTGuiderTreeNode;

// ---- Names and paths ----

// Forty hexadecimal digits, in either letter case.
bool IsGcidText(const std::string& text);
// A GCID as the database and the servers hold it: upper case.
std::string GcidKey(std::string text);
// An absolute path made lexically normal, without a trailing "/" (except "/" itself);
// nothing for a relative or empty path, or one holding a NUL.
std::optional<std::string> NormalAbsolutePath(const std::string& text);
// A path the operator typed, made absolute against the working folder, then normal.
std::string AbsolutePathText(const std::string& text);
// The navigation node of the added folder `folder` (normal, without a trailing "/"), or null.
CPWTGuiderTreeNode* AddedFolder(const DirectoryOperations& directories, const std::string& folder);

// ---- Publishing and folders (`folder` and `file` are normal absolute paths) ----

// Queues one media file. A file not yet known is looked for by rescanning the added folders
// it lies in; a file published, queued or being published is refused.
Outcome PublishFile(DirectoryOperations& directories, MediaLibrary& library,
                    const std::string& file);
// Withdraws every file of a GCID, or one file, or every file under a folder.
Outcome Withdraw(DirectoryOperations& directories, MediaLibrary& library,
                 const std::string& gcid_or_path);
Outcome RemoveFolder(DirectoryOperations& directories, const std::string& folder);
Outcome Rescan(DirectoryOperations& directories, const std::string& folder);
Outcome SetFolderWatched(WatchedFolders& watched_folders, const std::string& folder, bool watched);
// Writes the links of one folder (all, when empty) into `output`, or into a new file in
// the current folder when `output` is empty. The outcome's field "file" names the file.
Outcome ExportLinks(DirectoryOperations& directories, const std::string& folder,
                    const std::string& output);

// ---- Settings ----

// A setting change as the operator wrote it: the key and the value as text.
using SettingChange = std::pair<std::string, std::string>;
// Checks every change by the settings table's rule and changes nothing unless all pass;
// then applies them in order. The message names each new value, and says so when it is
// stored to apply at the next start.
Outcome ChangeSettings(HostSettings& settings, const std::vector<SettingChange>& changes);
// "KEY=VALUE", with " (stored; applies at the next start)" for a key read only at start.
std::string SettingChangeText(const settings::SettingEntry& entry, const std::string& value);

// ---- IP filter ----

Outcome AddIpRange(IpFilterControl& ip_filter, std::uint32_t first, std::uint32_t last);
Outcome DeleteIpRange(IpFilterControl& ip_filter, std::size_t index);
Outcome SetIpFilterEnabled(IpFilterControl& ip_filter, bool enabled);
Outcome SetIpFilterDenyList(IpFilterControl& ip_filter, bool deny_list);
// Adds a parsed block list's ranges to the active list; the message starts with the
// parse report. The outcome's field "added" holds the number of new ranges.
Outcome ImportIpRanges(IpFilterControl& ip_filter, const iprules::BlockList& list);

}  // namespace wharfkeep::host
