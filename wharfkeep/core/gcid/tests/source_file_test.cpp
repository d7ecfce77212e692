#include "wharfkeep/gcid/source_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "test_files.h"
#include "wharfkeep/my_exception.h"

namespace wharfkeep {
namespace {

using testing::TempFolder;

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const CMyException& error) {
        return error.message();
    }
    return "";
}

TEST(SourceFile, ClosedFileRaisesTheDesignatedTexts) {
    TempFolder folder;
    SourceFile file(folder / "absent");
    char byte = 0;
    EXPECT_EQ(error_of([&] { file.open(nullptr); }), "mode is null");
    EXPECT_EQ(error_of([&] { file.read(&byte, 1); }), "The file ponit is null");
    EXPECT_EQ(error_of([&] { file.write(&byte, 1); }), "The file ponit is null");
    EXPECT_EQ(error_of([&] { file.seek(0); }), "The file point is null");
    EXPECT_EQ(error_of([&] { file.size(); }), "Error info is No such file or directory");
    EXPECT_EQ(file.open("rb"), SourceFile::kOpenFailed);
    EXPECT_FALSE(file.is_open());
}

TEST(SourceFile, ReadsWritesSeeksAndReportsShortReads) {
    TempFolder folder;
    SourceFile file(folder / "data");
    ASSERT_EQ(file.open("wb"), 0);
    EXPECT_EQ(file.write("0123456789", 10), 10);
    file.close();

    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_EQ(file.size(), 10u);
    char buffer[8] = {};
    EXPECT_EQ(file.seek(6), 0);
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(file.seek(8), 0);
    EXPECT_EQ(file.read(buffer, 4), SourceFile::kReadFailed);
    EXPECT_EQ(error_of([&] { file.read_exact_at(8, buffer, 4); }),
              "Read file fail! " + (folder / "data").string() + " offset 8 length 4");
    EXPECT_EQ(error_of([&] { file.read_exact_at(2, buffer, 8); }), "");
    EXPECT_EQ(std::string(buffer, 8), "23456789");
}

TEST(SourceFile, SizeIsCachedUntilReopened) {
    TempFolder folder;
    const std::string path = folder / "growing";
    testing::write_file(path, std::vector<std::uint8_t>(100, 1));
    SourceFile file(path);
    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_EQ(file.size(), 100u);
    testing::write_file(path, std::vector<std::uint8_t>(300, 1));
    EXPECT_EQ(file.size(), 100u);
    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_EQ(file.size(), 300u);
}

TEST(SourceFile, SeeksPastFourGigabytes) {
    TempFolder folder;
    const std::string path = folder / "sparse";
    const std::uint64_t marker_offset = (5ull << 30) - 3;
    {
        SourceFile file(path);
        ASSERT_EQ(file.open("wb"), 0);
        ASSERT_EQ(file.seek(marker_offset), 0);
        ASSERT_EQ(file.write("END", 3), 3);
    }
    SourceFile file(path);
    ASSERT_EQ(file.open("rb"), 0);
    EXPECT_EQ(file.size(), 5ull << 30);
    char buffer[3] = {};
    file.read_exact_at(marker_offset, buffer, 3);
    EXPECT_EQ(std::string(buffer, 3), "END");
}

}  // namespace
}  // namespace wharfkeep
