// The control interface over TLS as a remote client sees it.
//
//   bench_remote_control [--requests N] [--connections N] [--nginx PATH] [--flood N]
//
// Kept alive: one client connection, N GET /status with a Bearer token, one after another;
// requests per second. New connection: a new TCP and TLS connection for each request; the
// time until the answer, median and 99th percentile. Both beside nginx serving the same
// JSON as a file over TLS with the same certificate and the same client (libcurl), the
// server an operator would otherwise put in front; the ratio is ours over nginx's.
// Flood: N TCP connections opened at once that never start TLS, against the cap of 64
// remote clients: the descriptors the server holds, the latency of a client connected
// before them, and how long after they close a new client is served again.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_control_host.h"
#include "loopback.h"
#include "nginx_conf.h"
#include "platform/free_port.h"
#include "wharfkeep/control/control_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace wharfkeep::control;

size_t Discard(char*, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(size * count, ' ');
    return size * count;
}

struct Target {
    std::string url;
    std::string token;
};

CURL* NewHandle(const Target& target, curl_slist* headers, std::string& body) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, target.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);  // same for both servers
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    return curl;
}

bool Perform(CURL* curl) {
    long status = 0;
    return curl_easy_perform(curl) == CURLE_OK &&
           curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
}

struct Figures {
    double requests_per_second = 0;
    double new_median_ms = 0;
    double new_p99_ms = 0;
    bool ok = true;
};

Figures Measure(const Target& target, int requests, int connections) {
    Figures figures;
    curl_slist* headers =
        curl_slist_append(nullptr, ("Authorization: Bearer " + target.token).c_str());
    std::string body;
    CURL* kept = NewHandle(target, headers, body);
    figures.ok = Perform(kept);  // connection made before the clock starts
    auto start = Clock::now();
    for (int i = 0; i < requests && figures.ok; ++i) {
        figures.ok = Perform(kept);
    }
    figures.requests_per_second =
        requests / std::chrono::duration<double>(Clock::now() - start).count();
    curl_easy_cleanup(kept);
    std::vector<double> times;
    for (int i = 0; i < connections && figures.ok; ++i) {
        CURL* fresh = NewHandle(target, headers, body);
        curl_easy_setopt(fresh, CURLOPT_FRESH_CONNECT, 1L);
        auto begun = Clock::now();
        figures.ok = Perform(fresh);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        curl_easy_cleanup(fresh);
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) {
        figures.new_median_ms = times[times.size() / 2];
        figures.new_p99_ms = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    }
    curl_slist_free_all(headers);
    return figures;
}

