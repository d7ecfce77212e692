// bench_list_server: the list server against nginx, one request per connection, for two
// answers: the cached movie-info answer (nginx serves a file of the same bytes) and the list
// of published files, "/urls" (nginx serves the same list as a file). A load client of our
// own drives both with the same connection count; it spreads its connections over the
// source addresses 127.0.0.2-254, so that the TIME_WAIT the list server leaves on the
// client's side (its clients close first) does not throttle the client, and keeps each
// server's own close order. Reported: requests per second and requests per CPU-second of
// the serving process alone (the list server runs in a child process of its own; for nginx,
// its master and worker).
//
// On a machine with two or more CPUs the servers run on the first CPU and the load client on
// the others (--no-pin turns that off): a server that shares its CPU with the client, or
// wanders between CPUs, is charged a varying part of the client's network work, and the
// per-CPU-second figures then swing by a third between runs. A passing load on a virtual
// machine still spoils single rounds; the median of the rounds' ratios shrugs those off.
//
// Needs nginx on the PATH (or given with --nginx). Everything listens on 127.0.0.1 only,
// and every process started here is stopped before the program ends.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "catalogd/catalogd.h"
#include "load_client.h"
#include "movie_info.h"
#include "nginx_conf.h"
#include "platform/free_port.h"
#include "platform/process_usage.h"
#include "server_child.h"
#include "temp_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The description served: what publishing writes for a file of 64 pieces.
constexpr std::uint32_t kPieces = 64;
constexpr std::uint32_t kPieceSize = 2 * 1024 * 1024;

fs::path g_description_path;
std::string g_gcid_text;
std::string g_list_text;  // what the host exports for "/urls"

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
                       "  keepalive_timeout 0;\n" +
                       bench::nginx_temp_paths(prefix / "temp") +
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
    // The master and its workers: together they are the serving side.
    std::vector<pid_t> processes() const { return platform::process_and_children(pid_); }
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

bool export_list(const char* path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << g_list_text;
    out.close();
    return !out.fail();
}

// The list a host with `files` published files writes: one line of identifier and size each.
std::string make_list(int files) {
    std::string text;
    char line[64];
    for (int i = 0; i < files; ++i) {
        peerfeed::cid_bytes gcid{};
        for (std::size_t b = 0; b < gcid.size(); ++b) {
            gcid[b] = static_cast<std::uint8_t>((i * 131 + static_cast<int>(b) * 17) >> (b % 3));
        }
        std::snprintf(line, sizeof line, " %llu\r\n",
                      static_cast<unsigned long long>(100'000'000ull + 7919ull * i));
        text += peerfeed::cid_to_hex(gcid) + line;
    }
    return text;
}

// The list server in a child process of its own, so that its CPU time is its alone. Made
// before any thread exists, and stopped when this goes out of scope.
class ServingProcess {
public:
    explicit ServingProcess(std::uint16_t port)
        : child_([port](int reports, int control) { return serve(port, reports, control); }) {
        char started = 0;
        if (!child_.read_report(&started, 1) || started != 1) {
            throw std::runtime_error("the list server did not start");
        }
    }
    pid_t pid() const { return child_.pid(); }

private:
    static int serve(std::uint16_t port, int reports, int control) {
        sts_set_gcid2path_function(&gcid_to_path);
        sts_set_export_lists_function(&export_list);
        char started = sts_start(port) == 0 ? 1 : 0;
        (void)!::write(reports, &started, 1);
        if (started == 1) {
            bench::server_child::wait_for_stop(control);
        }
        sts_stop();
        return 0;
    }

    bench::server_child child_;
};

double cpu_seconds(const std::vector<pid_t>& processes) {
    double total = 0;
    for (pid_t pid : processes) {
        total += platform::process_cpu_seconds(pid);
    }
    return total;
}

std::string machine_load() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return "load average " + one + " " + five + " " + fifteen;
}

// The CPUs this process may run on: the servers get the first, the load client the rest.
struct CpuSplit {
    cpu_set_t server{};
    cpu_set_t client{};
    int server_cpu = -1;
};

std::optional<CpuSplit> split_cpus() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
        return std::nullopt;
    }
    CpuSplit split;
    split.client = allowed;
    CPU_ZERO(&split.server);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            split.server_cpu = cpu;
            break;
        }
    }
    CPU_SET(split.server_cpu, &split.server);
    CPU_CLR(split.server_cpu, &split.client);
    return split;
}

void run_on(const cpu_set_t& cpus) {
    if (::sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
        throw std::runtime_error("cannot set the CPU affinity");
    }
}

// What one side did over all its measured runs.
struct Tally {
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;
    double seconds = 0;
    double cpu_seconds = 0;
    double machine_cpu_seconds = 0;  // every CPU's work, the load client's included

