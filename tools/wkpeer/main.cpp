// wkpeer: a command-line peer of the upload server. `get` downloads a whole published file
// with pipelined requests; `load` runs many peers at once and reports the payload rate
// and request latencies.

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "peer_protocol.h"
#include "peer_swarm.h"
#include "tool_cli.h"

namespace {

struct common_arguments {
    std::string target;
    std::string gcid;
    std::uint64_t size = 0;
    std::uint32_t window = 16;
    std::uint32_t request_size = wkpeer::max_request_length;
    std::uint32_t stall_timeout_ms = 30000;
};

void add_common(CLI::App& command, common_arguments& args) {
    command.add_option("target", args.target, "Server as HOST:PORT")->required();
    command.add_option("gcid", args.gcid, "GCID of the file, 40 hexadecimal digits")->required();
    command.add_option("size", args.size, "Exact size of the file in bytes")
        ->required()
        ->check(CLI::PositiveNumber);
    command.add_option("--window", args.window, "REQUESTs kept outstanding per peer")
        ->check(CLI::Range(1u, 256u));
    command.add_option("--request-size", args.request_size, "Bytes asked for per REQUEST")
        ->check(CLI::Range(1u, wkpeer::max_request_length));
    command
        .add_option("--stall-timeout", args.stall_timeout_ms,
                    "Milliseconds without an answer before a peer gives up")
        ->check(CLI::PositiveNumber);
}

// Fills the options shared by both commands; prints the reason and returns false when
// the arguments do not make sense.
bool to_options(const common_arguments& args, wkpeer::swarm_options& options) {
    const auto colon = args.target.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        std::cerr << "wkpeer: target must be HOST:PORT, not \"" << args.target << "\"\n";
        return false;
    }
    options.host = args.target.substr(0, colon);
    const std::string port = args.target.substr(colon + 1);
    char* end = nullptr;
    const unsigned long value = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || value == 0 || value > 65535) {
        std::cerr << "wkpeer: bad port \"" << port << "\"\n";
        return false;
    }
    options.port = static_cast<std::uint16_t>(value);
    const auto gcid = wkpeer::gcid_from_hex(args.gcid);
    if (!gcid) {
        std::cerr << "wkpeer: a GCID is 40 hexadecimal digits\n";
        return false;
    }
    options.gcid = *gcid;
    options.size = args.size;
    options.window = args.window;
    options.request_size = args.request_size;
    options.stall_timeout_ms = args.stall_timeout_ms;
    return true;
}

int run_get(const common_arguments& args, const std::string& output_path) {
    wkpeer::swarm_options options;
    if (!to_options(args, options)) {
        return 2;
    }
    const int fd = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(("wkpeer: " + output_path).c_str());
        return 1;
    }
    options.download = true;
    options.output_fd = fd;
    const wkpeer::swarm_report report = wkpeer::run_swarm(options);
    const bool closed = ::close(fd) == 0;
    if (!report.ok) {
        std::cerr << "wkpeer: " << report.error << "\n";
        return 1;
    }
    if (!closed) {
        std::perror("wkpeer: closing the output");
        return 1;
    }
    std::cout << "received " << report.payload_bytes << " bytes in " << report.elapsed_seconds
              << " s\n";
    return 0;
}

int run_load(const common_arguments& args, std::uint32_t peers, double seconds,
             std::uint32_t threads, std::uint64_t seed) {
    wkpeer::swarm_options options;
    if (!to_options(args, options)) {
        return 2;
    }
    options.download = false;
    options.seconds = seconds;
    threads = std::max<std::uint32_t>(1, std::min(threads, peers));
    std::vector<std::future<wkpeer::swarm_report>> running;
    for (std::uint32_t t = 0; t < threads; ++t) {
        wkpeer::swarm_options share = options;
        share.peers = peers / threads + (t < peers % threads ? 1 : 0);
        share.seed = seed + t;
        running.push_back(
            std::async(std::launch::async, [share] { return wkpeer::run_swarm(share); }));
    }
    std::vector<wkpeer::swarm_report> reports;
    for (auto& r : running) {
        reports.push_back(r.get());
    }
    wkpeer::swarm_report total = wkpeer::merge_reports(std::move(reports));
    const double rate = total.elapsed_seconds > 0 ? total.payload_bytes / total.elapsed_seconds : 0;
    std::printf(
        "peers=%u seconds=%.2f responses=%llu payload_bytes=%llu rate_bytes_per_s=%.0f "
        "rate_MBps=%.1f wire_rate_bytes_per_s=%.0f latency_us_p50=%u latency_us_p90=%u "
        "latency_us_p99=%u "
        "latency_us_max=%u failed_peers=%u\n",
        peers, total.elapsed_seconds, static_cast<unsigned long long>(total.responses),
        static_cast<unsigned long long>(total.payload_bytes), rate, rate / 1e6,
        total.elapsed_seconds > 0 ? total.wire_bytes / total.elapsed_seconds : 0,
        wkpeer::percentile(total.latencies_us, 0.50), wkpeer::percentile(total.latencies_us, 0.90),
        wkpeer::percentile(total.latencies_us, 0.99), wkpeer::percentile(total.latencies_us, 1.0),
        total.peers_failed);
    if (!total.ok) {
        std::cerr << "wkpeer: " << total.error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"wkpeer: a peer of the Wharfkeep upload server"};
    app.require_subcommand(1);

    common_arguments get_args;
    std::string output_path;
    CLI::App* get = app.add_subcommand("get", "Download a whole published file");
    add_common(*get, get_args);
    get->add_option("-o,--output", output_path, "File to write")->required();

    common_arguments load_args;
    std::uint32_t peers = 1;
    double seconds = 10;
    std::uint32_t threads = 1;
    std::uint64_t seed = 1;
    CLI::App* load = app.add_subcommand("load", "Run concurrent peers and report the rate");
    add_common(*load, load_args);
    load->add_option("--peers", peers, "Concurrent peers")->check(CLI::Range(1u, 100000u));
    load->add_option("--seconds", seconds, "Length of the run")->check(CLI::Range(0.1, 86400.0));
    load->add_option("--threads", threads, "Client threads the peers are spread over")
        ->check(CLI::Range(1u, 64u));
    load->add_option("--seed", seed, "Seed of the random offsets");

    if (std::optional<int> exit_code = tools::ParseCommandLine(app, "wkpeer", argc, argv)) {
        return *exit_code;
    }
    if (get->parsed()) {
        return run_get(get_args, output_path);
    }
    return run_load(load_args, peers, seconds, threads, seed);
}
