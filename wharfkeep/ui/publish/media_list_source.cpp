#include "media_list_source.h"

#include <algorithm>
#include <numeric>

#include "media_list_model.h"

namespace wharfkeep::ui {

namespace {

// A record's place in a sort by one column, as far as 64 bits tell: when two heads differ
// they order the records as CompareMedia does; when they are equal the records decide.
struct SortKey {
    std::uint64_t head;
    MediaRowId id;
};

// The first eight bytes of a text, as unsigned bytes, most significant first (a shorter
// text is padded with zero bytes, so it never sorts after a longer one it begins).
std::uint64_t TextHead(const std::string& text) {
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        head = head << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    }
    return head;
}

// A signed number moved into the unsigned range without changing its order.
std::uint64_t NumberHead(std::int64_t value) {
    return static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
}

std::uint64_t SortHead(const MediaRecord& record, int column) {
    switch (column) {
        case kColumnName:
            return TextHead(record.name);
        case kColumnSize:
            return NumberHead(record.file_size);
        case kColumnState:
            return NumberHead(record.state);
        case kColumnFileDate:
            return TextHead(record.file_date);
        case kColumnPublishDate:
            return TextHead(record.publish_date);
        default:
            return 0;
    }
}

MediaOrder OrderOfColumn(int column) {
    switch (column) {
        case kColumnName:
            return MediaOrder::Name;
        case kColumnSize:
            return MediaOrder::FileSize;
        case kColumnState:
            return MediaOrder::State;
        case kColumnFileDate:
            return MediaOrder::FileDate;
        case kColumnPublishDate:
            return MediaOrder::PublishDate;
        default:
            return MediaOrder::LocalPath;
    }
}

}  // namespace

// ---- RecordListSource ----

RecordListSource::RecordListSource(std::vector<MediaRecord> records)
    : records_(std::move(records)) {
    for (MediaRecord& record : records_) {
        if (record.name.empty()) {
            record.name = display_name_of(record.local_path);
        }
    }
}

std::vector<MediaRowId> RecordListSource::Order(int column, bool ascending) {
    const std::size_t count = records_.size();
    std::vector<MediaRowId> ids(count);
    std::iota(ids.begin(), ids.end(), MediaRowId{0});
    if (column < 0) {
        return ids;
    }
    // Sorted as small keys that decide most comparisons without reaching the records.
    std::vector<SortKey> keys(count);
    for (std::size_t row = 0; row < count; ++row) {
        keys[row] = {SortHead(records_[row], column), static_cast<MediaRowId>(row)};
    }
    std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
        if (a.head != b.head) {
            return ascending ? a.head < b.head : a.head > b.head;
        }
        const MediaRecord& first = records_[static_cast<std::size_t>(a.id)];
        const MediaRecord& second = records_[static_cast<std::size_t>(b.id)];
        int comparison = CompareMedia(first, second, column);
        if (comparison == 0) {
            comparison = first.local_path.compare(second.local_path);
        }
        return ascending ? comparison < 0 : comparison > 0;
    });
    for (std::size_t row = 0; row < count; ++row) {
        ids[row] = keys[row].id;
    }
    return ids;
}

std::vector<std::pair<MediaRowId, MediaRecord>> RecordListSource::Read(
    std::span<const MediaRowId> ids) {
    std::vector<std::pair<MediaRowId, MediaRecord>> read;
    read.reserve(ids.size());
    for (const MediaRowId id : ids) {
        if (id >= 0 && static_cast<std::size_t>(id) < records_.size()) {
            read.emplace_back(id, records_[static_cast<std::size_t>(id)]);
        }
    }
    return read;
}

std::optional<MediaRowId> RecordListSource::IdOf(const std::string& local_path) {
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (records_[row].local_path == local_path) {
            return static_cast<MediaRowId>(row);
        }
    }
    return std::nullopt;
}

std::vector<MediaRowId> RecordListSource::IdsInState(int state) {
    std::vector<MediaRowId> ids;
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (records_[row].state == state) {
            ids.push_back(static_cast<MediaRowId>(row));
        }
    }
    return ids;
}

void RecordListSource::Remember(MediaRowId id, const MediaRecord& record) {
    if (id >= 0 && static_cast<std::size_t>(id) < records_.size()) {
        records_[static_cast<std::size_t>(id)] = record;
    }
}

// ---- DatabaseListSource ----

DatabaseListSource::DatabaseListSource(host::MediaLibrary& library, MediaListing listing)
    : library_(library), listing_(std::move(listing)) {}

std::vector<MediaRowId> DatabaseListSource::Order(int column, bool ascending) {
    return library_.ListIds(listing_, OrderOfColumn(column), column < 0 || ascending);
}

std::vector<std::pair<MediaRowId, MediaRecord>> DatabaseListSource::Read(
    std::span<const MediaRowId> ids) {
    return library_.ReadByIds(ids);
}

std::optional<MediaRowId> DatabaseListSource::IdOf(const std::string& local_path) {
    return library_.IdOf(local_path);
}

std::vector<MediaRowId> DatabaseListSource::IdsInState(int state) {
    return library_.ListIds({listing_.prefix, state, ""}, MediaOrder::LocalPath, true);
}

}  // namespace wharfkeep::ui
