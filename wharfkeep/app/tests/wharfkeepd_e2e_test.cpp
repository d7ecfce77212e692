// End to end: wharfkeepd with the real servers, publish engine and restructuring library,
// driven like an operator would, checked with the peer and list clients, on media made by
// ffmpeg in a temporary application-data folder.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback.h"
#include "platform/free_port.h"
#include "small_file_system.h"
#include "socket_reading.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(line);
    std::string part;
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

fs::path BinDir() {
    const char* dir = std::getenv("WK_BIN_DIR");
    return dir ? fs::path(dir) : fs::path();
}

fs::path LibDir() {
    const char* dir = std::getenv("WK_LIB_DIR");
    return dir ? fs::path(dir) : fs::path();
}

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Why `config VP_Port 70000` is refused, offline and by a running daemon alike.
constexpr const char* kPortRefusal = "invalid value \"70000\" for VP_Port: a port number 0..65535";

struct Result {
    int exit_code = -1;
    std::string output;  // standard output and standard error together
};

// Starts `argv` with the environment of the test plus `env`, output into `output_file`.
// In a child process: runs argv[0] with `argv` and `env` added to the environment; exits
// with 127 when it cannot.
[[noreturn]] void ExecWith(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env) {
    for (const auto& [key, value] : env) {
        ::setenv(key.c_str(), value.c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const fs::path& output_file) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
        ExecWith(argv, env);
    }
    return pid;
}

// A TCP connection to 127.0.0.1:port, or -1.
int ConnectLocal(unsigned port) {
    return platform::testing::ConnectLoopback(static_cast<std::uint16_t>(port)).release();
}

// True when the other side closed `fd` within `timeout`.
bool ClosedByPeer(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&entry, 1, 50) > 0) {
            char byte = 0;
            ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                return true;
            }
        }
    }
    return false;
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class WharfkeepdEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> missing;
        for (const char* program : {"wharfkeepd", "wkpeer", "wkquery"}) {
            if (!fs::exists(BinDir() / program)) {
                missing.push_back((BinDir() / program).string());
            }
        }
        for (const char* library : {"libMoovwright.so", "libpeerfeed.so", "libcatalogd.so"}) {
            if (!fs::exists(LibDir() / library)) {
                missing.push_back((LibDir() / library).string());
            }
        }
        if (!OnPath("ffmpeg")) {
            missing.push_back("ffmpeg");
        }
        if (!missing.empty()) {
            std::string list;
            for (const std::string& item : missing) {
                list += " " + item;
            }
            GTEST_SKIP() << "end-to-end test needs" << list;
        }
        std::string pattern = (fs::temp_directory_path() / "wk-e2e-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        root_ = ::mkdtemp(buffer.data());
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "desktop");
        fs::create_directories(root_ / "media");
        env_ = {{"WHARFKEEP_HOME", (root_ / "home").string()},
                {"WHARFKEEP_DESKTOP", (root_ / "desktop").string()}};
        peer_port_ = platform::free_tcp_port();
        list_port_ = platform::free_tcp_port();
        ASSERT_EQ(Wharfkeepd({"config", "VP_Port", std::to_string(peer_port_)}).exit_code, 0);
        ASSERT_EQ(Wharfkeepd({"config", "STS_Port", std::to_string(list_port_)}).exit_code, 0);
        ASSERT_EQ(Wharfkeepd({"config", "AccessIP", "127.0.0.1"}).exit_code, 0);
    }

    void TearDown() override {
        if (serve_pid_ > 0) {
            StopServe();
        }
        if (!root_.empty()) {
            std::error_code ignored;
            fs::remove_all(root_, ignored);
        }
    }

    fs::path Media() const { return root_ / "media"; }

    Result Run(std::vector<std::string> argv) {
        fs::path output = root_ / ("run-" + std::to_string(runs_++) + ".txt");
        pid_t pid = Spawn(argv, env_, output);
        Result result;
        result.exit_code = WaitExit(pid);
        result.output = ReadFile(output);
        return result;
    }

    Result Wharfkeepd(std::vector<std::string> args) {
        args.insert(args.begin(), (BinDir() / "wharfkeepd").string());
        return Run(args);
    }

    // A short H.264 + AAC file (movie box last, so it needs restructuring).
    void MakeClip(const fs::path& path, int seconds = 2, const std::string& size = "160x120") {
        fs::create_directories(path.parent_path());
        std::string command =
            "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=" + std::to_string(seconds) +
            ":size=" + size +
            ":rate=25 -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
            " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac "
            "-shortest '" +
            path.string() + "' </dev/null >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // A video-only file of `seconds` one-second copies of 7 MB of lossless noise, made in
    // about a second: one second is encoded, then repeated without encoding.
    void MakeLargeClip(const fs::path& path, int seconds) {
        const fs::path second = root_ / "one-second.mp4";
        const std::string encode =
            "ffmpeg -loglevel error -y -f lavfi "
            "-i testsrc=duration=1:size=640x360:rate=25,noise=alls=60:allf=t "
            "-c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -g 25 '" +
            second.string() + "' </dev/null >/dev/null 2>&1";
        ASSERT_EQ(std::system(encode.c_str()), 0) << encode;
        fs::create_directories(path.parent_path());
        const std::string repeat = "ffmpeg -loglevel error -y -stream_loop " +
                                   std::to_string(seconds - 1) + " -i '" + second.string() +
                                   "' -c copy '" + path.string() + "' </dev/null >/dev/null 2>&1";
        ASSERT_EQ(std::system(repeat.c_str()), 0) << repeat;
        fs::remove(second);
    }

    // ffmpeg's per-frame digests of every stream: equal for files with the same frames.
    std::string FrameDigests(const fs::path& path) {
        fs::path out = root_ / ("frames-" + std::to_string(runs_++) + ".txt");
        std::string command = "ffmpeg -loglevel error -i '" + path.string() +
                              "' -map 0 -c copy -f framemd5 '" + out.string() +
                              "' </dev/null >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::string digests;
        for (const std::string& line : Lines(ReadFile(out))) {
            if (!line.empty() && line[0] != '#') {
                digests += line + "\n";
            }
        }
        return digests;
    }

    void StartServe(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{(BinDir() / "wharfkeepd").string(), "serve"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        serve_output_ = root_ / ("serve-" + std::to_string(runs_++) + ".txt");
        serve_pid_ = Spawn(argv, env_, serve_output_);
    }

    // Waits until the serve's output holds `text`.
    bool WaitForServeOutput(const std::string& text, std::chrono::milliseconds timeout = 60s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (ReadFile(serve_output_).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // The exit code of the serve, or -1 (and the serve killed) when it runs past `timeout`.
    int WaitServeExit(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(serve_pid_, &status, WNOHANG) == serve_pid_) {
                serve_pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        ::kill(serve_pid_, SIGKILL);
        WaitExit(serve_pid_);
        serve_pid_ = -1;
        return -1;
    }

    // Runs wharfkeepd, killing it and failing the test when it has not ended within
    // `deadline` (a hang is a fault, not a slow test).
    Result WharfkeepdWithin(std::vector<std::string> args, std::chrono::seconds deadline = 120s) {
        args.insert(args.begin(), (BinDir() / "wharfkeepd").string());
        fs::path output = root_ / ("run-" + std::to_string(runs_++) + ".txt");
        pid_t pid = Spawn(args, env_, output);
        const auto end = std::chrono::steady_clock::now() + deadline;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "wharfkeepd did not end within " << deadline.count() << " s:\n"
                              << ReadFile(output);
                return Result{-1, ReadFile(output)};
            }
            std::this_thread::sleep_for(20ms);
        }
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      ReadFile(output)};
    }

    // Runs wharfkeepd with a pseudo-terminal as its standard input, output and error, and
    // returns what it wrote there; killed and failed like WharfkeepdWithin past `deadline`.
    // The terminal passes the output unchanged (no "\n" made "\r\n").
    Result WharfkeepdOnATerminal(std::vector<std::string> args,
                                 std::chrono::seconds deadline = 120s) {
        args.insert(args.begin(), (BinDir() / "wharfkeepd").string());
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 200;
        int terminal = -1;
        const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
        if (pid < 0) {
            ADD_FAILURE() << "forkpty: " << std::strerror(errno);
            return {};
        }
        if (pid == 0) {
            termios settings{};
            ::tcgetattr(STDOUT_FILENO, &settings);
            settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
            ::tcsetattr(STDOUT_FILENO, TCSANOW, &settings);
            ExecWith(args, env_);
        }
        Result result;
        const auto end = std::chrono::steady_clock::now() + deadline;
        // Read until the program's side is closed (EIO), so that nothing written is lost.
        pollfd entry{terminal, POLLIN, 0};
        for (;;) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ADD_FAILURE() << "wharfkeepd did not end within " << deadline.count() << " s:\n"
                              << result.output;
                break;
            }
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(terminal, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(terminal);
        result.exit_code = WaitExit(pid);
        return result;
    }

    int StopServe() {
        ::kill(serve_pid_, SIGTERM);
        int code = WaitExit(serve_pid_);
        serve_pid_ = -1;
        return code;
    }

    // The rows of `wharfkeepd list`: path -> (State, size, GCID).
    struct Row {
        int state = 0;
        std::uint64_t size = 0;
        std::string cid;
    };
    std::map<std::string, Row> ListRows() {
        std::map<std::string, Row> rows;
        for (const std::string& line : Lines(Wharfkeepd({"list"}).output)) {
            std::vector<std::string> fields = Split(line, '\t');
            // A sixth field is the reason of a failed publication.
            if (fields.size() >= 5 && fields[0] != "dir") {
                rows[fields[4]] = Row{std::stoi(fields[0]), std::stoull(fields[2]), fields[3]};
            }
        }
        return rows;
    }

    std::string PeerAddress() const { return "127.0.0.1:" + std::to_string(peer_port_); }
    std::string ListAddress() const { return "127.0.0.1:" + std::to_string(list_port_); }

    Result PeerGet(const Row& row, const fs::path& output) {
        return Run({(BinDir() / "wkpeer").string(), "get", PeerAddress(), row.cid,
                    std::to_string(row.size), "-o", output.string(), "--stall-timeout", "5000"});
    }

    Result Query(const std::string& gcid) {
        return Run({(BinDir() / "wkquery").string(), ListAddress(), gcid, "--timeout", "5"});
    }

    fs::path root_;
    std::map<std::string, std::string> env_;
    unsigned peer_port_ = 0;
    unsigned list_port_ = 0;
    pid_t serve_pid_ = -1;
    fs::path serve_output_;
    int runs_ = 0;
};

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : bytes) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 15]);
    }
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::uint32_t U32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

