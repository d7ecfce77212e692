// Media lists read by id in a sorted order: the order the database gives must be the one
// the list would give by comparing records, for every column, both directions, a small
// list sorted after reading and a large one read from its index.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "database_fixture.h"

namespace wharfkeep::testing {
namespace {

MediaRecord Row(const std::string& path, std::int64_t size, MediaState state,
                const std::string& file_date, const std::string& publish_date) {
    MediaRecord record;
    record.local_path = path;
    record.name = display_name_of(path);
    record.file_size = size;
    record.state = static_cast<std::int32_t>(state);
    record.file_date = file_date;
    record.publish_date = publish_date;
    return record;
}

// The key of each order as the list compares it, LocalPath breaking ties.
bool Before(const MediaRecord& a, const MediaRecord& b, MediaOrder order) {
    switch (order) {
        case MediaOrder::Name:
            return std::tie(a.name, a.local_path) < std::tie(b.name, b.local_path);
        case MediaOrder::FileSize:
            return std::tie(a.file_size, a.local_path) < std::tie(b.file_size, b.local_path);
        case MediaOrder::State:
            return std::tie(a.state, a.local_path) < std::tie(b.state, b.local_path);
        case MediaOrder::FileDate:
            return std::tie(a.file_date, a.local_path) < std::tie(b.file_date, b.local_path);
        case MediaOrder::PublishDate:
            return std::tie(a.publish_date, a.local_path) < std::tie(b.publish_date, b.local_path);
        case MediaOrder::LocalPath:
            break;
    }
    return a.local_path < b.local_path;
}

class MediaListingTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        ASSERT_TRUE(open(db_));
        // One big folder (most of the table: read from the order's index), one small one
        // (read by its prefix, then sorted), names that begin one another, share a long
        // head, differ in case or hold bytes above 0x7F, equal sizes and dates, and a
        // nested folder whose names sort apart from their paths.
        const std::vector<std::string> names = {
            "b.mp4",           "B.mp4",    "a.mp4",    "clip-0000-b.mp4",
            "clip-0000-a.mp4", "clip",     "clip-00",  "\xe4\xb8\xad\xe6\x96\x87.mp4",
            "z/a.mp4",         "z/zz.mp4", "y%_\\.mp4"};
        const MediaState states[] = {MediaState::Published, MediaState::NotPublished,
                                     MediaState::Failed, MediaState::Waiting,
                                     MediaState::HeaderRejected};
        int i = 0;
        for (int copy = 0; copy < 8; ++copy) {
            for (const std::string& name : names) {
                const std::string folder = "/big/" + std::to_string(copy) + "/";
                rows_.push_back(
                    Row(folder + name, 1000 * (i % 5), states[i % 5],
                        "2026-01-0" + std::to_string(1 + i % 3) + " 00:00:00",
                        i % 4 == 0 ? "" : "2026-02-01 00:00:0" + std::to_string(i % 2)));
                if (states[i % 5] == MediaState::Published) {
                    // 40 hexadecimal digits, as a GCID: "C1D" and the row's number.
                    const std::string number = std::to_string(i);
                    rows_.back().cid = "C1D" + std::string(37 - number.size(), '0') + number;
                }
                ++i;
            }
        }
        for (const std::string& name : names) {
            rows_.push_back(Row("/small/" + name, 7 * (i % 3), states[i % 5],
                                "2025-12-31 23:59:5" + std::to_string(i % 2), ""));
            ++i;
        }
        ASSERT_TRUE(db_.AddMediaRecords(rows_));
    }

    // The paths of the listing in the database's order.
    std::vector<std::string> Listed(const MediaListing& listing, MediaOrder order, bool ascending) {
        const std::vector<MediaRowId> ids = db_.ListMediaIds(listing, order, ascending);
        std::vector<std::string> paths;
        for (const auto& [id, record] : db_.ReadMediaByIds(ids)) {
            EXPECT_EQ(record.name, display_name_of(record.local_path));
            paths.push_back(record.local_path);
        }
        EXPECT_EQ(paths.size(), ids.size());
        return paths;
    }

    // Whether `text` holds `wanted`, ASCII letters in either case.
    static bool Holds(std::string text, std::string wanted) {
        for (std::string* folded : {&text, &wanted}) {
            std::transform(folded->begin(), folded->end(), folded->begin(), [](char c) {
                return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            });
        }
        return text.find(wanted) != std::string::npos;
    }

    // The same listing filtered and sorted here.
    std::vector<std::string> Expected(const MediaListing& listing, MediaOrder order,
                                      bool ascending) const {
        std::vector<MediaRecord> kept;
        for (const MediaRecord& row : rows_) {
            if (row.local_path.starts_with(listing.prefix) &&
                (!listing.state || row.state == *listing.state) &&
                (Holds(row.local_path, listing.contains) || Holds(row.cid, listing.contains))) {
                kept.push_back(row);
            }
        }
        std::sort(kept.begin(), kept.end(),
                  [&](const MediaRecord& a, const MediaRecord& b) { return Before(a, b, order); });
        if (!ascending) {
            std::reverse(kept.begin(), kept.end());
        }
        std::vector<std::string> paths;
        for (const MediaRecord& row : kept) {
            paths.push_back(row.local_path);
        }
        return paths;
    }

