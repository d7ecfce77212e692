// Paths with quotes, LIKE wildcards and backslashes must be stored, found, changed and
// removed exactly, and must never reach a look-alike path.

#include <gtest/gtest.h>

#include <algorithm>

#include "database_fixture.h"
#include "wharfkeep/database/resource_database.h"

namespace wharfkeep {
namespace {

struct PathPair {
    std::string directory;   // the hostile directory
    std::string look_alike;  // what a wildcard or a lost escape would also match

    friend void PrintTo(const PathPair& pair, std::ostream* out) {
        *out << pair.directory << " vs " << pair.look_alike;
    }
};

class HostilePaths : public testing::DatabaseTest, public ::testing::WithParamInterface<PathPair> {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        ASSERT_TRUE(open(database_));
        ASSERT_TRUE(database_.AddDirectory(dir(), "hostile", 1));
        ASSERT_TRUE(database_.AddDirectory(other(), "other", 1));
        ASSERT_TRUE(database_.AddMedia(media(), 11, "2024-01-01 00:00:00"));
        ASSERT_TRUE(database_.AddMedia(other_media(), 22, "2024-01-01 00:00:00"));
    }

    const std::string& dir() const { return GetParam().directory; }
    const std::string& other() const { return GetParam().look_alike; }
    std::string media() const { return dir() + "it's 50%_off\\.mp4"; }
    std::string other_media() const { return other() + "it's 50%_off\\.mp4"; }

    std::vector<std::string> paths(const std::vector<MediaRecord>& records) const {
        std::vector<std::string> result;
        for (const auto& record : records) {
            result.push_back(record.local_path);
        }
        return result;
    }

    std::int32_t state_of(const std::string& path) {
        std::vector<MediaRecord> list;
        const std::array<SearchCondition, 1> exact{
            {{MediaColumn::LocalPath, SearchOperator::Equal, path}}};
        database_.SearchMedia(exact, &list);
        return list.empty() ? -100 : list[0].state;
    }

    ResourceDatabase database_;
};

TEST_P(HostilePaths, ListsMatchOnlyTheDirectoryItself) {
    const std::vector<std::string> only_mine{media()};
    std::vector<MediaRecord> list;
    database_.ListMediaByPrefix(dir(), list);
    EXPECT_EQ(paths(list), only_mine);

    list.clear();
    database_.ListDirectoryMedia(dir(), list);
    EXPECT_EQ(paths(list), only_mine);

    list.clear();
    const std::array<SearchCondition, 1> under{
        {{MediaColumn::LocalPath, SearchOperator::Like, dir()}}};
    database_.SearchMedia(under, &list);
    EXPECT_EQ(paths(list), only_mine);

    std::vector<DirectoryRecord> directories;
    database_.ListDirectories(directories);
    ASSERT_EQ(directories.size(), 2u);
    EXPECT_EQ(directories[0].path, dir());
    EXPECT_EQ(directories[1].path, other());
}

TEST_P(HostilePaths, UpdatesReachOnlyTheirRow) {
    const std::string hostile_text = "x'); drop table pwt_medias; --%_\\";
    const std::array<MediaValue, 2> values{
        {{MediaColumn::URL, hostile_text}, {MediaColumn::State, "1"}}};
    ASSERT_TRUE(database_.UpdateMedia(values, media()));
    std::vector<MediaRecord> list;
    database_.ListMediaByPrefix(dir(), list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].url, hostile_text);
    EXPECT_EQ(state_of(other_media()), 0);

    const std::array<DirectoryValue, 2> renamed{
        {{DirectoryColumn::Name, hostile_text}, {DirectoryColumn::PublishedCount, "1"}}};
    ASSERT_TRUE(database_.UpdateDirectory(renamed, dir()));
    std::vector<DirectoryRecord> directories;
    database_.ListDirectories(directories);
    EXPECT_EQ(directories.at(0), (DirectoryRecord{dir(), hostile_text, 1, 1}));
    EXPECT_EQ(directories.at(1), (DirectoryRecord{other(), "other", 1, 0}));

