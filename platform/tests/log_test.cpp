#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ini_file.h"
#include "platform/log.h"

namespace {

namespace log = platform::log;

// Restores the standard-error output after a test that captured the log.
struct CapturedLog {
    CapturedLog(log::Level level, bool journal) { log::init_stream(out, level, journal); }
    ~CapturedLog() { log::init(log::Level::info); }
    void write_each_level() {
        log::error("e {}", 1);
        log::warning("w {}", 2);
        log::info("i {}", 3);
        log::debug("d {}", 4);
    }
    std::ostringstream out;
};

TEST(Log, EachThresholdLetsThroughItsLevelAndTheMoreSevereOnes) {
    struct Case {
        log::Level level;
        const char* expected;
    } cases[] = {
        {log::Level::error, "e 1"},
        {log::Level::warning, "e 1|w 2"},
        {log::Level::info, "e 1|w 2|i 3"},
        {log::Level::debug, "e 1|w 2|i 3|d 4"},
    };
    for (const Case& c : cases) {
        CapturedLog captured(c.level, true);
        captured.write_each_level();
        std::string joined;
        std::istringstream lines(captured.out.str());
        for (std::string line; std::getline(lines, line);) {
            joined += (joined.empty() ? "" : "|") + line.substr(line.find('>') + 1);
        }
        EXPECT_EQ(joined, c.expected) << log::level_name(c.level);
    }
}

TEST(Log, JournalLinesCarryTheSyslogPriorityAndTerminalLinesTheLevelName) {
    {
        CapturedLog captured(log::Level::debug, true);
        captured.write_each_level();
        EXPECT_EQ(captured.out.str(), "<3>e 1\n<4>w 2\n<6>i 3\n<7>d 4\n");
    }
    CapturedLog captured(log::Level::debug, false);
    log::warning("disk full\n");
    const std::string line = captured.out.str();
    EXPECT_NE(line.find("warning: disk full\n"), std::string::npos) << line;
    EXPECT_EQ(line.find("\n"), line.size() - 1) << "one line, the trailing line feed dropped";
    EXPECT_EQ(line.find('<'), std::string::npos);
}

TEST(Log, LevelNamesParseAndTheCommandLineWinsOverTheIniFile) {
    EXPECT_EQ(log::parse_level("DEBUG"), log::Level::debug);
    EXPECT_EQ(log::parse_level("warn"), log::Level::warning);
    EXPECT_EQ(log::parse_level("verbose"), std::nullopt);

    char pattern[] = "/tmp/wk-log-XXXXXX";
    std::filesystem::path folder = ::mkdtemp(pattern);
    std::ofstream(folder / "Wharfkeep.ini") << "[log]\nlevel = warning\n";
    platform::IniFile ini = platform::IniFile::load(folder / "Wharfkeep.ini");
    EXPECT_EQ(log::configured_level(ini, std::nullopt), log::Level::warning);
    EXPECT_EQ(log::configured_level(ini, std::string("debug")), log::Level::debug);
    EXPECT_EQ(log::configured_level(platform::IniFile{}, std::nullopt), log::Level::info);
    std::ofstream(folder / "Wharfkeep.ini") << "[log]\nlevel = loud\n";
    EXPECT_EQ(
        log::configured_level(platform::IniFile::load(folder / "Wharfkeep.ini"), std::nullopt),
        log::Level::info);
    std::filesystem::remove_all(folder);
}

TEST(Log, StandardErrorIsTheJournalOnlyWhenJournalStreamNamesIt) {
    struct stat status {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &status), 0);
    const std::string matching =
        std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    ::setenv("JOURNAL_STREAM", matching.c_str(), 1);
    EXPECT_TRUE(log::stderr_is_journal());
    // A stream inherited from a parent whose standard error went elsewhere.
    const std::string other =
        std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino + 1);
    ::setenv("JOURNAL_STREAM", other.c_str(), 1);
    EXPECT_FALSE(log::stderr_is_journal());
    ::setenv("JOURNAL_STREAM", "garbage", 1);
    EXPECT_FALSE(log::stderr_is_journal());
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(log::stderr_is_journal());
}

}  // namespace