    ResourceDatabase db_;
    std::vector<MediaRecord> rows_;
};

TEST_F(MediaListingTest, EveryOrderMatchesTheRecordComparisonBothWays) {
    const std::vector<MediaListing> listings = {
        {"/big/", std::nullopt, ""},
        {"/small/", std::nullopt, ""},
        {"/", std::nullopt, ""},
        {"/big/", static_cast<std::int32_t>(MediaState::Published), ""},
        {"/small/", static_cast<std::int32_t>(MediaState::Failed), ""},
        {"/big/3/y%_\\", std::nullopt, ""},  // wildcard characters are literal
        // Text to look for, in the path or the CID, ASCII letters in either case.
        {"/", std::nullopt, "CLIP-0000"},
        {"/big/", std::nullopt, "b.mp4"},
        {"/small/", std::nullopt, "CLIP"},  // a small folder: read by its prefix, then sorted
        {"/", std::nullopt, "%_"},
        {"/", std::nullopt, "c1d"},   // only in CIDs
        {"/", std::nullopt, "0015"},  // one CID; digits could be in a path too
        {"/big/", static_cast<std::int32_t>(MediaState::Published), "A.MP4"},
        {"/", std::nullopt, "\xe6\x96\x87"},  // bytes above 0x7F as they are
    };
    for (const MediaListing& listing : listings) {
        for (const MediaOrder order :
             {MediaOrder::LocalPath, MediaOrder::Name, MediaOrder::FileSize, MediaOrder::State,
              MediaOrder::FileDate, MediaOrder::PublishDate}) {
            for (const bool ascending : {true, false}) {
                SCOPED_TRACE(listing.prefix + " order " + std::to_string(static_cast<int>(order)) +
                             (ascending ? " asc" : " desc") +
                             (listing.state ? " state " + std::to_string(*listing.state) : "") +
                             " text \"" + listing.contains + "\"");
                const std::vector<std::string> expected = Expected(listing, order, ascending);
                ASSERT_FALSE(expected.empty());
                EXPECT_EQ(Listed(listing, order, ascending), expected);
            }
        }
    }
}

TEST_F(MediaListingTest, AMissingOrderIndexSortsTheRowsInstead) {
    sqlite_cli("drop index pwt_medias_size;");
    const MediaListing all{"/", std::nullopt, ""};
    EXPECT_EQ(Listed(all, MediaOrder::FileSize, false), Expected(all, MediaOrder::FileSize, false));
}

TEST_F(MediaListingTest, IdsNameTheirRowsUntilTheRowIsGone) {
    const std::optional<MediaRowId> id = db_.MediaIdOf("/small/a.mp4");
    ASSERT_TRUE(id);
    EXPECT_FALSE(db_.MediaIdOf("/small/A.mp4"));  // exact, case included
    const std::optional<MediaRowId> other = db_.MediaIdOf("/small/b.mp4");
    ASSERT_TRUE(other);
    const MediaValue published{MediaColumn::State, "1"};
    ASSERT_TRUE(db_.UpdateMedia({&published, 1}, "/small/a.mp4"));
    EXPECT_EQ(db_.MediaIdOf("/small/a.mp4"), id);  // an update keeps the id

    ASSERT_TRUE(db_.DeleteMedia("/small/b.mp4"));
    const MediaRowId ids[] = {*other, *id, 999999};
    const auto records = db_.ReadMediaByIds(ids);
    ASSERT_EQ(records.size(), 1u);  // the deleted and the unknown id yield nothing
    EXPECT_EQ(records[0].first, *id);
    EXPECT_EQ(records[0].second.state, 1);
}

TEST_F(MediaListingTest, ManyIdsAreReadInTheirOrderAcrossBatches) {
    std::vector<MediaRowId> ids =
        db_.ListMediaIds({"/", std::nullopt, ""}, MediaOrder::Name, false);
    ASSERT_EQ(ids.size(), rows_.size());
    // Repeated to cross the reader's batches several times.
    std::vector<MediaRowId> many;
    for (int round = 0; round < 8; ++round) {
        many.insert(many.end(), ids.begin(), ids.end());
    }
    const auto records = db_.ReadMediaByIds(many);
    ASSERT_EQ(records.size(), many.size());
    for (std::size_t i = 0; i < many.size(); ++i) {
        ASSERT_EQ(records[i].first, many[i]) << i;
    }
}

}  // namespace
}  // namespace wharfkeep::testing
