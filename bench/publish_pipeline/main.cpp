// Publishing benchmark: the whole publication of a file (probe, restructuring, identifier,
// digests, stream description, link) against the simplest thing an operator could do with
// the same bytes instead: cp, fsync and rename. Three cases: a moov-last file (ffmpeg's
// default layout), the same file once streamable, and a folder of files published one after
// the other. Each side runs in a child process; its wall time, CPU time, peak memory and the
// bytes it read and wrote (from /proc/<child>/io, children included) are printed beside the
// other side's, warm (inputs in the page cache) and, as root, cold (page cache emptied
// before each side). A last line publishes a sparse streamable file of several GiB to show
// that memory stays flat.
//
//   bench_publish_pipeline [--size-mib N] [--folder-files N] [--folder-file-mib N]
//                          [--sparse-gib N] [--dir FOLDER] [--only moov-last|streamable|folder]
//                          [--warm-only] [--repeat N]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "media_bench.h"
#include "moovwright/moovwright.h"
#include "wharfkeep/engine/publish_engine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using namespace bench;  // the media benchmarks' shared helpers

// What the rival does to each file: cp to a temporary name, fsync, rename over the target,
// fsync the folder (as the restructuring job does).
int copy_flush_rename(const std::vector<fs::path>& sources, const fs::path& folder) {
    for (const fs::path& source : sources) {
        const fs::path target = folder / source.filename();
        const fs::path temporary = folder / (source.filename().string() + ".tmp");
        if (run_quietly({"cp", source.string(), temporary.string()}) != 0 ||
            flush_file(temporary) != 0)
            return 1;
        if (::rename(temporary.c_str(), target.c_str()) != 0 || flush_file(folder) != 0)
            return 1;
    }
    return 0;
}

int publish(const std::vector<fs::path>& files, const fs::path& home) {
    wharfkeep::PublishEngineOptions options;
    options.library_candidates = {fs::read_symlink("/proc/self/exe").parent_path() / "../lib" /
                                  kMoovwrightLibraryName};
    options.publish_endpoint = wharfkeep::ReportEndpoint{};
    options.startup_delay = 1h;  // no resending of old reports during the measurement
    wharfkeep::MyPublishEngine engine(options);
    engine.SetLinkSettings("10.1.2.3", "", 8189, 8190, "0A1B2C3D4E5F607182");
    engine.SetReportFolder(home.string());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const fs::path& file = files[i];
        // As the publisher's queue does: the next file is probed while this one is written.
        if (i + 1 < files.size())
            engine.PrepareNext(files[i + 1].string());
        const wharfkeep::PublishFileResult result = engine.PublishFile(file.string());
        if (result.code != wharfkeep::kPublished) {
            std::fprintf(stderr, "%s: %s\n", file.c_str(), result.error.c_str());
            return 1;
        }
    }
    return 0;
}

void read_all(const std::vector<fs::path>& files) {
    for (const fs::path& file : files)
        read_through(file);
}

std::uint64_t total_size(const std::vector<fs::path>& files) {
    std::uint64_t total = 0;
    for (const fs::path& file : files)
        total += fs::file_size(file);
    return total;
}

// Fresh copies of `sources` in `folder` (flushed), for a side to work on.
std::vector<fs::path> fresh_copies(const std::vector<fs::path>& sources, const fs::path& folder,
                                   int copiesEach = 1) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::vector<fs::path> copies;
    for (int n = 0; n < copiesEach; ++n) {
        for (const fs::path& source : sources) {
            const fs::path copy =
                folder / (source.stem().string() + "-" + std::to_string(n) + ".mp4");
            fs::copy_file(source, copy);
            flush_file(copy);
            copies.push_back(copy);
        }
    }
    return copies;
}

// The machine's load over the last minute: figures taken on a busy machine say so.
double load_average() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

void print_header() {
    std::printf("\n%-26s %-5s %-22s %8s %8s %9s %9s %7s %8s %5s\n", "case", "cache", "side",
                "seconds", "pub/cp", "read x", "written x", "cpu s", "peak MiB", "load");
}

