// The upload server with its real block cache, driven by wkpeer's client and by the
// wkpeer program over loopback TCP.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "peer_protocol.h"
#include "peer_swarm.h"
#include "peerfeed/peerfeed.h"
#include "server.h"

extern char** environ;

namespace wkpeer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint64_t page = 65536;

std::mutex published_mutex;
std::map<std::string, std::string> published;

bool gcid_to_path(const char* gcid, char* path_out, unsigned int size) {
    std::lock_guard lock(published_mutex);
    const auto found = published.find(gcid);
    if (found == published.end() || found->second.size() + 1 > size) {
        return false;
    }
    std::memcpy(path_out, found->second.c_str(), found->second.size() + 1);
    return true;
}

std::vector<std::uint8_t> pattern(std::uint64_t offset, std::size_t size, std::uint8_t salt) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = offset + i;
        bytes[i] = static_cast<std::uint8_t>((at * 2654435761u) >> 11 ^ (at >> 16) ^ salt);
    }
    return bytes;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A blocking peer for the steps the load engine does not take one at a time.
class raw_peer {
public:
    explicit raw_peer(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~raw_peer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    void send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // True when the answer is result 0.
    bool handshake(const std::string& gcid, std::uint64_t size, const std::string& id) {
        send(encode_handshake(*gcid_from_hex(gcid), size, id));
        const auto answer = next();
        return answer.size() > 21 && answer[4] == peerfeed::cmd_handshakeresp && answer[21] == 0;
    }
    // The data of the answer to one REQUEST; nothing when the server closed instead.
    std::optional<std::vector<std::uint8_t>> fetch(std::uint64_t offset, std::uint32_t length) {
        std::vector<std::uint8_t> request;
        append_request(request, offset, length);
        send(request);
        const auto answer = next();
        request_response decoded;
        if (answer.empty() ||
            !decode_requestresp(answer.data(), static_cast<std::uint32_t>(answer.size()), decoded)
                 .empty() ||
            decoded.offset != offset) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t>(decoded.data, decoded.data + decoded.data_length);
    }
    bool closed_by_server() { return next().empty() && closed_; }

private:
    // The next whole command; empty when the connection ended or nothing came in time.
    std::vector<std::uint8_t> next() {
        for (;;) {
            frame f;
            if (next_frame(buffer_.data(), buffer_.size(), f) == frame_status::complete) {
                std::vector<std::uint8_t> command(buffer_.begin(), buffer_.begin() + f.total);
                buffer_.erase(buffer_.begin(), buffer_.begin() + f.total);
                return command;
            }
            std::uint8_t chunk[65536];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                closed_ = got == 0 || errno == ECONNRESET;
                return {};
            }
            buffer_.insert(buffer_.end(), chunk, chunk + got);
        }
    }

    int fd_ = -1;
    bool closed_ = false;
    std::vector<std::uint8_t> buffer_;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern_text[] = "/tmp/wk-e2e-XXXXXX";
        home_ = ::mkdtemp(pattern_text);
        ::setenv("WHARFKEEP_HOME", home_.c_str(), 1);
        server().set_loopback_ephemeral(true);
        vp_set_gcid2path_function(&gcid_to_path);
    }
    void TearDown() override {
        vp_stop();
        server().set_loopback_ephemeral(false);
        vp_set_gcid2path_function(nullptr);
        vp_set_speed_limit(0);
        std::lock_guard lock(published_mutex);
        published.clear();
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    static peerfeed::upload_server& server() { return peerfeed::upload_server::instance(); }

    void start() {
        ASSERT_EQ(vp_start(0), 0);
        port_ = server().bound_port();
        ASSERT_NE(port_, 0);
    }

    // Writes a file of `size` pattern bytes and publishes it; returns its GCID.
    std::string publish(const std::string& name, std::uint64_t size, std::uint8_t salt) {
        const fs::path path = home_ / name;
        std::ofstream out(path, std::ios::binary);
        for (std::uint64_t at = 0; at < size; at += 1 << 20) {
            const auto bytes = pattern(at, std::min<std::uint64_t>(1 << 20, size - at), salt);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
        out.close();
        return publish_path(path);
    }
    std::string publish_path(const fs::path& path) {
        std::lock_guard lock(published_mutex);
        std::string gcid = std::string(38, 'A') + std::to_string(10 + published.size());
        published[gcid] = path.string();
        return gcid;
    }

    swarm_report download(const std::string& gcid, std::uint64_t size, const fs::path& out) {
        swarm_options options;
        options.host = "127.0.0.1";
        options.port = port_;
        options.gcid = *gcid_from_hex(gcid);
        options.size = size;
        options.stall_timeout_ms = 10000;
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        options.output_fd = fd;
        swarm_report report = run_swarm(options);
        ::close(fd);
        return report;
    }

    fs::path home_;
    std::uint16_t port_ = 0;
};

TEST_F(EndToEnd, SeveralSessionsDownloadWholeFilesByteForByte) {
    const std::uint64_t size = 3 * (1 << 20) + 12345;  // not a whole number of pages
    const std::string first = publish("first file.mp4", size, 1);
    const std::string second = publish("second%20'file'.mp4", 5 * page, 2);
    start();
    std::vector<std::future<swarm_report>> downloads;
    for (int i = 0; i < 4; ++i) {
        downloads.push_back(std::async(std::launch::async, [&, i] {
            return i == 3 ? download(second, 5 * page, home_ / "out3")
                          : download(first, size, home_ / ("out" + std::to_string(i)));
        }));
    }
    for (auto& d : downloads) {
        const swarm_report report = d.get();
        EXPECT_TRUE(report.ok) << report.error;
    }
    const std::string expected = read_file(home_ / "first file.mp4");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(read_file(home_ / ("out" + std::to_string(i))) == expected) << i;
    }
    EXPECT_TRUE(read_file(home_ / "out3") == read_file(home_ / "second%20'file'.mp4"));
}

