// bench_soak: both servers of a running `wharfkeepd serve` under hostile load for minutes.
//
// It publishes a few ffmpeg-made clips, starts `wharfkeepd serve`, measures 8 real peers
// (wkpeer) downloading every published file in a loop without abuse, then again while
// 1,000 idle connections, 200 connections sending random bytes, 100 trickling a HANDSHAKE
// a byte per second and peers requesting pages without ever reading hammer the peer port,
// and 200 clients abuse the list server (idle, slowloris, garbage, "/urls" never read)
// while wkquery checks its answers, and 200 subscribers of the control socket's event stream
// never read while a script changes a setting twenty times a second. Every download is compared
// byte for byte. The non-readers are above the page budget: each asks for pages of its own, and at
// the full share of 2 MiB they would hold four times the budget (128 of them for 64 MiB). With
// --abusers-elsewhere the abusers connect from 127.0.0.2-127.0.0.254 while the real peers
// stay on 127.0.0.1, for what the servers can tell apart by address; otherwise the cap on
// connections from one address is lifted, since everyone shares 127.0.0.1.
//
// Every 10 s it prints the server's resident memory and open descriptors. It reports the
// real peers' rate under abuse against their quiet rate (target 90 %), and fails when a
// download or a query fails, when that target is missed, or when resident memory grows
// past the page budget plus a stated constant. It is a benchmark, not a test: run it by
// hand.
//
// With --abuse tls-events alone it measures instead what 64 subscribers of the event stream
// over the TLS control listener, reading every event while a script changes a setting twenty
// times a second, cost the real peers (target: within 5 % of their quiet rate). With --abuse
// consoles alone, what 20 open web consoles cost them (same target): each logs in, loads the
// console's files, keeps its event stream with the once-a-second stats event and switches
// pages every 2 s (consoles.h).
//
// Needs ffmpeg on the PATH, and wharfkeepd, wkpeer and wkquery in --bin-dir.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "consoles.h"
#include "peerfeed/codec/commands.h"
#include "platform/descriptor_limit.h"
#include "platform/free_port.h"
#include "platform/process_usage.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Beyond the page budget: connection records, socket buffers in user space, libevent.
constexpr std::uint64_t kMemoryAllowance = 64ull << 20;
// What one session may hold in answers when the budget is not shared out.
constexpr std::uint64_t kFullSessionShare = 2ull << 20;
// The share of their quiet rate real peers should keep under abuse, and beside the TLS
// event subscribers alone.
constexpr double kTargetShare = 0.9;
constexpr double kTlsEventsTargetShare = 0.95;
constexpr int kTlsSubscribers = 64;
constexpr int kConsoles = 20;
constexpr const char* kConsoleUser = "soak";
constexpr const char* kConsolePassword = "open all day";

struct Published {
    std::string gcid;
    std::uint64_t size = 0;
    fs::path path;
};

struct Options {
    fs::path bin_dir;
    double minutes = 5;
    int baseline_seconds = 60;
    int clips = 4;
    int clip_seconds = 20;
    // Abusers connect from 127.0.0.2-127.0.0.254 instead of the real peers' 127.0.0.1.
    bool abusers_elsewhere = false;
    // Which kinds of abuse run: idle, garbage, trickle, hoard, list, events; tls-events
    // only when asked for.
    std::vector<std::string> abuse{"idle", "garbage", "trickle", "hoard", "list", "events"};
    std::uint64_t page_budget_mib = 64;
    int non_readers = 0;  // 0: four times what the budget holds at the full share
    std::uint64_t page_budget() const { return page_budget_mib << 20; }
    int hoarders() const {
        return non_readers > 0 ? non_readers
                               : static_cast<int>(4 * page_budget() / kFullSessionShare);
    }
    bool runs(const std::string& kind) const {
        return std::find(abuse.begin(), abuse.end(), kind) != abuse.end();
    }
    // The control listener's readers alone must cost the peers less than other abuse.
    bool control_readers_only() const {
        return abuse == std::vector<std::string>{"tls-events"} ||
               abuse == std::vector<std::string>{"consoles"};
    }
    double target_share() const {
        return control_readers_only() ? kTlsEventsTargetShare : kTargetShare;
    }
};

// --- processes ---