void print_row(const std::string& name, const char* cache, const char* side, const Measurement& m,
               double ratio, std::uint64_t bytes) {
    std::printf("%-26s %-5s %-22s %8.3f %8.2f %9.3f %9.3f %7.2f %8.1f %5.2f\n", name.c_str(), cache,
                side, m.seconds, ratio, double(m.bytesRead) / double(bytes),
                double(m.bytesWritten) / double(bytes), m.cpuSeconds, double(m.peakKib) / 1024.0,
                load_average());
    std::fflush(stdout);
}

// One case, both sides, warm or cold. `prepare` makes the publishing side's files (they
// are changed in place); the rival copies `inputs`.
struct Case {
    std::string name;
    std::vector<fs::path> inputs;
    std::function<std::vector<fs::path>()> prepare;
};

bool run_case(const Case& c, const fs::path& work, bool cold) {
    const std::vector<fs::path> files = c.prepare();
    const std::uint64_t bytes = total_size(files);
    const fs::path copies = work / "copies";
    fs::remove_all(copies);
    fs::create_directories(copies);
    const char* cache = cold ? "cold" : "warm";

    if (cold ? !drop_page_cache() : (read_all(files), false))
        return false;
    const Measurement ours = measure([&] { return publish(files, work); });
    if (cold ? !drop_page_cache() : (read_all(c.inputs), false))
        return false;
    const Measurement rival = measure([&] { return copy_flush_rename(c.inputs, copies); });
    if (ours.status != 0 || rival.status != 0) {
        std::fprintf(stderr, "%s failed (publish %d, copy %d)\n", c.name.c_str(), ours.status,
                     rival.status);
        std::exit(1);
    }
    print_row(c.name, cache, "publish", ours, ours.seconds / rival.seconds, bytes);
    print_row(c.name, cache, "cp + fsync + rename", rival, 1.0, total_size(c.inputs));
    fs::remove_all(copies);
    return true;
}

