// wkpeerhost: runs the upload server with a fixed GCID-to-path map, for tests, benchmarks
// and quick checks of a machine. Prints "listening on PORT" once the server runs, and
// the statistics records when asked (SIGUSR1) and when it ends (SIGINT, SIGTERM).

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"
#include "tool_cli.h"

namespace {

// Written before the server starts, read only afterwards on the server's thread.
std::map<std::string, std::string> published;

bool gcid_to_path(const char* gcid, char* path_out, unsigned int path_size) {
    const auto found = published.find(gcid);
    if (found == published.end() || found->second.size() >= path_size) {
        return false;
    }
    std::memcpy(path_out, found->second.c_str(), found->second.size() + 1);
    return true;
}

std::string upper_hex_gcid(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const bool valid =
        text.size() == 40 && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    return valid ? text : std::string();
}

void print_statistics() {
    peerfeed_stat server{};
    vp_cache_stat cache{};
    if (vp_get_server_stat(&server) == 0) {
        std::printf(
            "server upload_speed=%llu total_bytes_sent=%llu live_sessions=%u resources=%u\n",
            static_cast<unsigned long long>(server.upload_speed),
            static_cast<unsigned long long>(server.total_bytes_sent), server.live_sessions,
            server.resource_count);
    }
    if (vp_get_cache_stat(&cache) == 0) {
        std::printf("cache hit_ratio=%u disk_bytes_read=%llu disk_read_speed=%llu\n",
                    cache.hit_ratio, static_cast<unsigned long long>(cache.disk_bytes_read),
                    static_cast<unsigned long long>(cache.disk_read_speed));
    }
    resource_stat_list* resources = vp_get_resource_stat_list();
    for (std::uint32_t i = 0; resources != nullptr && i < resources->count; ++i) {
        const resource_stat& r = resources->entries[i];
        std::printf("resource %.40s sessions=%u speed=%llu bytes_sent=%llu\n", r.gcid, r.sessions,
                    static_cast<unsigned long long>(r.speed),
                    static_cast<unsigned long long>(r.bytes_sent));
    }
    vp_free_resource_stat_list(resources);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"wkpeerhost: run the Wharfkeep upload server over a fixed set of files"};
    std::vector<std::string> files;
    unsigned int port = 0;
    unsigned int speed_limit = 0;
    unsigned int connection_limit = 0;
    std::string port_file;
    app.add_option("--file", files, "A published file as GCID=PATH (repeatable)")->required();
    app.add_option("--port", port, "Listen port; 0 picks a free one")->check(CLI::Range(0, 65535));
    app.add_option("--speed-limit", speed_limit, "Upload limit in bytes per second; 0 = none");
    app.add_option("--connection-limit", connection_limit, "Maximum sessions; 0 = none");
    app.add_option("--port-file", port_file, "Write the listen port into this file");
    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "wkpeerhost", argc, argv)) {
        return *exit_code;
    }

    for (const std::string& entry : files) {
        const auto equals = entry.find('=');
        const std::string gcid =
            equals == std::string::npos ? std::string() : upper_hex_gcid(entry.substr(0, equals));
        if (gcid.empty() || equals + 1 >= entry.size()) {
            std::cerr << "wkpeerhost: --file wants GCID=PATH with a 40-digit hexadecimal GCID\n";
            return 2;
        }
        published[gcid] = entry.substr(equals + 1);
    }

    // Peers that hang up must not end the process.
    ::signal(SIGPIPE, SIG_IGN);
    // Signals are taken synchronously below, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vp_set_gcid2path_function(&gcid_to_path);
    vp_set_connection_limit(connection_limit);
    vp_set_speed_limit(speed_limit);
    int started = 1;
    // A free port may be taken by someone else before the server binds it: try again.
    for (int attempt = 0; attempt < 20 && started != 0; ++attempt) {
        const std::uint16_t chosen =
            port != 0 ? static_cast<std::uint16_t>(port) : platform::free_tcp_port();
        started = chosen == 0 ? 1 : vp_start(chosen);
        if (started == 0) {
            port = chosen;
        } else if (port != 0) {
            break;
        }
    }
    if (started != 0) {
        std::cerr << "wkpeerhost: cannot listen on the port\n";
        return 1;
    }
    if (!port_file.empty()) {
        std::ofstream(port_file) << port << "\n";
    }
    std::printf("listening on %u\n", port);
    std::fflush(stdout);

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        print_statistics();
        if (received != SIGUSR1) {
            break;
        }
    }
    vp_stop();
    return 0;
}
