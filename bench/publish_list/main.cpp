// A large catalog on every view that lists or counts it, against the sqlite3 tool an
// operator would use to list the same rows sorted, measured side by side in one run.
//
//   bench_publish_list [--rows N] [--folders F] [--rounds R] [--home DIR [--generate-only]]
//                      [--wharfkeepd PATH]
//
// The generator writes N media rows in F folders into a fresh application-data folder (a
// temporary one, or DIR, which is then kept for manual runs). Each round times:
// - the host opening the database (the whole open, and SQLite's quick check alone) and the
//   document's start-up;
// - the navigation tree built from the folders, and one folder's published count (what a
//   label change after a publication costs);
// - the publish page (offscreen): switching to one folder and to the folder holding all
//   rows, each followed by the state filter "已发布" and back, four header clicks (size,
//   name, size, size) and a scroll to the end and back, each step with the view laid out
//   and painted;
// - the status page's refresh;
// - `wharfkeepd status`, `status --json`, `list`, `list --json` and `list FOLDER` as the
//   operator runs them;
// - the sqlite3 tool selecting one folder and all rows ordered by FileSize.
// The best round of each counts, in wall time and in processor time (the machine's load
// average is printed with them). Each figure is printed beside its target (100 ms for a
// page switch, sort or refresh, 1 s for a start-up), judged by processor time so that a
// busy machine does not hide a regression or fake one; the exit status is 1 when one is
// missed.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <QApplication>
#include <QComboBox>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog.h"
#include "guider_tree.h"
#include "publish_form_view.h"
#include "publish_ids.h"
#include "state_info_view.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/ui_ids.h"

#ifndef WHARFKEEPD_PATH
#define WHARFKEEPD_PATH "wharfkeepd"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace wharfkeep;

constexpr double kViewTargetMs = 100;
constexpr double kStartTargetMs = 1000;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class SilentSink : public host::MessageSink {
public:
    void post(host::AppMessage, std::int64_t, host::AppPayload) override {}
    bool window_exists() const override { return true; }
    void show_message(const std::string&) override {}
    bool ask_yes_no(const std::string&) override { return false; }
};

class SilentPrompter : public ui::Prompter {
public:
    void Message(const QString&, const QString&, ui::PromptIcon) override {}
    bool YesNo(const QString&, const QString&) override { return false; }
    bool OkCancel(const QString&, const QString&) override { return false; }
};

// A duration as the user waits for it (wall) and as the processor spent it (cpu: this
// process, or the child for a program run). On a busy machine the wall time includes
// waiting for a core; the processor time is what the operation would take on a quiet one.
struct Duration {
    double wall_ms = 0;
    double cpu_ms = 0;
};

double ProcessCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The best time of each operation over the rounds, in the order first measured; a target
// of 0 means the figure is only reported.
class Results {
public:
    void Record(const std::string& name, Duration duration, double target_ms) {
        auto [entry, added] = best_.try_emplace(name, Best{duration, target_ms});
        if (added) {
            order_.push_back(name);
        } else {
            Duration& best = entry->second.duration;
            best.wall_ms = std::min(best.wall_ms, duration.wall_ms);
            best.cpu_ms = std::min(best.cpu_ms, duration.cpu_ms);
        }
    }
    // Times `action` and records it.
    void Time(const std::string& name, double target_ms, const std::function<void()>& action) {
        const auto start = Clock::now();
        const double cpu_start = ProcessCpuMs();
        action();
        Record(name, {MillisecondsSince(start), ProcessCpuMs() - cpu_start}, target_ms);
    }
    double BestWallOf(const std::string& name) const { return best_.at(name).duration.wall_ms; }
    // Prints every figure; returns whether every target was met by the processor time.
    bool Print() const {
        bool all_met = true;
        std::printf("%-50s %9s %9s\n", "operation (best round)", "wall ms", "cpu ms");
        for (const std::string& name : order_) {
            const Best& best = best_.at(name);
            const bool met = best.target_ms <= 0 || best.duration.cpu_ms < best.target_ms;
            all_met = all_met && met;
            std::printf("%-50s %9.1f %9.1f", name.c_str(), best.duration.wall_ms,
                        best.duration.cpu_ms);
            if (best.target_ms > 0) {
                std::printf(
                    "   (target %4.0f ms: %s%s)", best.target_ms, met ? "met" : "MISSED",
                    met && best.duration.wall_ms >= best.target_ms ? ", not in wall time" : "");
            }
            std::printf("\n");
        }
        return all_met;
    }

private:
    struct Best {
        Duration duration;
        double target_ms;
    };
    std::map<std::string, Best> best_;
    std::vector<std::string> order_;
};

