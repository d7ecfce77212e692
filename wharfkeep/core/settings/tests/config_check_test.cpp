#include "wharfkeep/settings/config_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;
using wharfkeep::settings::CheckIniFile;
using wharfkeep::settings::CheckStoredSettings;
using wharfkeep::settings::ConfigProblem;

class IniCheck : public testing::Test {
protected:
    IniCheck() {
        char pattern[] = "/tmp/wk-config-check-XXXXXX";
        folder_ = ::mkdtemp(pattern);
    }
    ~IniCheck() override { fs::remove_all(folder_); }

    // The problems of a Wharfkeep.ini holding `text`, each as the command prints it, with the
    // folder left out.
    std::vector<std::string> Check(const std::string& text) {
        const fs::path path = folder_ / "Wharfkeep.ini";
        std::ofstream(path) << text;
        std::vector<std::string> lines;
        for (const ConfigProblem& problem : CheckIniFile(path)) {
            std::string line = problem.Text();
            lines.push_back(line.substr(folder_.string().size() + 1));
        }
        return lines;
    }

    fs::path folder_;
};

TEST_F(IniCheck, ValidFileAndMissingFileHaveNoProblems) {
    EXPECT_THAT(CheckIniFile(folder_ / "absent.ini"), IsEmpty());
    EXPECT_THAT(Check("; comment\n[LOG]\nLevel = Debug\n[vp]\npage_size = 4096\n"
                      "max_inprogress_file_io=64\n[report]\npublish_host = reports.example\n"
                      "publish_port = 1980\n[control]\nmetrics_address = 127.0.0.1:9189\n"
                      "listen = 127.0.0.1:8443, [::1]:8443\nmax_clients = 1000\n"
                      "socket_group = wharfkeep\n"
                      "[sts]\nmax_connections = 10\n[crash]\nusedump = 1\n"),
                IsEmpty());
}

TEST_F(IniCheck, BadValuesNameLineRuleAndTheValueUsed) {
    EXPECT_THAT(Check("[log]\nlevel = loud\n[vp]\npage_size = banana\nblock_size = 12abc\n"
                      "max_inprogress_file_io = 100\nreserved_mem_size = 3000000000\n"
                      "[report]\npublish_port = 0\n[crash]\nusedump = 2\n"
                      "[control]\nmetrics_address = 9189\nmax_clients = 0\n"),
                ElementsAre("Wharfkeep.ini:2: [log] level = loud: expected error, warning, "
                            "info or debug; using info",
                            "Wharfkeep.ini:4: [vp] page_size = banana: expected a multiple of "
                            "4096 from 4096 to 16777216; using 65536",
                            "Wharfkeep.ini:5: [vp] block_size = 12abc: expected a whole number "
                            "from 1 to 2147483647; using 12",
                            "Wharfkeep.ini:6: [vp] max_inprogress_file_io = 100: expected a "
                            "whole number from 1 to 64; using 64",
                            "Wharfkeep.ini:7: [vp] reserved_mem_size = 3000000000: expected a "
                            "whole number from 0 to 2147483647; using 314572800",
                            "Wharfkeep.ini:9: [report] publish_port = 0: expected a port from 1 "
                            "to 65535; using off",
                            "Wharfkeep.ini:11: [crash] usedump = 2: expected 0 or 1; using 0",
                            "Wharfkeep.ini:13: [control] metrics_address = 9189: expected "
                            "HOST:PORT (empty: off); using nothing: the control interface does "
                            "not start",
                            "Wharfkeep.ini:14: [control] max_clients = 0: expected a whole "
                            "number from 1 to 100000; using nothing: serve does not start"));
}

// The folder picker's roots must be absolute: a relative one would depend on the folder
// the daemon happened to start in.
TEST_F(IniCheck, BrowseRootsMustAllBeAbsolute) {
    EXPECT_THAT(Check("[web]\nbrowse_roots = /srv/videos, /home/media/\n"), IsEmpty());
    EXPECT_THAT(Check("[web]\nbrowse_roots = /srv/videos, videos\n"),
                ElementsAre("Wharfkeep.ini:2: [web] browse_roots = /srv/videos, videos: expected "
                            "absolute folders, comma-separated (empty: a typed path only); using "
                            "nothing: the control interface does not start"));
}

TEST_F(IniCheck, UnknownNamesDuplicatesAndMalformedLines) {
    EXPECT_THAT(Check("[log]\nlevel = info\nlevl = debug\nlevel = debug\n[cache]\na = 1\nb = 2\n"
                      "garbage\n"),
                ElementsAre("Wharfkeep.ini:3: unknown key [log] levl",
                            "Wharfkeep.ini:4: [log] level given again; line 2 counts",
                            "Wharfkeep.ini:6: unknown section [cache]",
                            "Wharfkeep.ini:8: not a [section], a key = value line or a ; "
                            "comment; using nothing of it"));
    const std::string long_value(5000, 'x');
    EXPECT_THAT(Check("[vp]\ndump_cache_file_path = " + long_value + "\n"),
                ElementsAre("Wharfkeep.ini:2: line too long to read; using nothing of it"));
}

// The packaged Wharfkeep.ini documents every key with the default its reader takes, and
// nothing else.
TEST(PackagedIni, ListsEveryKeyWithItsDefault) {
    std::ifstream file(WK_SOURCE_DIR "/packaging/Wharfkeep.ini");
    ASSERT_TRUE(file) << "packaging/Wharfkeep.ini not found";
    const std::regex section(R"(^\[(\w+)\]\s*$)");
    const std::regex key(R"(^;(\w+) = ?(.*)$)");
    std::map<std::string, std::string> documented;
    std::string current;
    for (std::string line; std::getline(file, line);) {
        std::smatch match;
        if (std::regex_match(line, match, section)) {
            current = match[1];
        } else if (std::regex_match(line, match, key)) {
            documented["[" + current + "] " + match[1].str()] = match[2];
        }
    }
    std::map<std::string, std::string> known;
    for (const wharfkeep::settings::IniKey& entry : wharfkeep::settings::AllIniKeys()) {
        known["[" + std::string(entry.section) + "] " + entry.key] = entry.default_value;
    }
    EXPECT_EQ(documented, known);
}

TEST(StoredSettings, RefusedValuesAndUnknownKeys) {
    std::vector<ConfigProblem> problems = CheckStoredSettings(
        {{"VP_Port", "8189"}, {"VP_AutoStart", "5"}, {"NoSuchKey", "1"}}, "Wharfkeep.sqlite");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].Text(), "Wharfkeep.sqlite: invalid value \"5\" for VP_AutoStart: 0 or 1");
    EXPECT_EQ(problems[1].Text(), "Wharfkeep.sqlite: unknown setting NoSuchKey");
}

}  // namespace
