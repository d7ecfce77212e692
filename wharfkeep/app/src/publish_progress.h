#pragma once
// What `wharfkeepd publish` shows while files are published, the same whether the files are
// published here or by a running instance whose event stream the command follows.
//
// On a terminal the file being published has one line rewritten in place with its percent,
// rate and the time left, and log lines step around it (ConsoleLines::KeepLogLinesApart);
// otherwise nothing is printed until a file ends, so that a log gets one line per file.
// Each file's last line carries its outcome and, when it was published, its size, time and
// rate; Throughput() ends the run with files per second and MB/s. Calls come from one
// thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace wharfkeep::app {

class ConsoleLines;

// How one file's publication ended.
struct PublishedFile {
    std::string path;
    int state = 0;
    std::uint64_t size = 0;  // bytes of the file as it ended (published: its published size)
    std::string reason;      // why it was not published; empty when it was
    std::string link;        // of a published file
};

class PublishProgress {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    PublishProgress(
        ConsoleLines& lines, bool terminal,
        Clock clock = [] { return std::chrono::steady_clock::now(); });

    void Started(const std::string& path, std::uint64_t size);
    void Progress(const std::string& path, int percent);
    void Finished(const PublishedFile& file);

    int finished() const { return finished_; }
    int published() const { return published_; }
    std::uint64_t published_bytes() const { return published_bytes_; }
    // "throughput: N files, X MB in S s: F files/s, R MB/s" once a file was published, from
    // the first file's start (or the construction) to now; empty otherwise.
    std::string Throughput() const;

    // " 42%  12.00MB/s  ETA 00:00:05  PATH": what the rewritten line says for a file of
    // `size` bytes that is `percent` done after `elapsed`.
    static std::string ProgressLine(const std::string& path, std::uint64_t size, int percent,
                                    std::chrono::duration<double> elapsed);

private:
    struct Current {
        std::uint64_t size = 0;
        std::chrono::steady_clock::time_point started{};
    };

    ConsoleLines& lines_;
    bool terminal_;
    Clock clock_;
    std::chrono::steady_clock::time_point run_started_;
    // Files started and not yet finished (a running instance may report several folders').
    std::map<std::string, Current> current_;
    int finished_ = 0;
    int published_ = 0;
    std::uint64_t published_bytes_ = 0;
};

}  // namespace wharfkeep::app
