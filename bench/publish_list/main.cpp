// Listing and sorting a large directory on the publish page, against the sqlite3 tool an
// operator would use to list the same rows sorted, measured side by side in one run.
//
//   bench_publish_list [--rows N] [--rounds R]
//
// A temporary application-data folder gets a database with N media rows under one
// directory. Each round times, on the real page (offscreen): showing the directory (query,
// model, view) and sorting it by size, by name and by size again (descending); then the
// sqlite3 tool running the same selection with ORDER BY FileSize. The best round of each
// counts. Prints both times, their ratio, and whether the page stayed under one second.

#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "publish_form_view.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/ui/prompter.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace wharfkeep;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
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

void FillDatabase(ResourceDatabase& db, const std::string& directory, int rows) {
    db.AddDirectory(directory, "films", rows);
    for (int i = 0; i < rows; ++i) {
        // Names and sizes in an order unrelated to the insertion order.
        unsigned mixed = static_cast<unsigned>(i) * 2654435761u;
        char name[64];
        std::snprintf(name, sizeof name, "clip-%08x-%05d.mp4", mixed, i);
        std::int64_t size = 1048576LL * (mixed % 4096) + i;
        char date[32];
        std::snprintf(date, sizeof date, "2026-%02u-%02u 12:00:00", mixed % 12 + 1, mixed % 28 + 1);
        db.AddMedia(directory + name, size, date);
    }
}

double TimeSqliteTool(const fs::path& database, const std::string& directory) {
    std::string query =
        "select LocalPath, FileSize, State, FileDate, PublishDate from pwt_medias where "
        "LocalPath like '" +
        directory + "%' order by FileSize;";
    std::fflush(stdout);  // the child must not write our buffered output again
    auto start = Clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execlp("sqlite3", "sqlite3", database.c_str(), query.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    double seconds = SecondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("sqlite3 failed (is it installed?)");
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Publish page listing and sorting against the sqlite3 tool"};
    int rows = 10000;
    int rounds = 5;
    app.add_option("--rows", rows, "media rows in the directory")->check(CLI::Range(1, 10000000));
    app.add_option("--rounds", rounds, "rounds; the best of each contender counts")
        ->check(CLI::Range(1, 1000));
    CLI11_PARSE(app, argc, argv);

    char folder_template[] = "/tmp/wk-bench-publish-XXXXXX";
    fs::path root = ::mkdtemp(folder_template);
    ::setenv("WHARFKEEP_HOME", (root / "home").c_str(), 1);
    ::setenv("WHARFKEEP_DESKTOP", (root / "desktop").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int status = 0;
    {
        int qt_argc = 1;
        QApplication qt(qt_argc, argv);
        SilentSink sink;
        SilentPrompter prompter;
        host::CPierwatchDoc doc(sink, host::MakeLinkOnlyPublishBackend());
        if (!doc.OnNewDocument()) {
            std::fprintf(stderr, "cannot open the database\n");
            return 1;
        }
        const std::string directory = "/srv/videos/films/";
        auto fill_start = Clock::now();
        FillDatabase(doc.Database(), directory, rows);
        std::printf("database of %d rows written in %.2f s\n", rows, SecondsSince(fill_start));

        ui::CPWTPublishFormView page(ui::PageContext{doc, sink, prompter});
        page.resize(800, 600);
        page.show();
        double best_page = 1e9;
        double best_list = 1e9;
        double best_tool = 1e9;
        for (int round = 0; round < rounds; ++round) {
            page.ClearView();
            QApplication::processEvents();
            auto start = Clock::now();
            page.ShowDirectory(directory);
            QApplication::processEvents();
            best_list = std::min(best_list, SecondsSince(start));
            page.SortByColumn(ui::kColumnSize);
            page.SortByColumn(ui::kColumnName);
            page.SortByColumn(ui::kColumnSize);
            page.SortByColumn(ui::kColumnSize);
            QApplication::processEvents();  // the view lays out and paints what is visible
            best_page = std::min(best_page, SecondsSince(start));
            if (page.Model().rowCount() != rows) {
                std::fprintf(stderr, "listed %d rows, expected %d\n", page.Model().rowCount(),
                             rows);
                status = 1;
            }
            best_tool =
                std::min(best_tool, TimeSqliteTool(ResourceDatabase::default_file(), directory));
        }
        std::printf("publish page: list + 4 sorts of %d rows  %8.1f ms\n", rows, best_page * 1e3);
        std::printf("  of which listing                          %8.1f ms\n", best_list * 1e3);
        std::printf("sqlite3 tool: select + order by           %8.1f ms\n", best_tool * 1e3);
        std::printf("ratio page / sqlite3: %.2f\n", best_page / best_tool);
        std::printf("under one second: %s\n", best_page < 1.0 ? "yes" : "NO");
        if (best_page >= 1.0) {
            status = 1;
        }
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
