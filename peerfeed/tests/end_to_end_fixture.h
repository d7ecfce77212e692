#pragma once
// The upload server with its real block cache on loopback, files published from a fresh
// folder, and wkpeer's client to drive it: shared by peerfeed's end-to-end tests and the
// tests of the wkpeer program.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "file_text.h"
#include "loopback.h"
#include "peer_protocol.h"
#include "peer_swarm.h"
#include "peerfeed/peerfeed.h"
#include "server.h"

namespace wkpeer::end_to_end {

namespace fs = std::filesystem;

inline constexpr std::uint64_t page = 65536;

inline std::mutex published_mutex;
inline std::map<std::string, std::string> published;

inline bool gcid_to_path(const char* gcid, char* path_out, unsigned int size) {
    std::lock_guard lock(published_mutex);
    const auto found = published.find(gcid);
    if (found == published.end() || found->second.size() + 1 > size) {
        return false;
    }
    std::memcpy(path_out, found->second.c_str(), found->second.size() + 1);
    return true;
}

inline std::vector<std::uint8_t> pattern(std::uint64_t offset, std::size_t size,
                                         std::uint8_t salt) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = offset + i;
        bytes[i] = static_cast<std::uint8_t>((at * 2654435761u) >> 11 ^ (at >> 16) ^ salt);
    }
    return bytes;
}

// The whole file, under the name these tests and the load tool's tests use.
inline std::string read_file(const fs::path& path) {
    return platform::testing::file_text(path);
}

// A blocking peer for the steps the load engine does not take one at a time.
class raw_peer {
public:
    explicit raw_peer(std::uint16_t port) {
        fd_ = platform::testing::ConnectLoopback(port);
        timeval timeout{5, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    void send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
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
        ask(offset, length);
        return answer(offset);
    }
    // A REQUEST whose answer is read later with answer().
    void ask(std::uint64_t offset, std::uint32_t length) {
        std::vector<std::uint8_t> request;
        append_request(request, offset, length);
        send(request);
    }
    // The data of the next answer, which must be for `offset`.
    std::optional<std::vector<std::uint8_t>> answer(std::uint64_t offset) {
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
            const ssize_t got = ::recv(fd_.get(), chunk, sizeof chunk, 0);
            if (got <= 0) {
                closed_ = got == 0 || errno == ECONNRESET;
                return {};
            }
            buffer_.insert(buffer_.end(), chunk, chunk + got);
        }
    }

    platform::UniqueFd fd_;
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

}  // namespace wkpeer::end_to_end
