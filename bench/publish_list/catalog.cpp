#include "catalog.h"

#include <cstdio>
#include <vector>

namespace wharfkeep::bench {

namespace {

// The state of row `i`: mostly published, then not yet published, and some of each other
// kind, interleaved so that every folder has all of them.
std::int32_t StateOfRow(unsigned mixed) {
    switch (mixed % 20) {
        case 0:
            return static_cast<std::int32_t>(MediaState::Waiting);
        case 1:
            return static_cast<std::int32_t>(MediaState::Failed);
        case 2:
            return static_cast<std::int32_t>(MediaState::NotStreamable);
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
            return static_cast<std::int32_t>(MediaState::NotPublished);
        default:
            return static_cast<std::int32_t>(MediaState::Published);
    }
}

MediaRecord MakeRecord(const std::string& folder, int i) {
    // Names, sizes and dates in an order unrelated to the insertion order.
    const unsigned mixed = static_cast<unsigned>(i) * 2654435761u;
    char name[64];
    std::snprintf(name, sizeof name, "clip-%08x-%06d.mp4", mixed, i);
    char date[32];
    std::snprintf(date, sizeof date, "2026-%02u-%02u %02u:%02u:00", mixed % 12 + 1,
                  (mixed >> 4) % 28 + 1, (mixed >> 9) % 24, (mixed >> 14) % 60);
    MediaRecord record;
    record.local_path = folder + name;
    record.file_size = 1048576LL * ((mixed >> 3) % 4096) + i;
    record.state = StateOfRow(mixed >> 7);
    record.file_date = date;
    if (record.state == static_cast<std::int32_t>(MediaState::Published)) {
        char cid[41];
        std::snprintf(cid, sizeof cid, "%08X%08X%08X%08X%08X", mixed, ~mixed, mixed ^ 0x5A5A5A5Au,
                      static_cast<unsigned>(i), mixed * 7u);
        record.cid = cid;
        record.url = "pvessa://url=" + record.local_path + "|sid=" + cid + "|name=" + name;
        record.sts_path = folder + "." + name + ".sts";
        record.publish_date = date;
    }
    return record;
}

}  // namespace

std::string CatalogFolder(const CatalogShape& shape, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "folder-%03d/", index);
    return shape.root + name;
}

bool GenerateCatalog(ResourceDatabase& db, const CatalogShape& shape) {
    for (int folder = 0; folder < shape.folders; ++folder) {
        const int first =
            static_cast<int>(static_cast<long long>(shape.rows) * folder / shape.folders);
        const int end =
            static_cast<int>(static_cast<long long>(shape.rows) * (folder + 1) / shape.folders);
        const std::string path = CatalogFolder(shape, folder);
        std::vector<MediaRecord> records;
        records.reserve(static_cast<std::size_t>(end - first));
        int published = 0;
        for (int i = first; i < end; ++i) {
            records.push_back(MakeRecord(path, i));
            published += records.back().state == static_cast<std::int32_t>(MediaState::Published);
        }
        const std::string name =
            path.substr(shape.root.size(), path.size() - shape.root.size() - 1);
        if (!db.AddDirectory(path, name, end - first) || !db.AddMediaRecords(records)) {
            return false;
        }
        const DirectoryValue count{DirectoryColumn::PublishedCount, std::to_string(published)};
        db.UpdateDirectory({&count, 1}, path);
    }
    return true;
}

}  // namespace wharfkeep::bench