    double per_second() const { return seconds > 0 ? completed / seconds : 0; }
    double per_cpu_second() const { return cpu_seconds > 0 ? completed / cpu_seconds : 0; }
    double per_machine_cpu_second() const {
        return machine_cpu_seconds > 0 ? completed / machine_cpu_seconds : 0;
    }
};

Tally measure(const bench::LoadTarget& target, const bench::LoadSettings& settings,
              const std::vector<pid_t>& serving) {
    double cpu_before = cpu_seconds(serving);
    double machine_before = platform::machine_busy_cpu_seconds();
    bench::LoadResult load = bench::run_load(target, settings);
    Tally tally;
    tally.cpu_seconds = cpu_seconds(serving) - cpu_before;
    tally.machine_cpu_seconds = platform::machine_busy_cpu_seconds() - machine_before;
    tally.completed = load.completed;
    tally.failed = load.failed;
    tally.seconds = load.seconds;
    return tally;
}

void add(Tally& into, const Tally& run) {
    into.completed += run.completed;
    into.failed += run.failed;
    into.seconds += run.seconds;
    into.cpu_seconds += run.cpu_seconds;
    into.machine_cpu_seconds += run.machine_cpu_seconds;
}

std::string describe(const Tally& tally) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(0) << tally.per_second() << " requests/s, "
         << tally.per_cpu_second() << " per CPU-second (" << std::setprecision(2)
         << tally.cpu_seconds << " CPU-s in " << tally.seconds << " s";
    if (tally.failed != 0) {
        text << ", " << tally.failed << " failed";
    }
    text << ")";
    return text.str();
}

struct Side {
    bench::LoadTarget target;
    std::vector<pid_t> serving;
};

