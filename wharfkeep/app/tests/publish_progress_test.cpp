// What `wharfkeepd publish` shows per file and at the end, on a terminal and in a log.

#include "publish_progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "console_host.h"
#include "platform/log.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::app {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kTenMiB = 10ull << 20;

// The rows a terminal shows after `written`: "\r" goes back to the row's start, "\n" to the
// next row, "\033[K" erases to the row's end, anything else overwrites.
std::vector<std::string> TerminalRows(const std::string& written) {
    std::vector<std::string> rows(1);
    std::size_t column = 0;
    for (std::size_t at = 0; at < written.size(); ++at) {
        std::string& row = rows.back();
        if (written.compare(at, 3, "\033[K") == 0) {
            row.resize(std::min(row.size(), column));
            at += 2;
        } else if (written[at] == '\r') {
            column = 0;
        } else if (written[at] == '\n') {
            rows.emplace_back();
            column = 0;
        } else {
            if (column >= row.size()) {
                row.resize(column + 1, ' ');
            }
            row[column++] = written[at];
        }
    }
    return rows;
}

// The log writes into the same stream as the display, as on a terminal where standard
// output and standard error are one device.
struct LogIntoTheSameStream {
    explicit LogIntoTheSameStream(std::ostream& out) {
        platform::log::init_stream(out, platform::log::Level::info, false);
    }
    ~LogIntoTheSameStream() { platform::log::init(platform::log::Level::info); }
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class PublishProgressTest : public ::testing::Test {
protected:
    PublishProgress Display(bool terminal) {
        return PublishProgress(lines, terminal, [this] { return now; });
    }

    std::ostringstream out;
    ConsoleLines lines{out};
    std::chrono::steady_clock::time_point now{};
};

TEST(PublishProgressLine, RateAndTimeLeftFollowFromThePercentDone) {
    // A quarter of 100 MiB in 5 s: 5 MiB/s, and three quarters left take 15 s.
    EXPECT_EQ(PublishProgress::ProgressLine("/m/a.mp4", 100ull << 20, 25, 5s),
              " 25%  5.00MB/s  ETA 00:00:15  /m/a.mp4");
    EXPECT_EQ(PublishProgress::ProgressLine("/m/a.mp4", 100ull << 20, 0, 1s),
              "  0%  0B/s  ETA --:--:--  /m/a.mp4");
    // Out-of-range percentages from a confused engine are held to 0..100.
    EXPECT_EQ(PublishProgress::ProgressLine("/m/a.mp4", 100ull << 20, 140, 10s),
              "100%  10.00MB/s  ETA 00:00:00  /m/a.mp4");
}

TEST_F(PublishProgressTest, OnATerminalTheProgressLineIsRewrittenAndReplacedByTheOutcome) {
    PublishProgress display = Display(true);
    display.Started("/m/a.mp4", kTenMiB);
    now += 1s;
    display.Progress("/m/a.mp4", 50);
    now += 1s;
    display.Progress("/m/a.mp4", 100);
    display.Finished({"/m/a.mp4", host::kPublished, kTenMiB, "", "link://a"});
    EXPECT_EQ(out.str(),
              "started /m/a.mp4\n"
              "\r 50%  5.00MB/s  ETA 00:00:01  /m/a.mp4\033[K"
              "\r100%  5.00MB/s  ETA 00:00:00  /m/a.mp4\033[K"
              "\rfinished /m/a.mp4 State 1 published, 10.00MB in 2.0 s, 5.00MB/s link://a\033[K\n");
}

TEST_F(PublishProgressTest, OnATerminalALogLineGetsARowOfItsOwnAndTheProgressIsDrawnAgain) {
    LogIntoTheSameStream log(out);
    PublishProgress display = Display(true);
    display.Started("/m/a.mp4", kTenMiB);
    now += 1s;
    display.Progress("/m/a.mp4", 50);
    platform::log::warning("disk slow: {}", "/m");

    std::vector<std::string> rows = TerminalRows(out.str());
    ASSERT_EQ(rows.size(), 3u) << out.str();
    EXPECT_EQ(rows[0], "started /m/a.mp4");
    EXPECT_TRUE(EndsWith(rows[1], " warning: disk slow: /m")) << rows[1];
    EXPECT_EQ(rows[1].find('%'), std::string::npos) << rows[1];
    EXPECT_EQ(rows[2], " 50%  5.00MB/s  ETA 00:00:01  /m/a.mp4");

    // The outcome still replaces the progress, below the log line.
    now += 1s;
    display.Finished({"/m/a.mp4", host::kPublished, kTenMiB, "", ""});
    rows = TerminalRows(out.str());
    ASSERT_EQ(rows.size(), 4u) << out.str();
    EXPECT_EQ(rows[2], "finished /m/a.mp4 State 1 published, 10.00MB in 2.0 s, 5.00MB/s");
    EXPECT_EQ(rows[3], "");
}

TEST_F(PublishProgressTest, WithoutATerminalALogLineIsWrittenAsItIs) {
    LogIntoTheSameStream log(out);
    PublishProgress display = Display(false);
    display.Started("/m/a.mp4", kTenMiB);
    display.Progress("/m/a.mp4", 50);
    platform::log::warning("disk slow");
    const std::string written = out.str();
    EXPECT_EQ(written.rfind("started /m/a.mp4\n", 0), 0u) << written;
    EXPECT_TRUE(EndsWith(written, " warning: disk slow\n")) << written;
    EXPECT_EQ(written.find('\r'), std::string::npos) << written;
}

TEST_F(PublishProgressTest, WithoutATerminalEachFileGetsItsLinesAndNoProgress) {
    PublishProgress display = Display(false);
    display.Started("/m/a.mp4", kTenMiB);
    now += 2s;
    display.Progress("/m/a.mp4", 50);
    display.Finished({"/m/a.mp4", host::kNotStreamable, kTenMiB, "no movie box", ""});
    display.Progress("/m/b.mp4", 10);  // a file this run did not see start
    EXPECT_EQ(out.str(),
              "started /m/a.mp4\n"
              "finished /m/a.mp4 State -2 not streamable: no movie box\n");
    EXPECT_EQ(display.finished(), 1);
    EXPECT_EQ(display.published(), 0);
    EXPECT_EQ(display.Throughput(), "");
}

TEST_F(PublishProgressTest, ThroughputCountsOnlyPublishedFilesOverTheWholeRun) {
    PublishProgress display = Display(false);
    for (const char* path : {"/m/a.mp4", "/m/b.mp4", "/m/c.mp4"}) {
        display.Started(path, 5'000'000);
        now += 2s;
        const bool published = std::string(path) != "/m/c.mp4";
        display.Finished({path, published ? host::kPublished : host::kFailed, 5'000'000, "", ""});
    }
    EXPECT_EQ(display.published_bytes(), 10'000'000u);
    EXPECT_EQ(display.Throughput(),
              "throughput: 2 files, 10.0 MB in 6.0 s: 0.33 files/s, 1.7 MB/s");
}

}  // namespace
}  // namespace wharfkeep::app
