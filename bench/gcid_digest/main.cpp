// Rate of the piece digests (the one whole-file pass of publishing) against md5sum, the
// tool an operator would use to hash the same file, measured side by side in one run.
//
//   bench_gcid_digest [--size BYTES] [--rounds N] [--file PATH]
//
// Without --file a file of random bytes is written to the temporary folder and removed
// afterwards. Both contenders read the file warm from the page cache; each round runs
// both, and the best round of each counts. Prints both rates and their ratio.

#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/app_paths.h"
#include "wharfkeep/gcid/gcid.h"
#include "wharfkeep/my_exception.h"

namespace {

using Clock = std::chrono::steady_clock;

void write_random_file(const std::filesystem::path& path, std::uint64_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error("cannot create " + path.string());
    }
    std::mt19937_64 generator(20240501);
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
    for (std::uint64_t written = 0; written < size;) {
        for (auto& word : block) {
            word = generator();
        }
        const auto part = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - written, block.size() * sizeof(std::uint64_t)));
        if (std::fwrite(block.data(), 1, part, file) != part) {
            std::fclose(file);
            throw std::runtime_error("cannot write " + path.string());
        }
        written += part;
    }
    std::fclose(file);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double time_piece_digests(const std::filesystem::path& path) {
    wharfkeep::SourceFile file(path.string());
    if (file.open("rb") != 0) {
        throw std::runtime_error("cannot open " + path.string());
    }
    const auto start = Clock::now();
    const std::uint64_t size = file.size();
    const auto digests = wharfkeep::compute_piece_digests(file, 0, size, size);
    const double elapsed = seconds_since(start);
    if (digests.empty()) {
        throw std::runtime_error("no pieces");
    }
    return elapsed;
}

double time_md5sum(const std::filesystem::path& path) {
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        // Only the timing matters: the digest line goes nowhere.
        std::freopen("/dev/null", "w", stdout);
        execlp("md5sum", "md5sum", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double elapsed = seconds_since(start);
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("md5sum failed");
    }
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Piece digests against md5sum, as a ratio of rates"};
    std::uint64_t size = 1ull << 30;
    int rounds = 3;
    std::string given_file;
    app.add_option("--size", size, "bytes of the generated file")->check(CLI::PositiveNumber);
    app.add_option("--rounds", rounds, "rounds of both contenders")->check(CLI::Range(1, 50));
    app.add_option("--file", given_file, "hash this file instead of a generated one");
    CLI11_PARSE(app, argc, argv);

    std::filesystem::path path = given_file;
    const bool generated = given_file.empty();
    try {
        if (generated) {
            path = platform::temp_folder() / ("wk-bench-gcid-" + std::to_string(getpid()));
            write_random_file(path, size);
        }
        size = std::filesystem::file_size(path);
        time_md5sum(path);  // warms the page cache for both

        double best_pieces = 1e30;
        double best_md5sum = 1e30;
        for (int round = 0; round < rounds; ++round) {
            best_pieces = std::min(best_pieces, time_piece_digests(path));
            best_md5sum = std::min(best_md5sum, time_md5sum(path));
        }
        const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
        const double pieces_rate = mib / best_pieces;
        const double md5sum_rate = mib / best_md5sum;
        std::printf("file: %.0f MiB, best of %d rounds\n", mib, rounds);
        std::printf("piece digests: %8.1f MiB/s\n", pieces_rate);
        std::printf("md5sum:        %8.1f MiB/s\n", md5sum_rate);
        std::printf("ratio (piece digests / md5sum): %.3f (target 0.9 or better)\n",
                    pieces_rate / md5sum_rate);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_gcid_digest: %s\n", error.what());
        if (generated) {
            std::filesystem::remove(path);
        }
        return 1;
    }
    if (generated) {
        std::filesystem::remove(path);
    }
    return 0;
}