// Runs a program with its output thrown away; nothing when it failed.
std::optional<Duration> TimeProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::fflush(stdout);  // the child must not write our buffered output again
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double wall_ms = MillisecondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return Duration{wall_ms, ms(usage.ru_utime) + ms(usage.ru_stime)};
}

// SQLite's quick check of the whole file, alone (what every open of the database runs).
// The first three fields of /proc/loadavg: how busy the machine was.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void TimeQuickCheck(Results& results, const fs::path& file) {
    results.Time("sqlite quick_check of the whole file", 0, [&] {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(db, "pragma quick_check", nullptr, nullptr, nullptr);
        }
        sqlite3_close(db);
    });
}

void TimeHostOpening(Results& results, const fs::path& file) {
    TimeQuickCheck(results, file);
    results.Time("host: database open", kStartTargetMs, [&] {
        ResourceDatabase db;
        ServerAccessSettings settings;
        db.Open(file, "0.0.0.0", "", settings);
    });
    SilentSink sink;
    results.Time("host: document start-up", kStartTargetMs, [&] {
        host::Host host(sink, host::MakeLinkOnlyPublishBackend());
        host.Open();
    });
}

// One listing on the publish page: the switch, the filter there and back, four sorts.
void TimePublishPage(Results& results, ui::CPWTPublishFormView& page, const std::string& label,
                     const std::string& directory, int expected_rows, bool& rows_ok) {
    auto* filter = page.findChild<QComboBox*>(ui::ObjectId(ui::ids::kComboStateFilter));
    page.ClearView();
    QApplication::processEvents();
    auto step = [&](const std::string& name, const std::function<void()>& action) {
        results.Time("publish page " + label + ": " + name, kViewTargetMs, [&] {
            action();
            QApplication::processEvents();  // the view lays out and paints what is visible
        });
    };
    step("switch to it", [&] { page.ShowDirectory(directory); });
    rows_ok = rows_ok && page.Model().rowCount() == expected_rows;
    step("filter published", [&] { filter->setCurrentIndex(1); });
    step("filter all again", [&] { filter->setCurrentIndex(0); });
    step("sort by size", [&] { page.SortByColumn(ui::kColumnSize); });
    step("sort by name", [&] { page.SortByColumn(ui::kColumnName); });
    step("sort by size", [&] { page.SortByColumn(ui::kColumnSize); });
    step("sort by size, descending", [&] { page.SortByColumn(ui::kColumnSize); });
    // The lines at the far end are read only now.
    step("scroll to the end", [&] { page.List().scrollToBottom(); });
    step("scroll to the top", [&] { page.List().scrollToTop(); });
}

void TimeCommandLine(Results& results, const std::string& wharfkeepd, const std::string& folder) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"wharfkeepd status", {wharfkeepd, "status"}},
        {"wharfkeepd status --json", {wharfkeepd, "status", "--json"}},
        {"wharfkeepd list (all rows)", {wharfkeepd, "list"}},
        {"wharfkeepd list --json (all rows)", {wharfkeepd, "list", "--json"}},
        {"wharfkeepd list FOLDER", {wharfkeepd, "list", folder}},
    };
    for (const auto& [name, argv] : commands) {
        const std::optional<Duration> duration = TimeProgram(argv);
        if (!duration) {
            throw std::runtime_error(name + " failed");
        }
        results.Record(name, *duration, kStartTargetMs);
    }
}

void TimeSqliteTool(Results& results, const fs::path& file, const std::string& label,
                    const std::string& directory) {
    const std::string query =
        "select LocalPath, FileSize, State, FileDate, PublishDate from pwt_medias where "
        "LocalPath like '" +
        directory + "%' order by FileSize;";
    const std::optional<Duration> duration = TimeProgram({"sqlite3", file.string(), query});
    if (!duration) {
        throw std::runtime_error("sqlite3 failed (is it installed?)");
    }
    results.Record("sqlite3 tool " + label + ": select + order by", *duration, 0);
}