std::uint64_t U64(const std::string& bytes, std::size_t at) {
    return U32(bytes, at) | static_cast<std::uint64_t>(U32(bytes, at + 4)) << 32;
}

// The value after "label:" in wkquery's description.
std::string Field(const std::string& description, const std::string& label) {
    for (const std::string& line : Lines(description)) {
        if (line.rfind(label + ":", 0) == 0) {
            std::string value = line.substr(label.size() + 1);
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
    }
    return {};
}

std::string DecodeBase64(const std::string& text) {
    std::string out(text.size(), '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    std::size_t padding = text.size() >= 2 && text.substr(text.size() - 2) == "==" ? 2
                          : !text.empty() && text.back() == '='                    ? 1
                                                                                   : 0;
    out.resize(static_cast<std::size_t>(length) - padding);
    return out;
}

// Without a terminal `publish` writes no progress and one line per file, with the published
// file's size, time and rate.
void ExpectOneLinePerPublishedFile(const std::string& output,
                                   const std::vector<std::string>& files) {
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
    const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    for (const std::string& file : files) {
        const std::regex line("(^|\n)finished " + std::regex_replace(file, special, "\\$&") +
                              " State 1 published, [0-9.]+[KMG]?B in [0-9]+\\.[0-9] s, "
                              "[0-9.]+[KMG]?B/s ");
        EXPECT_TRUE(std::regex_search(output, line)) << file << "\n" << output;
    }
}

TEST_F(WharfkeepdEndToEnd, PublishedFilesAreServedToPeersAndListed) {
    MakeClip(Media() / "one.mp4");
    MakeClip(Media() / "sub" / "two.mp4", 3);
    std::ofstream(Media() / "broken.mp4") << std::string(4096, 'x');
    std::ofstream(Media() / "notes.txt") << "not media";

    Result publish = Wharfkeepd({"publish", Media().string()});
    EXPECT_EQ(publish.exit_code, 1) << publish.output;  // broken.mp4 is not streamable
    EXPECT_NE(publish.output.find("summary: 3 queued, 2 published, 1 not published"),
              std::string::npos)
        << publish.output;
    // The throughput line counts only the published files, by their published size.
    const std::size_t throughput = publish.output.find("throughput: 2 files, ");
    ASSERT_NE(throughput, std::string::npos) << publish.output;
    EXPECT_NE(publish.output.find(" files/s, ", throughput), std::string::npos) << publish.output;
    EXPECT_NE(publish.output.find(" MB/s", throughput), std::string::npos) << publish.output;
    ExpectOneLinePerPublishedFile(
        publish.output, {(Media() / "one.mp4").string(), (Media() / "sub" / "two.mp4").string()});
    std::map<std::string, Row> rows = ListRows();
    ASSERT_EQ(rows.size(), 3u);
    const std::string one = (Media() / "one.mp4").string();
    const std::string two = (Media() / "sub" / "two.mp4").string();
    EXPECT_EQ(rows[one].state, 1);
    EXPECT_EQ(rows[two].state, 1);
    EXPECT_EQ(rows[(Media() / "broken.mp4").string()].state, -2);
    EXPECT_EQ(rows[one].size, fs::file_size(one));

    // Without an instance the counts by state come from the database, in both forms.
    std::vector<std::string> status = Lines(Wharfkeepd({"status"}).output);
    auto has_line = [&](const std::string& start, const std::string& end) {
        return std::any_of(status.begin(), status.end(), [&](const std::string& line) {
            return line.rfind(start, 0) == 0 && line.size() >= end.size() &&
                   line.compare(line.size() - end.size(), end.size(), end) == 0;
        });
    };
    EXPECT_TRUE(has_line("folders: ", ", media files: 3")) << ::testing::PrintToString(status);
    EXPECT_TRUE(has_line("  State 1 ", ": 2")) << ::testing::PrintToString(status);
    EXPECT_TRUE(has_line("  State -2 ", ": 1")) << ::testing::PrintToString(status);
    const nlohmann::json counts =
        nlohmann::json::parse(Wharfkeepd({"status", "--json"}).output)["media_by_state"];
    EXPECT_EQ(counts, (nlohmann::json{{"-2", 1}, {"1", 2}})) << counts.dump();

    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    for (const std::string& path : {one, two}) {
        const Row& row = rows[path];
        ASSERT_EQ(row.cid.size(), 40u);
        fs::path fetched = root_ / "fetched.bin";
        Result get = PeerGet(row, fetched);
        ASSERT_EQ(get.exit_code, 0) << get.output;
        EXPECT_TRUE(ReadFile(fetched) == ReadFile(path)) << path << " differs from the download";

        // The list server answers with the stream-description file written beside it.
        std::string sts = ReadFile(path + ".sts");
        ASSERT_GE(sts.size(), 60u);
        Result query = Query(row.cid);
        ASSERT_EQ(query.exit_code, 0) << query.output;
        EXPECT_EQ(Upper(Field(query.output, "gcid")), Hex(sts.substr(44, 20)));
        EXPECT_EQ(Upper(Field(query.output, "gcid")), row.cid);
        EXPECT_EQ(Upper(Field(query.output, "check digest")), Hex(sts.substr(12, 20)));
        EXPECT_EQ(Field(query.output, "total size"), std::to_string(U64(sts, 32)));
        EXPECT_EQ(Field(query.output, "pieces"), std::to_string(U32(sts, 64)));
    }
    Result urls = Run({(BinDir() / "wkquery").string(), ListAddress(), "--urls"});
    ASSERT_EQ(urls.exit_code, 0) << urls.output;
    std::vector<std::string> lines = Lines(urls.output);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected{rows[one].cid + " " + std::to_string(rows[one].size),
                                      rows[two].cid + " " + std::to_string(rows[two].size)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(StopServe(), 0);
    EXPECT_NE(ReadFile(serve_output_).find("services stopped"), std::string::npos);
}

// On a terminal `publish` rewrites one line in place with the percent and rate of the file,
// then replaces it with the file's outcome, and ends with the throughput. The file is large
// enough (170 MB) to take several of the publisher's quarter-second progress periods.
TEST_F(WharfkeepdEndToEnd, PublishOnATerminalShowsProgressInPlace) {
    const fs::path clip = Media() / "clip.mp4";
    MakeLargeClip(clip, 24);
    Result publish = WharfkeepdOnATerminal({"publish", Media().string()});
    EXPECT_EQ(publish.exit_code, 0) << publish.output;
    const std::regex progress("\r *[0-9]{1,3}%  [0-9.]+[KMG]?B/s  ETA [0-9:-]+  " + clip.string() +
                              "\033\\[K");
    EXPECT_TRUE(std::regex_search(publish.output, progress)) << publish.output;
    EXPECT_NE(publish.output.find("\rfinished " + clip.string() + " State 1 published, "),
              std::string::npos)
        << publish.output;
    const std::regex summary(
        "throughput: 1 files, [0-9.]+ MB in [0-9.]+ s: [0-9.]+ files/s, "
        "[0-9.]+ MB/s\n$");
    EXPECT_TRUE(std::regex_search(publish.output, summary)) << publish.output;
}

TEST_F(WharfkeepdEndToEnd, ExportWritesTheLinkFileWithTheNumberingRule) {
    MakeClip(Media() / "clip.mp4");
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    // Without a file named, the list goes into the current folder, desktop or not.
    const fs::path here = root_ / "work";
    fs::create_directories(here);
    const fs::path previous = fs::current_path();
    fs::current_path(here);  // the child starts in the test's current folder
    Result first = Wharfkeepd({"export"});
    Result second = Wharfkeepd({"export"});
    fs::current_path(previous);
    ASSERT_EQ(first.exit_code, 0) << first.output;
    ASSERT_EQ(second.exit_code, 0) << second.output;
    fs::path plain = here / "视频链接列表.txt";
    fs::path numbered = here / "视频链接列表(1).txt";
    EXPECT_FALSE(fs::exists(root_ / "desktop" / "视频链接列表.txt"));
    ASSERT_TRUE(fs::exists(plain));
    ASSERT_TRUE(fs::exists(numbered));

    std::string text = ReadFile(plain);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    EXPECT_EQ(lines[0], Media().string() + "/");
    EXPECT_EQ(lines[1], "clip.mp4");
    ASSERT_EQ(lines[2].rfind("pvessa://", 0), 0u);
    std::string link = DecodeBase64(lines[2].substr(9));
    EXPECT_EQ(link.rfind("url=", 0), 0u) << link;
    EXPECT_NE(link.find("|name=clip.mp4"), std::string::npos) << link;
    EXPECT_EQ(lines[3], "");
    EXPECT_NE(text.find("\r\n"), std::string::npos);

    fs::path chosen = root_ / "links.txt";
    ASSERT_EQ(Wharfkeepd({"export", Media().string(), "-o", chosen.string()}).exit_code, 0);
    EXPECT_EQ(ReadFile(chosen), text);
    Result piped = Wharfkeepd({"export", "-o", "-"});
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.output, text) << "the list alone on standard output";
    EXPECT_NE(Wharfkeepd({"export", "-o", (root_ / "no" / "such" / "f").string()}).exit_code, 0);
}

TEST_F(WharfkeepdEndToEnd, WithoutADesktopTheListIsExportedIntoTheCurrentFolder) {
    MakeClip(Media() / "clip.mp4");
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    env_.erase("WHARFKEEP_DESKTOP");
    env_["HOME"] = (root_ / "serverhome").string();  // no Desktop folder in it
    env_["XDG_CONFIG_HOME"] = (root_ / "serverhome" / ".config").string();
    fs::create_directories(root_ / "serverhome");
    const fs::path here = root_ / "work";
    fs::create_directories(here);
    const fs::path previous = fs::current_path();
    fs::current_path(here);  // the child starts in the test's current folder
    Result exported = Wharfkeepd({"export"});
    fs::current_path(previous);
    EXPECT_EQ(exported.exit_code, 0) << exported.output;
    EXPECT_TRUE(fs::exists(here / "视频链接列表.txt")) << exported.output;
    EXPECT_FALSE(fs::exists(root_ / "serverhome" / "Desktop")) << "nothing made in the home";
}

// Each command that changes or reads the stored state answers the same through a running
// instance as without one: the same words on the same stream and the same exit code.
TEST_F(WharfkeepdEndToEnd, CommandsAnswerTheSameWithAndWithoutAnInstance) {
    MakeClip(Media() / "a.mp4");
    MakeClip(Media() / "b.mp4", 1);
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    const std::string clip = (Media() / "a.mp4").string();
    const std::vector<std::vector<std::string>> script{
        {"config", "VP_ConnLimit", "150"},
        {"config", "WatchSettleSeconds", "3"},
        {"config", "VP_Port", "70000"},
        {"config", "NoSuchKey"},
        {"config", "VP_ConnLimit"},
        {"config"},
        {"export", Media().string(), "-o", "-"},
        {"rescan", Media().string()},
        {"watch-folder", Media().string(), "on"},
        {"watch-folder", Media().string(), "off"},
        {"rescan", (root_ / "not-added").string()},
        {"remove", (root_ / "not-added").string()},
        {"withdraw", (Media() / "none.mp4").string()},
        {"withdraw", std::string(40, '0')},
        {"list", (root_ / "not-added").string()},
        {"list", "--json", (root_ / "not-added").string()},
        {"list", clip},
        {"list"},
        {"list", "--json"},
        {"ipfilter"},
        {"status"},
        {"withdraw", clip},
    };
    auto run_script = [&] {
        std::vector<Result> results;
        for (const std::vector<std::string>& command : script) {
            results.push_back(Wharfkeepd(command));
        }
        return results;
    };
    const std::vector<Result> alone = run_script();
    EXPECT_EQ(alone.back().output, "withdrew " + clip + "\n");
    const std::size_t unknown_list = script.size() - 8;
    for (std::size_t i : {unknown_list, unknown_list + 1}) {
        EXPECT_EQ(alone[i].exit_code, 4);
        EXPECT_EQ(alone[i].output,
                  "wharfkeepd: not in the library: " + (root_ / "not-added").string() + "\n");
    }
    const std::vector<std::string> one_file = Lines(alone[unknown_list + 2].output);
    ASSERT_EQ(one_file.size(), 1u) << alone[unknown_list + 2].output;
    EXPECT_NE(one_file[0].find("\t" + clip), std::string::npos);
    EXPECT_EQ(alone[1].output, "WatchSettleSeconds=3 (stored; applies at the next start)\n");
    ASSERT_EQ(Wharfkeepd({"publish", clip}).exit_code, 0);  // as it was before the script

    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    const std::vector<Result> served = run_script();
    // Status differs only in what the running services and the clock say.
    const auto without_live_figures = [](const std::string& output) {
        std::string kept;
        for (const std::string& line : Lines(output)) {
            static const std::vector<std::string> kLive{
                "instance: ", "services: ", "address: ", "sending: ",
                "peers: ",    "cache: ",    "disks: ",   "uptime: "};
            if (std::none_of(kLive.begin(), kLive.end(),
                             [&](const std::string& live) { return line.rfind(live, 0) == 0; })) {
                kept += line + "\n";
            }
        }
        return kept;
    };
    const std::size_t status = script.size() - 2;
    EXPECT_NE(alone[status].output.find("instance: not running"), std::string::npos);
    EXPECT_NE(served[status].output.find("services: running"), std::string::npos);
    // The script's last withdrawal is published again in between: it has a new date.
    const std::regex publish_date("\"publish_date\":\"[^\"]*\"");
    const auto comparable = [&](std::size_t i, const std::string& output) {
        return i == status ? without_live_figures(output)
                           : std::regex_replace(output, publish_date, "");
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        const std::string command = ::testing::PrintToString(script[i]);
        EXPECT_EQ(served[i].exit_code, alone[i].exit_code) << command;
        EXPECT_EQ(comparable(i, served[i].output), comparable(i, alone[i].output)) << command;
    }
    EXPECT_EQ(Lines(alone[5].output).size(), 21u) << "config lists every setting";
    EXPECT_EQ(StopServe(), 0);
}

TEST_F(WharfkeepdEndToEnd, WithdrawnFileIsRefusedByBothServers) {
    MakeClip(Media() / "clip.mp4");
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    const std::string clip = (Media() / "clip.mp4").string();
    Row row = ListRows()[clip];
    ASSERT_EQ(row.state, 1);

    // Withdrawn through the running serve: its servers refuse the file at once.
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    Result second_serve = Wharfkeepd({"serve"});
    EXPECT_EQ(second_serve.exit_code, 3) << second_serve.output;
    ASSERT_EQ(PeerGet(row, root_ / "before.bin").exit_code, 0);
    Result withdraw = Wharfkeepd({"withdraw", clip});
    ASSERT_EQ(withdraw.exit_code, 0) << withdraw.output;
    EXPECT_FALSE(fs::exists(clip + ".sts"));
    EXPECT_EQ(ListRows()[clip].state, 0);
    Result get = PeerGet(row, root_ / "fetched.bin");
    EXPECT_NE(get.exit_code, 0);
    EXPECT_NE(get.output.find("HANDSHAKERESP result 102"), std::string::npos) << get.output;
    Result query = Query(row.cid);
    EXPECT_EQ(query.exit_code, 1) << query.output;
    EXPECT_NE(query.output.find("not found"), std::string::npos);
}

TEST_F(WharfkeepdEndToEnd, EnabledEmptyAllowListRefusesEveryPeer) {
    MakeClip(Media() / "clip.mp4");
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    Row row = ListRows()[(Media() / "clip.mp4").string()];
    Result enable = Wharfkeepd({"ipfilter", "enable"});
    ASSERT_EQ(enable.exit_code, 0) << enable.output;
    EXPECT_NE(enable.output.find("enabled: yes"), std::string::npos);
    EXPECT_NE(enable.output.find("type: allow"), std::string::npos);
    EXPECT_NE(enable.output.find("warning: the allow list has no ranges"), std::string::npos)
        << enable.output;

    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    EXPECT_NE(PeerGet(row, root_ / "fetched.bin").exit_code, 0);
    EXPECT_EQ(Query(row.cid).exit_code, 2);
    ASSERT_EQ(StopServe(), 0);

    // A range holding the loopback address lets the peer in again.
    ASSERT_EQ(Wharfkeepd({"ipfilter", "add", "127.0.0.1"}).exit_code, 0);
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    Result get = PeerGet(row, root_ / "fetched.bin");
    EXPECT_EQ(get.exit_code, 0) << get.output;
}

// Ranges typed as CIDR or first-last, a block list imported with its report, the counts of
// both lists, and an export that imports again as the same rows.
TEST_F(WharfkeepdEndToEnd, IpFilterTakesCidrAndBlockListsAndSaysWhichListIsActive) {
    Result add = Wharfkeepd({"ipfilter", "add", "10.1.2.3/8"});
    ASSERT_EQ(add.exit_code, 0) << add.output;
    EXPECT_NE(add.output.find("host bits set: taken as 10.0.0.0/8"), std::string::npos);
    EXPECT_NE(add.output.find("0\t10.0.0.0 ~ 10.255.255.255"), std::string::npos);
    EXPECT_EQ(Wharfkeepd({"ipfilter", "add", "10.0.0.0/33"}).exit_code, 2);

    // Switching the type shows that the allow list keeps its range.
    Result type = Wharfkeepd({"ipfilter", "type", "deny"});
    EXPECT_NE(type.output.find("allow list: 1 ranges, deny list: 0 ranges (active)"),
              std::string::npos)
        << type.output;

    const fs::path list = root_ / "level1.dat";
    std::ofstream(list) << "# a list\n"
                           "Some org:1.2.3.0-1.2.3.255\n"
                           "001.002.004.000 - 001.002.004.255 , 000 , neighbour\n"
                           "not a range\n"
                           "8.8.8.8\n";
    Result import = Wharfkeepd({"ipfilter", "import", list.string()});
    ASSERT_EQ(import.exit_code, 0) << import.output;
    EXPECT_NE(import.output.find("5 lines: 3 taken (1 merged), 1 refused, 1 blank or comment"),
              std::string::npos)
        << import.output;
    EXPECT_NE(import.output.find("line 4: refused: not an IPv4 address"), std::string::npos);
    EXPECT_NE(import.output.find("deny list: 2 ranges (active)"), std::string::npos);

    Result exported = Wharfkeepd({"ipfilter", "export"});
    EXPECT_EQ(exported.output, "1.2.3.0-1.2.4.255\n8.8.8.8\n");
    EXPECT_EQ(Wharfkeepd({"ipfilter", "import", root_.string()}).exit_code, 4);
    Result status = Wharfkeepd({"status"});
    EXPECT_NE(status.output.find("IP filter: off; allow list: 1 ranges, deny list: 2 ranges"),
              std::string::npos)
        << status.output;
}

// The alternative limit's settings, and the mode they give shown by status.
TEST_F(WharfkeepdEndToEnd, UploadModeFollowsTheSwitchAndThePause) {
    ASSERT_EQ(Wharfkeepd({"config", "VP_UploadSpeedLimit", "12800"}).exit_code, 0);
    ASSERT_EQ(Wharfkeepd({"config", "VP_AltUploadSpeedLimit", "1280"}).exit_code, 0);
    EXPECT_NE(Wharfkeepd({"status"}).output.find("upload: normal, 12800 B/s"), std::string::npos);
    ASSERT_EQ(Wharfkeepd({"config", "VP_AltLimitManual", "1"}).exit_code, 0);
    EXPECT_NE(Wharfkeepd({"status"}).output.find("upload: alternative, 1280 B/s"),
              std::string::npos);
    ASSERT_EQ(Wharfkeepd({"config", "VP_UploadPaused", "1"}).exit_code, 0);
    EXPECT_NE(Wharfkeepd({"status"}).output.find("upload: paused"), std::string::npos);
    Result days = Wharfkeepd({"config", "VP_AltScheduleDays", "weekdays"});
    EXPECT_EQ(days.output, "VP_AltScheduleDays=mon,tue,wed,thu,fri\n");
    EXPECT_EQ(Wharfkeepd({"config", "VP_AltScheduleTo", "7pm"}).exit_code, 2);
    Result port = Wharfkeepd({"config", "VP_Port", "70000"});
    EXPECT_EQ(port.exit_code, 2);
    EXPECT_NE(port.output.find(kPortRefusal), std::string::npos) << port.output;
}

TEST_F(WharfkeepdEndToEnd, FilesLeftQueuedAtAStopArePublishedAfterTheNextStart) {
    MakeClip(Media() / "clip0.mp4", 20, "320x240");
    for (int i = 1; i < 5; ++i) {
        fs::copy_file(Media() / "clip0.mp4", Media() / ("clip" + std::to_string(i) + ".mp4"));
    }
    StartServe({"--add", Media().string()});
    ASSERT_TRUE(WaitForServeOutput("started " + Media().string())) << ReadFile(serve_output_);
    ASSERT_EQ(StopServe(), 0);
    std::map<std::string, Row> rows = ListRows();
    ASSERT_EQ(rows.size(), 5u);
    int unfinished = 0;
    for (const auto& [path, row] : rows) {
        EXPECT_TRUE(row.state == 1 || row.state == 2 || row.state == 3) << path << " " << row.state;
        unfinished += row.state != 1;
    }
    EXPECT_GT(unfinished, 0) << "every file was published before the stop";

    StartServe();
    ASSERT_TRUE(WaitForServeOutput("resuming unfinished publishing")) << ReadFile(serve_output_);
    auto deadline = std::chrono::steady_clock::now() + 120s;
    bool all_published = false;
    while (!all_published && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
        all_published = true;
        for (const auto& [path, row] : ListRows()) {
            all_published = all_published && row.state == 1;
        }
    }
    EXPECT_TRUE(all_published) << ReadFile(serve_output_);
}

TEST_F(WharfkeepdEndToEnd, ServeAddPublishesEachFileOnceAndNeverCountsPastTheFiles) {
    for (int i = 0; i < 3; ++i) {
        MakeClip(Media() / ("clip" + std::to_string(i) + ".mp4"));
    }
    StartServe({"--add", Media().string()});
    const std::string folder_line = "dir\t" + Media().string() + "/\t";
    auto deadline = std::chrono::steady_clock::now() + 120s;
    bool all_published = false;
    while (!all_published && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
        for (const std::string& line : Lines(Wharfkeepd({"list"}).output)) {
            if (line.rfind(folder_line, 0) == 0) {
                std::vector<std::string> counts = Split(line.substr(folder_line.size()), '/');
                ASSERT_EQ(counts.size(), 2u) << line;
                ASSERT_LE(std::stoi(counts[0]), std::stoi(counts[1])) << line;
                all_published = counts[0] == "3" && counts[1] == "3";
            }
        }
    }
    ASSERT_TRUE(all_published) << ReadFile(serve_output_);
    ASSERT_EQ(StopServe(), 0);
    std::string output = ReadFile(serve_output_);
    for (int i = 0; i < 3; ++i) {
        std::string started =
            "started " + (Media() / ("clip" + std::to_string(i) + ".mp4")).string();
        std::size_t first = output.find(started);
        ASSERT_NE(first, std::string::npos) << output;
        EXPECT_EQ(output.find(started, first + 1), std::string::npos) << output;
    }
}

TEST_F(WharfkeepdEndToEnd, SigtermDuringRestructuringKeepsTheSourceAndTheRowResumable) {
    fs::path big = Media() / "big.mp4";
    MakeClip(big, 30, "640x360");
    fs::path original = root_ / "original.mp4";
    fs::copy_file(big, original);
    StartServe({"--add", Media().string()});
    ASSERT_TRUE(WaitForServeOutput("started " + big.string())) << ReadFile(serve_output_);
    ASSERT_EQ(StopServe(), 0);
    Row row = ListRows()[big.string()];
    if (row.state == 1) {
        GTEST_SKIP() << "the publication finished before the stop arrived";
    }
    EXPECT_EQ(row.state, 2);
    // The source is either untouched, or was already replaced as a whole by its streaming
    // layout when the stop came: then every frame is still the same.
    if (ReadFile(big) != ReadFile(original)) {
        EXPECT_EQ(FrameDigests(big), FrameDigests(original));
    }
    std::vector<std::string> leftovers;
    for (const auto& entry : fs::directory_iterator(Media())) {
        if (entry.path() != big) {
            leftovers.push_back(entry.path().filename().string());
        }
    }
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();

    StartServe();
    ASSERT_TRUE(WaitForServeOutput("published " + big.string() + " (")) << ReadFile(serve_output_);
}

TEST_F(WharfkeepdEndToEnd, BusyTransferPortEndsServeNamingThePortAndTheSetting) {
    int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(peer_port_));
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    StartServe();
    const int code = WaitServeExit(30s);
    ::close(busy);
    const std::string output = ReadFile(serve_output_);
    EXPECT_EQ(code, 5) << output;
    EXPECT_NE(output.find("transfer port " + std::to_string(peer_port_) + " (setting VP_Port)"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("wharfkeepd config VP_Port PORT"), std::string::npos) << output;
}

TEST_F(WharfkeepdEndToEnd, SighupRefusesABadFileThenAppliesAGoodOneWithPeersConnected) {
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    const int idle_peer = ConnectLocal(peer_port_);
    ASSERT_GE(idle_peer, 0);
    // A header whose body length is impossible: the session ends with a protocol error,
    // which is logged at debug level only.
    const std::string bad_header(21, '\xFF');
    auto send_bad_header = [&] {
        int fd = ConnectLocal(peer_port_);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::send(fd, bad_header.data(), bad_header.size(), 0),
                  static_cast<ssize_t>(bad_header.size()));
        EXPECT_TRUE(ClosedByPeer(fd, 10s));
        ::close(fd);
    };
    send_bad_header();
    const std::string debug_line = "session with 127.0.0.1 closed";
    EXPECT_EQ(ReadFile(serve_output_).find(debug_line), std::string::npos) << "info level";

    // A file with a bad value is not applied at all: the level stays info.
    std::ofstream(root_ / "home" / "Wharfkeep.ini")
        << "[log]\nlevel = debug\n[vp]\npage_size = x\n";
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("the running configuration stays")) << ReadFile(serve_output_);
    EXPECT_NE(ReadFile(serve_output_).find("Wharfkeep.ini:4: [vp] page_size = x"),
              std::string::npos);
    send_bad_header();
    EXPECT_EQ(ReadFile(serve_output_).find(debug_line), std::string::npos) << "reloaded anyway";

    std::ofstream(root_ / "home" / "Wharfkeep.ini") << "[log]\nlevel = debug\n";
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("configuration reloaded")) << ReadFile(serve_output_);
    send_bad_header();
    EXPECT_TRUE(WaitForServeOutput(debug_line, 10s)) << ReadFile(serve_output_);

    EXPECT_FALSE(ClosedByPeer(idle_peer, 200ms)) << "the reload dropped a peer";
    ::close(idle_peer);
    EXPECT_EQ(StopServe(), 0);
    EXPECT_FALSE(fs::exists(root_ / "home" / "Wharfkeep.sqlite-wal"))
        << "the database was not closed cleanly";
}

