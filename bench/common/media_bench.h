#pragma once
// What the media benchmarks share: measuring a side in a child process (wall time, CPU
// time, peak memory, bytes read and written), running a tool quietly, flushing a file,
// emptying the page cache, and making a moov-last H.264 + AAC source with ffmpeg.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;           // user + system time of the process and its children
    long peakKib = 0;                // largest resident set of the process
    std::uint64_t bytesRead = 0;     // rchar, children included
    std::uint64_t bytesWritten = 0;  // wchar, children included
    int status = 0;
};

inline std::uint64_t proc_io_field(const std::string& text, const char* key) {
    const std::size_t at = text.find(key);
    return at == std::string::npos
               ? 0
               : std::strtoull(text.c_str() + at + std::strlen(key), nullptr, 10);
}

// Runs `body` in a child process and measures it. The child is read in /proc before it is
// reaped, so its byte counts include the programs it ran and waited for.
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
    m.bytesRead = proc_io_field(text, "rchar:");
    m.bytesWritten = proc_io_field(text, "wchar:");
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    m.peakKib = usage.ru_maxrss;
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

// Runs a program with its output discarded and waits for it; its exit status.
inline int run_quietly(const std::vector<std::string>& args) {
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

// fsync of a file or folder: 0, or 1 when it failed.
inline int flush_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 1;
    const int result = ::fsync(fd);
    ::close(fd);
    return result == 0 ? 0 : 1;
}

// Writes every dirty page out and empties the page cache (needs root), so that the next
// side reads its input from the disk. False when the system refused.
inline bool drop_page_cache() {
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0)
        return false;
    const bool dropped = ::write(fd, "3", 1) == 1;
    ::close(fd);
    return dropped;
}

// Reads a file to its end, so that it sits in the page cache.
inline void read_through(const std::filesystem::path& path) {
    std::vector<char> buffer(1 << 20);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return;
    while (std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {
    }
    std::fclose(file);
}

// A moov-last H.264 + AAC file of about `sizeMib` MiB (960x540 with noise, about 5.7 MB
// of video per second). Throws std::runtime_error when ffmpeg fails.
inline void make_moov_last_source(const std::filesystem::path& path, std::uint64_t sizeMib) {
    const double seconds = static_cast<double>(sizeMib) * 1048576.0 / 5.7e6;
    const std::string duration = std::to_string(seconds);
    std::printf("making a %llu MiB source (%.0f s of 960x540 H.264 + AAC), once...\n",
                static_cast<unsigned long long>(sizeMib), seconds);
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
                     path.string()}) != 0 ||
        flush_file(path) != 0) {
        throw std::runtime_error("ffmpeg could not make " + path.string());
    }
}

}  // namespace bench