// A short warm-up of both, then alternating measured runs, so that a passing load on the
// machine weighs on both sides alike. The totals over all runs count.
void compare(const std::string& title, const Side& ours, const Side& nginx,
             const bench::LoadSettings& settings, int rounds) {
    std::cout << "\n" << title << " (" << machine_load() << ")\n";
    bench::LoadSettings warm_up = settings;
    warm_up.seconds = 1;
    bench::run_load(ours.target, warm_up);
    bench::run_load(nginx.target, warm_up);
    Tally our_total;
    Tally nginx_total;
    std::vector<double> round_ratios;
    for (int round = 1; round <= rounds; ++round) {
        Tally our_run = measure(ours.target, settings, ours.serving);
        Tally nginx_run = measure(nginx.target, settings, nginx.serving);
        std::cout << "  round " << round << ": list server " << describe(our_run) << "\n"
                  << "           nginx       " << describe(nginx_run) << "\n";
        add(our_total, our_run);
        add(nginx_total, nginx_run);
        if (nginx_run.per_cpu_second() > 0) {
            round_ratios.push_back(our_run.per_cpu_second() / nginx_run.per_cpu_second());
        }
    }
    std::cout << std::fixed << std::setprecision(2) << "  all rounds: list server "
              << describe(our_total) << "\n              nginx       " << describe(nginx_total)
              << "\n  ratio list server / nginx: requests/s "
              << our_total.per_second() / nginx_total.per_second() << ", per CPU-second "
              << our_total.per_cpu_second() / nginx_total.per_cpu_second() << "  ("
              << machine_load()
              << ")\n"
              // On loopback the kernel charges much of one side's network work to whichever
              // process happens to send next, so the whole machine's CPU time per request
              // (load client included, same client for both) is shown beside it.
              << "  whole machine: list server " << std::setprecision(0)
              << our_total.per_machine_cpu_second() << ", nginx "
              << nginx_total.per_machine_cpu_second() << " requests per machine CPU-second; ratio "
              << std::setprecision(2)
              << our_total.per_machine_cpu_second() / nginx_total.per_machine_cpu_second() << "\n";
    if (!round_ratios.empty()) {
        std::sort(round_ratios.begin(), round_ratios.end());
        const std::size_t middle = round_ratios.size() / 2;
        const double median = round_ratios.size() % 2 == 1
                                  ? round_ratios[middle]
                                  : (round_ratios[middle - 1] + round_ratios[middle]) / 2;
        std::cout << "  per CPU-second, median of the rounds' ratios: " << median << " (from "
                  << round_ratios.front() << " to " << round_ratios.back() << ")\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The list server against nginx: cached movie-info answers and the file list."};
    int connections = 64;
    int threads = 1;
    int seconds = 5;
    int rounds = 2;
    int list_files = 10'000;
    std::string nginx = "nginx";
    std::string answers = "both";
    bool pin = true;
    app.add_option("--connections", connections, "concurrent clients")->check(CLI::Range(1, 4096));
    app.add_option("--threads", threads, "load client threads")->check(CLI::Range(1, 64));
    app.add_option("--duration", seconds, "seconds per measurement")->check(CLI::Range(1, 600));
    app.add_option("--rounds", rounds, "measured runs of each side")->check(CLI::Range(1, 20));
    app.add_option("--list-files", list_files, "published files in the list")
        ->check(CLI::Range(0, 1'000'000));
    app.add_option("--nginx", nginx, "nginx program");
    app.add_option("--answers", answers, "which answers to measure")
        ->check(CLI::IsMember({"cached", "list", "both"}));
    app.add_flag("--pin,!--no-pin", pin,
                 "servers on the first CPU, the load client on the others (default: on)");
    CLI11_PARSE(app, argc, argv);

    try {
        platform::testing::TempFolder folder("wk-bench-list");
        if (folder.path().empty()) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        // nginx's worker runs as an unprivileged user and must read the files.
        fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read |
                                           fs::perms::others_exec);
        peerfeed::cid_bytes gcid;
        gcid.fill(0xC4);
        g_gcid_text = peerfeed::cid_to_hex(gcid);
        g_description_path = folder.path() / "film.mp4.sts";
        Bytes description = make_description(gcid);
        write_file(g_description_path, std::string(description.begin(), description.end()));
        g_list_text = make_list(list_files);

        // The servers inherit this process's CPU at their start; the client threads, made
        // later, inherit the others.
        std::optional<CpuSplit> cpus = pin ? split_cpus() : std::nullopt;
        if (cpus) {
            run_on(cpus->server);
        }
        std::uint16_t list_port = platform::free_tcp_port();
        ServingProcess list_server(list_port);

        catalogd::cmd_stream_query_movie_info query;
        query.gcid = gcid;
        Bytes query_bytes = catalogd::encode_message(query);
        std::string query_body(query_bytes.begin(), query_bytes.end());
        std::string query_request =
            "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(query_body.size()) + "\r\n\r\n" +
            query_body;
        const std::string list_request = "GET /urls HTTP/1.1\r\nHost: x\r\n\r\n";
        // The first query reads and encodes the description; the measured ones hit the cache.
        std::string answer = body_of(fetch(list_port, query_request));
        if (answer.size() < 28) {
            throw std::runtime_error("the list server gave no answer");
        }
        if (body_of(fetch(list_port, list_request)) != g_list_text) {
            throw std::runtime_error("the list server does not serve the exported list");
        }

        fs::path www = folder.path() / "nginx" / "www";
        fs::create_directories(www);
        write_file(www / "answer.bin", answer);
        write_file(www / "urls", g_list_text);
        std::uint16_t nginx_port = platform::free_tcp_port();
        Nginx web_server(nginx, folder.path() / "nginx", nginx_port);
        auto nginx_get = [](const std::string& path) {
            return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        };
        if (body_of(fetch(nginx_port, nginx_get("/answer.bin"))) != answer ||
            body_of(fetch(nginx_port, nginx_get("/urls"))) != g_list_text) {
            throw std::runtime_error("nginx does not serve the same bytes");
        }

        if (cpus) {
            run_on(cpus->client);
        }
        std::cout << "answer " << answer.size() << " bytes, list " << g_list_text.size()
                  << " bytes (" << list_files << " files); " << connections
                  << " connections, one request each, from 127.0.0.2-254; " << threads
                  << " client thread(s); " << seconds << " s per run; list server pid "
                  << list_server.pid() << ", nginx pid " << web_server.processes().back() << "; "
                  << (cpus ? "servers on CPU " + std::to_string(cpus->server_cpu) +
                                 ", client on the other " + std::to_string(CPU_COUNT(&cpus->client))
                           : std::string("not pinned"))
                  << "\n";
        bench::LoadSettings settings{connections, threads, static_cast<double>(seconds)};
        // The list server lets its clients close first; nginx closes first itself.
        std::vector<pid_t> ours{list_server.pid()};
        std::vector<pid_t> theirs = web_server.processes();
        if (answers != "list") {
            compare("cached movie-info answer",
                    {{list_port, query_request, false, answer.size()}, ours},
                    {{nginx_port, nginx_get("/answer.bin"), true, answer.size()}, theirs}, settings,
                    rounds);
        }
        if (answers != "cached") {
            compare("\"/urls\" with " + std::to_string(list_files) + " published files",
                    {{list_port, list_request, false, g_list_text.size()}, ours},
                    {{nginx_port, nginx_get("/urls"), true, g_list_text.size()}, theirs}, settings,
                    rounds);
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "bench_list_server: " << error.what() << "\n";
        return 1;
    }
}