// A streamable file of `gib` GiB whose media data is a hole: the head of a published file
// with its media-data box stretched, then the trailing free box.
fs::path make_sparse_streamable(const fs::path& published, const fs::path& folder,
                                std::uint64_t gib) {
    std::ifstream in(published, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::size_t at = 0;
    std::size_t mdat = 0;
    while (at + 8 <= bytes.size()) {
        const std::uint64_t size = (std::uint64_t(bytes[at]) << 24) | (bytes[at + 1] << 16) |
                                   (bytes[at + 2] << 8) | bytes[at + 3];
        if (std::memcmp(&bytes[at + 4], "mdat", 4) == 0) {
            mdat = at;
            break;
        }
        at += size;
    }
    if (mdat == 0)
        throw std::runtime_error("no media data in " + published.string());
    const std::uint64_t payload = gib << 30;
    std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + std::ptrdiff_t(mdat));
    const std::uint64_t box = payload + 16;
    const std::uint8_t large[16] = {0,
                                    0,
                                    0,
                                    1,
                                    'm',
                                    'd',
                                    'a',
                                    't',
                                    std::uint8_t(box >> 56),
                                    std::uint8_t(box >> 48),
                                    std::uint8_t(box >> 40),
                                    std::uint8_t(box >> 32),
                                    std::uint8_t(box >> 24),
                                    std::uint8_t(box >> 16),
                                    std::uint8_t(box >> 8),
                                    std::uint8_t(box)};
    head.insert(head.end(), large, large + 16);
    const fs::path path = folder / "sparse.mp4";
    fs::remove(path);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    }
    fs::resize_file(path, head.size() + payload);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    const std::uint8_t free_box[64] = {0, 0, 0, 64, 'f', 'r', 'e', 'e'};
    out.write(reinterpret_cast<const char*>(free_box), 64);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Publishing time, bytes and memory against cp + fsync + rename."};
    std::uint64_t sizeMib = 1024;
    int folderFiles = 20;
    std::uint64_t folderFileMib = 50;
    std::uint64_t sparseGib = 5;
    std::string folder = (fs::temp_directory_path() / "wharfkeep-bench").string();
    app.add_option("--size-mib", sizeMib, "size of the single file")->capture_default_str();
    app.add_option("--folder-files", folderFiles, "files in the folder")->capture_default_str();
    app.add_option("--folder-file-mib", folderFileMib, "size of each")->capture_default_str();
    app.add_option("--sparse-gib", sparseGib, "sparse file for peak memory (0: none)")
        ->capture_default_str();
    app.add_option("--dir", folder, "folder for sources and work")->capture_default_str();
    std::vector<std::string> only;
    app.add_option("--only", only, "run only these cases (moov-last, streamable, folder)")
        ->check(CLI::IsMember({"moov-last", "streamable", "folder"}));
    bool warmOnly = false;
    app.add_flag("--warm-only", warmOnly, "skip the cold runs");
    int repeat = 1;
    app.add_option("--repeat", repeat, "runs of each case")->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    const auto wanted = [&](const std::string& name) {
        return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
    };

    const fs::path base(folder);
    fs::create_directories(base);
    ::setenv("WHARFKEEP_HOME", (base / "home").c_str(), 1);
    fs::create_directories(base / "home");
    const fs::path big = base / ("source-" + std::to_string(sizeMib) + ".mp4");
    const fs::path small = base / ("source-" + std::to_string(folderFileMib) + ".mp4");
    if (!fs::exists(big))
        bench::make_moov_last_source(big, sizeMib);
    if (!fs::exists(small))
        bench::make_moov_last_source(small, folderFileMib);
    const fs::path work = base / "publish";

    // The streamable file: the big source published once.
    const fs::path streamable = base / ("streamable-" + std::to_string(sizeMib) + ".mp4");
    if (!fs::exists(streamable)) {
        fs::copy_file(big, streamable);
        if (publish({streamable}, base / "home") != 0)
            return 1;
    }

    std::vector<Case> cases;
    if (wanted("moov-last"))
        cases.push_back({"moov-last " + std::to_string(sizeMib) + " MiB", {big}, [&] {
                             return fresh_copies({big}, work);
                         }});
    if (wanted("streamable"))
        cases.push_back({"streamable " + std::to_string(sizeMib) + " MiB", {streamable}, [&] {
                             return fresh_copies({streamable}, work);
                         }});
    if (wanted("folder"))
        cases.push_back({"folder " + std::to_string(folderFiles) + " x " +
                             std::to_string(folderFileMib) + " MiB",
                         fresh_copies({small}, base / "folder-inputs", folderFiles),
                         [&] { return fresh_copies({small}, work, folderFiles); }});
    print_header();
    for (int n = 0; n < repeat; ++n) {
        for (const Case& c : cases)
            run_case(c, base, false);
    }
    bool coldDone = true;
    for (int n = 0; n < repeat && !warmOnly && coldDone; ++n) {
        for (const Case& c : cases) {
            if (!run_case(c, base, true)) {
                coldDone = false;
                break;
            }
        }
    }
    if (!coldDone)
        std::printf("(cold runs skipped: emptying the page cache needs root)\n");

    if (sparseGib != 0 && only.empty()) {
        const fs::path sparse = make_sparse_streamable(streamable, work, sparseGib);
        const Measurement m = measure([&] { return publish({sparse}, base / "home"); });
        if (m.status != 0)
            return 1;
        print_row("sparse streamable " + std::to_string(sparseGib) + " GiB", "-", "publish", m, 0,
                  fs::file_size(sparse));
        fs::remove(sparse);
        fs::remove(fs::path(sparse.string() + ".sts"));
    }
    fs::remove_all(work);
    std::printf(
        "\n(read x / written x: bytes the side's processes read and wrote, per byte of the "
        "files;\n pub/cp: publishing's wall time over the copy's; targets: read <= 1.1, written "
        "<= 1.05,\n pub/cp <= 1.2 warm and cold, peak <= 64 MiB)\n");
    return 0;
}
