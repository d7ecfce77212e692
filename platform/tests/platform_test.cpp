#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/app_paths.h"
#include "platform/clock.h"
#include "platform/hex.h"
#include "platform/ini_file.h"
#include "platform/manual_reset_event.h"
#include "platform/memory_info.h"
#include "platform/message_queue.h"
#include "platform/process_usage.h"
#include "temp_folder.h"

namespace {

using platform::testing::TempHome;

TEST(ManualResetEvent, ReleasesEveryWaiterUntilReset) {
    platform::ManualResetEvent event;
    EXPECT_FALSE(event.wait_for(std::chrono::milliseconds(1)));
    std::thread first([&] { event.wait(); });
    std::thread second([&] { event.wait(); });
    event.set();
    first.join();
    second.join();
    EXPECT_TRUE(event.wait_for(std::chrono::milliseconds(0)));
    event.reset();
    EXPECT_FALSE(event.is_set());
}

TEST(Clock, TickIsTheLow32BitsOfTheMonotonicClock) {
    std::uint64_t before = platform::monotonic_ms();
    std::uint32_t tick = platform::tick_count();
    std::uint64_t after = platform::monotonic_ms();
    EXPECT_LE(static_cast<std::uint32_t>(tick - static_cast<std::uint32_t>(before)),
              static_cast<std::uint32_t>(after - before));
    EXPECT_GT(platform::unix_time(), 1600000000);
}

TEST(AppPaths, HomeVariableWinsAndFolderIsCreatedOnDemand) {
    TempHome home;
    std::filesystem::path nested = home.path() / "a" / "b";
    ::setenv("WHARFKEEP_HOME", nested.c_str(), 1);
    EXPECT_EQ(platform::app_data_folder(), nested);
    EXPECT_FALSE(std::filesystem::exists(nested));
    EXPECT_EQ(platform::ensure_app_data_folder(), nested);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(platform::app_data_file("Wharfkeep.ini"), nested / "Wharfkeep.ini");
}

TEST(AppPaths, FallsBackToXdgDataHome) {
    ::unsetenv("WHARFKEEP_HOME");
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(platform::app_data_folder(), std::filesystem::path("/srv/data/Wharfkeep"));
    ::unsetenv("XDG_DATA_HOME");
}

TEST(AppPaths, TempFilesAreUniqueAndExist) {
    auto first = platform::make_temp_file("wk-test-");
    auto second = platform::make_temp_file("wk-test-");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_TRUE(std::filesystem::exists(*first));
    std::filesystem::remove(*first);
    std::filesystem::remove(*second);
}

TEST(IniFile, ReadsKeysCaseInsensitivelyWithDefaults) {
    TempHome home;
    std::ofstream(home.path() / "Wharfkeep.ini") << "[VP]\n"
                                                    "Page_Size = 4096\n"
                                                    "dump_cache_file_path=/tmp/dump.txt\n"
                                                    "garbage=abc\n"
                                                    "negative=-5x\n";
    platform::IniFile ini = platform::IniFile::load_app_profile();
    EXPECT_EQ(ini.get_int("vp", "page_size", 65536), 4096);
    EXPECT_EQ(ini.get_int("vp", "block_size", 67108864), 67108864);
    EXPECT_EQ(ini.get_int("vp", "garbage", 7), 0);
    EXPECT_EQ(ini.get_int("vp", "negative", 7), -5);
    EXPECT_EQ(ini.get_string("vp", "dump_cache_file_path", ""), "/tmp/dump.txt");
    EXPECT_EQ(ini.get_string("report", "publish_host", "none"), "none");
}

TEST(IniFile, OverlongLineIsIgnoredNotCutShort) {
    TempHome home;
    std::string long_path = "/" + std::string(5000, 'a');
    std::ofstream(home.path() / "Wharfkeep.ini") << "[vp]\n"
                                                    "dump_cache_file_path="
                                                 << long_path << "\npage_size=4096\n";
    platform::IniFile ini = platform::IniFile::load_app_profile();
    EXPECT_FALSE(ini.has("vp", "dump_cache_file_path"));
    EXPECT_EQ(ini.get_string("vp", "dump_cache_file_path", ""), "");
    EXPECT_EQ(ini.get_int("vp", "page_size", 65536), 4096);
}

TEST(IniFile, MissingFileGivesDefaults) {
    platform::IniFile ini = platform::IniFile::load("/nonexistent/Wharfkeep.ini");
    EXPECT_FALSE(ini.has("vp", "page_size"));
    EXPECT_EQ(ini.get_int("vp", "page_size", 65536), 65536);
}

TEST(MemoryInfo, ReportsAvailableMemory) {
    EXPECT_GT(platform::available_physical_memory(), 0u);
}

TEST(MessageQueue, DeliversInOrderThenEndsAfterQuit) {
    platform::MessageQueue<int> queue;
    std::vector<int> received;
    std::thread receiver([&] {
        while (auto message = queue.receive()) {
            received.push_back(*message);
        }
    });
    for (int i = 0; i < 100; ++i) {
        queue.post(i);
    }
    queue.quit();
    receiver.join();
    ASSERT_EQ(received.size(), 100u);
    EXPECT_EQ(received.front(), 0);
    EXPECT_EQ(received.back(), 99);
    queue.post(5);
    EXPECT_TRUE(queue.empty());
}

TEST(UpperHex, HighNibbleFirstInByteOrder) {
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
    EXPECT_EQ(platform::upper_hex(bytes), "000FA5FF10");
    EXPECT_EQ(platform::upper_hex({}), "");
}

TEST(ProcessUsage, ChildrenFollowTheProcessAndAreGoneOnceReaped) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    std::vector<pid_t> listed = platform::process_and_children(::getpid());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.front(), ::getpid());
    EXPECT_NE(std::find(listed.begin(), listed.end(), child), listed.end());
    listed = platform::process_and_children(::getpid());
    EXPECT_EQ(std::find(listed.begin(), listed.end(), child), listed.end());
    // Gone processes read as nothing rather than failing.
    EXPECT_EQ(platform::process_disk_read_bytes(child), 0u);
    EXPECT_EQ(platform::process_and_children(child), std::vector<pid_t>{child});
}

}  // namespace
