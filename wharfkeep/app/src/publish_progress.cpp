#include "publish_progress.h"

#include <algorithm>
#include <cstdio>

#include "console_host.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/quantity_text.h"

namespace wharfkeep::app {

namespace {

double Seconds(std::chrono::duration<double> elapsed) {
    return std::max(elapsed.count(), 1e-3);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

PublishProgress::PublishProgress(ConsoleLines& lines, bool terminal, Clock clock)
    : lines_(lines), terminal_(terminal), clock_(std::move(clock)), run_started_(clock_()) {
    if (terminal_) {
        lines_.KeepLogLinesApart();
    }
}

void PublishProgress::Started(const std::string& path, std::uint64_t size) {
    current_[path] = Current{size, clock_()};
    lines_.Say("started " + path);
}

void PublishProgress::Progress(const std::string& path, int percent) {
    auto file = current_.find(path);
    if (!terminal_ || file == current_.end()) {
        return;
    }
    lines_.Rewrite(ProgressLine(path, file->second.size, percent, clock_() - file->second.started));
}

void PublishProgress::Finished(const PublishedFile& file) {
    ++finished_;
    std::string line = "finished " + file.path + " State " + std::to_string(file.state) + " " +
                       host::StateText(file.state);
    auto current = current_.find(file.path);
    if (file.state == host::kPublished) {
        ++published_;
        published_bytes_ += file.size;
        if (current != current_.end()) {
            const double seconds = Seconds(clock_() - current->second.started);
            line += ", " + BytesText(file.size) + " in " + Fixed(seconds, 1) + " s, " +
                    ByteRateText(static_cast<std::uint64_t>(double(file.size) / seconds));
        }
    }
    if (current != current_.end()) {
        current_.erase(current);
    }
    if (!file.reason.empty()) {
        line += ": " + file.reason;
    }
    if (!file.link.empty()) {
        line += " " + file.link;
    }
    lines_.Say(line);
}

std::string PublishProgress::Throughput() const {
    if (published_ == 0) {
        return "";
    }
    const double seconds = Seconds(clock_() - run_started_);
    const double megabytes = double(published_bytes_) / 1e6;
    return "throughput: " + std::to_string(published_) + " files, " + Fixed(megabytes, 1) +
           " MB in " + Fixed(seconds, 1) + " s: " + Fixed(published_ / seconds, 2) + " files/s, " +
           Fixed(megabytes / seconds, 1) + " MB/s";
}

std::string PublishProgress::ProgressLine(const std::string& path, std::uint64_t size, int percent,
                                          std::chrono::duration<double> elapsed) {
    percent = std::clamp(percent, 0, 100);
    const double seconds = Seconds(elapsed);
    const double done = double(size) * percent / 100.0;
    char head[16];
    std::snprintf(head, sizeof head, "%3d%%", percent);
    std::string line = head;
    line += "  " + ByteRateText(static_cast<std::uint64_t>(done / seconds));
    // The time left at the rate so far; unknown until something is done.
    line += "  ETA ";
    line +=
        percent > 0
            ? DurationText(static_cast<std::uint64_t>(seconds * (100 - percent) / percent + 0.5))
            : std::string("--:--:--");
    return line + "  " + path;
}

}  // namespace wharfkeep::app
