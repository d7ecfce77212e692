// Restructuring benchmark: a ~1 GiB H.264 + AAC file with its moov at the end, rewritten by
// libMoovwright.so and, in the same run, by the tools an operator would otherwise use:
// a plain copy (dd bs=1M), qt-faststart (moves the moov only) and ffmpeg -c copy with
// +faststart. Every tool writes a fresh output file in the same folder and has it flushed
// to disk before its clock stops (the restructuring job flushes its own). Prints each
// tool's wall time, its ratio to the restructuring, and each process's peak memory.
//
//   restructure_bench [--size-mib N] [--dir FOLDER] [--runs N] [--cold]
//
// With --cold (root only) the page cache is emptied before each tool, so every tool reads
// its source from the disk, as on a server whose films do not fit in memory.

#include <dlfcn.h>
#include <fcntl.h>
#include <moovwright/moovwright.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include "media_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace bench;  // the media benchmarks' shared helpers

// A tool's command followed by a flush of what it wrote, as one measured process.
Measurement measure_tool(const std::vector<std::string>& args, const fs::path& output) {
    return measure([&] {
        if (bench::run_quietly(args) != 0)
            return 1;
        return flush_file(output);
    });
}

// Writes and removes a scratch file of `bytes`, so that the memory every tool's page cache
// will use has been touched once. On a virtual machine the first touch of guest memory
// costs the host a fault per page, and writing 1 GiB into such memory took up to ten times
// as long; without this, the tool that needs the most page cache (the in-place job keeps
// the source and its temporary file) would pay that cost alone.
void warm_page_cache(const fs::path& folder, uint64_t bytes) {
    const fs::path scratch = folder / "warm-up.tmp";
    const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    std::vector<char> chunk(1 << 20, 'w');
    for (uint64_t written = 0; written < bytes; written += chunk.size()) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            break;
    }
    ::fsync(fd);
    ::close(fd);
    fs::remove(scratch);
}

int restructure_in_place(const fs::path& library, const fs::path& file) {
    void* handle = ::dlopen(library.c_str(), RTLD_NOW);
    if (handle == nullptr)
        return 2;
    auto create = reinterpret_cast<CreateStreamCtrlFunc>(::dlsym(handle, "CreateStreamCtrl"));
    auto release = reinterpret_cast<ReleaseStreamCtrlFunc>(::dlsym(handle, "ReleaseStreamCtrl"));
    IMoovwright* job = nullptr;
    if (create == nullptr || release == nullptr || create(&job) != 0 || job == nullptr)
        return 2;
    job->SetFile(file.c_str());
    job->SetSync(1);
    job->Start();
    const uint32_t result = job->GetResult();
    release(job);
    return result == 0 ? 0 : 1;
}

struct Row {
    std::string tool;
    Measurement best;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Restructuring time and memory against dd, qt-faststart and ffmpeg."};
    uint64_t sizeMib = 1024;
    std::string folder = (fs::temp_directory_path() / "wharfkeep-bench").string();
    int runs = 3;
    bool cold = false;
    app.add_option("--size-mib", sizeMib, "size of the source file")->capture_default_str();
    app.add_option("--dir", folder, "folder for the source and the outputs")->capture_default_str();
    app.add_option("--runs", runs, "runs per tool; the fastest counts")->capture_default_str();
    app.add_flag("--cold", cold, "empty the page cache before each tool (root only)");
    CLI11_PARSE(app, argc, argv);

    const fs::path library =
        fs::read_symlink("/proc/self/exe").parent_path() / "../lib" / kMoovwrightLibraryName;
    fs::create_directories(folder);
    const fs::path source = fs::path(folder) / ("source-" + std::to_string(sizeMib) + ".mp4");
    if (!fs::exists(source))
        bench::make_moov_last_source(source, sizeMib);
    const fs::path output = fs::path(folder) / "output.mp4";
    std::printf("source: %s, %.1f MiB\n", source.c_str(),
                static_cast<double>(fs::file_size(source)) / 1048576.0);
    read_through(source);
    warm_page_cache(folder, 3 * fs::file_size(source));

    std::vector<Row> rows = {{"moovwright (in place)", {}},
                             {"dd bs=1M", {}},
                             {"qt-faststart", {}},
                             {"ffmpeg -c copy +faststart", {}}};
    for (int run = 0; run < runs; ++run) {
        // Each run starts with another tool, so that none always follows the same one.
        for (size_t i = 0; i < rows.size(); ++i) {
            Row& row = rows[(i + run) % rows.size()];
            fs::remove(output);
            const bool inPlace = row.tool.starts_with("moovwright");
            if (inPlace) {
                // The copy is not part of the measurement, nor is writing it back to disk.
                // It starts, like the others' source, from the page cache (or the disk).
                fs::copy_file(source, output);
                flush_file(output);
                if (!cold)
                    read_through(output);
            }
            if (cold && !drop_page_cache()) {
                std::fprintf(stderr, "--cold: cannot empty the page cache (root only)\n");
                return 1;
            }
            Measurement m;
            if (inPlace) {
                m = measure([&] { return restructure_in_place(library, output); });
            } else if (row.tool.starts_with("dd")) {
                m = measure_tool({"dd", "if=" + source.string(), "of=" + output.string(), "bs=1M"},
                                 output);
            } else if (row.tool.starts_with("qt-faststart")) {
                m = measure_tool({"qt-faststart", source.string(), output.string()}, output);
            } else {
                m = measure_tool({"ffmpeg", "-nostdin", "-y", "-i", source.string(), "-c", "copy",
                                  "-map", "0", "-movflags", "+faststart", output.string()},
                                 output);
            }
            if (m.status != 0) {
                std::fprintf(stderr, "%s failed (status %d)\n", row.tool.c_str(), m.status);
                return 1;
            }
            if (run == 0 || m.seconds < row.best.seconds)
                row.best = m;
        }
    }
    fs::remove(output);

    const double ours = rows[0].best.seconds;
    const double oursCpu = rows[0].best.cpuSeconds;
    std::printf("\n%-28s %9s %13s %9s %13s %9s\n", "tool", "seconds", "moovwright/x", "cpu s",
                "moovwright/x", "peak MiB");
    for (const Row& row : rows) {
        std::printf("%-28s %9.3f %13.2f %9.3f %13.2f %9.1f\n", row.tool.c_str(), row.best.seconds,
                    ours / row.best.seconds, row.best.cpuSeconds, oursCpu / row.best.cpuSeconds,
                    static_cast<double>(row.best.peakKib) / 1024.0);
    }
    std::printf(
        "\n(wall time is the fastest run of each tool; cpu is that run's user + system "
        "time)\n");
    std::printf(
        "\ntargets: moovwright/dd <= 1.3, moovwright/qt-faststart <= 1.2, "
        "moovwright/ffmpeg < 1.0\n");
    return 0;
}
