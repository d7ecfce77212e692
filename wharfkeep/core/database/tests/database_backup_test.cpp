// The online backup: a sound, standalone copy while a writer goes on, and nothing left
// behind when it cannot be made.

#include <atomic>
#include <thread>

#include "database_fixture.h"
#include "small_file_system.h"

namespace wharfkeep::testing {
namespace {

namespace fs = std::filesystem;

std::string MediaPath(int i) {
    return "/media/clip" + std::to_string(i) + ".mp4";
}

TEST_F(DatabaseTest, BackupWhileAWriterGoesOnIsSoundAndStandsAlone) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(database.AddMedia(MediaPath(i), i, ""));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> added{0};
    std::thread writer([&] {
        for (int i = 2000; !stop.load() && i < 100000; ++i) {
            if (database.AddMedia(MediaPath(i), i, "")) {
                added.fetch_add(1);
            }
        }
    });
    const fs::path target = home_ / "backup" / "copy.sqlite";
    fs::create_directories(target.parent_path());
    std::ofstream(target) << "an older backup";
    const std::optional<std::string> failure = backup_database(file_, target);
    stop.store(true);
    writer.join();
    ASSERT_FALSE(failure) << *failure;
    EXPECT_FALSE(fs::exists(target.string() + ".partial"));
    EXPECT_FALSE(fs::exists(target.string() + "-wal")) << "the copy needs no log beside it";

    database.Close();
    fs::remove(file_);
    fs::copy_file(target, file_);
    ResourceDatabase restored;
    ASSERT_TRUE(open(restored)) << restored.open_error();
    EXPECT_GE(restored.CountMedia(), 2000);
    EXPECT_LE(restored.CountMedia(), 2000 + added.load());
    EXPECT_EQ(sqlite_cli("pragma integrity_check;"), "ok\n");
}

TEST_F(DatabaseTest, BackupThatCannotBeMadeSaysWhyAndKeepsTheOldCopy) {
    EXPECT_EQ(backup_database(home_ / "none.sqlite", home_ / "copy.sqlite"),
              "no database at " + (home_ / "none.sqlite").string());
    {
        ResourceDatabase database;
        ASSERT_TRUE(open(database));
        for (int i = 0; i < 3000; ++i) {
            ASSERT_TRUE(database.AddMedia(MediaPath(i) + std::string(200, 'x'), i, ""));
        }
    }
    const std::optional<std::string> no_folder =
        backup_database(file_, home_ / "missing" / "copy.sqlite");
    ASSERT_TRUE(no_folder);
    EXPECT_NE(no_folder->find("cannot write"), std::string::npos) << *no_folder;

    platform::testing::SmallFileSystem small(256);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    const fs::path target = small.path() / "copy.sqlite";
    std::ofstream(target) << "an older backup";
    const std::optional<std::string> full = backup_database(file_, target);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->rfind("disk full", 0), 0u) << *full;
    EXPECT_FALSE(fs::exists(target.string() + ".partial"));
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "an older backup");
}

}  // namespace
}  // namespace wharfkeep::testing
