#include "wharfkeep/host/media_library.h"

#include <sys/stat.h>

#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_queries.h"

namespace wharfkeep::host {

void MediaLibrary::StorePublication(MediaRecord& record) {
    struct stat info {};
    if (::stat(record.local_path.c_str(), &info) == 0) {
        record.file_size = static_cast<std::int64_t>(info.st_size);
        record.file_date = LocalTimeText(info.st_mtime);
    }
    database_.StoreMedia(record);
}

std::vector<std::string> MediaLibrary::RecountDirectoriesOf(const std::string& file) {
    std::vector<DirectoryRecord> directories;
    database_.ListDirectories(directories);
    std::vector<std::string> recounted;
    for (const DirectoryRecord& directory : directories) {
        if (directory.path.empty() || file.compare(0, directory.path.size(), directory.path) != 0) {
            continue;
        }
        DirectoryValue count{DirectoryColumn::PublishedCount,
                             std::to_string(PublishedCount(directory.path))};
        database_.UpdateDirectory({&count, 1}, directory.path);
        recounted.push_back(directory.path);
    }
    return recounted;
}

int MediaLibrary::PublishedCount(const std::string& directory) {
    return PublishedCountUnder(database_, directory);
}

}  // namespace wharfkeep::host