// nginx with TLS on `port`, serving `status.json` from `folder`; its process id, or -1.
pid_t StartNginx(const std::string& nginx, const fs::path& folder, int port, const TlsFiles& tls) {
    std::ofstream(folder / "nginx.conf")
        << "daemon off; worker_processes 1; pid " << (folder / "nginx.pid").string() << ";\n"
        << "error_log " << (folder / "error.log").string() << ";\n"
        << "events {}\nhttp { access_log off; keepalive_requests 1000000;\n"
        << bench::nginx_temp_paths(folder) << "server { listen 127.0.0.1:" << port
        << " ssl; ssl_protocols TLSv1.2 TLSv1.3;\n"
        << "ssl_certificate " << tls.certificate.string() << "; ssl_certificate_key "
        << tls.key.string() << ";\nroot " << folder.string() << "; } }\n";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(nginx.c_str(), nginx.c_str(), "-p", folder.c_str(), "-c",
                (folder / "nginx.conf").c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    return pid;
}

// Milliseconds of each of `count` requests on `curl`, sorted; empty when one failed.
std::vector<double> Latencies(CURL* curl, int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        auto begun = Clock::now();
        if (!Perform(curl)) {
            return {};
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    }
    std::sort(times.begin(), times.end());
    return times;
}

std::size_t OwnDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

void Flood(const Target& target, int port, int count, const ControlServer& server) {
    curl_slist* headers =
        curl_slist_append(nullptr, ("Authorization: Bearer " + target.token).c_str());
    std::string body;
    CURL* kept = NewHandle(target, headers, body);
    const bool connected = Perform(kept);
    const std::vector<double> quiet = Latencies(kept, 200);
    const std::size_t descriptors_before = OwnDescriptors();
    std::vector<int> flood;
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const sockaddr_in address =
            platform::testing::LoopbackAddress(static_cast<std::uint16_t>(port));
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        flood.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t held = server.connection_count();
    const std::vector<double> flooded = Latencies(kept, 200);
    for (int fd : flood) {
        ::close(fd);
    }
    auto closed = Clock::now();
    double back_ms = -1;
    while (Clock::now() - closed < std::chrono::seconds(30)) {
        CURL* fresh = NewHandle(target, headers, body);
        curl_easy_setopt(fresh, CURLOPT_FRESH_CONNECT, 1L);
        const bool served = Perform(fresh);
        curl_easy_cleanup(fresh);
        if (served) {
            back_ms = std::chrono::duration<double, std::milli>(Clock::now() - closed).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto percentile = [](const std::vector<double>& times, int p) {
        return times.empty() ? -1.0 : times[std::min(times.size() - 1, times.size() * p / 100)];
    };
    std::printf(
        "flood of %d connections: server holds %zu connections (cap 64 + the kept one); "
        "kept-alive client median %.2f ms, p99 %.2f ms (before: %.2f, %.2f)%s; a new "
        "client served %.0f ms after the flood closed; this process's descriptors "
        "%zu before, %zu after\n",
        count, held, percentile(flooded, 50), percentile(flooded, 99), percentile(quiet, 50),
        percentile(quiet, 99), connected && !flooded.empty() ? "" : " (FAILED)", back_ms,
        descriptors_before, OwnDescriptors());
    curl_easy_cleanup(kept);
    curl_slist_free_all(headers);
}

void Print(const char* name, const Figures& figures) {
    std::printf("%-28s %10.0f req/s kept alive   new connection: median %.2f ms, p99 %.2f ms%s\n",
                name, figures.requests_per_second, figures.new_median_ms, figures.new_p99_ms,
                figures.ok ? "" : "   (FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"GET /status over the TLS control listener, beside nginx"};
    int requests = 5000;
    int connections = 300;
    std::string nginx = "/usr/sbin/nginx";
    int flood = 1000;
    app.add_option("--requests", requests, "Kept-alive requests");
    app.add_option("--connections", connections, "New connections");
    app.add_option("--nginx", nginx, "nginx to compare with (empty: none)");
    app.add_option("--flood", flood, "Connections opened at once that never start TLS (0: none)");
    CLI11_PARSE(app, argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    char pattern[] = "/tmp/wk-bench-remote-XXXXXX";
    fs::path folder = ::mkdtemp(pattern);
    std::string error;
    TlsFiles tls = *EnsureSelfSignedCertificate(folder / "tls", {"127.0.0.1"}, error);
    FakeControlHost host;
    host.status.running = true;
    host.status.peers = 12;
    ControlServerOptions options;
    options.socket_path = folder / kControlSocketName;
    options.remote_addresses = *ParseListenAddresses("127.0.0.1:0", error);
    options.tls = TlsIdentity::Load(tls, error);
    options.tokens = std::make_shared<TokenStore>(folder / kTokenFileName);
    std::string token = *options.tokens->Create("bench", Scope::kRead, error);
    auto server = ControlServer::Start(host, options, error);
    if (!server) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::string port = std::to_string(server->remote_addresses()[0].port);
    Target ours{"https://127.0.0.1:" + port + "/status", token};
    // The same answer for nginx to serve as a file.
    {
        std::string body;
        CURL* curl = nullptr;
        curl_slist* headers =
            curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
        curl = NewHandle(ours, headers, body);
        std::string json;
        curl_easy_setopt(
            curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
                static_cast<std::string*>(out)->append(data, size * count);
                return size * count;
            });
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &json);
        Perform(curl);
        std::ofstream(folder / "status.json") << json;
        curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
    }
    Print("wharfkeepd control (TLS)", Measure(ours, requests, connections));
    Figures mine = Measure(ours, requests, connections);
    Print("wharfkeepd control (TLS)", mine);

    if (!nginx.empty() && fs::exists(nginx)) {
        int nginx_port = platform::free_tcp_port();
        pid_t pid = StartNginx(nginx, folder, nginx_port, tls);
        Target theirs{"https://127.0.0.1:" + std::to_string(nginx_port) + "/status.json", token};
        Figures rival;
        for (int attempt = 0; attempt < 50; ++attempt) {  // until it listens, at most 5 s
            std::string body;
            CURL* probe = NewHandle(theirs, nullptr, body);
            bool up = Perform(probe);
            curl_easy_cleanup(probe);
            if (up) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        rival = Measure(theirs, requests, connections);
        Print("nginx static file (TLS)", rival);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (rival.ok && rival.requests_per_second > 0) {
            std::printf("ratio ours/nginx: %.2f kept alive, %.2f new-connection median time\n",
                        mine.requests_per_second / rival.requests_per_second,
                        mine.new_median_ms / rival.new_median_ms);
        }
    }
    if (flood > 0) {
        Flood(ours, server->remote_addresses()[0].port, flood, *server);
    }
    server.reset();
    fs::remove_all(folder);
    return mine.ok ? 0 : 1;
}
