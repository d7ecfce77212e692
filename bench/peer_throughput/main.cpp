// bench_peer_throughput: the upload server measured side by side with the tool an operator
// would otherwise use, in one run.
//
//   throughput   payload rate of peers fetching random 64 KiB pages of a warm file through
//                wkpeer, against nginx serving the same file to wrk with random 64 KiB
//                Range requests at the same concurrency; prints both and the ratio.
//   speed-limit  aggregate rate of several peers under vp_set_speed_limit, against the limit.
//   memory       resident memory under 1,000 idle connections and under load, against the
//                page budget.
//
// The server runs inside this process through its exports; wkpeer, nginx and wrk run as
// child processes. Everything listens on 127.0.0.1 and every child is stopped at the end.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string bench_gcid = "0123456789ABCDEF0123456789ABCDEF01234567";
std::string g_media_path;

bool gcid_to_path(const char* gcid, char* path_out, unsigned int size) {
    if (bench_gcid != gcid || g_media_path.size() + 1 > size) {
        return false;
    }
    std::memcpy(path_out, g_media_path.c_str(), g_media_path.size() + 1);
    return true;
}

// A temporary folder that is also the server's application-data folder.
class work_folder {
public:
    work_folder() {
        char pattern[] = "/tmp/wk-bench-peer-XXXXXX";
        path_ = ::mkdtemp(pattern);
        ::setenv("WHARFKEEP_HOME", path_.c_str(), 1);
    }
    ~work_folder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A child process whose standard output is collected.
class child_process {
public:
    explicit child_process(const std::vector<std::string>& args) {
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        out_fd_ = pipe_fds[0];
        if (spawned != 0) {
            ::close(out_fd_);
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    ~child_process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            wait();
        }
        if (out_fd_ >= 0) {
            ::close(out_fd_);
        }
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Reads the output to its end and waits for the exit; returns the exit status.
    int finish(std::string& output) {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(out_fd_, buffer, sizeof buffer)) > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        }
        return wait();
    }

private:
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
};

std::string run(const std::vector<std::string>& args) {
    child_process child(args);
    std::string output;
    if (child.finish(output) != 0) {
        std::cerr << output;
        throw std::runtime_error(args[0] + " failed");
    }
    return output;
}

// "key=value" pairs of a line of output.
std::map<std::string, std::string> fields(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals != std::string::npos) {
            out[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return out;
}

bool wait_for_port(std::uint16_t port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

void write_media(const fs::path& path, std::uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t at = 0; at < size; at += block.size() * 8) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = (at / 8 + i) * 0x9E3779B97F4A7C15ull;
        }
        out.write(
            reinterpret_cast<const char*>(block.data()),
            static_cast<std::streamsize>(std::min<std::uint64_t>(block.size() * 8, size - at)));
    }
}

std::uint16_t start_server() {
    vp_set_gcid2path_function(&gcid_to_path);
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::uint16_t port = platform::free_tcp_port();
        if (vp_start(port) == 0) {
            return port;
        }
    }
    throw std::runtime_error("the upload server did not start");
}

std::uint64_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6)) * 1024;
        }
    }
    return 0;
}

fs::path wkpeer_path() {
    return fs::read_symlink("/proc/self/exe").parent_path() / "wkpeer";
}

struct load_options {
    std::uint16_t port;
    std::uint64_t size;
    unsigned peers;
    unsigned window;
    double seconds;
    unsigned threads;
};

std::map<std::string, std::string> wkpeer_load(const load_options& o) {
    return fields(run({wkpeer_path().string(), "load", "127.0.0.1:" + std::to_string(o.port),
                       bench_gcid, std::to_string(o.size), "--peers", std::to_string(o.peers),
                       "--window", std::to_string(o.window), "--seconds", std::to_string(o.seconds),
                       "--threads", std::to_string(o.threads)}));
}

void warm_peer_cache(std::uint16_t port, std::uint64_t size, const fs::path& folder) {
    run({wkpeer_path().string(), "get", "127.0.0.1:" + std::to_string(port), bench_gcid,
         std::to_string(size), "-o", (folder / "warm.out").string()});
    fs::remove(folder / "warm.out");
}

