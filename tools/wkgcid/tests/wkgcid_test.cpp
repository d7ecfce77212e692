// Runs the wkgcid program and compares its digests with sha1sum's: a file of at most
// 75 KiB has its GCID and check digest taken over the whole file.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct ProgramRun {
    int status = -1;
    std::string output;
};

ProgramRun run(const std::string& command) {
    ProgramRun result;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t read = 0;
        while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            result.output.append(buffer, read);
        }
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

class Wkgcid : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("WK_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "WK_BIN_DIR names the folder of the programs";
        program_ = std::string(bin) + "/wkgcid";
        std::string pattern = (std::filesystem::temp_directory_path() / "wk-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string program_;
    std::filesystem::path folder_;
};

TEST_F(Wkgcid, SmallFileDigestsMatchSha1sum) {
    const auto path = folder_ / "clip's 100%.mp4";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 50000; ++i) {
            out.put(static_cast<char>(i * 31 + 7));
        }
    }
    const ProgramRun sha1 = run("sha1sum \"" + path.string() + "\"");
    ASSERT_EQ(sha1.status, 0);
    const std::string expected = upper(sha1.output.substr(0, 40));

    const ProgramRun tool = run("\"" + program_ + "\" \"" + path.string() + "\"");
    ASSERT_EQ(tool.status, 0);
    // GCID, check digest, combined digest, path.
    ASSERT_GE(tool.output.size(), 40u + 1 + 40 + 1 + 32 + 1);
    EXPECT_EQ(tool.output.substr(0, 40), expected);
    EXPECT_EQ(tool.output.substr(41, 40), expected);
    EXPECT_EQ(tool.output.substr(82 + 33), path.string() + "\n");
}

TEST_F(Wkgcid, UnreadableFileFailsWithoutStoppingTheOthers) {
    const auto empty = folder_ / "empty";
    std::ofstream(empty).close();
    const ProgramRun tool = run("\"" + program_ + "\" \"" + (folder_ / "missing").string() +
                                "\" \"" + empty.string() + "\" 2>/dev/null");
    EXPECT_EQ(tool.status, 1);
    EXPECT_EQ(tool.output.substr(0, 40), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

}  // namespace
