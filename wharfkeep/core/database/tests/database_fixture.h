#pragma once
// A fresh database in a temporary application-data folder, and the sqlite3 command line
// to look at the file independently of the code under test.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_folder.h"
#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::testing {

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(home_.empty()); }

    bool open(ResourceDatabase& database, const std::string& local_ip = "192.168.1.20") {
        return database.Open(file_, local_ip, "", settings_);
    }

    // Runs SQL through the sqlite3 program; rows as lines, columns separated by '|'.
    std::string sqlite_cli(const std::string& sql) const {
        const auto script = home_ / "query.sql";
        std::ofstream(script) << sql << "\n";
        const std::string command =
            "sqlite3 -batch -noheader '" + file_.string() + "' < '" + script.string() + "'";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            std::size_t read = 0;
            while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
                output.append(buffer, read);
            }
            pclose(pipe);
        }
        return output;
    }

    platform::testing::TempHome home_folder_{"wk-database"};
    std::filesystem::path home_ = home_folder_.path();
    std::filesystem::path file_ = home_ / "Wharfkeep.sqlite";
    ServerAccessSettings settings_;
};

}  // namespace wharfkeep::testing
