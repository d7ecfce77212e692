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
//                          [--sparse-gib N] [--dir FOLDER]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "moovwright/moovwright.h"
#include "wharfkeep/engine/publish_engine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKib = 0;
    std::uint64_t bytesRead = 0;     // rchar
    std::uint64_t bytesWritten = 0;  // wchar
    int status = 0;
};

std::uint64_t io_field(const std::string& text, const char* key) {
    const std::size_t at = text.find(key);
    return at == std::string::npos
               ? 0
               : std::strtoull(text.c_str() + at + std::strlen(key), nullptr, 10);
}

// Runs `body` in a child and measures it. The child is read in /proc before it is reaped,
// so its byte counts include the programs it ran and waited for.
template <class Body>
Measurement measure(Body body) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0)
        ::_exit(body());
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
    Measurement m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::ifstream io("/proc/" + std::to_string(child) + "/io");
    const std::string text((std::istreambuf_iterator<char>(io)), std::istreambuf_iterator<char>());
    m.bytesRead = io_field(text, "rchar:");
    m.bytesWritten = io_field(text, "wchar:");
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    m.peakKib = usage.ru_maxrss;
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

int run_quietly(const std::vector<std::string>& args) {
    const pid_t tool = ::fork();
    if (tool == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(tool, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int flush(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 1;
    const int result = ::fsync(fd);
    ::close(fd);
    return result == 0 ? 0 : 1;
}

// What the rival does to each file: cp to a temporary name, fsync, rename over the target,
// fsync the folder (as the restructuring job does).
int copy_flush_rename(const std::vector<fs::path>& sources, const fs::path& folder) {
    for (const fs::path& source : sources) {
        const fs::path target = folder / source.filename();
        const fs::path temporary = folder / (source.filename().string() + ".tmp");
        if (run_quietly({"cp", source.string(), temporary.string()}) != 0 || flush(temporary) != 0)
            return 1;
        if (::rename(temporary.c_str(), target.c_str()) != 0 || flush(folder) != 0)
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
    for (const fs::path& file : files) {
        const wharfkeep::PublishFileResult result = engine.PublishFile(file.string());
        if (result.code != wharfkeep::kPublished) {
            std::fprintf(stderr, "%s: %s\n", file.c_str(), result.error.c_str());
            return 1;
        }
    }
    return 0;
}

void read_through(const std::vector<fs::path>& files) {
    std::vector<char> buffer(1 << 20);
    for (const fs::path& path : files) {
        FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            continue;
        while (std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {
        }
        std::fclose(file);
    }
}

bool drop_page_cache() {
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0)
        return false;
    const bool dropped = ::write(fd, "3", 1) == 1;
    ::close(fd);
    return dropped;
}

void make_source(const fs::path& path, std::uint64_t sizeMib) {
    // About 5.7 MB of video per second at these settings, as in the restructuring benchmark.
    const double seconds = static_cast<double>(sizeMib) * 1048576.0 / 5.7e6;
    const std::string duration = std::to_string(seconds);
    std::printf("making a %llu MiB moov-last source with ffmpeg, once...\n",
                static_cast<unsigned long long>(sizeMib));
    std::fflush(stdout);
    if (run_quietly({"ffmpeg",
                     "-nostdin",
                     "-y",
                     "-f",
                     "lavfi",
                     "-i",
                     "testsrc2=size=960x540:rate=30:duration=" + duration,
                     "-f",
                     "lavfi",
                     "-i",
                     "sine=frequency=440:sample_rate=48000:duration=" + duration,
                     "-vf",
                     "noise=alls=12:allf=t",
                     "-c:v",
                     "libx264",
                     "-preset",
                     "ultrafast",
                     "-qp",
                     "22",
                     "-g",
                     "60",
                     "-bf",
                     "2",
                     "-c:a",
                     "aac",
                     "-b:a",
                     "128k",
                     path.string()}) != 0)
        throw std::runtime_error("ffmpeg could not make " + path.string());
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
            flush(copy);
            copies.push_back(copy);
        }
    }
    return copies;
}

void print_header() {
    std::printf("\n%-26s %-5s %-22s %8s %8s %9s %9s %7s %8s\n", "case", "cache", "side", "seconds",
                "pub/cp", "read x", "written x", "cpu s", "peak MiB");
}

void print_row(const std::string& name, const char* cache, const char* side, const Measurement& m,
               double ratio, std::uint64_t bytes) {
    std::printf("%-26s %-5s %-22s %8.3f %8.2f %9.3f %9.3f %7.2f %8.1f\n", name.c_str(), cache, side,
                m.seconds, ratio, double(m.bytesRead) / double(bytes),
                double(m.bytesWritten) / double(bytes), m.cpuSeconds, double(m.peakKib) / 1024.0);
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

    if (cold ? !drop_page_cache() : (read_through(files), false))
        return false;
    const Measurement ours = measure([&] { return publish(files, work); });
    if (cold ? !drop_page_cache() : (read_through(c.inputs), false))
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
    CLI11_PARSE(app, argc, argv);

    const fs::path base(folder);
    fs::create_directories(base);
    ::setenv("WHARFKEEP_HOME", (base / "home").c_str(), 1);
    fs::create_directories(base / "home");
    const fs::path big = base / ("source-" + std::to_string(sizeMib) + ".mp4");
    const fs::path small = base / ("source-" + std::to_string(folderFileMib) + ".mp4");
    if (!fs::exists(big))
        make_source(big, sizeMib);
    if (!fs::exists(small))
        make_source(small, folderFileMib);
    const fs::path work = base / "publish";

    // The streamable file: the big source published once.
    const fs::path streamable = base / ("streamable-" + std::to_string(sizeMib) + ".mp4");
    if (!fs::exists(streamable)) {
        fs::copy_file(big, streamable);
        if (publish({streamable}, base / "home") != 0)
            return 1;
    }

    const std::vector<Case> cases = {
        {"moov-last " + std::to_string(sizeMib) + " MiB",
         {big},
         [&] { return fresh_copies({big}, work); }},
        {"streamable " + std::to_string(sizeMib) + " MiB",
         {streamable},
         [&] { return fresh_copies({streamable}, work); }},
        {"folder " + std::to_string(folderFiles) + " x " + std::to_string(folderFileMib) + " MiB",
         fresh_copies({small}, base / "folder-inputs", folderFiles),
         [&] { return fresh_copies({small}, work, folderFiles); }},
    };
    print_header();
    for (const Case& c : cases)
        run_case(c, base, false);
    bool coldDone = true;
    for (const Case& c : cases) {
        if (!run_case(c, base, true)) {
            coldDone = false;
            break;
        }
    }
    if (!coldDone)
        std::printf("(cold runs skipped: emptying the page cache needs root)\n");

    if (sparseGib != 0) {
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