// A stand-in publish-report endpoint on 127.0.0.1: takes one report within the deadline,
// keeps its bytes and answers it as delivered (reply code 102).
class OneReportEndpoint {
public:
    OneReportEndpoint() {
        std::uint16_t port = 0;
        listener_ = platform::testing::ListenLoopback(port, 4);
        port_ = port;
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneReportEndpoint() { Join(); }
    unsigned port() const { return port_; }
    // Waits for the endpoint to finish (deadline included) and returns the report's bytes.
    std::string Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return received_;
    }

private:
    void Serve() {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        pollfd entry{listener_.get(), POLLIN, 0};
        if (::poll(&entry, 1, 120000) <= 0) {
            return;
        }
        const int fd = ::accept(listener_.get(), nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        // Three big-endian words, the third the length of the rest.
        auto complete = [this] {
            if (received_.size() < 12) {
                return false;
            }
            const auto* bytes = reinterpret_cast<const unsigned char*>(received_.data());
            const std::size_t rest = std::size_t{bytes[8]} << 24 | std::size_t{bytes[9]} << 16 |
                                     std::size_t{bytes[10]} << 8 | bytes[11];
            return received_.size() >= 12 + rest;
        };
        pollfd client{fd, POLLIN, 0};
        while (!complete() && std::chrono::steady_clock::now() < deadline &&
               ::poll(&client, 1, 1000) >= 0) {
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0) {
                break;
            }
            if (got > 0) {
                received_.append(buffer, static_cast<std::size_t>(got));
            }
        }
        const unsigned char reply[15] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 102, 0};
        (void)!::send(fd, reply, sizeof reply, MSG_NOSIGNAL);
        ::close(fd);
    }

    platform::UniqueFd listener_;
    unsigned port_ = 0;
    std::string received_;
    std::thread thread_;
};

