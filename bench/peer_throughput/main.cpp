// bench_peer_throughput: the upload server measured side by side with the tool an operator
// would otherwise use, in one run.
//
//   throughput   payload rate of peers fetching random 64 KiB pages of a warm file through
//                wkpeer, against nginx serving the same file to wrk with random 64 KiB
//                Range requests at the same concurrency; prints both, the ratio, and each
//                server's CPU seconds per GB served (its own process only). Runs on
//                loopback, then (as root) over a veth pair between two network namespaces
//                the bench makes and removes.
//   cold         a working set four times the page budget over several files, random
//                64 KiB ranges, the system's page cache dropped before each server (root):
//                both rates and the disk bytes each server read per byte it served. Each
//                server runs in a control group limited to the page budget plus a little,
//                made and removed by the bench, so nginx cannot keep more of the files in
//                memory than the upload server may.
//   speed-limit  aggregate rate of several peers under vp_set_speed_limit, against the limit.
//   memory       resident memory under 1,000 idle connections and under load, against the
//                page budget.
//
// The server runs inside this process through its exports (in the cold run, in a child
// process of its own); wkpeer, nginx and wrk run as child processes and every child is
// stopped at the end.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
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

#include "memory_cgroup.h"
#include "nginx_conf.h"
#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"
#include "platform/process_usage.h"
#include "server_child.h"
#include "temp_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string bench_gcid = "0123456789ABCDEF0123456789ABCDEF01234567";
std::string g_media_path;
std::map<std::string, std::string> g_more_media;  // GCID -> path, beside bench_gcid

bool gcid_to_path(const char* gcid, char* path_out, unsigned int size) {
    std::string path = g_media_path;
    if (bench_gcid != gcid) {
        auto found = g_more_media.find(gcid);
        if (found == g_more_media.end()) {
            return false;
        }
        path = found->second;
    }
    if (path.size() + 1 > size) {
        return false;
    }
    std::memcpy(path_out, path.c_str(), path.size() + 1);
    return true;
}

// The GCID of the cold run's file number `n`.
std::string numbered_gcid(unsigned n) {
    char text[41];
    std::snprintf(text, sizeof text, "%040X", n + 1);
    return text;
}

// CPU time and disk reads of a set of processes since construction.
class usage_meter {
public:
    explicit usage_meter(std::vector<pid_t> pids) : pids_(std::move(pids)) {
        for (pid_t pid : pids_) {
            cpu_start_ += platform::process_cpu_seconds(pid);
            disk_start_ += platform::process_disk_read_bytes(pid);
        }
    }
    double cpu() const {
        double now = 0;
        for (pid_t pid : pids_) {
            now += platform::process_cpu_seconds(pid);
        }
        return now - cpu_start_;
    }
    std::uint64_t disk() const {
        std::uint64_t now = 0;
        for (pid_t pid : pids_) {
            now += platform::process_disk_read_bytes(pid);
        }
        return now - disk_start_;
    }

private:
    std::vector<pid_t> pids_;
    double cpu_start_ = 0;
    std::uint64_t disk_start_ = 0;
};

// Empties the system's page cache, so that reads come from the disk (root only).
bool drop_page_cache() {
    ::sync();
    std::ofstream control("/proc/sys/vm/drop_caches");
    control << "3\n";
    control.flush();
    return static_cast<bool>(control);
}

// A temporary folder that is also the server's application-data folder.
using work_folder = platform::testing::TempHome;

