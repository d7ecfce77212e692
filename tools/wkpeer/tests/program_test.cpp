// The wkpeer program itself against a running upload server: exit status and output file.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

#include "end_to_end_fixture.h"

extern char** environ;

namespace wkpeer::end_to_end {
namespace {

class WkpeerProgram : public EndToEnd {
protected:
    int run(const std::vector<std::string>& args) {
        const char* bin = std::getenv("WK_BIN_DIR");
        const std::string program = (bin ? fs::path(bin) : fs::path(".")) / "wkpeer";
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot run " << program;
            return -1;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }
};

TEST_F(WkpeerProgram, GetWritesTheFileAndFailsLoudlyOnRefusalOrShortData) {
    const std::uint64_t size = 20 * page + 5;
    const std::string gcid = publish("movie.mp4", size, 9);
    start();
    const std::string out = (home_ / "got").string();
    std::vector<std::future<int>> runs;
    for (int i = 0; i < 3; ++i) {
        runs.push_back(std::async(std::launch::async, [&, i] {
            return run(
                {"get", target(), gcid, std::to_string(size), "-o", out + std::to_string(i)});
        }));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(runs[i].get(), 0);
        EXPECT_TRUE(read_file(out + std::to_string(i)) == read_file(home_ / "movie.mp4"));
    }
    EXPECT_NE(run({"get", target(), gcid, std::to_string(size + 1), "-o", out}), 0);
    EXPECT_NE(run({"get", target(), std::string(40, 'F'), std::to_string(size), "-o", out}), 0);
    EXPECT_NE(run({"get", target(), "not-a-gcid", "10", "-o", out}), 0);
    // The file shrinks while the server holds it open: the download comes up short.
    const std::string shrinking = publish("shrinking.mp4", size, 10);
    raw_peer holder(port_);
    ASSERT_TRUE(holder.handshake(shrinking, size, "holder"));
    ASSERT_EQ(::truncate((home_ / "shrinking.mp4").c_str(), 3 * page), 0);
    EXPECT_NE(run({"get", target(), shrinking, std::to_string(size), "-o", out}), 0);
}

}  // namespace
}  // namespace wkpeer::end_to_end