// SIGHUP re-reads Wharfkeep.ini while a peer stays connected: the next publication is
// reported to the endpoint named there, and a cache key that cannot change live is named.
TEST_F(WharfkeepdEndToEnd, SighupTakesANewReportEndpointAndCacheTuningWithPeersConnected) {
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    const int idle_peer = ConnectLocal(peer_port_);
    ASSERT_GE(idle_peer, 0);

    OneReportEndpoint endpoint;
    std::ofstream(root_ / "home" / "Wharfkeep.ini")
        << "[report]\npublish_host = 127.0.0.1\npublish_port = " << endpoint.port()
        << "\n[vp]\ndisk_read_buffer_size = 1048576\npage_size = 131072\n";
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(
        WaitForServeOutput("publish reports go to 127.0.0.1:" + std::to_string(endpoint.port())))
        << ReadFile(serve_output_);
    EXPECT_TRUE(WaitForServeOutput("[vp] page_size changed; it takes effect at the next start"))
        << ReadFile(serve_output_);

    MakeClip(Media() / "reported.mp4");
    const Result publish = WharfkeepdWithin({"publish", Media().string()});
    EXPECT_EQ(publish.exit_code, 0) << publish.output;
    const std::string report = endpoint.Join();
    EXPECT_NE(report.find((Media() / "reported.mp4").string()), std::string::npos)
        << "the report reached the endpoint named after the start (" << report.size() << " bytes)\n"
        << ReadFile(serve_output_);

    EXPECT_FALSE(ClosedByPeer(idle_peer, 200ms)) << "the reload dropped a peer";
    ::close(idle_peer);
    EXPECT_EQ(StopServe(), 0);
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A FIFO, a link loop, a dangling link and a truncated file in a published folder: each is
// reported once with its reason, nothing hangs, the good file is published.
TEST_F(WharfkeepdEndToEnd, HostileEntriesAreSkippedOrRefusedWithTheirReason) {
    MakeClip(Media() / "good.mp4");
    ASSERT_EQ(::mkfifo((Media() / "y.mp4").c_str(), 0644), 0);
    fs::create_symlink("loop.mp4", Media() / "loop.mp4");
    fs::create_symlink(root_ / "gone.mp4", Media() / "dangling.mp4");
    std::string truncated = ReadFile(Media() / "good.mp4");
    truncated.resize(truncated.size() * 2 / 3);
    std::ofstream(Media() / "truncated.mp4", std::ios::binary) << truncated;

    const Result publish = WharfkeepdWithin({"publish", Media().string()});
    EXPECT_NE(publish.exit_code, 0) << publish.output;
    for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
             {"y.mp4", "not a regular file (a FIFO)"},
             {"loop.mp4", "symbolic link loop"},
             {"dangling.mp4", "dangling symbolic link"}}) {
        EXPECT_EQ(Occurrences(publish.output,
                              "skipped " + (Media() / name).string() + ": " + reason + "\n"),
                  1u)
            << publish.output;
    }
    EXPECT_NE(publish.output.find((Media() / "truncated.mp4").string() +
                                  " State -2 not streamable: "
                                  "truncated: sample data past the end of the file"),
              std::string::npos)
        << publish.output;
    std::map<std::string, Row> rows = ListRows();
    EXPECT_EQ(rows[(Media() / "good.mp4").string()].state, 1);
    EXPECT_EQ(rows.count((Media() / "y.mp4").string()), 0u);
}