int RunRounds(const bench::CatalogShape& shape, int rounds, const std::string& wharfkeepd,
              char* program) {
    const fs::path file = ResourceDatabase::default_file();
    const std::string folder = bench::CatalogFolder(shape, shape.folders / 2);
    const int folder_rows = static_cast<int>(
        static_cast<long long>(shape.rows) * (shape.folders / 2 + 1) / shape.folders -
        static_cast<long long>(shape.rows) * (shape.folders / 2) / shape.folders);
    Results results;
    bool rows_ok = true;
    int qt_argc = 1;
    QApplication qt(qt_argc, &program);
    SilentSink sink;
    SilentPrompter prompter;
    for (int round = 0; round < rounds; ++round) {
        TimeHostOpening(results, file);
        host::Host host(sink, host::MakeLinkOnlyPublishBackend());
        if (!host.Open()) {
            std::fprintf(stderr, "cannot open the database\n");
            return 1;
        }
        const ui::PageContext context{host, sink, prompter};
        results.Time("navigation tree: build", kViewTargetMs, [&] {
            ui::CPWTGuiderTree tree(host, sink, prompter);
            tree.Build();
        });
        results.Time("navigation tree: one folder's published count", kViewTargetMs,
                     [&] { host.Library().PublishedCount(folder); });

        results.Time("database: read every record (what the page no longer does)", 0,
                     [&] { host.Library().MediaUnder(shape.root); });
        ui::CPWTPublishFormView page(context);
        page.resize(800, 600);
        page.show();
        TimePublishPage(results, page, "folder", folder, folder_rows, rows_ok);
        TimePublishPage(results, page, "all", shape.root, shape.rows, rows_ok);
        page.ClearView();

        ui::CPWTStateInfoFormView status(context);
        status.SetDiskSpaceSource([] { return platform::DiskSpace{}; });
        status.resize(800, 600);
        status.show();
        results.Time("status page: refresh", kViewTargetMs, [&] {
            status.Refresh();
            QApplication::processEvents();
        });

        TimeCommandLine(results, wharfkeepd, folder);
        TimeSqliteTool(results, file, "folder", folder);
        TimeSqliteTool(results, file, "all", shape.root);
    }
    std::printf("%d rows in %d folders, best of %d rounds; load average %s\n", shape.rows,
                shape.folders, rounds, LoadAverage().c_str());
    const bool met = results.Print();
    std::printf("ratio publish page / sqlite3, all rows, sort by size: %.2f\n",
                results.BestWallOf("publish page all: sort by size") /
                    results.BestWallOf("sqlite3 tool all: select + order by"));
    if (!rows_ok) {
        std::fprintf(stderr, "the publish page did not list the expected rows\n");
    }
    return met && rows_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"A large catalog on the publish page, the status page, the tree and wharfkeepd"};
    bench::CatalogShape shape;
    int rounds = 3;
    std::string home;
    bool generate_only = false;
    std::string wharfkeepd = WHARFKEEPD_PATH;
    app.add_option("--rows", shape.rows, "media rows")->check(CLI::Range(1, 10000000));
    app.add_option("--folders", shape.folders, "folders they are spread over")
        ->check(CLI::Range(1, 100000));
    app.add_option("--rounds", rounds, "rounds; the best of each counts")
        ->check(CLI::Range(1, 1000));
    app.add_option("--home", home, "application-data folder to make and keep (must not exist)");
    app.add_flag("--generate-only", generate_only, "only write the catalog into --home");
    app.add_option("--wharfkeepd", wharfkeepd, "the wharfkeepd program to time");
    CLI11_PARSE(app, argc, argv);
    if (generate_only && home.empty()) {
        std::fprintf(stderr, "--generate-only needs --home\n");
        return 2;
    }
    if (!home.empty() && fs::exists(home)) {
        std::fprintf(stderr, "%s exists already\n", home.c_str());
        return 2;
    }

    char folder_template[] = "/tmp/wk-bench-publish-XXXXXX";
    const fs::path root = ::mkdtemp(folder_template);
    const fs::path app_home = home.empty() ? root / "home" : fs::absolute(home);
    ::setenv("WHARFKEEP_HOME", app_home.c_str(), 1);
    ::setenv("WHARFKEEP_DESKTOP", (root / "desktop").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int status = 0;
    try {
        {
            ResourceDatabase db;
            ServerAccessSettings settings;
            const auto start = Clock::now();
            if (!db.OpenDefault("0.0.0.0", "", settings) || !bench::GenerateCatalog(db, shape)) {
                std::fprintf(stderr, "cannot write the catalog\n");
                return 1;
            }
            std::printf(
                "catalog of %d rows in %d folders written in %.2f s to %s; load average %s\n",
                shape.rows, shape.folders, MillisecondsSince(start) / 1e3, app_home.c_str(),
                LoadAverage().c_str());
        }
        if (!generate_only) {
            status = RunRounds(shape, rounds, wharfkeepd, argv[0]);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
