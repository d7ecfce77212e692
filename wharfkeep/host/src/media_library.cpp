#include "wharfkeep/host/media_library.h"

#include <sys/stat.h>

#include <algorithm>

#include "wharfkeep/host/local_time.h"

namespace wharfkeep::host {

std::vector<MediaRecord> MediaLibrary::Search(std::vector<SearchCondition> conditions) {
    std::vector<MediaRecord> records;
    database_.SearchMedia(conditions, &records);
    return records;
}

std::vector<MediaRecord> MediaLibrary::MediaAt(const std::string& path) {
    return Search({{MediaColumn::LocalPath, SearchOperator::Equal, path}});
}

bool MediaLibrary::Holds(const std::string& path) {
    if (!MediaAt(path).empty()) {
        return true;
    }
    const std::string below = path + "/";
    const std::vector<DirectoryRecord> directories = Directories();
    return std::any_of(directories.begin(), directories.end(), [&](const DirectoryRecord& entry) {
        return entry.path == path || entry.path.compare(0, below.size(), below) == 0;
    });
}

std::vector<MediaRecord> MediaLibrary::MediaByCid(const std::string& cid) {
    return Search({{MediaColumn::CID, SearchOperator::Equal, cid}});
}

std::vector<MediaRecord> MediaLibrary::MediaByState(int state) {
    return Search({{MediaColumn::State, SearchOperator::Equal, std::to_string(state)}});
}

std::vector<MediaRecord> MediaLibrary::MediaUnder(const std::string& prefix,
                                                  std::optional<int> state) {
    std::vector<SearchCondition> conditions{{MediaColumn::LocalPath, SearchOperator::Like, prefix}};
    if (state) {
        conditions.push_back({MediaColumn::State, SearchOperator::Equal, std::to_string(*state)});
    }
    return Search(std::move(conditions));
}

std::vector<MediaRecord> MediaLibrary::ListedUnder(const std::string& prefix) {
    std::vector<MediaRecord> records;
    database_.ListMediaByPrefix(prefix, records);
    return records;
}

int MediaLibrary::PublishedCount(const std::string& directory) {
    const SearchCondition conditions[] = {
        {MediaColumn::LocalPath, SearchOperator::Like, directory},
        {MediaColumn::State, SearchOperator::Equal, std::to_string(kPublished)}};
    return database_.CountMatchingMedia(conditions);
}

int MediaLibrary::CountInState(int state) {
    const SearchCondition in_state{MediaColumn::State, SearchOperator::Equal,
                                   std::to_string(state)};
    return database_.CountMatchingMedia({&in_state, 1});
}

int MediaLibrary::CountAll() {
    return database_.CountMedia();
}

std::map<int, int> MediaLibrary::CountByState() {
    std::map<int, int> counts;
    for (const auto& [state, count] : database_.CountMediaByState()) {
        counts[state] = count;
    }
    return counts;
}

std::string MediaLibrary::FailureReason(const std::string& path) {
    return database_.FailureReason(path);
}

std::vector<std::pair<std::string, std::string>> MediaLibrary::FailureReasonsUnder(
    const std::string& prefix) {
    std::vector<std::pair<std::string, std::string>> reasons;
    database_.ListFailureReasons(prefix, reasons);
    return reasons;
}

std::vector<DirectoryRecord> MediaLibrary::Directories() {
    std::vector<DirectoryRecord> directories;
    database_.ListDirectories(directories);
    return directories;
}

bool MediaLibrary::StorePublication(MediaRecord& record) {
    struct stat info {};
    const bool examined = ::stat(record.local_path.c_str(), &info) == 0;
    if (examined) {
        record.file_size = static_cast<std::int64_t>(info.st_size);
        record.file_date = LocalTimeText(info.st_mtime);
    }
    if (!database_.StoreMedia(record)) {
        return false;
    }
    if (examined && record.state == kPublished) {
        database_.SetMediaInode(record.local_path, info.st_dev, info.st_ino);
    }
    return true;
}

bool MediaLibrary::ChangedSinceStored(const MediaRecord& stored) {
    struct stat info {};
    if (::stat(stored.local_path.c_str(), &info) != 0) {
        return false;
    }
    if (static_cast<std::int64_t>(info.st_size) != stored.file_size ||
        LocalTimeText(info.st_mtime) != stored.file_date) {
        return true;
    }
    const auto identity = database_.MediaInode(stored.local_path);
    return identity && (identity->first != info.st_dev || identity->second != info.st_ino);
}

void MediaLibrary::StoreState(const std::string& path, int state) {
    MediaValue value{MediaColumn::State, std::to_string(state)};
    database_.UpdateMedia({&value, 1}, path);
}

void MediaLibrary::StoreSize(const std::string& path, std::int64_t size) {
    MediaValue value{MediaColumn::FileSize, std::to_string(size)};
    database_.UpdateMedia({&value, 1}, path);
}

std::vector<DirectoryCount> MediaLibrary::RecountDirectoriesOf(const std::string& file) {
    std::vector<DirectoryCount> recounted;
    for (const DirectoryRecord& directory : Directories()) {
        if (directory.path.empty() || file.compare(0, directory.path.size(), directory.path) != 0) {
            continue;
        }
        const int published = PublishedCount(directory.path);
        DirectoryValue count{DirectoryColumn::PublishedCount, std::to_string(published)};
        database_.UpdateDirectory({&count, 1}, directory.path);
        recounted.push_back({directory.path, published});
    }
    return recounted;
}

std::vector<MediaRecord> MediaLibrary::RemoveFilesUnder(const std::string& path,
                                                        bool added_folder) {
    std::vector<MediaRecord> records;
    if (added_folder) {
        database_.ListDirectoryMedia(path, records);
        database_.DeleteDirectoryMedia(path);
    } else {
        database_.ListMediaByPrefix(path, records);
        database_.DeleteMediaByPrefix(path);
    }
    return records;
}

}  // namespace wharfkeep::host