pid_t spawn(const std::vector<std::string>& args, const fs::path& output,
            const std::map<std::string, std::string>& env, const fs::path& input = "") {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    for (const auto& [key, value] : env) {
        environment.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (!input.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Setup {
public:
    Setup(const Options& options) : options_(options) {
        std::string pattern = (fs::temp_directory_path() / "wk-soak-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "media");
        env_ = {{"WHARFKEEP_HOME", (root_ / "home").string()},
                {"WHARFKEEP_DESKTOP", (root_ / "home").string()}};
        peer_port = platform::free_tcp_port();
        list_port = platform::free_tcp_port();
    }
    ~Setup() {
        stop_serve();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    int run(std::vector<std::string> args, const fs::path& input = "") {
        const fs::path output = root_ / ("run-" + std::to_string(runs_++) + ".txt");
        last_output = output;
        return wait_exit(spawn(args, output, env_, input));
    }
    int wharfkeepd(std::vector<std::string> args, const fs::path& input = "") {
        args.insert(args.begin(), (options_.bin_dir / "wharfkeepd").string());
        return run(args, input);
    }

    bool prepare(std::vector<Published>& published) {
        const std::uint64_t budget = options_.page_budget();
        std::ofstream(root_ / "home" / "Wharfkeep.ini")
            << "[vp]\nminimum_mem_size=" << budget << "\nmaximum_mem_size=" << budget
            << "\nblock_size=" << budget << "\n";
        std::map<std::string, std::string> settings{{"VP_Port", std::to_string(peer_port)},
                                                    {"STS_Port", std::to_string(list_port)},
                                                    {"AccessIP", "127.0.0.1"}};
        if (!options_.abusers_elsewhere) {
            settings["VP_AddrConnLimit"] = "0";  // real peers and abusers share one address
        }
        if (options_.runs("tls-events") || options_.runs("consoles")) {
            control_port = platform::free_tcp_port();
            std::ofstream(root_ / "home" / "Wharfkeep.ini", std::ios::app)
                << "[control]\nlisten=127.0.0.1:" << control_port
                << "\nmax_clients=" << kTlsSubscribers + 8 << "\n";
            if (wharfkeepd({"token", "create", "soak", "--scope", "read"}) != 0) {
                return false;
            }
            std::istringstream made(read_file(last_output));
            std::getline(made, token);
            const fs::path password = root_ / "console-password.txt";
            std::ofstream(password) << kConsolePassword << "\n";
            if (wharfkeepd({"user", "add", kConsoleUser, "--scope", "operate"}, password) != 0) {
                std::cerr << read_file(last_output);
                return false;
            }
        }
        for (const auto& [key, value] : settings) {
            if (wharfkeepd({"config", key, value}) != 0) {
                return false;
            }
        }
        for (int i = 0; i < options_.clips; ++i) {
            const fs::path clip = root_ / "media" / ("clip" + std::to_string(i) + ".mp4");
            const std::string command =
                "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=" +
                std::to_string(options_.clip_seconds) + ":size=640x360:rate=25 -f lavfi -i " +
                "sine=frequency=" + std::to_string(300 + 50 * i) +
                ":duration=" + std::to_string(options_.clip_seconds) +
                " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest '" +
                clip.string() + "' </dev/null >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) {
                std::cerr << "ffmpeg failed: " << command << "\n";
                return false;
            }
        }
        if (wharfkeepd({"publish", (root_ / "media").string()}) != 0 || wharfkeepd({"list"}) != 0) {
            std::cerr << read_file(last_output);
            return false;
        }
        std::istringstream rows(read_file(last_output));
        std::string line;
        while (std::getline(rows, line)) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) {
                fields.push_back(field);
            }
            if (fields.size() == 5 && fields[0] == "1") {
                published.push_back({fields[3], std::stoull(fields[2]), fields[4]});
            }
        }
        return !published.empty();
    }

    bool start_serve() {
        serve_pid =
            spawn({(options_.bin_dir / "wharfkeepd").string(), "serve"}, root_ / "serve.txt", env_);
        for (int i = 0; i < 300; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(list_port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up =
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (up) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    void stop_serve() {
        if (serve_pid > 0) {
            ::kill(serve_pid, SIGTERM);
            wait_exit(serve_pid);
            serve_pid = -1;
        }
    }

    fs::path scratch(const std::string& name) const { return root_ / name; }
    fs::path control_socket() const { return root_ / "home" / "wharfkeepd.sock"; }

    std::uint16_t peer_port = 0;
    std::uint16_t list_port = 0;
    std::uint16_t control_port = 0;  // the TLS control listener, with tls-events or consoles
    std::string token;               // a read token for it
    std::atomic<bool> consoles_failed{false};
    pid_t serve_pid = -1;
    fs::path last_output;

private:
    const Options& options_;
    fs::path root_;
    std::map<std::string, std::string> env_;
    int runs_ = 0;
};

// --- real peers and real queries ---

struct Tally {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> downloads{0};
    std::atomic<std::uint64_t> failed_downloads{0};
    std::atomic<std::uint64_t> queries{0};
    std::atomic<std::uint64_t> failed_queries{0};
};

void real_peer(int index, Setup& setup, const Options& options,
               const std::vector<Published>& published, const std::vector<std::string>& contents,
               Tally& tally, const std::atomic<bool>& stop) {
    const fs::path out = setup.scratch("peer-" + std::to_string(index));
    const std::string target = "127.0.0.1:" + std::to_string(setup.peer_port);
    while (!stop.load()) {
        for (std::size_t f = 0; f < published.size() && !stop.load(); ++f) {
            const Published& file = published[f];
            const int code = wait_exit(
                spawn({(options.bin_dir / "wkpeer").string(), "get", target, file.gcid,
                       std::to_string(file.size), "-o", out.string(), "--stall-timeout", "30000"},
                      setup.scratch("peer-" + std::to_string(index) + ".log"), {}));
            if (code == 0 && read_file(out) == contents[f]) {
                tally.bytes += file.size;
                tally.downloads += 1;
            } else {
                tally.failed_downloads += 1;
                std::cerr << "download of " << file.gcid << " failed (exit " << code << "): "
                          << read_file(setup.scratch("peer-" + std::to_string(index) + ".log"));
            }
        }
    }
}

void real_queries(Setup& setup, const Options& options, const std::vector<Published>& published,
                  Tally& tally, const std::atomic<bool>& stop) {
    const std::string target = "127.0.0.1:" + std::to_string(setup.list_port);
    const fs::path log = setup.scratch("query.log");
    while (!stop.load()) {
        for (const Published& file : published) {
            const int code = wait_exit(spawn(
                {(options.bin_dir / "wkquery").string(), target, file.gcid, "--timeout", "10"}, log,
                {}));
            const int urls = wait_exit(
                spawn({(options.bin_dir / "wkquery").string(), target, "--urls", "--timeout", "10"},
                      setup.scratch("urls.log"), {}));
            const bool listed =
                read_file(setup.scratch("urls.log")).find(file.gcid) != std::string::npos;
            tally.queries += 2;
            if (code != 0 || urls != 0 || !listed) {
                tally.failed_queries += 1;
                std::cerr << "query for " << file.gcid << " failed\n";
            }
        }
        std::this_thread::sleep_for(200ms);
    }
}

// --- abuse ---

enum class Abuse { idle, garbage, trickle, slowloris, list_hoard };

// Binds an abuser's socket to the next of 127.0.0.2-127.0.0.254 when abusers come from
// elsewhere; each thread keeps its own `turn`.
void bind_abuser(int fd, bool elsewhere, unsigned& turn) {
    if (!elsewhere) {
        return;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl((127u << 24) | (2 + turn++ % 253));
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
}

// A loopback connection to `port` for an abuser (from elsewhere when asked), with a small
// receive buffer when the abuser will not read, so that the server holds what it sends; -1
// when it failed. A non-blocking socket may still be connecting when it comes back.
int connect_abuser(std::uint16_t port, int socket_flags, bool elsewhere, unsigned& turn,
                   bool small_receive_buffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | socket_flags, 0);
    if (fd < 0) {
        return -1;
    }
    bind_abuser(fd, elsewhere, turn);
    if (small_receive_buffer) {
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A group of non-blocking connections of one kind, reopened whenever the server closes
// them, ticking ten times a second.
void abuse_group(Abuse kind, int count, std::uint16_t port, const std::string& first_bytes,
                 bool elsewhere, const std::atomic<bool>& stop) {
    std::mt19937 random(static_cast<unsigned>(count) * 7919u + static_cast<unsigned>(kind));
    unsigned turn = 0;
    auto open = [&] {
        return connect_abuser(port, SOCK_NONBLOCK, elsewhere, turn, kind == Abuse::list_hoard);
    };
    auto opening = [&] { return first_bytes; };
    struct Connection {
        int fd = -1;
        std::size_t sent = 0;
        std::string script;
    };
    std::vector<Connection> connections(static_cast<std::size_t>(count));
    for (Connection& c : connections) {
        c.fd = open();
        c.script = opening();
    }
    std::uint64_t tick = 0;
    while (!stop.load()) {
        for (Connection& c : connections) {
            char sink[4096];
            bool closed = c.fd < 0;
            if (!closed && kind != Abuse::list_hoard) {
                for (;;) {
                    const ssize_t got = ::recv(c.fd, sink, sizeof sink, 0);
                    if (got > 0) {
                        continue;
                    }
                    closed = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK &&
                                          errno != ENOTCONN && errno != EINPROGRESS);
                    break;
                }
            }
            if (!closed) {
                std::string bytes;
                switch (kind) {
                    case Abuse::idle:
                        break;
                    case Abuse::garbage:
                        bytes.resize(256);
                        for (char& b : bytes) {
                            b = static_cast<char>(random());
                        }
                        break;
                    case Abuse::trickle:
                    case Abuse::slowloris:
                        if (c.sent < c.script.size()) {
                            bytes = c.script.substr(c.sent);
                        } else if (tick % 10 == 0) {
                            bytes = std::string(1, static_cast<char>(random()));
                        }
                        break;
                    case Abuse::list_hoard:
                        if (c.sent < c.script.size()) {
                            bytes = c.script.substr(c.sent);
                        }
                        break;
                }
                if (!bytes.empty()) {
                    const ssize_t wrote =
                        ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (wrote > 0) {
                        c.sent += static_cast<std::size_t>(wrote);
                    } else if (errno == EPIPE || errno == ECONNRESET) {
                        closed = true;
                    }
                }
            }
            if (closed) {
                if (c.fd >= 0) {
                    ::close(c.fd);
                }
                c.fd = open();
                c.sent = 0;
                c.script = opening();
            }
        }
        ++tick;
        std::this_thread::sleep_for(100ms);
    }
    for (Connection& c : connections) {
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
}

std::string hoard_script(const Published& file, std::uint64_t first_page);

// A peer that asks for pages and never reads: its receive buffer is small, so the server
// holds its answers. Each asks from a page of its own, so together they ask for more
// distinct pages than the budget holds.
int open_non_reader(std::uint16_t port, const Published& file, int index, bool elsewhere,
                    unsigned& turn) {
    const int fd = connect_abuser(port, 0, elsewhere, turn, true);
    if (fd < 0) {
        return -1;
    }
    const std::uint64_t pages = std::max<std::uint64_t>(file.size / 65536, 1);
    const std::string script = hoard_script(file, static_cast<std::uint64_t>(index) * 37 % pages);
    ::send(fd, script.data(), script.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return fd;
}

// A non-reader the server has closed: it reset the connection, or closed it (the end of
// stream waits behind the answers the peer never read, so a reset is what it mostly sees).
bool closed_by_server(int fd) {
    pollfd watched{fd, POLLRDHUP, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0;
}

// The non-readers, each replaced when the server closes it and after 20 s in any case: a
// close the server makes with answers still unsent never reaches a peer that does not
// read, so without the turnover the abuse would fade once the server ends such sessions.
void non_readers(const Setup& setup, const Options& options,
                 const std::vector<Published>& published, const std::atomic<bool>& stop) {
    struct NonReader {
        int fd = -1;
        Clock::time_point opened_at;
    };
    std::vector<NonReader> peers(static_cast<std::size_t>(options.hoarders()));
    unsigned turn = 0;
    int opened = 0;
    while (!stop.load()) {
        for (NonReader& peer : peers) {
            if (peer.fd >= 0 &&
                (closed_by_server(peer.fd) || Clock::now() - peer.opened_at > 20s)) {
                ::close(peer.fd);
                peer.fd = -1;
            }
            if (peer.fd < 0) {
                peer.fd = open_non_reader(setup.peer_port, published[opened % published.size()],
                                          opened, options.abusers_elsewhere, turn);
                peer.opened_at = Clock::now();
                ++opened;
            }
        }
        std::this_thread::sleep_for(500ms);
    }
    for (const NonReader& peer : peers) {
        if (peer.fd >= 0) {
            ::close(peer.fd);
        }
    }
}

// A connection to the control socket; with `receive_buffer` > 0 a small buffer, so that
// the server, not the kernel, holds what a subscriber does not read. -1 when refused.
int connect_control(const fs::path& socket_path, int receive_buffer) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Event subscribers that never read, each opened again once the server closes it (for
// lagging behind), while a script changes the upload limit twenty times a second (between
// two values no peer reaches) so that every change is an event for all of them.
// Changes the upload limit between two values no peer reaches; true when the server took it.
bool change_setting(const Setup& setup, unsigned change) {
    // Far above what loopback peers reach, so the changes hinder no download.
    constexpr std::uint64_t kUnhinderingLimit = 1ull << 30;
    const std::string body =
        "{\"VP_UploadSpeedLimit\":" + std::to_string(kUnhinderingLimit + change % 2) + "}";
    const std::string request =
        "PUT /settings HTTP/1.1\r\nHost: soak\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    bool taken = false;
    if (const int fd = connect_control(setup.control_socket(), 0); fd >= 0) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char answer[4096];
        timeval wait{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const ssize_t got = ::recv(fd, answer, sizeof answer, 0);
        taken = got > 12 && std::string_view(answer, 12) == "HTTP/1.1 200";
        while (::recv(fd, answer, sizeof answer, 0) > 0) {
        }
        ::close(fd);
    }
    return taken;
}

// 64 subscribers of the event stream over the TLS listener that read everything, while the
// setting changes twenty times a second: what a dashboard per operator costs the peers.
void tls_event_readers(const Setup& setup, const std::atomic<bool>& stop) {
    std::vector<std::uint64_t> subscribers(kTlsSubscribers, 0);  // bytes each has read
    std::vector<std::thread> threads;
    const std::string url = "https://127.0.0.1:" + std::to_string(setup.control_port) + "/events";
    const std::string authorization = "Authorization: Bearer " + setup.token;
    for (std::uint64_t& bytes : subscribers) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                wharfkeep::bench::ReadEventStream(
                    url, authorization, [&bytes](std::string_view chunk) { bytes += chunk.size(); },
                    stop);
                if (!stop.load()) {
                    std::this_thread::sleep_for(200ms);  // closed by the server: again
                }
            }
        });
    }
    unsigned change = 0;
    unsigned accepted = 0;
    while (!stop.load()) {
        accepted += change_setting(setup, change++) ? 1 : 0;
        std::this_thread::sleep_for(50ms);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::uint64_t bytes = 0;
    std::size_t reading = 0;
    for (const std::uint64_t read : subscribers) {
        bytes += read;
        reading += read > 0 ? 1 : 0;
    }
    std::printf(
        "tls-events: %u of %u setting changes taken; %zu of %d TLS subscribers read "
        "%.1f KiB of events in all\n",
        accepted, change, reading, kTlsSubscribers, static_cast<double>(bytes) / 1024);
}

void event_abusers(const Setup& setup, const std::atomic<bool>& stop) {
    static const std::string subscribe = "GET /events HTTP/1.1\r\nHost: soak\r\n\r\n";
    std::vector<int> subscribers(200, -1);
    unsigned change = 0;
    unsigned accepted = 0;
    auto next_round = Clock::now();
    while (!stop.load()) {
        if (Clock::now() >= next_round) {
            next_round += 500ms;
            for (int& fd : subscribers) {
                if (fd >= 0 && closed_by_server(fd)) {
                    ::close(fd);
                    fd = -1;
                }
                if (fd < 0 && (fd = connect_control(setup.control_socket(), 4096)) >= 0) {
                    ::send(fd, subscribe.data(), subscribe.size(), MSG_NOSIGNAL);
                }
            }
        }
        accepted += change_setting(setup, change++) ? 1 : 0;
        std::this_thread::sleep_for(50ms);
    }
    for (const int fd : subscribers) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    std::printf("events: %u of %u setting changes taken, each an event for every subscriber\n",
                accepted, change);
}

struct Phase {
    double seconds = 0;
    std::uint64_t bytes = 0;
    std::uint64_t downloads = 0;
    double server_cpu_seconds = 0;  // what wharfkeepd serve used meanwhile
    double rate() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
    // The server's processor time per MiB delivered: what the peers' rate cannot show on a
    // machine whose other load moves the rate more than the abuse does.
    double cpu_ms_per_mib() const {
        return bytes > 0 ? server_cpu_seconds * 1000 / (static_cast<double>(bytes) / (1 << 20)) : 0;
    }
};

Phase run_phase(const char* name, double seconds, bool abuse, Setup& setup, const Options& options,
                const std::vector<Published>& published, const std::vector<std::string>& contents,
                Tally& tally, std::uint64_t& peak_resident) {
    std::atomic<bool> stop{false};
    const double cpu_before = platform::process_cpu_seconds(setup.serve_pid);
    const std::uint64_t bytes_before = tally.bytes.load();
    const std::uint64_t downloads_before = tally.downloads.load();
    std::vector<std::thread> threads;
    if (abuse) {
        // Tricklers announce a HANDSHAKE and then send its body a byte a second.
        static const std::string handshake_header =
            hoard_script(published.front(), 0).substr(0, 21);
        static const std::string list_request = "GET /urls HTTP/1.1\r\n\r\n";
        static const std::string slow_request = "POST / HTTP/1.1\r\n";
        static const std::string nothing;
        auto group = [&](Abuse kind, int count, std::uint16_t port, const std::string& first) {
            threads.emplace_back(abuse_group, kind, count, port, std::cref(first),
                                 options.abusers_elsewhere, std::cref(stop));
        };
        if (options.runs("idle")) {
            group(Abuse::idle, 1000, setup.peer_port, nothing);
        }
        if (options.runs("garbage")) {
            group(Abuse::garbage, 200, setup.peer_port, nothing);
        }
        if (options.runs("trickle")) {
            group(Abuse::trickle, 100, setup.peer_port, handshake_header);
        }
        if (options.runs("list")) {
            group(Abuse::idle, 50, setup.list_port, nothing);
            group(Abuse::slowloris, 50, setup.list_port, slow_request);
            group(Abuse::garbage, 50, setup.list_port, nothing);
            group(Abuse::list_hoard, 50, setup.list_port, list_request);
        }
    }
    if (abuse && options.runs("events")) {
        threads.emplace_back(event_abusers, std::cref(setup), std::cref(stop));
    }
    if (abuse && options.runs("tls-events")) {
        threads.emplace_back(tls_event_readers, std::cref(setup), std::cref(stop));
    }
    if (abuse && options.runs("consoles")) {
        threads.emplace_back([&setup, &stop] {
            const wharfkeep::bench::ConsoleLoad load{setup.control_port, kConsoleUser,
                                                     kConsolePassword, kConsoles};
            if (!wharfkeep::bench::RunConsoles(load, stop)) {
                setup.consoles_failed = true;
            }
        });
    }
    if (abuse && options.runs("hoard")) {
        threads.emplace_back(non_readers, std::cref(setup), std::cref(options),
                             std::cref(published), std::cref(stop));
    }
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(real_peer, i, std::ref(setup), std::cref(options),
                             std::cref(published), std::cref(contents), std::ref(tally),
                             std::cref(stop));
    }
    threads.emplace_back(real_queries, std::ref(setup), std::cref(options), std::cref(published),
                         std::ref(tally), std::cref(stop));

    const auto began = Clock::now();
    const auto end = began + std::chrono::duration<double>(seconds);
    auto next_report = began + 10s;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(200ms);
        if (Clock::now() >= next_report) {
            next_report += 10s;
            const std::uint64_t resident = platform::process_resident_bytes(setup.serve_pid);
            peak_resident = std::max(peak_resident, resident);
            std::printf("%-8s %5.0f s  resident %6.1f MiB  descriptors %5zu  downloads %6llu\n",
                        name, std::chrono::duration<double>(Clock::now() - began).count(),
                        static_cast<double>(resident) / (1 << 20),
                        platform::process_open_descriptors(setup.serve_pid),
                        static_cast<unsigned long long>(tally.downloads.load()));
            std::fflush(stdout);
        }
    }
    stop = true;
    for (std::thread& t : threads) {
        t.join();
    }
    // Downloads that finished after the deadline count with the time they took.
    const double total = std::chrono::duration<double>(Clock::now() - began).count();
    return Phase{total, tally.bytes.load() - bytes_before,
                 tally.downloads.load() - downloads_before,
                 platform::process_cpu_seconds(setup.serve_pid) - cpu_before};
}

std::string encoded(peerfeed::p2p_cmd_tcp& command) {
    std::uint32_t length = command.encoded_size(true);
    std::string bytes(length, '\0');
    command.encode(reinterpret_cast<std::uint8_t*>(bytes.data()), length, true);
    return bytes;
}

// A HANDSHAKE for `file` and a run of whole-page REQUESTs over it from `first_page` on,
// wrapping at its end.
std::string hoard_script(const Published& file, std::uint64_t first_page) {
    peerfeed::p2p_cmd_handshake handshake;
    for (std::size_t i = 0; i < peerfeed::cid_size; ++i) {
        handshake.gcid[i] =
            static_cast<std::uint8_t>(std::stoi(file.gcid.substr(2 * i, 2), nullptr, 16));
    }
    handshake.file_size = file.size;
    handshake.peer_id = "hoarding-peer-01";
    std::string script = encoded(handshake);
    const std::uint64_t pages = file.size / 65536;
    for (std::uint64_t i = 0; i < pages && script.size() < 60000; ++i) {
        peerfeed::p2p_cmd_request request;
        request.offset = (first_page + i) % pages * 65536;
        request.length = 65536;
        request.rq_word = 1;
        script += encoded(request);
    }
    return script;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.bin_dir = fs::canonical("/proc/self/exe").parent_path();
    CLI::App app{"Both servers of wharfkeepd serve under hostile load"};
    app.add_option("--bin-dir", options.bin_dir, "where wharfkeepd, wkpeer and wkquery are");
    app.add_option("--minutes", options.minutes, "length of the abuse phase")
        ->check(CLI::PositiveNumber);
    app.add_option("--baseline-seconds", options.baseline_seconds,
                   "length of the phase without abuse")
        ->check(CLI::PositiveNumber);
    app.add_option("--clips", options.clips, "published files")->check(CLI::Range(1, 50));
    app.add_option("--clip-seconds", options.clip_seconds, "length of each published clip")
        ->check(CLI::Range(1, 3600));
    app.add_flag("--abusers-elsewhere", options.abusers_elsewhere,
                 "abusers connect from 127.0.0.2-127.0.0.254, real peers from 127.0.0.1");
    app.add_option("--abuse", options.abuse,
                   "kinds of abuse to run (idle garbage trickle hoard list events), all by "
                   "default; tls-events (64 readers of the TLS event stream) and consoles (20 "
                   "open web consoles) only when named");
    app.add_option("--page-budget-mib", options.page_budget_mib, "the server's page budget")
        ->check(CLI::Range(8, 4096));
    app.add_option("--non-readers", options.non_readers,
                   "peers that ask for pages and never read (default: four times what the "
                   "budget holds at 2 MiB each)")
        ->check(CLI::Range(1, 5000));
    CLI11_PARSE(app, argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    platform::raise_descriptor_limit();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    Setup setup(options);
    std::vector<Published> published;
    if (!setup.prepare(published) || !setup.start_serve()) {
        std::cerr << "soak: could not publish the clips or start wharfkeepd serve\n";
        return 2;
    }
    std::vector<std::string> contents;
    std::uint64_t total_size = 0;
    for (const Published& file : published) {
        contents.push_back(read_file(file.path));
        total_size += file.size;
    }
    std::printf("soak: %zu files, %.1f MiB in all; page budget %llu MiB; %d non-readers\n",
                published.size(), static_cast<double>(total_size) / (1 << 20),
                static_cast<unsigned long long>(options.page_budget_mib), options.hoarders());
    if (total_size <= options.page_budget()) {
        std::printf(
            "note: the files fit the budget, so the non-readers cannot starve it; "
            "use more --clips or a smaller --page-budget-mib\n");
    }
    const std::uint64_t resident_at_start = platform::process_resident_bytes(setup.serve_pid);

    Tally tally;
    std::uint64_t peak = resident_at_start;
    // Not counted: the first downloads fill the caches and start the peers.
    run_phase("warm-up", 15, false, setup, options, published, contents, tally, peak);
    Phase quiet = run_phase("quiet", options.baseline_seconds, false, setup, options, published,
                            contents, tally, peak);
    const Phase abused = run_phase("abused", options.minutes * 60, true, setup, options, published,
                                   contents, tally, peak);
    if (options.control_readers_only()) {
        // A few per cent is below the drift of a shared machine over minutes: the quiet rate
        // is taken before and after, around the subscribers.
        const Phase after = run_phase("quiet", options.baseline_seconds, false, setup, options,
                                      published, contents, tally, peak);
        quiet = Phase{quiet.seconds + after.seconds, quiet.bytes + after.bytes,
                      quiet.downloads + after.downloads,
                      quiet.server_cpu_seconds + after.server_cpu_seconds};
    }
    std::this_thread::sleep_for(2s);
    const std::size_t descriptors_after = platform::process_open_descriptors(setup.serve_pid);
    const std::uint64_t resident_after = platform::process_resident_bytes(setup.serve_pid);

    const double share = quiet.rate() > 0 ? abused.rate() / quiet.rate() : 0;
    std::printf("\nreal peers without abuse: %8.1f MiB/s (%llu downloads in %.0f s)\n",
                quiet.rate() / (1 << 20), static_cast<unsigned long long>(quiet.downloads),
                quiet.seconds);
    std::printf(
        "real peers under abuse:   %8.1f MiB/s (%llu downloads in %.0f s), %.0f %% of quiet "
        "(target %.0f %%)\n",
        abused.rate() / (1 << 20), static_cast<unsigned long long>(abused.downloads),
        abused.seconds, share * 100, options.target_share() * 100);
    std::printf(
        "server CPU: %.0f %% of a core, %.1f ms per MiB without abuse; %.0f %% of a core, "
        "%.1f ms per MiB under abuse\n",
        quiet.server_cpu_seconds / quiet.seconds * 100, quiet.cpu_ms_per_mib(),
        abused.server_cpu_seconds / abused.seconds * 100, abused.cpu_ms_per_mib());
    std::printf("failed downloads %llu, queries %llu, failed queries %llu\n",
                static_cast<unsigned long long>(tally.failed_downloads.load()),
                static_cast<unsigned long long>(tally.queries.load()),
                static_cast<unsigned long long>(tally.failed_queries.load()));
    std::printf(
        "server resident: start %.1f MiB, peak %.1f MiB, end %.1f MiB; descriptors "
        "after %zu\n",
        static_cast<double>(resident_at_start) / (1 << 20), static_cast<double>(peak) / (1 << 20),
        static_cast<double>(resident_after) / (1 << 20), descriptors_after);

    const bool memory_ok = peak <= resident_at_start + options.page_budget() + kMemoryAllowance;
    if (!memory_ok) {
        std::printf("FAIL: resident memory grew past the page budget + %llu MiB\n",
                    static_cast<unsigned long long>(kMemoryAllowance >> 20));
    }
    const bool rate_ok = share >= options.target_share();
    if (!rate_ok) {
        std::printf("FAIL: real peers kept less than %.0f %% of their quiet rate\n",
                    options.target_share() * 100);
    }
    if (setup.consoles_failed) {
        std::printf("FAIL: a console could not log in, load its files or keep its stream\n");
    }
    const bool ok = memory_ok && rate_ok && !setup.consoles_failed && tally.failed_downloads == 0 &&
                    tally.failed_queries == 0 && quiet.downloads > 0;
    if (!ok) {
        std::printf("wharfkeepd serve said:\n%s", read_file(setup.scratch("serve.txt")).c_str());
    }
    std::printf("%s\n", ok ? "soak: PASS" : "soak: FAIL");
    return ok ? 0 : 1;
}
