#pragma once
// The media library: how a publication's outcome and the published counts of the directories
// are written to the resource database.
//
// Threading contract: every operation may run on any thread (the publisher's, the window's,
// wharfkeepd's main thread). The database serializes its statements; the library keeps no
// state of its own, so two threads storing at once each leave a consistent row and a count
// recounted from the rows, never one adjusted by a step that got lost.

#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::host {

class MediaLibrary {
public:
    explicit MediaLibrary(ResourceDatabase& database) : database_(database) {}

    // Stores every column of the record, its size and date first read again from the file
    // (the restructuring may have rewritten it).
    void StorePublication(MediaRecord& record);
    // Counts the published files under every directory whose path begins `file`'s path,
    // stores each count in its directory row, and returns those directories' paths.
    std::vector<std::string> RecountDirectoriesOf(const std::string& file);
    // The published files under `directory` (a path ending with "/"), counted now.
    int PublishedCount(const std::string& directory);

private:
    ResourceDatabase& database_;
};

}  // namespace wharfkeep::host