// A child process whose standard output is collected; inside `group` from its start when
// one is given.
class child_process {
public:
    explicit child_process(const std::vector<std::string>& args,
                           const bench::memory_cgroup* group = nullptr) {
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int spawned =
            group != nullptr ? spawn_in(*group, argv, pipe_fds[1]) : spawn(argv, pipe_fds[1]);
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

    pid_t pid() const { return pid_; }

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
    int spawn(std::vector<char*>& argv, int output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return spawned;
    }

    // The child joins the group before it runs the program, so that every process the
    // program starts is a member too.
    int spawn_in(const bench::memory_cgroup& group, std::vector<char*>& argv, int output) {
        pid_ = ::fork();
        if (pid_ < 0) {
            return errno;
        }
        if (pid_ == 0) {
            if (::dup2(output, STDOUT_FILENO) < 0 || !group.enter()) {
                ::_exit(127);
            }
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return 0;
    }

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

bool wait_for_port(const std::string& host, std::uint16_t port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// Where the servers listen and how a client reaches them.
struct network_path {
    std::string name;
    std::string server_address;              // clients connect here; nginx listens here
    std::vector<std::string> client_prefix;  // runs a client program in its namespace
};

network_path loopback_path() {
    return {"loopback", "127.0.0.1", {}};
}

// Two network namespaces joined by a veth pair. While it lives, the calling thread (and
// every thread and process it starts) is in the server's namespace; clients run in the
// other one. Both namespaces, and with them the pair, are removed at the end.
class veth_namespaces {
public:
    veth_namespaces() {
        const std::string id = std::to_string(::getpid());
        server_ns_ = "wkb-s-" + id;
        client_ns_ = "wkb-c-" + id;
        const std::string server_end = "wkbs" + id;
        const std::string client_end = "wkbc" + id;
        run({"ip", "netns", "add", server_ns_});
        made_server_ = true;
        run({"ip", "netns", "add", client_ns_});
        made_client_ = true;
        run({"ip", "link", "add", server_end, "type", "veth", "peer", "name", client_end});
        run({"ip", "link", "set", server_end, "netns", server_ns_});
        run({"ip", "link", "set", client_end, "netns", client_ns_});
        run({"ip", "-n", server_ns_, "addr", "add", "10.213.0.1/24", "dev", server_end});
        run({"ip", "-n", client_ns_, "addr", "add", "10.213.0.2/24", "dev", client_end});
        for (const auto& [ns, end] :
             {std::pair{server_ns_, server_end}, {client_ns_, client_end}}) {
            run({"ip", "-n", ns, "link", "set", "lo", "up"});
            run({"ip", "-n", ns, "link", "set", end, "up"});
        }
        original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(("/var/run/netns/" + server_ns_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = original_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            ::close(target);
        }
        if (!entered) {
            remove();
            throw std::runtime_error("cannot enter the server's network namespace");
        }
    }
    ~veth_namespaces() { remove(); }
    veth_namespaces(const veth_namespaces&) = delete;
    veth_namespaces& operator=(const veth_namespaces&) = delete;

    network_path path() const {
        return {"veth", "10.213.0.1", {"ip", "netns", "exec", client_ns_}};
    }

private:
    void remove() {
        if (original_ >= 0) {
            ::setns(original_, CLONE_NEWNET);
            ::close(original_);
            original_ = -1;
        }
        for (auto [made, ns] : {std::pair{made_server_, server_ns_}, {made_client_, client_ns_}}) {
            if (made) {
                try {
                    run({"ip", "netns", "del", ns});
                } catch (const std::exception& error) {
                    std::cerr << "could not remove network namespace " << ns << ": " << error.what()
                              << "\n";
                }
            }
        }
        made_server_ = made_client_ = false;
    }

    std::string server_ns_;
    std::string client_ns_;
    bool made_server_ = false;
    bool made_client_ = false;
    int original_ = -1;
};

std::vector<std::string> on_path(const network_path& path, std::vector<std::string> command) {
    command.insert(command.begin(), path.client_prefix.begin(), path.client_prefix.end());
    return command;
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

// The upload server in a child process of its own, inside `group` when one is given, so
// that its memory, CPU time and disk reads are its alone. Made while this process runs no
// other thread.
class server_process {
public:
    explicit server_process(const bench::memory_cgroup* group)
        : child_([group](int reports, int control) { return serve(group, reports, control); }) {
        if (!child_.read_report(&port_, sizeof port_)) {
            throw std::runtime_error("the upload server did not start");
        }
    }

    pid_t pid() const { return child_.pid(); }
    std::uint16_t port() const { return port_; }

    // Stops the server; its cache statistics, or none when it ended before (for example
    // killed for going over its memory limit).
    std::optional<vp_cache_stat> stop() {
        std::optional<vp_cache_stat> stat;
        if (child_.pid() <= 0) {
            return stat;
        }
        child_.tell_stop();
        vp_cache_stat reported{};
        if (child_.read_report(&reported, sizeof reported)) {
            stat = reported;
        }
        child_.wait();
        return stat;
    }

private:
    static int serve(const bench::memory_cgroup* group, int reports, int control) {
        try {
            if (group != nullptr && !group->enter()) {
                return 1;
            }
            const std::uint16_t port = start_server();
            (void)!::write(reports, &port, sizeof port);
            bench::server_child::wait_for_stop(control);
            vp_cache_stat stat{};
            vp_get_cache_stat(&stat);
            vp_stop();
            (void)!::write(reports, &stat, sizeof stat);
            return 0;
        } catch (...) {
            return 1;
        }
    }

    bench::server_child child_;
    std::uint16_t port_ = 0;
};

std::uint64_t resident_bytes(pid_t pid = 0) {
    std::ifstream status(pid == 0 ? std::string("/proc/self/status")
                                  : "/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6)) * 1024;
        }
    }
    return 0;
}

// The highest resident memory of a process (this one unless told) while this lives, sampled
// every 100 ms.
class peak_resident {
public:
    explicit peak_resident(pid_t pid = 0) : pid_(pid), sampler_([this] { sample(); }) {}
    ~peak_resident() { stop(); }
    peak_resident(const peak_resident&) = delete;
    peak_resident& operator=(const peak_resident&) = delete;

    std::uint64_t stop() {
        if (sampler_.joinable()) {
            running_ = false;
            sampler_.join();
        }
        return peak_;
    }

private:
    void sample() {
        while (running_) {
            peak_ = std::max(peak_.load(), resident_bytes(pid_));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    const pid_t pid_;
    std::atomic<bool> running_{true};
    std::atomic<std::uint64_t> peak_{0};
    std::thread sampler_;
};

double mib(double bytes) {
    return bytes / (1 << 20);
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

std::vector<std::string> wkpeer_load_command(const load_options& o, const network_path& path,
                                             const std::string& gcid, unsigned seed) {
    return on_path(
        path, {wkpeer_path().string(), "load", path.server_address + ":" + std::to_string(o.port),
               gcid, std::to_string(o.size), "--peers", std::to_string(o.peers), "--window",
               std::to_string(o.window), "--seconds", std::to_string(o.seconds), "--threads",
               std::to_string(o.threads), "--seed", std::to_string(seed)});
}

std::map<std::string, std::string> wkpeer_load(const load_options& o,
                                               const network_path& path = loopback_path()) {
    return fields(run(wkpeer_load_command(o, path, bench_gcid, 1)));
}

void warm_peer_cache(std::uint16_t port, std::uint64_t size, const fs::path& folder,
                     const network_path& path) {
    run(on_path(path,
                {wkpeer_path().string(), "get", path.server_address + ":" + std::to_string(port),
                 bench_gcid, std::to_string(size), "-o", (folder / "warm.out").string()}));
    fs::remove(folder / "warm.out");
}

// One server's side of a measured run.
struct served {
    double rate = 0;           // payload bytes per second
    double payload_bytes = 0;  // payload served in the run
    double cpu_seconds = 0;    // of the serving process(es) alone
    std::uint64_t disk_bytes = 0;
    std::string details;

    double cpu_per_gb() const {
        return payload_bytes > 0 ? cpu_seconds / (payload_bytes / 1e9) : 0;
    }
    double read_amplification() const {
        return payload_bytes > 0 ? static_cast<double>(disk_bytes) / payload_bytes : 0;
    }
};

// nginx with one worker serving `files` (each `size` bytes) from the folder; wrk asks for
// random 64 KiB ranges of random files and reports how many it got.
served nginx_run(const fs::path& folder, const std::vector<std::string>& files, std::uint64_t size,
                 const load_options& o, const network_path& path, bool warm,
                 const bench::memory_cgroup* group = nullptr) {
    const std::uint16_t port = platform::free_tcp_port();
    const fs::path conf = folder / "nginx.conf";
    std::ofstream(conf) << "worker_processes 1;\n"
                        << "user root;\n"
                        << "pid " << (folder / "nginx.pid").string() << ";\n"
                        << "error_log " << (folder / "nginx-error.log").string() << ";\n"
                        << "events { worker_connections 4096; }\n"
                        << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                        << "  keepalive_requests 1000000;\n"
                        << bench::nginx_temp_paths(folder) << "  server {\n    listen "
                        << path.server_address << ":" << port << ";\n"
                        << "    root " << folder.string() << ";\n  }\n}\n";
    const fs::path script = folder / "ranges.lua";
    std::ofstream lua(script);
    lua << "local size = " << size << "\nlocal chunk = 65536\n"
        << "local slots = math.floor((size + chunk - 1) / chunk)\n"
        << "local files = {";
    for (const std::string& name : files) {
        lua << "'/" << name << "', ";
    }
    lua << "}\n"
        // Each wrk thread has a Lua state of its own: seeded alike, the threads would ask
        // for the same ranges in the same order and find them cached by one another.
        << "local threads = 0\n"
        << "setup = function(thread)\n"
        << "  threads = threads + 1\n"
        << "  thread:set('seed', 12345 + threads)\n"
        << "end\n"
        << "init = function(args)\n"
        << "  math.randomseed(seed)\n"
        << "end\n"
        << "request = function()\n"
        << "  local first = math.random(0, slots - 1) * chunk\n"
        << "  local last = math.min(first + chunk, size) - 1\n"
        << "  return wrk.format('GET', files[math.random(1, #files)], "
           "{['Range'] = 'bytes=' .. first .. '-' .. last})\n"
        << "end\n"
        << "done = function(summary, latency, requests)\n"
        << "  io.write(string.format('requests=%d duration_us=%d errors=%d p50_us=%d "
           "p99_us=%d\\n',"
        << " summary.requests, summary.duration, summary.errors.status + summary.errors.read,"
        << " latency:percentile(50), latency:percentile(99)))\n"
        << "end\n";
    lua.close();
    child_process nginx({"nginx", "-p", folder.string(), "-c", conf.string(), "-g", "daemon off;"},
                        group);
    if (!wait_for_port(path.server_address, port)) {
        throw std::runtime_error("nginx did not start");
    }
    if (warm) {
        for (const std::string& name : files) {
            run({"cat", (folder / name).string()});  // into the page cache
        }
    } else if (!drop_page_cache()) {
        throw std::runtime_error("cannot drop the page cache");
    }
    const usage_meter usage(platform::process_and_children(nginx.pid()));
    const std::string output = run(on_path(
        path, {"wrk", "-t", std::to_string(o.threads), "-c", std::to_string(o.peers), "-d",
               std::to_string(static_cast<int>(o.seconds)) + "s", "-s", script.string(),
               "http://" + path.server_address + ":" + std::to_string(port) + "/" + files[0]}));
    served result;
    result.cpu_seconds = usage.cpu();
    result.disk_bytes = usage.disk();
    auto values = fields(output);
    const double requests = std::stod(values.at("requests"));
    const double seconds = std::stod(values.at("duration_us")) / 1e6;
    result.details = "requests=" + values["requests"] + " errors=" + values["errors"] +
                     " latency_us_p50=" + values["p50_us"] + " latency_us_p99=" + values["p99_us"];
    // Every answer carries 64 KiB of payload, except one of a file's tail.
    result.payload_bytes = requests * 65536.0;
    result.rate = result.payload_bytes / seconds;
    return result;
}

void print_pair(const std::string& label, const served& peer, const served& nginx) {
    std::printf("%s ratio peerfeed / nginx: payload rate %.2f, CPU s per GB %.2f\n", label.c_str(),
                peer.rate / nginx.rate, peer.cpu_per_gb() / nginx.cpu_per_gb());
}

void throughput_on(const fs::path& folder, std::uint64_t size, const load_options& base,
                   bool with_nginx, const network_path& path) {
    load_options o = base;
    o.size = size;
    const std::uint64_t before = resident_bytes();
    o.port = start_server();
    warm_peer_cache(o.port, size, folder, path);
    const usage_meter usage({::getpid()});
    peak_resident sampler;
    auto load = wkpeer_load(o, path);
    served peer;
    peer.cpu_seconds = usage.cpu();
    const double resident = static_cast<double>(sampler.stop()) - static_cast<double>(before);
    vp_cache_stat cache{};
    vp_get_cache_stat(&cache);
    vp_stop();
    peer.rate = std::stod(load.at("rate_bytes_per_s"));
    peer.payload_bytes = std::stod(load.at("payload_bytes"));
    std::printf(
        "[%s] peerfeed: %.1f MB/s payload, %.2f CPU s per GB (%u peers, window %u, 64 KiB "
        "requests, %.0f s, warm cache of a %.0f MiB file; hit ratio %u%%; latency_us p50=%s "
        "p99=%s; failed peers %s; peak resident +%.1f MiB)\n",
        path.name.c_str(), peer.rate / 1e6, peer.cpu_per_gb(), o.peers, o.window, o.seconds,
        mib(static_cast<double>(size)), cache.hit_ratio, load["latency_us_p50"].c_str(),
        load["latency_us_p99"].c_str(), load["failed_peers"].c_str(), mib(resident));
    std::fflush(stdout);
    if (!with_nginx) {
        return;
    }
    const served nginx = nginx_run(folder, {"media.bin"}, size, o, path, true);
    std::printf(
        "[%s] nginx:    %.1f MB/s payload, %.2f CPU s per GB (wrk, %u connections, random "
        "64 KiB ranges; %s)\n",
        path.name.c_str(), nginx.rate / 1e6, nginx.cpu_per_gb(), o.peers, nginx.details.c_str());
    print_pair("[" + path.name + "]", peer, nginx);
    std::fflush(stdout);
}

int throughput(std::uint64_t size, const load_options& base, bool with_nginx, bool with_veth) {
    work_folder folder("wk-bench-peer");
    g_media_path = (folder.path() / "media.bin").string();
    write_media(g_media_path, size);
    throughput_on(folder.path(), size, base, with_nginx, loopback_path());
    if (!with_veth) {
        return 0;
    }
    if (::geteuid() != 0) {
        std::printf("[veth] skipped: making network namespaces needs root\n");
        return 0;
    }
    std::optional<veth_namespaces> veth;
    try {
        veth.emplace();
    } catch (const std::exception& error) {
        std::printf("[veth] skipped: %s\n", error.what());
        return 0;
    }
    throughput_on(folder.path(), size, base, with_nginx, veth->path());
    return 0;
}

// A memory-limited group for one side of the cold run, or none with the reason said.
std::unique_ptr<bench::memory_cgroup> cold_group(std::uint64_t limit) {
    std::string why_not;
    std::unique_ptr<bench::memory_cgroup> group = bench::memory_cgroup::create(limit, why_not);
    if (!group) {
        std::printf("[cold] no memory limit (%s): nginx keeps all it reads in memory\n",
                    why_not.c_str());
    }
    return group;
}

std::string describe_group(const bench::memory_cgroup* group) {
    if (group == nullptr) {
        return "no memory limit";
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s memory limit %.0f MiB, peak use %.1f MiB",
                  group->version(), mib(static_cast<double>(group->limit())),
                  mib(static_cast<double>(group->peak())));
    return text;
}

// Several files, together four times the page budget, read at random from a cold disk.
// Each server runs in a control group limited to the page budget plus `slack`: the upload
// server keeps its pages within the budget anyway, and nginx, which has no budget, gets
// the same memory for the system's page cache.
int cold(std::uint64_t budget, std::uint64_t slack, unsigned files, const load_options& base) {
    if (::geteuid() != 0) {
        std::printf("[cold] skipped: dropping the page cache needs root\n");
        return 0;
    }
    work_folder folder("wk-bench-peer");
    std::ofstream(folder.path() / "Wharfkeep.ini")
        << "[vp]\nminimum_mem_size=" << budget << "\nmaximum_mem_size=" << budget << "\n";
    const std::uint64_t size = 4 * budget / files;
    std::vector<std::string> names;
    g_more_media.clear();
    for (unsigned n = 0; n < files; ++n) {
        names.push_back("media" + std::to_string(n) + ".bin");
        write_media(folder.path() / names.back(), size);
        g_more_media[numbered_gcid(n)] = (folder.path() / names.back()).string();
    }
    load_options o = base;
    o.size = size;
    o.peers = std::max(1u, base.peers / files);
    o.threads = 1;
    const network_path path = loopback_path();

    served peer;
    std::optional<vp_cache_stat> cache;
    std::string peer_group;
    double resident = 0;
    {
        std::unique_ptr<bench::memory_cgroup> group = cold_group(budget + slack);
        server_process server(group.get());
        o.port = server.port();
        const double before = static_cast<double>(resident_bytes(server.pid()));
        if (!drop_page_cache()) {
            throw std::runtime_error("cannot drop the page cache");
        }
        const usage_meter usage({server.pid()});
        peak_resident sampler(server.pid());
        std::vector<std::unique_ptr<child_process>> loads;
        for (unsigned n = 0; n < files; ++n) {
            loads.push_back(std::make_unique<child_process>(
                wkpeer_load_command(o, path, numbered_gcid(n), n + 1)));
        }
        for (auto& load : loads) {
            std::string output;
            if (load->finish(output) != 0) {
                throw std::runtime_error("wkpeer load failed: " + output);
            }
            peer.payload_bytes += std::stod(fields(output).at("payload_bytes"));
        }
        peer.cpu_seconds = usage.cpu();
        peer.disk_bytes = usage.disk();
        resident = static_cast<double>(sampler.stop()) - before;
        cache = server.stop();
        peer_group = describe_group(group.get());
    }
    if (!cache) {
        throw std::runtime_error("the upload server ended during the run (" + peer_group + ")");
    }
    peer.rate = peer.payload_bytes / o.seconds;
    std::printf(
        "[cold] peerfeed: %.1f MB/s payload, %.2f CPU s per GB, read amplification %.3f (%u "
        "files of %.0f MiB, page budget %.0f MiB, %u peers per file, window %u, %.0f s; hit "
        "ratio %u%%; peak resident budget %+.1f MiB; %s)\n",
        peer.rate / 1e6, peer.cpu_per_gb(), peer.read_amplification(), files, size / 1048576.0,
        budget / 1048576.0, o.peers, o.window, o.seconds, cache->hit_ratio,
        mib(resident - static_cast<double>(budget)), peer_group.c_str());
    std::fflush(stdout);

    load_options n = o;
    n.peers = o.peers * files;
    n.threads = base.threads;
    std::unique_ptr<bench::memory_cgroup> group = cold_group(budget + slack);
    const served nginx = nginx_run(folder.path(), names, size, n, path, false, group.get());
    std::printf(
        "[cold] nginx:    %.1f MB/s payload, %.2f CPU s per GB, read amplification %.3f (%s; "
        "%s)\n",
        nginx.rate / 1e6, nginx.cpu_per_gb(), nginx.read_amplification(), nginx.details.c_str(),
        describe_group(group.get()).c_str());
    print_pair("[cold]", peer, nginx);
    return 0;
}

int speed_limit(std::uint32_t limit, const load_options& base) {
    work_folder folder("wk-bench-peer");
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
    work_folder folder("wk-bench-peer");
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

    peak_resident sampler;
    auto peer = wkpeer_load(o);
    const std::uint64_t peak = sampler.stop();
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
    bool no_veth = false;
    app.add_flag("--no-veth", no_veth, "Measure on loopback only");
    bool zero_copy = false;
    app.add_flag("--zero-copy", zero_copy,
                 "Send answers from the page file with sendfile instead of copying them");

    std::uint64_t cold_budget = 256ull << 20;
    unsigned cold_files = 4;
    CLI::App* cold_run = app.add_subcommand("cold", "Random reads of a working set 4x the budget");
    cold_run->add_option("--budget", cold_budget, "Page budget in bytes");
    cold_run->add_option("--files", cold_files, "Files the working set is spread over")
        ->check(CLI::Range(1u, 64u));
    std::uint64_t cold_slack = 32ull << 20;
    cold_run->add_option("--memory-slack", cold_slack,
                         "Bytes each server may use beyond the page budget");

    std::uint32_t limit = 65536;
    CLI::App* limited = app.add_subcommand("speed-limit", "Aggregate rate under a speed limit");
    limited->add_option("--limit", limit, "Bytes per second");

    std::uint64_t budget = 256ull << 20;
    unsigned idle = 1000;
    CLI::App* mem = app.add_subcommand("memory", "Resident memory against the page budget");
    mem->add_option("--budget", budget, "Page budget in bytes");
    mem->add_option("--idle", idle, "Idle connections");
    CLI11_PARSE(app, argc, argv);
    if (zero_copy) {
        ::setenv("WHARFKEEP_PEER_ZERO_COPY_SEND", "1", 1);
    }
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
        if (cold_run->parsed()) {
            return cold(cold_budget, cold_slack, cold_files, o);
        }
        return throughput(size, o, !no_nginx, !no_veth);
    } catch (const std::exception& error) {
        std::cerr << "bench_peer_throughput: " << error.what() << "\n";
        vp_stop();
        return 1;
    }
}
