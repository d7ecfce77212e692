#pragma once
// Where the publish page's media list finds its lines: the ids of the listed rows in a
// column's order, and the records of a few of them at a time. The list keeps only the ids
// (eight bytes a line) and reads the records of the lines on screen, so a folder of a
// hundred thousand files is listed, sorted and filtered without reading every row.
//
// Threading: user-interface thread only.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/media_library.h"

namespace wharfkeep::ui {

class MediaListSource {
public:
    virtual ~MediaListSource() = default;
    // The ids of the listed rows in the order of a list column (CompareMedia, ties by
    // LocalPath), ascending or descending; column -1 is the listing's own order.
    virtual std::vector<MediaRowId> Order(int column, bool ascending) = 0;
    // The records of `ids` in the same order; ids whose row is gone are left out.
    virtual std::vector<std::pair<MediaRowId, MediaRecord>> Read(
        std::span<const MediaRowId> ids) = 0;
    // The id of the first row with exactly this LocalPath.
    virtual std::optional<MediaRowId> IdOf(const std::string& local_path) = 0;
    // The ids of the rows whose stored State is `state` (in no particular order).
    virtual std::vector<MediaRowId> IdsInState(int state) = 0;
    // The list changed a line's record (state, dates, link): a source that holds records
    // of its own keeps the change, so that it sorts by what the line shows.
    virtual void Remember(MediaRowId, const MediaRecord&) {}
};

// Records held in memory, listed in the order given; ids are their positions.
class RecordListSource : public MediaListSource {
public:
    // Records without a name are given the part of their path after the last '/'.
    explicit RecordListSource(std::vector<MediaRecord> records);

    std::vector<MediaRowId> Order(int column, bool ascending) override;
    std::vector<std::pair<MediaRowId, MediaRecord>> Read(std::span<const MediaRowId> ids) override;
    std::optional<MediaRowId> IdOf(const std::string& local_path) override;
    std::vector<MediaRowId> IdsInState(int state) override;
    void Remember(MediaRowId id, const MediaRecord& record) override;

private:
    std::vector<MediaRecord> records_;
};

// The rows of a listing in the resource database, sorted by the database's indexes.
class DatabaseListSource : public MediaListSource {
public:
    DatabaseListSource(host::MediaLibrary& library, MediaListing listing);

    std::vector<MediaRowId> Order(int column, bool ascending) override;
    std::vector<std::pair<MediaRowId, MediaRecord>> Read(std::span<const MediaRowId> ids) override;
    std::optional<MediaRowId> IdOf(const std::string& local_path) override;
    std::vector<MediaRowId> IdsInState(int state) override;

private:
    host::MediaLibrary& library_;
    MediaListing listing_;
};

}  // namespace wharfkeep::ui