// After a kill -9 in the middle of a publication, the next publish finishes every file and
// leaves no temporary file behind.
TEST_F(WharfkeepdEndToEnd, TheNextPublishFinishesWhatAKilledOneLeft) {
    MakeClip(Media() / "clip0.mp4", 10, "320x240");
    for (int i = 1; i < 4; ++i) {
        fs::copy_file(Media() / "clip0.mp4", Media() / ("clip" + std::to_string(i) + ".mp4"));
    }
    fs::path output = root_ / "killed.txt";
    pid_t pid =
        Spawn({(BinDir() / "wharfkeepd").string(), "publish", Media().string()}, env_, output);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (ReadFile(output).find("started ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid, SIGKILL);
    WaitExit(pid);

    const Result next = WharfkeepdWithin({"publish", Media().string()});
    EXPECT_EQ(next.exit_code, 0) << next.output;
    for (const auto& [path, row] : ListRows()) {
        EXPECT_EQ(row.state, 1) << path << "\n" << next.output;
    }
    for (const auto& entry : fs::directory_iterator(Media())) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
}

// A database that cannot be used stops every command with a reason naming it, and stays as
// it was.
TEST_F(WharfkeepdEndToEnd, ADamagedDatabaseStopsEveryCommand) {
    const fs::path database = root_ / "home" / "Wharfkeep.sqlite";
    const std::string garbage = "not a database, but the operator's notes\n";
    fs::remove(database.string() + "-wal");
    fs::remove(database.string() + "-shm");
    std::ofstream(database, std::ios::binary | std::ios::trunc) << garbage;
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"status"},
                                               {"list"},
                                               {"publish", Media().string()},
                                               {"serve"},
                                               {"config", "VP_Port", "9000"}}) {
        const Result result = WharfkeepdWithin(command, 30s);
        EXPECT_NE(result.exit_code, 0) << command[0] << "\n" << result.output;
        EXPECT_NE(result.output.find(database.string()), std::string::npos) << command[0] << "\n"
                                                                            << result.output;
        EXPECT_EQ(ReadFile(database), garbage) << command[0];
    }
}

// A read-only application-data folder is said to be one, not taken for another instance.
TEST_F(WharfkeepdEndToEnd, AReadOnlyApplicationFolderIsNamedAsTheCause) {
    platform::testing::SmallFileSystem small(1024);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    ASSERT_EQ(::mount(nullptr, small.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    env_["WHARFKEEP_HOME"] = small.path().string();
    MakeClip(Media() / "clip.mp4");
    const Result publish = WharfkeepdWithin({"publish", Media().string()}, 30s);
    EXPECT_EQ(publish.exit_code, 6) << "its own code, not 3 of another instance";
    EXPECT_NE(publish.output.find("is not writable"), std::string::npos) << publish.output;
    EXPECT_EQ(publish.output.find("another instance"), std::string::npos) << publish.output;
}

// A file whose restructured copy has no room beside it is failed with both figures and
// nothing written; publishing the folder again once room is made publishes it.
TEST_F(WharfkeepdEndToEnd, AFileWithoutRoomForItsCopyIsRetriedOnceRoomIsMade) {
    platform::testing::SmallFileSystem small(2048);
    if (!small.available()) {
        GTEST_SKIP() << small.why();
    }
    const fs::path folder = small.path() / "media";
    const fs::path clip = folder / "clip.mp4";
    MakeClip(clip);
    const fs::path filler = small.path() / "filler";
    std::ofstream(filler) << std::string(std::size_t{1} << 20, 'x');

    const Result refused = WharfkeepdWithin({"publish", folder.string()}, 60s);
    EXPECT_EQ(refused.exit_code, 1) << refused.output;
    EXPECT_NE(refused.output.find("not enough free space: "), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find(" MiB free in " + folder.string()), std::string::npos)
        << refused.output;
    EXPECT_EQ(ListRows()[clip.string()].state, -1);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
        << "nothing beside the refused file";

    fs::remove(filler);
    const Result retried = WharfkeepdWithin({"publish", folder.string()}, 60s);
    EXPECT_EQ(retried.exit_code, 0) << retried.output;
    EXPECT_EQ(ListRows()[clip.string()].state, 1);
}

}  // namespace

// ---- Operating a running serve through its control interface ----

namespace {

using nlohmann::json;

// GET of `target` over plain TCP (HTTP/1.0); the whole answer, headers included.
std::string HttpGet(unsigned port, const std::string& target) {
    const int fd = ConnectLocal(port);
    if (fd < 0) {
        return "";
    }
    std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), 0);
    return platform::testing::ReadUntilClosed(fd, std::chrono::seconds(30));
}

}  // namespace

