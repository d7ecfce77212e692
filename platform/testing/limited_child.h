#pragma once
// A server run in a child process whose descriptor table is capped, for the tests that fill
// the table and check how the server behaves. Its standard error goes to a temporary file
// the test reads after stopping it.

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace platform::testing {

class ChildUnderDescriptorLimit {
public:
    // Forks. The child caps its descriptors at `limit`, runs `start` (the port it listens
    // on, 0 when it did not start) and waits to be killed. The parent waits for the port;
    // a child that dies first leaves port() at 0.
    ChildUnderDescriptorLimit(rlim_t limit, const std::function<std::uint16_t()>& start) {
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0) {
            return;
        }
        UniqueFd port_reader(pipe_ends[0]);
        UniqueFd port_writer(pipe_ends[1]);
        UniqueFd log(::mkstemp(log_path_.data()));
        if (!log) {
            log_path_.clear();
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(log.get(), STDERR_FILENO);
            const rlimit cap{limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &cap);
            const std::uint16_t bound = start();
            (void)!::write(port_writer.get(), &bound, sizeof bound);
            for (;;) {
                ::pause();
            }
        }
        // Only the child holds the writing end now, so its death ends the read.
        port_writer.reset();
        if (pid_ > 0 &&
            ::read(port_reader.get(), &port_, sizeof port_) != static_cast<ssize_t>(sizeof port_)) {
            port_ = 0;
        }
    }
    ~ChildUnderDescriptorLimit() {
        Stop();
        if (!log_path_.empty()) {
            ::unlink(log_path_.c_str());
        }
    }
    ChildUnderDescriptorLimit(const ChildUnderDescriptorLimit&) = delete;
    ChildUnderDescriptorLimit& operator=(const ChildUnderDescriptorLimit&) = delete;

    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_; }

    std::size_t OpenDescriptors() const {
        std::size_t open = 0;
        std::error_code error;
        for (auto entry = std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(pid_) + "/fd", error);
             !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
            ++open;
        }
        return open;
    }

    // Kills the child and counts the lines of its standard error that contain `text`.
    int StopAndCountLines(std::string_view text) {
        Stop();
        std::ifstream said(log_path_);
        int lines = 0;
        for (std::string line; std::getline(said, line);) {
            lines += line.find(text) != std::string::npos ? 1 : 0;
        }
        return lines;
    }

private:
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string log_path_ = "/tmp/wharfkeep-child-stderr-XXXXXX";
};

}  // namespace platform::testing