TEST_F(EndToEnd, AOneBlockBudgetStillServesWholeFiles) {
    std::ofstream(home_ / "Wharfkeep.ini")
        << "[vp]\nblock_size=131072\nminimum_mem_size=0\nmaximum_mem_size=1\n"
           "disk_read_buffer_size=65536\n";
    const std::uint64_t size = 2 * (1 << 20) + 77;
    const std::string gcid = publish("media", size, 3);
    start();
    auto a = std::async(std::launch::async, [&] { return download(gcid, size, home_ / "a"); });
    auto b = std::async(std::launch::async, [&] { return download(gcid, size, home_ / "b"); });
    const swarm_report ra = a.get(), rb = b.get();
    EXPECT_TRUE(ra.ok) << ra.error;
    EXPECT_TRUE(rb.ok) << rb.error;
    EXPECT_TRUE(read_file(home_ / "a") == read_file(home_ / "media"));
    EXPECT_TRUE(read_file(home_ / "b") == read_file(home_ / "media"));
}

TEST_F(EndToEnd, ClosingAFileEndsOnlyTheSessionsReadingIt) {
    const std::string closed = publish("closed", 4 * page, 4);
    const std::string kept = publish("kept", 4 * page, 5);
    start();
    raw_peer reader(port_), bystander(port_);
    ASSERT_TRUE(reader.handshake(closed, 4 * page, "reader"));
    ASSERT_TRUE(bystander.handshake(kept, 4 * page, "bystander"));
    ASSERT_EQ(reader.fetch(0, page), pattern(0, page, 4));
    EXPECT_EQ(vp_close_file(closed.c_str()), 0);
    EXPECT_FALSE(reader.fetch(page, page));  // even the cached page is not served
    EXPECT_TRUE(reader.closed_by_server());
    EXPECT_EQ(bystander.fetch(page, 100), pattern(page, 100, 5));

    // The next session for the closed GCID asks the host again and is served.
    raw_peer again(port_);
    ASSERT_TRUE(again.handshake(closed, 4 * page, "again"));
    EXPECT_EQ(again.fetch(3 * page, page), pattern(3 * page, page, 4));
    EXPECT_EQ(vp_close_all_files(), 0);
    EXPECT_FALSE(bystander.fetch(0, 10));
}

TEST_F(EndToEnd, AReadErrorEndsOnlyThatSession) {
    const std::string gcid = publish("shrinking", 8 * page, 6);
    start();
    raw_peer victim(port_), other(port_);
    ASSERT_TRUE(victim.handshake(gcid, 8 * page, "victim"));
    ASSERT_TRUE(other.handshake(gcid, 8 * page, "other"));
    ASSERT_EQ(::truncate((home_ / "shrinking").c_str(), 2 * page), 0);
    EXPECT_FALSE(victim.fetch(5 * page, 10));
    EXPECT_TRUE(victim.closed_by_server());
    EXPECT_EQ(other.fetch(page, page), pattern(page, page, 6));
}

TEST_F(EndToEnd, APeerHangingUpMidAnswerEndsOnlyItsSession) {
    const std::string gcid = publish("big", 64 * page, 11);
    start();
    // Many peers leave at once while answers are still being written to them.
    std::vector<std::uint8_t> requests;
    for (std::uint64_t i = 0; i < 64; ++i) {
        append_request(requests, i * page, page);
    }
    for (int round = 0; round < 4; ++round) {
        std::vector<std::unique_ptr<raw_peer>> quitters;
        for (int i = 0; i < 40; ++i) {
            quitters.push_back(std::make_unique<raw_peer>(port_));
            ASSERT_TRUE(quitters.back()->handshake(gcid, 64 * page, "quitter"));
        }
        for (auto& quitter : quitters) {
            quitter->send(requests);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * round + 1));
        quitters.clear();  // gone while the server is still writing the answers
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(vp_run_stat(), 1);
    raw_peer next(port_);
    ASSERT_TRUE(next.handshake(gcid, 64 * page, "next"));
    EXPECT_EQ(next.fetch(63 * page, 10), pattern(63 * page, 10, 11));
}

