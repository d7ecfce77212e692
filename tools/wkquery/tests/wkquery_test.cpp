// wkquery against a list server running in this test program.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "catalogd/catalogd.h"
#include "description_builder.h"
#include "list_client.h"
#include "testing_hooks.h"

namespace {

std::filesystem::path g_description;
std::string g_published_gcid;

bool gcid_to_path(const char* gcid, char* path_out, unsigned size) {
    std::string path = g_description.string();
    if (g_published_gcid != gcid || path.size() + 1 > size) {
        return false;
    }
    std::copy(path.begin(), path.end(), path_out);
    path_out[path.size()] = '\0';
    return true;
}

bool export_lists(const char* path) {
    std::ofstream(path) << g_published_gcid << " 3000\n";
    return true;
}

struct ToolRun {
    int exit_code = -1;
    std::string output;
};

ToolRun run_wkquery(const std::string& arguments) {
    const char* folder = std::getenv("WK_BIN_DIR");
    std::string command = std::string(folder ? folder : ".") + "/wkquery " + arguments + " 2>&1";
    ToolRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        run.output.append(chunk, got);
    }
    int status = ::pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class WkqueryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/wk-wkquery-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        ::setenv("TMPDIR", folder_.c_str(), 1);
        g_description = folder_ / "film.mp4.sts";
        g_published_gcid = std::string(40, 'A');
        sts_set_gcid2path_function(&gcid_to_path);
        sts_set_export_lists_function(&export_lists);
        catalogd::testing::set_stored_port(0);
        ASSERT_EQ(sts_start(0), 0);
        address_ = "127.0.0.1:" + std::to_string(catalogd::testing::listening_port());
    }
    static void TearDownTestSuite() {
        sts_stop();
        sts_set_gcid2path_function(nullptr);
        sts_set_export_lists_function(nullptr);
        std::filesystem::remove_all(folder_);
    }

    void write_description(std::uint64_t total) {
        std::vector<std::uint8_t> bytes =
            catalogd::test::make_description(total, {{0x0D, 1000}, {0x0E, 2000}}, 0xAA);
        std::ofstream(g_description, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        sts_close_all_files();
    }

    static inline std::filesystem::path folder_;
    static inline std::string address_;
};

TEST_F(WkqueryTest, PrintsTheDescriptionOfAPublishedItem) {
    write_description(3000);
    ToolRun run = run_wkquery(address_ + " " + std::string(40, 'a'));
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("gcid:         " + std::string(40, 'A')), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("total size:   3000"), std::string::npos);
    EXPECT_NE(run.output.find("second text:  \"two\""), std::string::npos);
    std::string digest;
    for (int i = 0; i < 16; ++i) {
        digest += "0E";
    }
    EXPECT_NE(run.output.find("  1  offset 1000  size 2000  digest " + digest), std::string::npos)
        << run.output;
}

TEST_F(WkqueryTest, DistinctExitCodes) {
    write_description(3000);
    ToolRun unknown = run_wkquery(address_ + " " + std::string(40, 'B'));
    EXPECT_EQ(unknown.exit_code, 1);
    EXPECT_EQ(unknown.output, "not found\n");

    write_description(2999);
    EXPECT_EQ(run_wkquery(address_ + " " + std::string(40, 'A')).exit_code, 3);

    EXPECT_EQ(run_wkquery(address_ + " 1234").exit_code, 2);
    EXPECT_EQ(run_wkquery("nohostport " + std::string(40, 'A')).exit_code, 2);
    EXPECT_EQ(run_wkquery(address_).exit_code, 2);
    EXPECT_EQ(run_wkquery(address_ + " --urls " + std::string(40, 'A')).exit_code, 2);
}

TEST_F(WkqueryTest, PrintsTheList) {
    ToolRun run = run_wkquery(address_ + " --urls");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, std::string(40, 'A') + " 3000\n");
}

TEST_F(WkqueryTest, ConnectionsClosedWithoutAnswerAreFailures) {
    sts_set_export_lists_function(nullptr);
    ToolRun dropped = run_wkquery(address_ + " --urls");
    sts_set_export_lists_function(&export_lists);
    EXPECT_EQ(dropped.exit_code, 2);
    EXPECT_NE(dropped.output.find("without a response"), std::string::npos) << dropped.output;

    // Nothing listens on the port any more.
    sts_stop();
    ToolRun refused = run_wkquery(address_ + " --urls");
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.output.find("cannot connect"), std::string::npos) << refused.output;
    ASSERT_EQ(sts_start(0), 0);
    address_ = "127.0.0.1:" + std::to_string(catalogd::testing::listening_port());
}

TEST(WkqueryParsing, EndpointsAndIdentifiers) {
    auto endpoint = wkquery::parse_endpoint("[::1]:8190");
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->host, "::1");
    EXPECT_EQ(endpoint->port, "8190");
    EXPECT_TRUE(wkquery::parse_endpoint("example.org:1"));
    EXPECT_FALSE(wkquery::parse_endpoint("example.org"));
    EXPECT_FALSE(wkquery::parse_endpoint(":8190"));
    EXPECT_FALSE(wkquery::parse_endpoint("host:0"));
    EXPECT_FALSE(wkquery::parse_endpoint("host:65536"));
    EXPECT_FALSE(wkquery::parse_endpoint("host:81x"));

    auto gcid = wkquery::parse_gcid("00112233445566778899aabbccddeeffAABBCCDD");
    ASSERT_TRUE(gcid);
    EXPECT_EQ((*gcid)[9], 0x99);
    EXPECT_EQ((*gcid)[19], 0xDD);
    EXPECT_FALSE(wkquery::parse_gcid(std::string(39, '0')));
    EXPECT_FALSE(wkquery::parse_gcid(std::string(38, '0') + "0g"));
    EXPECT_FALSE(wkquery::parse_gcid(std::string(38, '0') + "+1"));
}

}  // namespace