// nginx with one worker serving the folder on a loopback port; wrk asks for random 64 KiB
// ranges and reports how many it got.
double nginx_payload_rate(const fs::path& folder, std::uint64_t size, const load_options& o,
                          std::string& details) {
    const std::uint16_t port = platform::free_tcp_port();
    const fs::path conf = folder / "nginx.conf";
    std::ofstream(conf) << "worker_processes 1;\n"
                        << "user root;\n"
                        << "pid " << (folder / "nginx.pid").string() << ";\n"
                        << "error_log " << (folder / "nginx-error.log").string() << ";\n"
                        << "events { worker_connections 4096; }\n"
                        << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                        << "  keepalive_requests 1000000;\n"
                        << "  client_body_temp_path " << folder.string() << ";\n"
                        << "  proxy_temp_path " << folder.string() << ";\n"
                        << "  fastcgi_temp_path " << folder.string() << ";\n"
                        << "  uwsgi_temp_path " << folder.string() << ";\n"
                        << "  scgi_temp_path " << folder.string() << ";\n"
                        << "  server {\n    listen 127.0.0.1:" << port << ";\n"
                        << "    root " << folder.string() << ";\n  }\n}\n";
    const fs::path script = folder / "ranges.lua";
    std::ofstream(script)
        << "local size = " << size << "\nlocal chunk = 65536\n"
        << "local slots = math.floor((size + chunk - 1) / chunk)\n"
        << "math.randomseed(" << 12345 << ")\n"
        << "request = function()\n"
        << "  local first = math.random(0, slots - 1) * chunk\n"
        << "  local last = math.min(first + chunk, size) - 1\n"
        << "  return wrk.format('GET', '/media.bin', {['Range'] = 'bytes=' .. first .. '-' .. "
           "last})\n"
        << "end\n"
        << "done = function(summary, latency, requests)\n"
        << "  io.write(string.format('requests=%d duration_us=%d errors=%d p50_us=%d p99_us=%d\\n',"
        << " summary.requests, summary.duration, summary.errors.status + summary.errors.read,"
        << " latency:percentile(50), latency:percentile(99)))\n"
        << "end\n";
    child_process nginx({"nginx", "-p", folder.string(), "-c", conf.string(), "-g", "daemon off;"});
    if (!wait_for_port(port)) {
        throw std::runtime_error("nginx did not start");
    }
    run({"cat", (folder / "media.bin").string()});  // into the page cache
    const std::string output =
        run({"wrk", "-t", std::to_string(o.threads), "-c", std::to_string(o.peers), "-d",
             std::to_string(static_cast<int>(o.seconds)) + "s", "-s", script.string(),
             "http://127.0.0.1:" + std::to_string(port) + "/media.bin"});
    auto values = fields(output);
    const double requests = std::stod(values.at("requests"));
    const double seconds = std::stod(values.at("duration_us")) / 1e6;
    details = "requests=" + values["requests"] + " errors=" + values["errors"] +
              " latency_us_p50=" + values["p50_us"] + " latency_us_p99=" + values["p99_us"];
    // Every answer carries 64 KiB of payload, except one of the file's tail.
    return requests * 65536.0 / seconds;
}

int throughput(std::uint64_t size, const load_options& base, bool with_nginx) {
    work_folder folder;
    g_media_path = (folder.path() / "media.bin").string();
    write_media(g_media_path, size);
    load_options o = base;
    o.size = size;
    o.port = start_server();
    warm_peer_cache(o.port, size, folder.path());
    auto peer = wkpeer_load(o);
    vp_cache_stat cache{};
    vp_get_cache_stat(&cache);
    vp_stop();
    const double peer_rate = std::stod(peer.at("rate_bytes_per_s"));
    std::printf(
        "peerfeed: %.1f MB/s payload (%u peers, window %u, 64 KiB requests, %.0f s, "
        "warm cache; hit ratio %u%%; latency_us p50=%s p99=%s; failed peers %s)\n",
        peer_rate / 1e6, o.peers, o.window, o.seconds, cache.hit_ratio,
        peer["latency_us_p50"].c_str(), peer["latency_us_p99"].c_str(),
        peer["failed_peers"].c_str());
    if (!with_nginx) {
        return 0;
    }
    std::string details;
    const double nginx_rate = nginx_payload_rate(folder.path(), size, o, details);
    std::printf("nginx:    %.1f MB/s payload (wrk, %u connections, random 64 KiB ranges; %s)\n",
                nginx_rate / 1e6, o.peers, details.c_str());
    std::printf("ratio peerfeed / nginx: %.2f\n", peer_rate / nginx_rate);
    return 0;
}