TEST_F(EndToEnd, PagePastFourGibibytesComesBackWithItsTrueBytes) {
    const fs::path path = home_ / "sparse";
    const std::uint64_t size = 5ull << 30;
    const std::uint64_t offset = (4ull << 30) + 7 * page + 3;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        const auto high = pattern(offset, 40000, 7);
        ASSERT_EQ(::pwrite(fd, high.data(), high.size(), static_cast<off_t>(offset)), 40000);
        ::close(fd);
    }
    const std::string gcid = publish_path(path);
    start();
    raw_peer peer(port_);
    ASSERT_TRUE(peer.handshake(gcid, size, "sparse"));
    EXPECT_EQ(peer.fetch(offset, 40000), pattern(offset, 40000, 7));
    EXPECT_EQ(peer.fetch(size - 100, 100), std::vector<std::uint8_t>(100, 0));
}

TEST_F(EndToEnd, StatisticsAfterDownloadsAndAcrossARestart) {
    const std::uint64_t size = 10 * page;
    const std::string gcid = publish("stats", size, 8);
    start();
    peerfeed_stat before{};
    ASSERT_EQ(vp_get_server_stat(&before), 0);
    vp_cache_stat cache_before{};
    ASSERT_EQ(vp_get_cache_stat(&cache_before), 0);

    // Two downloads one after the other: ten misses, then ten hits.
    ASSERT_TRUE(download(gcid, size, home_ / "one").ok);
    ASSERT_TRUE(download(gcid, size, home_ / "two").ok);
    vp_cache_stat cache{};
    ASSERT_EQ(vp_get_cache_stat(&cache), 0);
    EXPECT_EQ(cache.hit_ratio, 50);
    EXPECT_EQ(cache.disk_bytes_read - cache_before.disk_bytes_read, size);

    // Each session sent HANDSHAKERESP, INTERESTEDRESP (one range of 5 bytes) and ten
    // REQUESTRESPs of one page each.
    const std::uint64_t per_session = (21 + 55) + (21 + 10) + 10 * (21 + 38) + size;
    auto sent_since = [&] {
        peerfeed_stat now{};
        EXPECT_EQ(vp_get_server_stat(&now), 0);
        return now.total_bytes_sent - before.total_bytes_sent;
    };
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (sent_since() < 2 * per_session && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(sent_since(), 2 * per_session);

    vp_stop();
    start();
    EXPECT_EQ(sent_since(), 2 * per_session);  // totals survive a restart

    // Two live sessions on the file and one that has not shaken hands.
    raw_peer first(port_), second(port_), silent(port_);
    ASSERT_TRUE(first.handshake(gcid, size, "first-peer-id-0123456789"));
    ASSERT_TRUE(second.handshake(gcid, size, "second"));
    ASSERT_TRUE(first.fetch(0, 1000));
    peerfeed_stat stat{};
    ASSERT_EQ(vp_get_server_stat(&stat), 0);
    EXPECT_EQ(stat.live_sessions, 3u);
    EXPECT_EQ(stat.resource_count, 1u);

    resource_stat_list* resources = vp_get_resource_stat_list();
    ASSERT_NE(resources, nullptr);
    ASSERT_EQ(resources->count, 1u);
    EXPECT_EQ(std::string(resources->entries[0].gcid, 40), gcid);
    EXPECT_EQ(resources->entries[0].sessions, 2u);
    EXPECT_GE(resources->entries[0].bytes_sent, 2 * per_session + 1000);
    vp_free_resource_stat_list(resources);

    vp_connection_list* connections = vp_get_connection_list(gcid.c_str());
    ASSERT_NE(connections, nullptr);
    ASSERT_EQ(connections->count, 2u);
    std::vector<std::string> ids;
    for (std::uint32_t i = 0; i < connections->count; ++i) {
        const vp_connection& c = connections->entries[i];
        EXPECT_EQ(std::string(c.gcid, 40), gcid);
        EXPECT_EQ(c.address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        ids.emplace_back(reinterpret_cast<const char*>(c.peer_id), 16);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids[0], "first-peer-id-01");
    EXPECT_EQ(ids[1], std::string("second") + std::string(10, '\0'));
    vp_free_connection_list(connections);

    vp_connection_list* unshaken = vp_get_connection_list("");
    ASSERT_NE(unshaken, nullptr);
    EXPECT_EQ(unshaken->count, 1u);
    vp_free_connection_list(unshaken);
}

// The wkpeer program itself: exit status and output file.
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
}  // namespace wkpeer
