// A database file that cannot be used is refused with a reason naming it and is never
// written to; writes that fail on a full disk say so.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "database_fixture.h"
#include "small_file_system.h"

namespace wharfkeep {
namespace {

namespace fs = std::filesystem;
using testing::DatabaseTest;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A sound database of ours with enough rows to span many pages.
void make_populated_database(const fs::path& file) {
    ResourceDatabase database;
    ServerAccessSettings settings;
    ASSERT_TRUE(database.Open(file, "10.0.0.1", "", settings));
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(
            database.AddMedia("/media/" + std::string(200, 'n') + std::to_string(i) + ".mp4", i,
                              "2024-01-01 00:00:00"));
    }
}

struct Damage {
    const char* name;
    std::function<void(const fs::path& file, const fs::path& home)> make;
    const char* reason;  // part of the reason text
};

TEST_F(DatabaseTest, EveryKindOfDamageIsRefusedAndLeftAsItIs) {
    const std::vector<Damage> damages = {
        {"truncated",
         [](const fs::path& file, const fs::path&) {
             make_populated_database(file);
             fs::resize_file(file, fs::file_size(file) / 2);
         },
         "damaged"},
        {"garbage header",
         [](const fs::path& file, const fs::path&) {
             make_populated_database(file);
             std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
             f.write("this is no header", 16);
         },
         ""},
        {"text file",
         [](const fs::path& file, const fs::path&) {
             std::ofstream(file) << "a text file the operator wrote\n";
         },
         ""},
        {"directory", [](const fs::path& file, const fs::path&) { fs::create_directory(file); },
         "is a directory"},
        {"dangling link",
         [](const fs::path& file, const fs::path& home) {
             fs::create_symlink(home / "elsewhere.sqlite", file);
         },
         "symbolic link"},
        {"another program's database",
         [](const fs::path& file, const fs::path&) {
             ASSERT_EQ(std::system(("sqlite3 '" + file.string() +
                                    "' 'create table notes (body TEXT); insert into notes "
                                    "values(\"keep me\");'")
                                       .c_str()),
                       0);
         },
         "not a Wharfkeep database"},
        {"our table with other columns",
         [](const fs::path& file, const fs::path&) {
             ASSERT_EQ(std::system(("sqlite3 '" + file.string() +
                                    "' 'create table pwt_master (MID TEXT); create table "
                                    "pwt_medias (Path TEXT);'")
                                       .c_str()),
                       0);
         },
         "pwt_medias has other columns"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        std::error_code ignored;
        fs::remove_all(file_, ignored);
        fs::remove(fs::path(file_.string() + "-wal"), ignored);
        fs::remove(fs::path(file_.string() + "-shm"), ignored);
        damage.make(file_, home_);
        const bool is_file = fs::is_regular_file(file_);
        const std::string before = is_file ? read_file(file_) : "";

        ResourceDatabase database;
        EXPECT_FALSE(open(database));
        EXPECT_FALSE(database.is_open());
        EXPECT_NE(database.open_error().find(file_.string()), std::string::npos)
            << database.open_error();
        EXPECT_NE(database.open_error().find(damage.reason), std::string::npos)
            << database.open_error();
        if (is_file) {
            EXPECT_TRUE(read_file(file_) == before) << "the damaged file was written to";
        }
        EXPECT_FALSE(fs::exists(home_ / "elsewhere.sqlite")) << "a link's target was created";
    }
}

// After a run that did not close the file (its write-ahead log left behind), every page
// is checked, so damage deep inside the media rows is refused before anything is written.
TEST_F(DatabaseTest, DamageInsideTheMediaRowsIsFoundAfterAnUncleanEnd) {
    make_populated_database(file_);
    const auto size = fs::file_size(file_);
    ASSERT_EQ(fs::exists(fs::path(file_.string() + "-wal")), false) << "closed cleanly";
    {
        // Scribble over the page headers of the file's second half, where media rows lie.
        std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
        for (std::uintmax_t page = size / 2; page + 4096 < size; page += 4096) {
            f.seekp(static_cast<std::streamoff>(page));
            f.write("\x0d\xff\xff\xff\xff\xff\xff\xff", 8);
        }
    }
    std::ofstream(file_.string() + "-wal", std::ios::binary) << std::string(64, 'x');
    const std::string before = read_file(file_);

    ResourceDatabase database;
    EXPECT_FALSE(open(database));
    EXPECT_NE(database.open_error().find("damaged"), std::string::npos) << database.open_error();
    EXPECT_TRUE(read_file(file_) == before) << "the damaged file was written to";
}

TEST_F(DatabaseTest, AnEmptyFileIsInitialised) {
    std::ofstream(file_).close();
    ResourceDatabase database;
    ASSERT_TRUE(open(database)) << database.open_error();
    EXPECT_EQ(database.GetParam("VP_Port"), "8189");
    EXPECT_EQ(database.open_error(), "");
}

// On a full disk a write reports failure, and what the writes reported as stored is what
// the database holds.
TEST_F(DatabaseTest, WritesOnAFullDiskFailAndSayWhatWasStored) {
    platform::testing::SmallFileSystem small(768);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    const fs::path file = small.path() / "Wharfkeep.sqlite";
    ResourceDatabase database;
    ASSERT_TRUE(database.Open(file, "10.0.0.1", "", settings_)) << database.open_error();
    int stored = 0;
    bool refused = false;
    for (int i = 0; i < 20000 && !refused; ++i) {
        if (database.AddMedia("/media/" + std::string(300, 'f') + std::to_string(i) + ".mp4", i,
                              "")) {
            ++stored;
        } else {
            refused = true;
        }
    }
    ASSERT_TRUE(refused) << "the disk never filled";
    EXPECT_EQ(database.CountMedia(), stored);
    const MediaValue published[] = {{MediaColumn::State, "1"}};
    int updated = 0;
    for (int i = 0; i < stored; ++i) {
        if (database.UpdateMedia(published,
                                 "/media/" + std::string(300, 'f') + std::to_string(i) + ".mp4")) {
            ++updated;
        }
    }
    std::vector<MediaRecord> rows;
    const SearchCondition in_state_1[] = {{MediaColumn::State, SearchOperator::Equal, "1"}};
    EXPECT_EQ(database.SearchMedia(in_state_1, &rows), updated);
    database.Close();
}

// Fills the file system of `folder` with one file until a write fails for lack of space;
// returns the file's path so that the test can free the space again.
fs::path fill_file_system(const fs::path& folder) {
    const fs::path filler = folder / "filler";
    std::FILE* out = std::fopen(filler.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), out) == block.size() &&
               std::fflush(out) == 0) {
        }
        std::fclose(out);
    }
    return filler;
}

