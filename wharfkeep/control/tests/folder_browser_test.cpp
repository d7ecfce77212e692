// The console's folder picker: what it lists, and that no path leads it outside its roots.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "../src/folder_browser.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A scratch tree: root/ (the one browse root) with videos/ (two .mp4 files, one in
// upper case, and a text file), videos/season-1/, an empty hidden .cache/, and outside/
// beside the root, which a symbolic link inside it leads to.
class FolderBrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "wk-browse-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = fs::canonical(pattern);  // the listing answers resolved paths
        root_ = (scratch_ / "root").string();
        fs::create_directories(root_ + "/videos/season-1");
        fs::create_directories(root_ + "/.cache");
        fs::create_directories(scratch_ / "outside" / "secret");
        std::ofstream(root_ + "/videos/a.mp4") << "x";
        std::ofstream(root_ + "/videos/B.MP4") << "x";
        std::ofstream(root_ + "/videos/notes.txt") << "x";
        std::ofstream(scratch_ / "outside" / "c.mp4") << "x";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root_ + "/locked", fs::perms::owner_all, ignored);
        fs::remove_all(scratch_, ignored);
    }

    ControlResponse Browse(std::optional<std::string> path) {
        ControlRequest request{"GET", "/browse", {}, ""};
        if (path) {
            request.query["path"] = *path;
        }
        return BrowseFolders({root_}, request, limits_);
    }
    static json Body(const ControlResponse& response) { return json::parse(response.body); }
    static std::vector<std::string> Names(const json& body) {
        std::vector<std::string> names;
        for (const json& folder : body.at("folders")) {
            names.push_back(folder.at("name").get<std::string>());
        }
        return names;
    }

    fs::path scratch_;
    std::string root_;
    BrowseLimits limits_;
};

TEST_F(FolderBrowserTest, ListsTheRootsThenSubFoldersWithTheirMp4Counts) {
    ControlResponse roots = Browse(std::nullopt);
    ASSERT_EQ(roots.status, 200) << roots.body;
    EXPECT_EQ(Names(Body(roots)), std::vector<std::string>{root_});
    EXPECT_TRUE(Body(roots).at("path").is_null());

    ControlResponse top = Browse(root_);
    ASSERT_EQ(top.status, 200) << top.body;
    json body = Body(top);
    EXPECT_EQ(Names(body), std::vector<std::string>{"videos"});  // .cache is hidden
    EXPECT_EQ(body.at("folders")[0].at("mp4_files"), 2);         // a.mp4 and B.MP4, not notes.txt
    EXPECT_TRUE(body.at("parent").is_null());                    // a root: back to the roots
    EXPECT_FALSE(body.at("truncated").get<bool>());

    json videos = Body(Browse(root_ + "/videos"));
    EXPECT_EQ(videos.at("parent"), root_);
    EXPECT_EQ(videos.at("mp4_files"), 2);
    EXPECT_EQ(videos.at("folders")[0].at("path"), root_ + "/videos/season-1");
}

TEST_F(FolderBrowserTest, NoPathLeadsOutsideTheRoots) {
    fs::create_directory_symlink(scratch_ / "outside", root_ + "/escape");
    fs::create_directory_symlink(root_ + "/videos", root_ + "/shortcut");

    // A link leading out is neither listed nor followed; one that stays inside is both.
    EXPECT_EQ(Names(Body(Browse(root_))), (std::vector<std::string>{"shortcut", "videos"}));
    EXPECT_EQ(Browse(root_ + "/escape").status, 403);
    EXPECT_EQ(Browse(root_ + "/escape/secret").status, 403);
    EXPECT_EQ(Body(Browse(root_ + "/shortcut")).at("path"), root_ + "/videos");

    EXPECT_EQ(Browse(root_ + "/..").status, 403);
    EXPECT_EQ(Browse(root_ + "/videos/../../outside").status, 403);
    EXPECT_EQ(Browse("/").status, 403);
    EXPECT_EQ(Body(Browse(root_ + "/videos/..")).at("path"), root_);
    // A missing path outside is refused as outside, so that its absence tells nothing, also
    // when a link inside the root leads there.
    EXPECT_EQ(Browse((scratch_ / "outside" / "nothing").string()).status, 403);
    EXPECT_EQ(Browse(root_ + "/escape/nothing").status, 403);
    EXPECT_EQ(Browse(root_ + "/escape/../nothing").status, 403);
    EXPECT_EQ(Browse(root_ + "/nothing").status, 404);
}

TEST_F(FolderBrowserTest, RefusesFilesRelativePathsAndOtherQueries) {
    EXPECT_EQ(Browse(root_ + "/videos/a.mp4").status, 400);
    EXPECT_EQ(Browse("videos").status, 400);
    EXPECT_EQ(Browse("").status, 400);
    ControlRequest other{"GET", "/browse", {{"depth", "2"}}, ""};
    EXPECT_EQ(BrowseFolders({root_}, other).status, 400);
    ControlRequest post{"POST", "/browse", {}, ""};
    EXPECT_EQ(BrowseFolders({root_}, post).status, 405);
}

TEST_F(FolderBrowserTest, WithoutRootsNothingIsListed) {
    ControlRequest request{"GET", "/browse", {}, ""};
    EXPECT_TRUE(Body(BrowseFolders({}, request)).at("folders").empty());
    request.query["path"] = root_;
    EXPECT_EQ(BrowseFolders({}, request).status, 403);
}

TEST_F(FolderBrowserTest, AnUnreadableFolderIsRefusedAndMarked) {
    const std::string locked = root_ + "/locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::none);
    if (DIR* opened = ::opendir(locked.c_str())) {
        ::closedir(opened);
        GTEST_SKIP() << "this user reads folders whatever their mode (root)";
    }
    EXPECT_EQ(Browse(locked).status, 403);
    json top = Body(Browse(root_));
    ASSERT_EQ(Names(top), (std::vector<std::string>{"locked", "videos"}));
    EXPECT_FALSE(top.at("folders")[0].at("readable").get<bool>());
    EXPECT_TRUE(top.at("folders")[0].at("mp4_files").is_null());
}

TEST_F(FolderBrowserTest, ManyEntriesAreCutAndSaySo) {
    for (int i = 0; i < 30; ++i) {
        fs::create_directory(root_ + "/videos/season-1/part-" + std::to_string(100 + i));
    }
    limits_.max_folders = 10;
    json cut = Body(Browse(root_ + "/videos/season-1"));
    EXPECT_EQ(cut.at("folders").size(), 10u);
    EXPECT_EQ(cut.at("folders")[0].at("name"), "part-100");  // sorted before being cut
    EXPECT_TRUE(cut.at("truncated").get<bool>());

    // The entries read are bounded too: the sub-folders' counts stop where the budget does.
    limits_ = BrowseLimits{};
    limits_.max_entries_read = 40;
    json counted = Body(Browse(root_ + "/videos/season-1"));
    EXPECT_EQ(counted.at("folders").size(), 30u);
    EXPECT_TRUE(counted.at("truncated").get<bool>());
    EXPECT_TRUE(counted.at("folders")[29].at("mp4_files").is_null());
}

}  // namespace
}  // namespace wharfkeep::control
