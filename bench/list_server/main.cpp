// bench_list_server: queries per second of the list server for a cached identifier, side by
// side with nginx serving a file of the same size as the encoded answer. wrk drives both with
// the same connection count, one request per connection ("Connection: close").
//
// Needs nginx and wrk on the PATH (or given with --nginx / --wrk). Everything listens on
// 127.0.0.1 only, and every process started here is stopped before the program ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "catalogd/catalogd.h"
#include "movie_info.h"
#include "platform/free_port.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The description served: what publishing writes for a file of 64 pieces.
constexpr std::uint32_t kPieces = 64;
constexpr std::uint32_t kPieceSize = 2 * 1024 * 1024;

fs::path g_description_path;
std::string g_gcid_text;

bool gcid_to_path(const char* gcid, char* path_out, unsigned size) {
    std::string path = g_description_path.string();
    if (g_gcid_text != gcid || path.size() + 1 > size) {
        return false;
    }
    std::copy(path.begin(), path.end(), path_out);
    path_out[path.size()] = '\0';
    return true;
}

void put_le(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes make_description(const peerfeed::cid_bytes& gcid) {
    Bytes out;
    put_le(out, 0, 4);
    put_le(out, 0, 4);
    put_le(out, 20, 4);
    out.insert(out.end(), 20, 0x5A);
    put_le(out, std::uint64_t{kPieces} * kPieceSize, 8);
    put_le(out, 20, 4);
    out.insert(out.end(), gcid.begin(), gcid.end());
    put_le(out, kPieces, 4);
    for (std::uint32_t i = 0; i < kPieces; ++i) {
        put_le(out, 16, 4);
        out.insert(out.end(), 16, static_cast<std::uint8_t>(i));
        put_le(out, kPieceSize, 4);
    }
    return out;
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

bool accepts_connections(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// One blocking exchange: the whole response, read until the server closes.
std::string fetch(std::uint16_t port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        ::shutdown(fd, SHUT_WR);
        char chunk[8192];
        ssize_t got;
        while ((got = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
            reply.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return reply;
}

std::string body_of(const std::string& response) {
    std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// nginx with one worker, in the foreground, stopped when this goes out of scope.
class Nginx {
public:
    Nginx(const std::string& binary, const fs::path& prefix, std::uint16_t port) {
        fs::create_directories(prefix / "logs");
        write_file(prefix / "nginx.conf",
                   "worker_processes 1;\n"
                   "daemon off;\n"
                   "pid " +
                       (prefix / "nginx.pid").string() +
                       ";\n"
                       "error_log " +
                       (prefix / "logs" / "error.log").string() +
                       " warn;\n"
                       "events { worker_connections 4096; }\n"
                       "http {\n"
                       "  access_log off;\n"
                       "  default_type application/octet-stream;\n"
                       "  sendfile on;\n"
                       "  keepalive_timeout 0;\n"
                       "  client_body_temp_path " +
                       (prefix / "body").string() +
                       ";\n"
                       "  proxy_temp_path " +
                       (prefix / "proxy").string() +
                       ";\n"
                       "  fastcgi_temp_path " +
                       (prefix / "fastcgi").string() +
                       ";\n"
                       "  uwsgi_temp_path " +
                       (prefix / "uwsgi").string() +
                       ";\n"
                       "  scgi_temp_path " +
                       (prefix / "scgi").string() +
                       ";\n"
                       "  server {\n"
                       "    listen 127.0.0.1:" +
                       std::to_string(port) +
                       ";\n"
                       "    root " +
                       (prefix / "www").string() +
                       ";\n"
                       "  }\n"
                       "}\n");
        std::string conf = (prefix / "nginx.conf").string();
        std::string prefix_text = prefix.string() + "/";
        std::string error_log = (prefix / "logs" / "startup.log").string();
        std::vector<std::string> arguments = {binary, "-p", prefix_text, "-c",
                                              conf,   "-e", error_log};
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start " + binary);
        }
        for (int attempt = 0; attempt < 500 && !accepts_connections(port); ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!accepts_connections(port)) {
            throw std::runtime_error("nginx did not start; see " + (prefix / "logs").string());
        }
    }
    ~Nginx() {
        ::kill(pid_, SIGQUIT);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

private:
    pid_t pid_ = -1;
};

struct WrkResult {
    double requests_per_second = 0;
    std::string errors;  // socket errors and non-2xx answers, as wrk reports them
};

struct Load {
    std::string wrk;
    int threads;
    int connections;
};

WrkResult run_wrk(const Load& load, const fs::path& script, std::uint16_t port,
                  const std::string& path, int seconds) {
    const std::string& wrk = load.wrk;
    int connections = load.connections;
    std::string command = wrk + " -t" + std::to_string(load.threads) + " -c" +
                          std::to_string(connections) + " -d" + std::to_string(seconds) + "s -s " +
                          script.string() + " http://127.0.0.1:" + std::to_string(port) + path +
                          " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + wrk);
    }
    std::string output;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, got);
    }
    int status = ::pclose(pipe);
    std::smatch match;
    if (status != 0 ||
        !std::regex_search(output, match, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
        throw std::runtime_error("wrk failed:\n" + output);
    }
    WrkResult result;
    result.requests_per_second = std::stod(match[1]);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("Socket errors") != std::string::npos ||
            line.find("Non-2xx") != std::string::npos) {
            result.errors += line + "\n";
        }
    }
    return result;
}

// A wrk script sending `body` as a POST, or a plain GET when it is empty; always with
// "Connection: close", so every request takes a connection of its own.
void write_wrk_script(const fs::path& path, const std::string& body) {
    std::string script = "wrk.headers[\"Connection\"] = \"close\"\n";
    if (!body.empty()) {
        script += "wrk.method = \"POST\"\nwrk.body = \"";
        for (unsigned char c : body) {
            script += "\\" + std::to_string(c);
        }
        script += "\"\n";
    }
    write_file(path, script);
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "wk-bench-list-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path_ = pattern;
        // nginx's worker runs as an unprivileged user and must read the files.
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Cached movie-info queries per second against nginx, driven by wrk."};
    int connections = 64;
    int threads = 1;
    int seconds = 5;
    int rounds = 2;
    std::string nginx = "nginx";
    std::string wrk = "wrk";
    app.add_option("--connections", connections, "concurrent clients")->check(CLI::Range(1, 4096));
    app.add_option("--threads", threads, "wrk threads")->check(CLI::Range(1, 64));
    app.add_option("--duration", seconds, "seconds per measurement")->check(CLI::Range(1, 600));
    app.add_option("--rounds", rounds, "measured runs of each side")->check(CLI::Range(1, 20));
    app.add_option("--nginx", nginx, "nginx program");
    app.add_option("--wrk", wrk, "wrk program");
    CLI11_PARSE(app, argc, argv);

    try {
        TemporaryFolder folder;
        peerfeed::cid_bytes gcid;
        gcid.fill(0xC4);
        g_gcid_text = peerfeed::cid_to_hex(gcid);
        g_description_path = folder.path() / "film.mp4.sts";
        Bytes description = make_description(gcid);
        write_file(g_description_path, std::string(description.begin(), description.end()));

        sts_set_gcid2path_function(&gcid_to_path);
        std::uint16_t list_port = platform::free_tcp_port();
        if (sts_start(list_port) != 0) {
            throw std::runtime_error("the list server did not start");
        }
        catalogd::cmd_stream_query_movie_info query;
        query.gcid = gcid;
        Bytes query_bytes = catalogd::encode_message(query);
        std::string query_body(query_bytes.begin(), query_bytes.end());
        std::string request =
            "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(query_body.size()) + "\r\n\r\n" +
            query_body;
        // The first query reads and encodes the description; the measured ones hit the cache.
        std::string answer = body_of(fetch(list_port, request));
        if (answer.size() < 28) {
            throw std::runtime_error("the list server gave no answer");
        }

        fs::create_directories(folder.path() / "nginx" / "www");
        write_file(folder.path() / "nginx" / "www" / "answer.bin", answer);
        std::uint16_t nginx_port = platform::free_tcp_port();
        Nginx web_server(nginx, folder.path() / "nginx", nginx_port);
        if (body_of(fetch(nginx_port,
                          "GET /answer.bin HTTP/1.1\r\nHost: x\r\nConnection: "
                          "close\r\n\r\n")) != answer) {
            throw std::runtime_error("nginx does not serve the same bytes");
        }

        write_wrk_script(folder.path() / "query.lua", query_body);
        write_wrk_script(folder.path() / "get.lua", "");
        std::cout << "answer: " << answer.size() << " bytes; " << connections
                  << " connections, one request each; wrk with " << threads << " thread(s); "
                  << seconds << " s per run\n";

        // A short warm-up of both, then alternating measured runs, so that a passing load on
        // the machine weighs on both sides alike; the best run of each side counts.
        Load load{wrk, threads, connections};
        fs::path query_script = folder.path() / "query.lua";
        fs::path get_script = folder.path() / "get.lua";
        run_wrk(load, query_script, list_port, "/", 1);
        run_wrk(load, get_script, nginx_port, "/answer.bin", 1);
        WrkResult ours;
        WrkResult theirs;
        for (int round = 1; round <= rounds; ++round) {
            WrkResult list_run = run_wrk(load, query_script, list_port, "/", seconds);
            WrkResult nginx_run = run_wrk(load, get_script, nginx_port, "/answer.bin", seconds);
            std::cout << std::fixed << std::setprecision(0) << "round " << round << ": list server "
                      << list_run.requests_per_second << " requests/s, nginx "
                      << nginx_run.requests_per_second << " requests/s\n"
                      << list_run.errors << nginx_run.errors;
            if (list_run.requests_per_second > ours.requests_per_second) {
                ours = list_run;
            }
            if (nginx_run.requests_per_second > theirs.requests_per_second) {
                theirs = nginx_run;
            }
        }
        sts_stop();

        std::cout << std::fixed << std::setprecision(0);
        std::cout << "list server (cached query): " << ours.requests_per_second << " requests/s\n";
        std::cout << "nginx (static file):        " << theirs.requests_per_second
                  << " requests/s\n";
        std::cout << std::setprecision(2) << "ratio list server / nginx:  "
                  << ours.requests_per_second / theirs.requests_per_second << "\n";
        return 0;
    } catch (const std::exception& error) {
        sts_stop();
        std::cerr << "bench_list_server: " << error.what() << "\n";
        return 1;
    }
}
