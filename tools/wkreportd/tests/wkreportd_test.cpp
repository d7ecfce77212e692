#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "temp_folder.h"
#include "wharfkeep/report/publish_report.h"
#include "wharfkeep/report/publish_reporter.h"

extern char** environ;

namespace wharfkeep {
namespace {

using namespace std::chrono_literals;

// wkreportd as a child process, with its standard output read line by line.
class ReportDaemon {
public:
    explicit ReportDaemon(std::vector<std::string> options) {
        const char* bin = std::getenv("WK_BIN_DIR");
        const std::string program = std::string(bin ? bin : ".") + "/wkreportd";
        std::vector<std::string> args = {program, "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int pipe_fds[2];
        EXPECT_EQ(::pipe(pipe_fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        output_ = pipe_fds[0];
        const std::string banner = next_line();
        const auto colon = banner.rfind(':');
        if (banner.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
            port_ = std::uint16_t(std::stoi(banner.substr(colon + 1)));
        }
    }
    ~ReportDaemon() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_);
    }

    std::uint16_t port() const { return port_; }

    // The next line of output, or "" after 5 s.
    std::string next_line() {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            pollfd entry{output_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) {
                continue;
            }
            char chunk[512];
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            pending_.append(chunk, std::size_t(n));
        }
        return {};
    }

    // Waits for the daemon to exit on its own; its exit status, or -1.
    int wait_exit() {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::uint16_t port_ = 0;
    std::string pending_;
};

using platform::testing::TempFolder;

int send_to(const ReportDaemon& daemon, const std::filesystem::path& folder,
            const std::string& path) {
    PublishReporter reporter({"127.0.0.1", daemon.port()}, folder, {1000ms, 1000ms});
    return reporter.SendReport(*BuildPublishReport("MID42", path, "pvessa://url=u|name=n"));
}

TEST(Wkreportd, PrintsEachReportAndAcceptsIt) {
    TempFolder folder;
    ReportDaemon daemon({"--count", "2"});
    ASSERT_NE(daemon.port(), 0);
    EXPECT_EQ(send_to(daemon, folder.path(), "/srv/a b.mp4"), kReportDelivered);
    EXPECT_EQ(daemon.next_line(), "master_id=MID42\tpath=/srv/a b.mp4\tlink=pvessa://url=u|name=n");
    EXPECT_EQ(send_to(daemon, folder.path(), "/srv/2.mp4"), kReportDelivered);
    EXPECT_EQ(daemon.wait_exit(), 0) << "exits after --count reports";
}

TEST(Wkreportd, AnswersBadlyWhenToldTo) {
    TempFolder folder;
    {
        ReportDaemon refusing({"--code", "103"});
        EXPECT_EQ(send_to(refusing, folder.path(), "/1.mp4"), kReportLogged);
    }
    {
        ReportDaemon short_reply({"--reply-bytes", "14"});
        EXPECT_EQ(send_to(short_reply, folder.path(), "/2.mp4"), kReportLogged);
    }
    ReportDaemon split({"--split-ms", "100"});
    EXPECT_EQ(send_to(split, folder.path(), "/3.mp4"), kReportDelivered);
    PublishReporter reader({"127.0.0.1", 1}, folder.path());
    EXPECT_EQ(reader.LoadPendingReports().size(), 2u);
}

TEST(Wkreportd, ClosesOnMalformedInputAndCarriesOn) {
    TempFolder folder;
    ReportDaemon daemon({});
    const platform::UniqueFd client = platform::testing::ConnectLoopback(daemon.port());
    ASSERT_TRUE(client);
    const int fd = client.get();
    const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
    ::send(fd, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
    pollfd entry{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 5000), 1);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "closed without a reply";
    EXPECT_EQ(send_to(daemon, folder.path(), "/ok.mp4"), kReportDelivered);
}

}  // namespace
}  // namespace wharfkeep