// A full disk is not damage: the open says "disk full", leaves the file as it was, and the
// same file opens once space is freed. A database that could not be created on a full disk
// leaves no empty file behind for the next start to mistake for a database.
TEST_F(DatabaseTest, AFullDiskIsReportedAsSuchAndLeavesNothingHalfMade) {
    platform::testing::SmallFileSystem small(512);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    const fs::path file = small.path() / "Wharfkeep.sqlite";
    {
        ResourceDatabase database;
        ASSERT_TRUE(database.Open(file, "10.0.0.1", "", settings_)) << database.open_error();
        ASSERT_TRUE(database.AddMedia("/media/kept.mp4", 7, ""));
    }
    const std::string before = read_file(file);
    const fs::path filler = fill_file_system(small.path());

    ResourceDatabase on_full_disk;
    EXPECT_FALSE(on_full_disk.Open(file, "10.0.0.1", "", settings_));
    EXPECT_NE(on_full_disk.open_error().find("disk full"), std::string::npos)
        << on_full_disk.open_error();
    EXPECT_EQ(on_full_disk.open_error().find("damaged"), std::string::npos)
        << on_full_disk.open_error();
    EXPECT_EQ(read_file(file), before);

    const fs::path second = small.path() / "Second.sqlite";
    ResourceDatabase new_on_full_disk;
    EXPECT_FALSE(new_on_full_disk.Open(second, "10.0.0.1", "", settings_));
    EXPECT_NE(new_on_full_disk.open_error().find("disk full"), std::string::npos)
        << new_on_full_disk.open_error();
    EXPECT_FALSE(fs::exists(second));

    fs::remove(filler);
    ResourceDatabase after_space_freed;
    ASSERT_TRUE(after_space_freed.Open(file, "10.0.0.1", "", settings_))
        << after_space_freed.open_error();
    EXPECT_EQ(after_space_freed.CountMedia(), 1);
}

}  // namespace
}  // namespace wharfkeep