    ASSERT_TRUE(database_.SetParam(hostile_text, hostile_text));
    EXPECT_EQ(database_.GetParam(hostile_text), hostile_text);
}

TEST_P(HostilePaths, QueueAndResetStayInsideTheDirectory) {
    ASSERT_TRUE(database_.QueueDirectoryMedia(dir()));
    EXPECT_EQ(state_of(media()), 3);
    EXPECT_EQ(state_of(other_media()), 0);

    const std::array<MediaValue, 1> published{{{MediaColumn::State, "1"}}};
    database_.UpdateMedia(published, other_media());
    ASSERT_TRUE(database_.ResetDirectoryMedia(dir()));
    EXPECT_EQ(state_of(media()), 0);
    EXPECT_EQ(state_of(other_media()), 1);
}

TEST_P(HostilePaths, DeletesRemoveOnlyTheirRows) {
    ASSERT_TRUE(database_.DeleteMediaByPrefix(dir()));
    EXPECT_EQ(database_.CountMedia(), 1);
    EXPECT_EQ(state_of(other_media()), 0);

    ASSERT_TRUE(database_.AddMedia(media(), 11, ""));
    ASSERT_TRUE(database_.DeleteDirectoryMedia(dir()));
    EXPECT_EQ(state_of(media()), -100);
    EXPECT_EQ(state_of(other_media()), 0);

    ASSERT_TRUE(database_.AddMedia(media(), 11, ""));
    ASSERT_TRUE(database_.DeleteMedia(media()));
    EXPECT_EQ(database_.CountMedia(), 1);

    ASSERT_TRUE(database_.DeleteDirectory(dir()));
    std::vector<DirectoryRecord> directories;
    database_.ListDirectories(directories);
    ASSERT_EQ(directories.size(), 1u);
    EXPECT_EQ(directories[0].path, other());
}

INSTANTIATE_TEST_SUITE_P(Paths, HostilePaths,
                         ::testing::Values(PathPair{"/media/a_b/", "/media/aXb/"},
                                           PathPair{"/media/100%/", "/media/100 percent/"},
                                           PathPair{"/media/back\\slash/", "/media/backslash/"},
                                           PathPair{"/media/it's/", "/media/it''s/"},
                                           PathPair{"/media/o'neil_%\\x/", "/media/o'neilQ%\\x/"},
                                           PathPair{"/media/Film/", "/media/film/"},
                                           PathPair{"/media/\xd3\xf5/", "/media/\xf3\xff/"},
                                           PathPair{"/media/" + std::string(300, 'n') + "_/",
                                                    "/media/" + std::string(300, 'n') + "Z/"}));

using NestedDirectories = testing::DatabaseTest;

TEST_F(NestedDirectories, WithQuotesAndWildcardsAreLeftOut) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    const std::string outer = "/v/o'neil's_50%/";
    const std::string inner = outer + "sub_dir/";
    const std::string inner_look_alike = outer + "subXdir/";
    database.AddDirectory(outer, "outer", 3);
    database.AddDirectory(inner, "inner", 1);
    for (const std::string& path : {outer + "a.mp4", inner + "b.mp4", inner_look_alike + "c.mp4"}) {
        ASSERT_TRUE(database.AddMedia(path, 1, ""));
    }
    std::vector<MediaRecord> list;
    EXPECT_EQ(database.ListDirectoryMedia(outer, list), 2);
    EXPECT_EQ(list.at(0).local_path, outer + "a.mp4");
    EXPECT_EQ(list.at(1).local_path, inner_look_alike + "c.mp4");

    // The inner directory itself is not excluded from its own listing.
    list.clear();
    EXPECT_EQ(database.ListDirectoryMedia(inner, list), 1);

    ASSERT_TRUE(database.DeleteDirectoryMedia(outer));
    list.clear();
    EXPECT_EQ(database.ListMediaByPrefix(outer, list), 1);
    EXPECT_EQ(list.at(0).local_path, inner + "b.mp4");
}

}  // namespace
}  // namespace wharfkeep