int speed_limit(std::uint32_t limit, const load_options& base) {
    work_folder folder;
    g_media_path = (folder.path() / "media.bin").string();
    const std::uint64_t size = 64ull << 20;
    write_media(g_media_path, size);
    load_options o = base;
    o.size = size;
    o.port = start_server();
    vp_set_speed_limit(limit);
    auto peer = wkpeer_load(o);
    vp_stop();
    vp_set_speed_limit(0);
    // The limit covers every byte sent, and at this rate an answer takes seconds to
    // arrive: count the bytes on the wire, not the answers completed.
    const double rate = std::stod(peer.at("wire_rate_bytes_per_s"));
    const double payload = std::stod(peer.at("rate_bytes_per_s"));
    std::printf(
        "speed limit %u B/s, %u peers, %.0f s: %.0f B/s aggregate on the wire (%+.1f%% "
        "off the limit; %.0f B/s in completed answers)\n",
        limit, o.peers, o.seconds, rate, (rate / limit - 1) * 100, payload);
    return 0;
}

// Connections that connect and then say nothing.
std::vector<int> open_idle_connections(std::uint16_t port, unsigned count) {
    std::vector<int> fds;
    for (unsigned i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            break;
        }
        fds.push_back(fd);
    }
    return fds;
}

int memory(std::uint64_t size, std::uint64_t budget, unsigned idle, const load_options& base) {
    work_folder folder;
    g_media_path = (folder.path() / "media.bin").string();
    write_media(g_media_path, size);
    std::ofstream(folder.path() / "Wharfkeep.ini")
        << "[vp]\nminimum_mem_size=" << budget << "\nmaximum_mem_size=" << budget << "\n";
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    const std::uint64_t before = resident_bytes();
    load_options o = base;
    o.size = size;
    o.port = start_server();
    std::vector<int> fds = open_idle_connections(o.port, idle);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peerfeed_stat stat{};
    vp_get_server_stat(&stat);
    const std::uint64_t idle_rss = resident_bytes();
    std::printf(
        "idle: %u connections (server counts %u sessions), resident +%.1f MiB over the "
        "process before start\n",
        static_cast<unsigned>(fds.size()), stat.live_sessions,
        (static_cast<double>(idle_rss) - before) / (1 << 20));
    for (int fd : fds) {
        ::close(fd);
    }

    std::atomic<bool> loading{true};
    std::uint64_t peak = 0;
    std::thread sampler([&] {
        while (loading) {
            peak = std::max(peak, resident_bytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    auto peer = wkpeer_load(o);
    loading = false;
    sampler.join();
    vp_stop();
    std::printf(
        "load: %s MB/s over a %.0f MiB file with a %.0f MiB page budget; peak resident "
        "+%.1f MiB over the process before start (budget + %.1f MiB)\n",
        peer.at("rate_MBps").c_str(), size / 1048576.0, budget / 1048576.0,
        (static_cast<double>(peak) - before) / (1 << 20),
        (static_cast<double>(peak) - before - budget) / (1 << 20));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"bench_peer_throughput: the upload server against the usual alternatives"};
    app.require_subcommand(0, 1);
    std::uint64_t size = 1ull << 30;
    load_options o{0, 0, 64, 16, 10, 2};
    bool no_nginx = false;
    app.add_option("--size", size, "Bytes of the served file");
    app.add_option("--peers", o.peers, "Concurrent peers (and wrk connections)");
    app.add_option("--window", o.window, "REQUESTs outstanding per peer");
    app.add_option("--seconds", o.seconds, "Length of each measured run");
    app.add_option("--threads", o.threads, "Client threads of wkpeer and wrk");
    app.add_flag("--no-nginx", no_nginx, "Measure the upload server only");

    std::uint32_t limit = 65536;
    CLI::App* limited = app.add_subcommand("speed-limit", "Aggregate rate under a speed limit");
    limited->add_option("--limit", limit, "Bytes per second");

    std::uint64_t budget = 256ull << 20;
    unsigned idle = 1000;
    CLI::App* mem = app.add_subcommand("memory", "Resident memory against the page budget");
    mem->add_option("--budget", budget, "Page budget in bytes");
    mem->add_option("--idle", idle, "Idle connections");
    CLI11_PARSE(app, argc, argv);
    // Peers that hang up must not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    try {
        if (limited->parsed()) {
            if (app.get_option("--peers")->count() == 0) {
                o.peers = 8;
            }
            if (app.get_option("--seconds")->count() == 0) {
                o.seconds = 20;
            }
            return speed_limit(limit, o);
        }
        if (mem->parsed()) {
            return memory(size, budget, idle, o);
        }
        return throughput(size, o, !no_nginx);
    } catch (const std::exception& error) {
        std::cerr << "bench_peer_throughput: " << error.what() << "\n";
        vp_stop();
        return 1;
    }
}
