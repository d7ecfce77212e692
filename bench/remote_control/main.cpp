// The control interface over TLS as a remote client sees it.
//
//   bench_remote_control [--requests N] [--connections N] [--nginx PATH]
//
// Kept alive: one client connection, N GET /status with a Bearer token, one after another;
// requests per second. New connection: a new TCP and TLS connection for each request; the
// time until the answer, median and 99th percentile. Both beside nginx serving the same
// JSON as a file over TLS with the same certificate and the same client (libcurl), the
// server an operator would otherwise put in front; the ratio is ours over nginx's.

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
        << "client_body_temp_path " << folder.string() << "; proxy_temp_path " << folder.string()
        << "; fastcgi_temp_path " << folder.string() << "; uwsgi_temp_path " << folder.string()
        << "; scgi_temp_path " << folder.string() << ";\n"
        << "server { listen 127.0.0.1:" << port << " ssl; ssl_protocols TLSv1.2 TLSv1.3;\n"
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

// A port nobody listens on now, for nginx.
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
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
    app.add_option("--requests", requests, "Kept-alive requests");
    app.add_option("--connections", connections, "New connections");
    app.add_option("--nginx", nginx, "nginx to compare with (empty: none)");
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
        int nginx_port = FreePort();
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
    server.reset();
    fs::remove_all(folder);
    return mine.ok ? 0 : 1;
}
