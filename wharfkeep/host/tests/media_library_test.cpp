// The media library on a real database, and the host's event stream: counts recounted from
// the rows for every directory holding a file, the outcome stored with the file's own size,
// listeners called in order and never after they left.

#include <gtest/gtest.h>

#include <fstream>

#include "host_test_support.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {
namespace {

using testing::TempHome;

class MediaLibraryTest : public ::testing::Test {
protected:
    MediaLibraryTest() {
        ServerAccessSettings access;
        EXPECT_TRUE(db.Open(home.home() / "Wharfkeep.sqlite", "127.0.0.1", "", access));
    }

    void AddPublished(const std::string& path, int state = kPublished) {
        db.AddMedia(path, 1, "2024-01-01 00:00:00");
        library.StoreState(path, state);
    }

    int StoredCount(const std::string& directory) {
        std::vector<DirectoryRecord> rows;
        db.ListDirectories(rows);
        for (const DirectoryRecord& row : rows) {
            if (row.path == directory) {
                return row.published_count;
            }
        }
        return -1;
    }

    TempHome home;
    ResourceDatabase db;
    MediaLibrary library{db};
};

TEST_F(MediaLibraryTest, RecountStoresTheRowsCountInEveryDirectoryHoldingTheFile) {
    db.AddDirectory("/m/", "m", 3);
    db.AddDirectory("/m/inner/", "inner", 2);
    db.AddDirectory("/m/inner_not/", "inner_not", 1);
    AddPublished("/m/inner/a.mp4");
    AddPublished("/m/inner/b.mp4");
    AddPublished("/m/inner/c.mp4", kFailed);
    AddPublished("/m/inner_not/d.mp4");
    std::vector<DirectoryCount> recounted = library.RecountDirectoriesOf("/m/inner/a.mp4");
    EXPECT_EQ(recounted, (std::vector<DirectoryCount>{{"/m/", 3}, {"/m/inner/", 2}}));
    EXPECT_EQ(StoredCount("/m/"), 3);
    EXPECT_EQ(StoredCount("/m/inner/"), 2);
    EXPECT_EQ(StoredCount("/m/inner_not/"), 0);  // a name that only begins the same way
    // Recounting again changes nothing: a count is never a sum of steps.
    library.RecountDirectoriesOf("/m/inner/a.mp4");
    EXPECT_EQ(StoredCount("/m/inner/"), 2);
    EXPECT_TRUE(library.RecountDirectoriesOf("/elsewhere/x.mp4").empty());
}

TEST_F(MediaLibraryTest, CountsTakeWildcardsAndOddBytesInPathsLiterally) {
    db.AddDirectory("/m/100%/", "100%", 1);
    db.AddDirectory("/m/a_b/", "a_b", 1);
    AddPublished("/m/100 percent/x.mp4");
    AddPublished("/m/aXb/y.mp4");
    AddPublished(std::string("/m/\xff\xfe/z.mp4"));
    EXPECT_EQ(library.PublishedCount("/m/100%/"), 0);
    EXPECT_EQ(library.PublishedCount("/m/a_b/"), 0);
    EXPECT_EQ(library.PublishedCount(std::string("/m/\xff\xfe/")), 1);
    EXPECT_EQ(library.PublishedCount(std::string("/m/\xff\xff/")), 0);
    EXPECT_EQ(library.PublishedCount("/m/"), 3);
}

TEST_F(MediaLibraryTest, StoredPublicationCarriesTheFilesOwnSize) {
    std::string file = home.WriteMedia("clip.mp4", 321);
    db.AddMedia(file, 1, "2000-01-01 00:00:00");
    MediaRecord record;
    record.local_path = file;
    record.state = kPublished;
    record.cid = std::string(40, 'A');
    library.StorePublication(record);
    EXPECT_EQ(record.file_size, 321);
    std::vector<MediaRecord> rows = library.MediaAt(file);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].file_size, 321);
    EXPECT_EQ(rows[0].state, kPublished);
    EXPECT_EQ(rows[0].cid, record.cid);
    EXPECT_NE(rows[0].file_date, "2000-01-01 00:00:00");
}

struct RecordingListener : HostListener {
    explicit RecordingListener(std::vector<std::string>& log, std::string name)
        : log(log), name(std::move(name)) {}
    void OnHostEvent(const HostEvent& event) override {
        log.push_back(name + ":" + std::to_string(event.index()));
    }
    std::vector<std::string>& log;
    std::string name;
};

TEST(HostEvents, ListenersAreCalledInOrderOnceEachAndNotAfterLeaving) {
    std::vector<std::string> log;
    RecordingListener first(log, "a");
    RecordingListener second(log, "b");
    HostEvents events;
    events.Subscribe(&first);
    events.Subscribe(&second);
    events.Subscribe(&first);  // twice is once
    events.Notify(ServicesStopped{"test"});
    events.Unsubscribe(&first);
    events.Notify(PeerRefused{0x7F000001});
    EXPECT_EQ(log, (std::vector<std::string>{"a:8", "b:8", "b:10"}));
}

TEST(HostEvents, ReasonTextsNameTheKnownResults) {
    EXPECT_EQ(PublishCodeText(0), "published");
    EXPECT_EQ(PublishCodeText(26), "not a streamable MP4, ZHD or GHD file");
    EXPECT_EQ(PublishCodeText(7), "result 7");
}

TEST(MediaState, NamesForScriptsAndTextsForPeople) {
    // The identifiers stay snake_case; the texts spell the same names in words.
    EXPECT_EQ(StateName(kNotStreamable), "not_streamable");
    EXPECT_EQ(StateText(kNotStreamable), "not streamable");
    EXPECT_EQ(StateName(kNotPublished), "not_published");
    EXPECT_EQ(StateText(kNotPublished), "not published");
    EXPECT_EQ(StateText(kPublished), "published");
    EXPECT_EQ(StateText(kHeaderRejected), "header rejected");
    EXPECT_EQ(StateName(-7), "state_-7");
    EXPECT_EQ(StateText(-7), "state -7");
    for (int state = -4; state <= 3; ++state) {
        EXPECT_EQ(StateText(state).find_first_of("_\t\n"), std::string::npos) << state;
    }
}

}  // namespace
}  // namespace wharfkeep::host
