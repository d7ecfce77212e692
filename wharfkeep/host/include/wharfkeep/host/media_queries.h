#pragma once
// The media selections the host and wharfkeepd make, in terms of the database's condition
// search. Any thread: the database serializes its statements.

#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {

inline std::vector<MediaRecord> Search(std::vector<SearchCondition> conditions,
                                       ResourceDatabase& db) {
    std::vector<MediaRecord> records;
    db.SearchMedia(conditions, &records);
    return records;
}

inline std::vector<MediaRecord> MediaByCid(ResourceDatabase& db, const std::string& cid) {
    return Search({{MediaColumn::CID, SearchOperator::Equal, cid}}, db);
}

// The row of exactly this file (none or one).
inline std::vector<MediaRecord> MediaAt(ResourceDatabase& db, const std::string& path) {
    return Search({{MediaColumn::LocalPath, SearchOperator::Equal, path}}, db);
}

inline std::vector<MediaRecord> MediaByState(ResourceDatabase& db, int state) {
    return Search({{MediaColumn::State, SearchOperator::Equal, std::to_string(state)}}, db);
}

// Rows whose LocalPath begins with `prefix` (every row for an empty prefix) in `state`.
inline std::vector<MediaRecord> MediaByPrefixAndState(ResourceDatabase& db,
                                                      const std::string& prefix, int state) {
    return Search({{MediaColumn::LocalPath, SearchOperator::Like, prefix},
                   {MediaColumn::State, SearchOperator::Equal, std::to_string(state)}},
                  db);
}

// The number of published rows whose LocalPath begins with `prefix`: a directory's
// published count.
inline int PublishedCountUnder(ResourceDatabase& db, const std::string& prefix) {
    const SearchCondition conditions[] = {
        {MediaColumn::LocalPath, SearchOperator::Like, prefix},
        {MediaColumn::State, SearchOperator::Equal, std::to_string(kPublished)}};
    return db.CountMatchingMedia(conditions);
}

inline std::vector<MediaRecord> PublishedMedia(ResourceDatabase& db) {
    return MediaByPrefixAndState(db, "", kPublished);
}

inline std::vector<MediaRecord> MediaByPrefix(ResourceDatabase& db, const std::string& prefix) {
    std::vector<MediaRecord> records;
    db.ListMediaByPrefix(prefix, records);
    return records;
}

inline void StoreMediaState(ResourceDatabase& db, const std::string& path, int state) {
    MediaValue value{MediaColumn::State, std::to_string(state)};
    db.UpdateMedia({&value, 1}, path);
}

inline void StoreMediaSize(ResourceDatabase& db, const std::string& path, std::int64_t size) {
    MediaValue value{MediaColumn::FileSize, std::to_string(size)};
    db.UpdateMedia({&value, 1}, path);
}

}  // namespace wharfkeep::host