class OperatedServe : public WharfkeepdEndToEnd {
protected:
    json JsonOf(std::vector<std::string> args) {
        Result result = Wharfkeepd(args);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        json value = json::parse(result.output, nullptr, false);
        EXPECT_FALSE(value.is_discarded()) << result.output;
        return value;
    }
    // Polls `check` every 200 ms until it holds or the time is up.
    bool Eventually(const std::function<bool()>& check, std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (check()) {
                return true;
            }
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
    void PublishAndServe(const fs::path& clip) {
        MakeClip(clip, 6, "640x360");
        ASSERT_EQ(Wharfkeepd({"publish", clip.parent_path().string()}).exit_code, 0);
        StartServe();
        ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    }
};

TEST_F(OperatedServe, UploadLimitChangedWhilePeersDownloadIsFollowed) {
    const fs::path clip = Media() / "clip.mp4";
    PublishAndServe(clip);
    Row row = ListRows()[clip.string()];
    ASSERT_EQ(row.state, 1);
    fs::path load_output = root_ / "load.txt";
    pid_t load = Spawn({(BinDir() / "wkpeer").string(), "load", PeerAddress(), row.cid,
                        std::to_string(row.size), "--peers", "4", "--seconds", "20"},
                       env_, load_output);

    // The downloading peers show in status and peers, and in the same JSON as the interface.
    ASSERT_TRUE(Eventually(
        [&] {
            return JsonOf({"status", "--json"}).value("peers", 0) >= 4;
        },
        10s));
    json peers = JsonOf({"peers", "--json"});
    ASSERT_GE(peers.size(), 4u);
    EXPECT_EQ(peers[0].value("address", std::string()), "127.0.0.1");
    EXPECT_EQ(peers[0].value("gcid", std::string()), row.cid);
    EXPECT_EQ(peers[0].value("name", std::string()), "clip.mp4");
    for (std::size_t i = 1; i < peers.size(); ++i) {
        EXPECT_LE(peers[i]["speed"].get<std::uint64_t>(),
                  peers[i - 1]["speed"].get<std::uint64_t>());
    }
    ASSERT_TRUE(Eventually(
        [&] {
            return JsonOf({"status", "--json"}).value("upload_speed", 0ull) > 1024 * 1024;
        },
        10s));

    // A value the settings page would refuse changes nothing; the running daemon gives the
    // reason an offline change gives.
    Result refused = Wharfkeepd({"config", "VP_Port", "70000"});
    EXPECT_EQ(refused.exit_code, 2) << refused.output;
    EXPECT_NE(refused.output.find(kPortRefusal), std::string::npos) << refused.output;
    const json settings = JsonOf({"config", "--json"});
    EXPECT_EQ(settings["VP_Port"].value("value", std::string()), std::to_string(peer_port_));
    EXPECT_EQ(settings.size(), 21u) << "every setting is listed";

    constexpr std::uint64_t kLimit = 256 * 1024;
    Result limit = Wharfkeepd({"config", "VP_UploadSpeedLimit", std::to_string(kLimit)});
    ASSERT_EQ(limit.exit_code, 0) << limit.output;
    EXPECT_TRUE(WaitForServeOutput("info: setting VP_UploadSpeedLimit changed from 0 to " +
                                   std::to_string(kLimit)))
        << ReadFile(serve_output_);
    EXPECT_TRUE(Eventually(
        [&] {
            json status = JsonOf({"status", "--json"});
            return status.value("upload_limit", 0ull) == kLimit &&
                   status.value("upload_speed", ~0ull) <= kLimit * 3 / 2;
        },
        15s))
        << JsonOf({"status", "--json"}).dump();
    WaitExit(load);
}

TEST_F(OperatedServe, FolderAddedAndPublishedThroughTheServe) {
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    MakeClip(Media() / "new" / "a.mp4");
    MakeClip(Media() / "new" / "b.mp4");
    Result publish = Wharfkeepd({"publish", (Media() / "new").string()});
    ASSERT_EQ(publish.exit_code, 0) << publish.output;
    EXPECT_NE(publish.output.find("summary: 2 queued, 2 published, 0 not published"),
              std::string::npos)
        << publish.output;
    // Followed through the instance's events, shown as a publish without one shows it.
    ExpectOneLinePerPublishedFile(publish.output, {(Media() / "new" / "a.mp4").string(),
                                                   (Media() / "new" / "b.mp4").string()});
    EXPECT_NE(publish.output.find("throughput: 2 files, "), std::string::npos) << publish.output;
    json media = JsonOf({"list", "--json"});
    ASSERT_EQ(media.size(), 2u);
    for (const json& row : media) {
        EXPECT_EQ(row.value("state", 0), 1) << row.dump();
        Row served{1, row["file_size"].get<std::uint64_t>(), row["gcid"].get<std::string>()};
        EXPECT_EQ(PeerGet(served, root_ / "fetched.bin").exit_code, 0);
    }

    // A single new file of the added folder: found by a rescan, published alone.
    MakeClip(Media() / "new" / "c.mp4");
    Result single = Wharfkeepd({"publish", (Media() / "new" / "c.mp4").string()});
    EXPECT_EQ(single.exit_code, 0) << single.output;
    EXPECT_NE(single.output.find("summary: 1 queued, 1 published"), std::string::npos)
        << single.output;
    std::ofstream(Media() / "new" / "d.mp4") << std::string(4096, 'x');
    Result rescan = Wharfkeepd({"rescan", (Media() / "new").string()});
    EXPECT_EQ(rescan.exit_code, 0) << rescan.output;
    EXPECT_NE(rescan.output.find("4 files, 3 published"), std::string::npos) << rescan.output;
    Result broken = Wharfkeepd({"publish", (Media() / "new" / "d.mp4").string()});
    EXPECT_EQ(broken.exit_code, 1) << broken.output;
    json failed = JsonOf({"list", "--json"});
    bool reason_shown = false;
    for (const json& row : failed) {
        if (row["path"] == (Media() / "new" / "d.mp4").string()) {
            EXPECT_LT(row.value("state", 0), 0);
            reason_shown = !row.value("reason", std::string()).empty();
        }
    }
    EXPECT_TRUE(reason_shown) << failed.dump();

    // A backup taken while serving holds the same rows, and stands alone.
    const fs::path copy = root_ / "backup.sqlite";
    Result backup = Wharfkeepd({"backup", copy.string()});
    ASSERT_EQ(backup.exit_code, 0) << backup.output;
    EXPECT_NE(backup.output.find("integrity checked"), std::string::npos) << backup.output;
    Result rows = Run({"/usr/bin/sqlite3", copy.string(), "select count(*) from pwt_medias;"});
    EXPECT_EQ(rows.output, std::to_string(failed.size()) + "\n") << rows.output;
    EXPECT_EQ(Wharfkeepd({"backup", (root_ / "no-such-folder" / "b.sqlite").string()}).exit_code,
              1);
}

TEST_F(OperatedServe, RefusedPeerShowsInTheEventStreamAndMetrics) {
    unsigned metrics_port = platform::free_tcp_port();
    std::ofstream(root_ / "home" / "Wharfkeep.ini")
        << "[control]\nmetrics_address=127.0.0.1:" << metrics_port << "\n";
    const fs::path clip = Media() / "clip.mp4";
    PublishAndServe(clip);
    Row row = ListRows()[clip.string()];

    fs::path watch_output = root_ / "watch.txt";
    pid_t watch =
        Spawn({(BinDir() / "wharfkeepd").string(), "watch", "--json"}, env_, watch_output);
    // The watcher is subscribed once it sees an event that follows its start.
    ASSERT_TRUE(Eventually(
        [&] {
            Wharfkeepd({"config", "VP_ConnLimit", "200"});
            return ReadFile(watch_output).find("settings-changed") != std::string::npos;
        },
        10s));

    ASSERT_EQ(Wharfkeepd({"ipfilter", "enable"}).exit_code, 0);
    EXPECT_NE(PeerGet(row, root_ / "fetched.bin").exit_code, 0);
    EXPECT_TRUE(Eventually(
        [&] { return ReadFile(watch_output).find("\"peer-refused\"") != std::string::npos; }, 10s))
        << ReadFile(watch_output);
    EXPECT_NE(ReadFile(watch_output).find("\"address\":\"127.0.0.1\""), std::string::npos);

    // An enabled allow list without ranges: refused as not on the allow list.
    std::string metrics = HttpGet(metrics_port, "/metrics");
    EXPECT_NE(metrics.find("wharfkeep_refused_connections_total{reason=\"not_allowed\"} "),
              std::string::npos)
        << metrics;
    EXPECT_EQ(metrics.find("wharfkeep_refused_connections_total{reason=\"not_allowed\"} 0"),
              std::string::npos);
    EXPECT_NE(metrics.find("wharfkeep_refused_connections_total{reason=\"deny_list\"} 0"),
              std::string::npos);
    EXPECT_NE(metrics.find("wharfkeep_upload_mode{mode=\"normal\"} 1"), std::string::npos);
    json status = JsonOf({"status", "--json"});
    EXPECT_GE(status["refused_by_reason"].value("not_allowed", 0ull), 1u) << status.dump();
    EXPECT_EQ(status["refused_by_reason"].value("connection_limit", 1ull), 0u);
    EXPECT_NE(metrics.find("wharfkeep_up 1"), std::string::npos);
    EXPECT_NE(HttpGet(metrics_port, "/status").find(" 404 "), std::string::npos);

    // Off again: the next connection is served, through the cache.
    ASSERT_EQ(Wharfkeepd({"ipfilter", "disable"}).exit_code, 0);
    EXPECT_EQ(PeerGet(row, root_ / "fetched.bin").exit_code, 0);
    EXPECT_EQ(PeerGet(row, root_ / "fetched-again.bin").exit_code, 0);
    status = JsonOf({"status", "--json"});
    EXPECT_GT(status.value("cache_misses", 0ull), 0u) << status.dump();
    EXPECT_GT(status.value("cache_hits", 0ull), 0u) << status.dump();
    EXPECT_GT(status.value("cache_bytes", 0ull), 0u);
    EXPECT_GE(status.value("cache_budget", 0ull), status.value("cache_bytes", 0ull));
    EXPECT_EQ(status.value("upload_mode", std::string()), "normal");
    metrics = HttpGet(metrics_port, "/metrics");
    EXPECT_EQ(metrics.find("wharfkeep_cache_hits_total 0\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("wharfkeep_cache_budget_bytes "), std::string::npos);
    ::kill(watch, SIGTERM);
    WaitExit(watch);
}

TEST_F(OperatedServe, IpRulesAddedWhileServingRefuseARealPeerAtOnce) {
    const fs::path clip = Media() / "clip.mp4";
    PublishAndServe(clip);
    Row row = ListRows()[clip.string()];
    ASSERT_EQ(Wharfkeepd({"ipfilter", "type", "deny"}).exit_code, 0);
    ASSERT_EQ(Wharfkeepd({"ipfilter", "enable"}).exit_code, 0);
    ASSERT_EQ(PeerGet(row, root_ / "fetched.bin").exit_code, 0);  // an empty deny list

    Result add = Wharfkeepd({"ipfilter", "add", "127.0.0.0/8"});
    ASSERT_EQ(add.exit_code, 0) << add.output;
    EXPECT_NE(add.output.find("0\t127.0.0.0 ~ 127.255.255.255"), std::string::npos) << add.output;
    EXPECT_NE(PeerGet(row, root_ / "fetched.bin").exit_code, 0);
    EXPECT_EQ(Wharfkeepd({"ipfilter", "add", "127.0.0.0/33"}).exit_code, 2);
    ASSERT_EQ(Wharfkeepd({"ipfilter", "delete", "0"}).exit_code, 0);
    EXPECT_EQ(PeerGet(row, root_ / "fetched.bin").exit_code, 0);

    const fs::path list = root_ / "blocklist.p2p";
    std::ofstream(list) << "Loopback:127.0.0.1-127.0.0.1\nnot a range\n";
    Result import = Wharfkeepd({"ipfilter", "import", list.string()});
    ASSERT_EQ(import.exit_code, 0) << import.output;
    EXPECT_NE(import.output.find("1 taken"), std::string::npos) << import.output;
    EXPECT_NE(import.output.find("line 2: refused"), std::string::npos) << import.output;
    EXPECT_NE(import.output.find("added 1 ranges to the deny list"), std::string::npos);
    EXPECT_NE(PeerGet(row, root_ / "fetched.bin").exit_code, 0);
    EXPECT_EQ(Wharfkeepd({"ipfilter", "import", (root_ / "missing.p2p").string()}).exit_code, 4);
    EXPECT_EQ(Wharfkeepd({"ipfilter", "export"}).output, "127.0.0.1\n");

    json status = JsonOf({"status", "--json"});
    EXPECT_GE(status["refused_by_reason"].value("deny_list", 0ull), 2u) << status.dump();
}

TEST_F(OperatedServe, DownloadingPeerFollowsTheScheduleSwitchingOnAndOff) {
    constexpr std::uint64_t kAlternative = 256 * 1024;
    ASSERT_EQ(
        Wharfkeepd({"config", "VP_AltUploadSpeedLimit", std::to_string(kAlternative)}).exit_code,
        0);
    // A window of a whole day, every day: switching the schedule on puts it in force.
    ASSERT_EQ(Wharfkeepd({"config", "VP_AltScheduleDays", "all"}).exit_code, 0);
    ASSERT_EQ(Wharfkeepd({"config", "VP_AltScheduleFrom", "00:00"}).exit_code, 0);
    ASSERT_EQ(Wharfkeepd({"config", "VP_AltScheduleTo", "00:00"}).exit_code, 0);
    const fs::path clip = Media() / "clip.mp4";
    PublishAndServe(clip);
    Row row = ListRows()[clip.string()];
    fs::path load_output = root_ / "load.txt";
    pid_t load = Spawn({(BinDir() / "wkpeer").string(), "load", PeerAddress(), row.cid,
                        std::to_string(row.size), "--peers", "4", "--seconds", "40"},
                       env_, load_output);
    auto speed_is = [&](const std::function<bool(std::uint64_t)>& check, const char* mode) {
        return Eventually(
            [&] {
                json status = JsonOf({"status", "--json"});
                return status.value("upload_mode", std::string()) == mode &&
                       check(status.value("upload_speed", 0ull));
            },
            15s);
    };
    ASSERT_TRUE(speed_is([](std::uint64_t speed) { return speed > 4 * kAlternative; }, "normal"))
        << JsonOf({"status", "--json"}).dump();

    ASSERT_EQ(Wharfkeepd({"config", "VP_AltScheduleOn", "1"}).exit_code, 0);
    EXPECT_TRUE(
        speed_is([](std::uint64_t speed) { return speed <= kAlternative * 3 / 2; }, "scheduled"))
        << JsonOf({"status", "--json"}).dump();

    ASSERT_EQ(Wharfkeepd({"config", "VP_AltScheduleOn", "0"}).exit_code, 0);
    EXPECT_TRUE(speed_is([](std::uint64_t speed) { return speed > 4 * kAlternative; }, "normal"))
        << JsonOf({"status", "--json"}).dump();
    ::kill(load, SIGTERM);
    WaitExit(load);
}

TEST_F(OperatedServe, WatchedFolderPublishesAClipCopiedInSlowlyOnceItIsWhole) {
    const fs::path drop = Media() / "drop";
    fs::create_directories(drop);
    Result unknown = Wharfkeepd({"watch-folder", drop.string(), "on"});
    EXPECT_EQ(unknown.exit_code, 4) << unknown.output;  // not an added folder yet
    ASSERT_EQ(Wharfkeepd({"config", "WatchSettleSeconds", "2"}).exit_code, 0);
    StartServe({"--add", drop.string()});
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    Result on = Wharfkeepd({"watch-folder", drop.string(), "on"});
    ASSERT_EQ(on.exit_code, 0) << on.output;
    json watched = JsonOf({"status", "--json"})["watched_folders"];
    EXPECT_EQ(watched, json::array({drop.string() + "/"}));

    // Copied in with pauses shorter than the settling time: published once, when whole.
    const fs::path staged = root_ / "staging" / "clip.mp4";
    MakeClip(staged, 4);
    const std::string bytes = ReadFile(staged);
    const fs::path target = drop / "clip.mp4";
    const std::size_t chunk = bytes.size() / 5 + 1;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        std::ofstream out(target, std::ios::binary | std::ios::app);
        out << bytes.substr(at, chunk);
        out.close();
        std::this_thread::sleep_for(600ms);
        EXPECT_NE(ListRows()[target.string()].state, 1) << "published before it was whole";
    }
    ASSERT_TRUE(Eventually([&] { return ListRows()[target.string()].state == 1; }, 60s))
        << ReadFile(serve_output_);
    Row row = ListRows()[target.string()];
    ASSERT_EQ(PeerGet(row, root_ / "fetched.mp4").exit_code, 0);
    EXPECT_EQ(FrameDigests(root_ / "fetched.mp4"), FrameDigests(staged));

    // Deleted: withdrawn and forgotten. Off: a new file stays unpublished.
    fs::remove(target);
    EXPECT_TRUE(Eventually([&] { return ListRows().count(target.string()) == 0; }, 30s));
    ASSERT_EQ(Wharfkeepd({"watch-folder", drop.string(), "off"}).exit_code, 0);
    fs::copy_file(staged, drop / "later.mp4");
    // Nothing can be awaited for a folder nobody watches: a watcher still running would
    // have published the file within twice the settling time (2 s).
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(ListRows().count((drop / "later.mp4").string()), 0u);
    EXPECT_EQ(JsonOf({"status", "--json"})["watched_folders"], json::array());
    EXPECT_EQ(StopServe(), 0);

    // Offline the choice is stored for the next start, and list and status show it.
    ASSERT_EQ(Wharfkeepd({"watch-folder", drop.string(), "on"}).exit_code, 0);
    EXPECT_NE(Wharfkeepd({"list"}).output.find(drop.string() + "/\t"), std::string::npos);
    EXPECT_NE(Wharfkeepd({"list"}).output.find("\twatched"), std::string::npos);
    EXPECT_NE(Wharfkeepd({"status"}).output.find("watched folders: " + drop.string() + "/"),
              std::string::npos);
}

TEST_F(OperatedServe, TwoCommandsAtOnceAreBothServed) {
    StartServe();
    ASSERT_TRUE(WaitForServeOutput("services started")) << ReadFile(serve_output_);
    fs::path first_output = root_ / "first.txt";
    fs::path second_output = root_ / "second.txt";
    for (int round = 0; round < 5; ++round) {
        pid_t first =
            Spawn({(BinDir() / "wharfkeepd").string(), "status", "--json"}, env_, first_output);
        pid_t second = Spawn({(BinDir() / "wharfkeepd").string(), "config", "VP_ConnLimit",
                              std::to_string(100 + round)},
                             env_, second_output);
        EXPECT_EQ(WaitExit(first), 0) << ReadFile(first_output);
        EXPECT_EQ(WaitExit(second), 0) << ReadFile(second_output);
        EXPECT_TRUE(json::parse(ReadFile(first_output), nullptr, false).value("running", false));
        EXPECT_NE(ReadFile(second_output).find("VP_ConnLimit=" + std::to_string(100 + round)),
                  std::string::npos);
    }
    EXPECT_EQ(StopServe(), 0);
    EXPECT_FALSE(fs::exists(root_ / "home" / "wharfkeepd.sock"));
}

// ---- Remote control over TCP with TLS ----

namespace {

// True when this machine can listen on the IPv6 loopback.
bool HasIpv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

// Descriptors the process holds now.
std::size_t OpenDescriptors(pid_t pid) {
    std::error_code error;
    auto entries = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
    return error ? 0 : static_cast<std::size_t>(std::distance(entries, fs::directory_iterator()));
}

}  // namespace

// A serve with the control interface on 127.0.0.1 (and [::1] where there is IPv6), tokens
// of each scope, and a client that runs wharfkeepd from another, empty application-data
// folder, so that only the remote form can reach the instance.
class RemoteServe : public OperatedServe {
protected:
    void SetUp() override {
        OperatedServe::SetUp();
        if (IsSkipped()) {
            return;
        }
        port4_ = platform::free_tcp_port();
        listen_ = "127.0.0.1:" + std::to_string(port4_);
        if (HasIpv6Loopback()) {
            port6_ = platform::free_tcp_port();
            listen_ += ",[::1]:" + std::to_string(port6_);
        }
        fs::create_directories(root_ / "client");
        for (const char* scope : {"read", "operate", "admin"}) {
            Result made = Wharfkeepd({"token", "create", scope, "--scope", scope});
            ASSERT_EQ(made.exit_code, 0) << made.output;
            std::ofstream(TokenFile(scope)) << Lines(made.output).at(0) << "\n";
        }
    }
    void WriteIni(const std::string& extra = "") {
        std::ofstream(root_ / "home" / "Wharfkeep.ini") << "[control]\nlisten = " << listen_ << "\n"
                                                        << extra;
    }
    // Starts the serve and reads the certificate's fingerprint from its status.
    void StartRemote() {
        StartServe();
        // The control interface starts after the services.
        ASSERT_TRUE(WaitForServeOutput("remote control and web console on https://127.0.0.1:"))
            << ReadFile(serve_output_);
        json status = JsonOf({"status", "--json"});
        fingerprint_ = status["remote_control"].value("tls_fingerprint", std::string());
        ASSERT_EQ(fingerprint_.size(), 95u) << status.dump();
    }
    fs::path TokenFile(const std::string& scope) const { return root_ / (scope + ".token"); }
    std::string Url4() const { return "https://127.0.0.1:" + std::to_string(port4_); }
    std::string Url6() const { return "https://[::1]:" + std::to_string(port6_); }
    // The remote form's arguments before a command.
    std::vector<std::string> RemoteArgs(const std::string& url, const std::string& scope,
                                        const std::string& fingerprint = "") const {
        return {(BinDir() / "wharfkeepd").string(),
                "--remote",
                url,
                "--token-file",
                TokenFile(scope).string(),
                "--fingerprint",
                fingerprint.empty() ? fingerprint_ : fingerprint};
    }
    // Starts "wharfkeepd watch --json" through the TCP listener with the read token, its
    // output in `output`; true once it shows an event, so that its stream is open.
    bool StartRemoteWatch(const fs::path& output, pid_t& watch) {
        std::vector<std::string> argv = RemoteArgs(Url4(), "read");
        argv.insert(argv.end(), {"watch", "--json"});
        watch = Spawn(argv, {{"WHARFKEEP_HOME", (root_ / "client").string()}}, output);
        return Eventually(
            [&] {
                Wharfkeepd({"config", "VP_ConnLimit", "200"});
                return ReadFile(output).find("settings-changed") != std::string::npos;
            },
            10s);
    }
    Result Remote(const std::string& url, const std::string& scope,
                  const std::vector<std::string>& command, const std::string& fingerprint = "") {
        std::vector<std::string> argv = RemoteArgs(url, scope, fingerprint);
        argv.insert(argv.end(), command.begin(), command.end());
        const std::map<std::string, std::string> local = env_;
        env_["WHARFKEEP_HOME"] = (root_ / "client").string();
        Result result = Run(argv);
        env_ = local;
        return result;
    }

    unsigned port4_ = 0;
    unsigned port6_ = 0;  // 0: no IPv6 loopback here
    std::string listen_;
    std::string fingerprint_;
};

TEST_F(RemoteServe, CommandsBehaveThroughTheRemoteFormAsLocallyOnIpv4AndIpv6) {
    MakeClip(Media() / "a.mp4");
    MakeClip(Media() / "b.mp4", 1);
    ASSERT_EQ(Wharfkeepd({"publish", Media().string()}).exit_code, 0);
    WriteIni();
    ASSERT_NO_FATAL_FAILURE(StartRemote());
    const std::string clip = (Media() / "a.mp4").string();
    // Each run of the script leaves the instance as it found it.
    const std::vector<std::vector<std::string>> script{
        {"config", "VP_ConnLimit", "150"},
        {"config", "VP_ConnLimit"},
        {"config"},
        {"config", "--json"},
        {"config", "VP_Port", "70000"},
        {"list", "--json"},
        {"list", Media().string(), "--json"},
        {"export", Media().string(), "-o", "-"},
        {"list"},
        {"list", clip},
        {"ipfilter", "add", "10.0.0.0/8"},
        {"ipfilter", "add", "192.0.2.1", "192.0.2.9"},
        {"ipfilter", "list"},
        {"ipfilter", "export", "-"},
        {"ipfilter", "delete", "1"},
        {"ipfilter", "delete", "0"},
        {"ipfilter", "list", "--json"},
        {"peers"},
        {"withdraw", clip},
        {"withdraw", clip},
        {"publish", clip},
        {"rescan", (root_ / "not-added").string()},
    };
    std::vector<Result> local;
    for (const auto& command : script) {
        local.push_back(Wharfkeepd(command));
    }
    EXPECT_EQ(local[13].output, "10.0.0.0/8\n192.0.2.1-192.0.2.9\n");
    EXPECT_NE(local[5].output.find("\"state\":"), std::string::npos);
    std::vector<std::string> urls{Url4()};
    if (port6_ != 0) {
        urls.push_back(Url6());
    } else {
        std::cout << "[  NOTE    ] no IPv6 loopback on this machine: [::1] not tested\n";
    }
    for (const std::string& url : urls) {
        for (std::size_t i = 0; i < script.size(); ++i) {
            Result remote = Remote(url, "admin", script[i]);
            const std::string command = url + " " + ::testing::PrintToString(script[i]);
            EXPECT_EQ(remote.exit_code, local[i].exit_code) << command << remote.output;
            // withdraw and publish in the script date the file again, and a publication's
            // time and rate differ from run to run.
            const std::regex changing(
                "\"publish_date\":\"[^\"]*\"| in [0-9.]+ s, [0-9.]+[KMG]?B/s|throughput: .*");
            EXPECT_EQ(std::regex_replace(remote.output, changing, ""),
                      std::regex_replace(local[i].output, changing, ""))
                << command;
        }
        Result status = Remote(url, "read", {"status"});
        EXPECT_EQ(status.exit_code, 0) << status.output;
        EXPECT_NE(status.output.find("services: running"), std::string::npos) << status.output;
        EXPECT_NE(status.output.find("TLS certificate SHA-256 " + fingerprint_), std::string::npos);
    }
    // A list exported to a file lands where the client runs.
    const fs::path links = root_ / "remote-links.txt";
    Result exported = Remote(Url4(), "operate", {"export", Media().string(), "-o", links.string()});
    EXPECT_EQ(exported.output, "exported " + links.string() + "\n");
    EXPECT_EQ(ReadFile(links), local[7].output);
    EXPECT_EQ(Lines(local[9].output).size(), 1u) << "one file's line: " << local[9].output;
    // The remote client had no application-data folder of its own to fall back on.
    EXPECT_FALSE(fs::exists(root_ / "client" / "Wharfkeep.sqlite"));
    EXPECT_EQ(StopServe(), 0);
}

TEST_F(RemoteServe, WrongTokensScopesPinsAndPlainHttpAreRefusedClearly) {
    WriteIni();
    ASSERT_NO_FATAL_FAILURE(StartRemote());
    // A token without the scope, an unknown token, a token in the address.
    Result read_only = Remote(Url4(), "read", {"config", "VP_ConnLimit", "99"});
    EXPECT_NE(read_only.exit_code, 0);
    EXPECT_NE(read_only.output.find("has the scope read"), std::string::npos) << read_only.output;
    EXPECT_EQ(Lines(Wharfkeepd({"config", "VP_ConnLimit"}).output).at(0).find("99"),
              std::string::npos);
    std::ofstream(TokenFile("forged")) << "wk_not_a_token\n";
    Result forged = Remote(Url4(), "forged", {"status"});
    EXPECT_NE(forged.exit_code, 0);
    EXPECT_NE(forged.output.find("not known"), std::string::npos) << forged.output;
    if (OnPath("curl")) {
        const std::string token = Lines(ReadFile(TokenFile("read"))).at(0);
        Result in_query = Run({"/usr/bin/env", "curl", "-sk", "-o", "-", "-w", " %{http_code}",
                               Url4() + "/status?token=" + token});
        EXPECT_NE(in_query.output.find(" 400"), std::string::npos) << in_query.output;
        EXPECT_NE(in_query.output.find("only from the Authorization header"), std::string::npos);
    }
    // Another certificate's fingerprint: a clear error, never a silent fallback.
    Result pinned = Remote(Url4(), "read", {"status"}, std::string(31 * 3, '0') + "00");
    EXPECT_NE(pinned.exit_code, 0);
    EXPECT_NE(pinned.output.find("pinned fingerprint"), std::string::npos) << pinned.output;
    EXPECT_EQ(pinned.output.find("services:"), std::string::npos);
    // Plain HTTP to the TLS port gets no HTTP answer.
    EXPECT_EQ(HttpGet(port4_, "/status").find("HTTP/"), std::string::npos);

    // A revoked token's open event stream ends within about a second.
    fs::path watch_output = root_ / "remote-watch.txt";
    pid_t watch = -1;
    ASSERT_TRUE(StartRemoteWatch(watch_output, watch)) << ReadFile(watch_output);
    ASSERT_EQ(Wharfkeepd({"token", "revoke", "read"}).exit_code, 0);
    const auto revoked = std::chrono::steady_clock::now();
    int status = 0;
    while (::waitpid(watch, &status, WNOHANG) == 0 &&
           std::chrono::steady_clock::now() - revoked < 5s) {
        std::this_thread::sleep_for(20ms);
    }
    // A second of the server's check, and the client's own time to notice, on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - revoked, 2500ms) << ReadFile(watch_output);
    if (::waitpid(watch, &status, WNOHANG) == 0) {
        ::kill(watch, SIGKILL);
        WaitExit(watch);
    }
    EXPECT_NE(Remote(Url4(), "read", {"status"}).exit_code, 0);

    // A fleet of this host and one that does not answer.
    const unsigned closed_port = platform::free_tcp_port();
    std::ofstream(root_ / "fleet.txt")
        << "# test fleet\n\nhere " << Url4() << " token_file=" << TokenFile("operate").string()
        << " fingerprint=" << fingerprint_ << "\ngone https://127.0.0.1:" << closed_port
        << " fingerprint=" << fingerprint_ << "\n";
    Result fleet =
        Wharfkeepd({"fleet", "status", (root_ / "fleet.txt").string(), "--timeout", "5"});
    EXPECT_EQ(fleet.exit_code, 1) << fleet.output;
    EXPECT_NE(fleet.output.find("here  services running, peers 0"), std::string::npos)
        << fleet.output;
    EXPECT_NE(fleet.output.find("gone  error: "), std::string::npos) << fleet.output;
    EXPECT_NE(fleet.output.find("total: 2 hosts, 1 failed, 1 running"), std::string::npos);
    fleet = Wharfkeepd({"fleet", "status", (root_ / "fleet.txt").string(), "--json"});
    json fleet_json = json::parse(fleet.output, nullptr, false);
    ASSERT_TRUE(fleet_json.is_object()) << fleet.output;
    EXPECT_EQ(fleet_json["totals"].value("failed", 0), 1);
    EXPECT_EQ(fleet_json["hosts"][0].value("ok", false), true);
    EXPECT_EQ(fleet_json["hosts"][0].value("version", std::string()).empty(), false);
    EXPECT_EQ(StopServe(), 0);
}

TEST_F(RemoteServe, AThousandConnectionsAtOnceAreCappedAndLeaveNothingBehind) {
    WriteIni("max_clients = 64\n");
    ASSERT_NO_FATAL_FAILURE(StartRemote());
    ASSERT_EQ(Remote(Url4(), "read", {"status"}).exit_code, 0);
    const std::size_t before = OpenDescriptors(serve_pid_);
    ASSERT_GT(before, 0u);
    std::vector<int> clients;
    for (int i = 0; i < 1000; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const sockaddr_in address =
            platform::testing::LoopbackAddress(static_cast<std::uint16_t>(port4_));
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        clients.push_back(fd);
    }
    // The cap holds: those over it are closed as they come, so that the server soon holds
    // at most 64 of them while all 1,000 stay connected; and the socket still answers.
    EXPECT_TRUE(Eventually([&] { return OpenDescriptors(serve_pid_) <= before + 64 + 4; }, 10s))
        << OpenDescriptors(serve_pid_) << " descriptors, " << before << " before";
    Result local = WharfkeepdWithin({"status", "--json"}, 10s);
    EXPECT_EQ(local.exit_code, 0) << local.output;
    for (int fd : clients) {
        ::close(fd);
    }
    // Once they are gone, remote clients are served again and nothing was left open.
    EXPECT_TRUE(Eventually([&] { return Remote(Url4(), "read", {"status"}).exit_code == 0; }, 20s));
    EXPECT_TRUE(Eventually([&] { return OpenDescriptors(serve_pid_) <= before; }, 20s))
        << OpenDescriptors(serve_pid_) << " descriptors, " << before << " before";
    EXPECT_EQ(StopServe(), 0);
}

TEST_F(RemoteServe, SighupChangesListenersKeepingClientsAndRefusesWhatCannotBeApplied) {
    // An unknown socket group ends the start like the other settings, naming the key.
    WriteIni("socket_group = no-such-group-wk\n");
    StartServe();
    EXPECT_EQ(WaitServeExit(60s), 5);
    EXPECT_NE(ReadFile(serve_output_).find("[control] socket_group: there is no group"),
              std::string::npos)
        << ReadFile(serve_output_);

    WriteIni("socket_group = " + std::to_string(::getgid()) + "\n");
    ASSERT_NO_FATAL_FAILURE(StartRemote());
    struct stat info {};
    ASSERT_EQ(::stat((root_ / "home" / "wharfkeepd.sock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_gid, ::getgid());

    fs::path watch_output = root_ / "remote-watch.txt";
    pid_t watch = -1;
    ASSERT_TRUE(StartRemoteWatch(watch_output, watch)) << ReadFile(watch_output);

    // A missing certificate: logged naming the key, the listener and certificate stay.
    const unsigned second = platform::free_tcp_port();
    const std::string second_url = "https://127.0.0.1:" + std::to_string(second);
    const std::string old_listen = listen_;
    listen_ += ",127.0.0.1:" + std::to_string(second);
    WriteIni("tls_certificate = " + (root_ / "none.pem").string() +
             "\ntls_key = " + (root_ / "none.key").string() + "\n");
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("remote control stays as it was")) << ReadFile(serve_output_);
    EXPECT_NE(ReadFile(serve_output_).find("tls_certificate=" + (root_ / "none.pem").string()),
              std::string::npos)
        << ReadFile(serve_output_);
    EXPECT_NE(Remote(second_url, "operate", {"status"}).exit_code, 0);
    EXPECT_EQ(Remote(Url4(), "operate", {"status"}).exit_code, 0);

    // A busy address (the serve's own peer port): the same.
    listen_ = old_listen + ",127.0.0.1:" + std::to_string(peer_port_);
    WriteIni();
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("[control] listen: cannot listen on 127.0.0.1:" +
                                   std::to_string(peer_port_)))
        << ReadFile(serve_output_);

    // A good file: the second address opens, the first stays with its client.
    listen_ = old_listen + ",127.0.0.1:" + std::to_string(second);
    WriteIni();
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("remote control and web console on " + second_url))
        << ReadFile(serve_output_);
    EXPECT_EQ(Remote(second_url, "operate", {"status"}).exit_code, 0);
    EXPECT_EQ(Remote(Url4(), "operate", {"status"}).exit_code, 0);
    // And the first goes: its listening socket closes, its open stream does not.
    listen_ = "127.0.0.1:" + std::to_string(second);
    WriteIni();
    ::kill(serve_pid_, SIGHUP);
    ASSERT_TRUE(WaitForServeOutput("remote control and web console no longer on " + Url4()))
        << ReadFile(serve_output_);
    EXPECT_NE(Remote(Url4(), "operate", {"status"}).exit_code, 0);
    const std::size_t seen = Lines(ReadFile(watch_output)).size();
    Wharfkeepd({"config", "VP_ConnLimit", "201"});
    EXPECT_TRUE(Eventually([&] { return Lines(ReadFile(watch_output)).size() > seen; }, 10s))
        << "the stream of a removed listener's client was dropped: " << ReadFile(watch_output);
    EXPECT_EQ(::waitpid(watch, nullptr, WNOHANG), 0);
    ::kill(watch, SIGTERM);
    WaitExit(watch);
    EXPECT_EQ(StopServe(), 0);
}
