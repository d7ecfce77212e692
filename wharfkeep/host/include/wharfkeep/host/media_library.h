#pragma once
// The media library: the one place above the resource database that reads or writes media
// and directory rows. The window, wharfkeepd, the control interface and the publisher all
// go through its typed operations; a command that only reads builds one over a database it
// opened itself.
//
// Threading contract: every operation may run on any thread (the publisher's, the window's,
// wharfkeepd's main thread, the servers' network threads). The database serializes its
// statements; the library keeps no state of its own, so two threads storing at once each
// leave a consistent row and a count recounted from the rows, never one adjusted by a step
// that got lost.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {

// A directory's count of published files, as stored in its row.
struct DirectoryCount {
    std::string path;
    int published = 0;
    bool operator==(const DirectoryCount&) const = default;
};

class MediaLibrary {
public:
    explicit MediaLibrary(ResourceDatabase& database) : database_(database) {}

    // False until the database is open (queues under test run without one).
    bool IsOpen() const { return database_.is_open(); }

    // ---- Reading media rows ----
    // The row of exactly this file (none or one).
    std::vector<MediaRecord> MediaAt(const std::string& path);
    std::vector<MediaRecord> MediaByCid(const std::string& cid);
    std::vector<MediaRecord> MediaByState(int state);
    // Rows whose LocalPath begins with `prefix` (every row for an empty prefix), in `state`
    // when given, in the order of the condition search.
    std::vector<MediaRecord> MediaUnder(const std::string& prefix,
                                        std::optional<int> state = std::nullopt);
    // Every row under `prefix` in path order (the listing the directory operations walk).
    std::vector<MediaRecord> ListedUnder(const std::string& prefix);
    // The same rows one at a time, none kept; `visit` must not use this library.
    void VisitListedUnder(const std::string& prefix,
                          const std::function<void(MediaRecord&&)>& visit) {
        database_.VisitMediaByPrefix(prefix, visit);
    }
    std::vector<MediaRecord> PublishedMedia() { return MediaUnder("", kPublished); }
    // The published files under `directory` (a path ending with "/"), counted now.
    int PublishedCount(const std::string& directory);
    int CountInState(int state);
    int CountAll();
    // The number of rows in each State, in one pass.
    std::map<int, int> CountByState();
    // Why the last publication of a file did not succeed; empty when none is stored.
    std::string FailureReason(const std::string& path);
    // Every (LocalPath, reason) pair under the prefix.
    std::vector<std::pair<std::string, std::string>> FailureReasonsUnder(const std::string& prefix);
    std::vector<DirectoryRecord> Directories();
    // True when `path` (absolute, no trailing "/") is a media file of the library, an added
    // folder, or a folder holding added folders.
    bool Holds(const std::string& path);
    // Whether the file at the row's path is not the one the row was stored for: its size or
    // modification time differ, or (when the publication recorded it) its inode, as for a
    // file replaced by a copy with the same size and date. A file that cannot be examined
    // counts as unchanged (its absence is the rescan's business).
    bool ChangedSinceStored(const MediaRecord& stored);
    // A long list read a window at a time: the identifiers of the listing's rows in an order,
    // the records of some of them, and the identifier of one file.
    std::vector<MediaRowId> ListIds(const MediaListing& listing, MediaOrder order, bool ascending) {
        return database_.ListMediaIds(listing, order, ascending);
    }
    std::vector<std::pair<MediaRowId, MediaRecord>> ReadByIds(std::span<const MediaRowId> ids) {
        return database_.ReadMediaByIds(ids);
    }
    std::optional<MediaRowId> IdOf(const std::string& path) { return database_.MediaIdOf(path); }

    // ---- Writing media rows ----
    // Stores every column of the record, its size and date first read again from the file
    // (the restructuring may have rewritten it), and for a published file its inode. False
    // when the database refused the write (a full disk, a read-only file).
    bool StorePublication(MediaRecord& record);
    // Every stored column of the record, as it is.
    bool Store(const MediaRecord& record) { return database_.StoreMedia(record); }
    void StoreState(const std::string& path, int state);
    void StoreSize(const std::string& path, std::int64_t size);
    // Why the last publication did not succeed; an empty reason forgets an earlier one.
    void StoreFailureReason(const std::string& path, const std::string& reason) {
        database_.SetFailureReason(path, reason);
    }
    // Counts the published files under every directory whose path begins `file`'s path,
    // stores each count in its directory row, and returns those directories' counts.
    std::vector<DirectoryCount> RecountDirectoriesOf(const std::string& file);

    // ---- Folders and files the operator adds and removes ----
    // A row for a file not known yet; false when it is known already or the write failed.
    bool AddFile(const std::string& path, std::int64_t size, const std::string& file_date) {
        return database_.AddMedia(path, size, file_date);
    }
    // A row for an added folder (`path` ends with "/"); false when it exists or the write
    // failed.
    bool AddFolder(const std::string& path, const std::string& name, int files) {
        return database_.AddDirectory(path, name, files);
    }
    void RemoveFile(const std::string& path) { database_.DeleteMedia(path); }
    // Removes the rows of the files of an added folder (`added_folder`), or of every file
    // whose path begins with `path`, and returns them as they were.
    std::vector<MediaRecord> RemoveFilesUnder(const std::string& path, bool added_folder);
    void RemoveFolder(const std::string& path) { database_.DeleteDirectory(path); }
    // Every file of the folder that is not published yet is marked waiting, in one statement.
    void MarkWaitingUnder(const std::string& folder) { database_.QueueDirectoryMedia(folder); }
    // Every file of the folder goes back to not published, in one statement.
    void ResetUnder(const std::string& folder) { database_.ResetDirectoryMedia(folder); }

private:
    std::vector<MediaRecord> Search(std::vector<SearchCondition> conditions);

    ResourceDatabase& database_;
};

}  // namespace wharfkeep::host
