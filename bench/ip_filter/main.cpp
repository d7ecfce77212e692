// Cost of the IP refusal test and of importing a block list, at the size of the lists
// operators load (300,000 ranges by default).
//
//   bench_ip_filter [--ranges N] [--lookups N]
//
// Refusal test: nanoseconds per accepted connection for the row-by-row test over the stored
// rows (what every connection paid before) and for the merged range set's binary search;
// both must give the same answers, which the run checks.
// Import: reading the file, storing the rows (in transactions of 10,000) and loading them back,
// against the sqlite3 command-line tool importing the same rows from CSV into the same table, the
// tool an operator would otherwise script for a bulk load.

#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/iprules/block_list.h"
#include "wharfkeep/iprules/range_set.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using wharfkeep::iprules::AddressRange;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A list like the downloadable ones: random ranges of 1 to 4096 addresses, some overlapping,
// in the "first - last , level , description" format.
std::string MakeBlockList(std::size_t count, std::mt19937& random) {
    std::string text;
    text.reserve(count * 64);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t first = random();
        const std::uint32_t last =
            first + std::min<std::uint32_t>(0xFFFFFFFFu - first, random() % 4096);
        text += wharfkeep::iprules::FormatAddress(first) + " - " +
                wharfkeep::iprules::FormatAddress(last) + " , 000 , entry " + std::to_string(i) +
                "\n";
    }
    return text;
}

bool RunSqliteImport(const fs::path& database, const fs::path& csv) {
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        const std::string import = ".import " + csv.string() + " pwt_blackNameList";
        execlp("sqlite3", "sqlite3", "-csv", database.c_str(), import.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct ImportFigures {
    double parse = 0, store = 0, load = 0, build = 0, sqlite_cli = -1;
    wharfkeep::IpRangeList rows;
    wharfkeep::iprules::RangeSet set;
};

ImportFigures ImportList(const fs::path& folder, const std::string& text) {
    ImportFigures figures;
    const fs::path list_file = folder / "blocklist.dat";
    std::ofstream(list_file, std::ios::binary) << text;

    auto start = Clock::now();
    std::ifstream in(list_file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const wharfkeep::iprules::BlockList list = wharfkeep::iprules::ParseBlockList(bytes.str());
    figures.parse = SecondsSince(start);

    wharfkeep::ResourceDatabase db;
    wharfkeep::ServerAccessSettings access;
    if (!db.Open(folder / "Wharfkeep.sqlite", "127.0.0.1", "", access)) {
        throw std::runtime_error("cannot open the database");
    }
    wharfkeep::IpRangeList rows;
    for (const AddressRange& range : list.ranges) {
        rows.push_back({0, range.first, range.last});
    }
    start = Clock::now();
    if (!db.AddIpRanges(wharfkeep::IpListTable::Black, rows)) {
        throw std::runtime_error("cannot store the ranges");
    }
    figures.store = SecondsSince(start);

    start = Clock::now();
    db.LoadIpList(wharfkeep::IpListTable::Black, figures.rows);
    figures.load = SecondsSince(start);

    start = Clock::now();
    std::vector<AddressRange> loaded;
    loaded.reserve(figures.rows.size());
    for (const wharfkeep::IpRange& row : figures.rows) {
        loaded.push_back({row.begin_ip, row.end_ip});
    }
    figures.set = wharfkeep::iprules::RangeSet(loaded);
    figures.build = SecondsSince(start);
    db.Close();

    // The same rows as CSV (ID, BeginIP, EndIP) into a fresh copy of the schema.
    const fs::path cli_database = folder / "cli.sqlite";
    {
        wharfkeep::ResourceDatabase fresh;
        fresh.Open(cli_database, "127.0.0.1", "", access);
    }
    const fs::path csv = folder / "rows.csv";
    {
        std::ofstream out(csv);
        std::size_t id = 1;
        for (const wharfkeep::IpRange& row : rows) {
            out << id++ << "," << row.begin_ip << "," << row.end_ip << "\n";
        }
    }
    start = Clock::now();
    if (RunSqliteImport(cli_database, csv)) {
        figures.sqlite_cli = SecondsSince(start);
    }
    return figures;
}

template <typename Test>
double NanosecondsPerTest(const std::vector<std::uint32_t>& addresses, Test test,
                          std::vector<bool>& answers) {
    answers.assign(addresses.size(), false);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        answers[i] = test(addresses[i]);
    }
    return SecondsSince(start) * 1e9 / static_cast<double>(addresses.size());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"IP refusal test and block-list import"};
    std::size_t range_count = 300000;
    std::size_t lookups = 1000000;
    std::size_t linear_lookups = 2000;
    app.add_option("--ranges", range_count, "ranges in the generated list");
    app.add_option("--lookups", lookups, "addresses tested against the range set");
    app.add_option("--linear-lookups", linear_lookups,
                   "addresses tested row by row (each walks every row)");
    CLI11_PARSE(app, argc, argv);

    std::string pattern = (fs::temp_directory_path() / "wk-bench-ipfilter-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    try {
        std::mt19937 random(20261209);
        const std::string text = MakeBlockList(range_count, random);
        ImportFigures figures = ImportList(folder, text);
        std::printf("import of %zu lines (%zu rows after merging):\n", range_count,
                    figures.rows.size());
        std::printf("  read and parse   %8.3f s\n", figures.parse);
        std::printf("  store            %8.3f s\n", figures.store);
        std::printf("  load rows        %8.3f s\n", figures.load);
        std::printf("  build range set  %8.3f s\n", figures.build);
        std::printf("  wharfkeep total  %8.3f s\n",
                    figures.parse + figures.store + figures.load + figures.build);
        if (figures.sqlite_cli >= 0) {
            std::printf("  sqlite3 .import  %8.3f s (same rows from CSV, for comparison)\n",
                        figures.sqlite_cli);
        } else {
            std::printf("  sqlite3 .import  not run (no sqlite3 program)\n");
        }

        std::vector<std::uint32_t> addresses(lookups);
        for (std::uint32_t& address : addresses) {
            address = random();
        }
        const auto& rows = figures.rows;
        auto linear = [&rows](std::uint32_t address) {
            return std::any_of(rows.begin(), rows.end(), [address](const wharfkeep::IpRange& row) {
                return row.begin_ip <= address && address <= row.end_ip;
            });
        };
        const auto& set = figures.set;
        std::vector<bool> set_answers, linear_answers;
        const double set_ns = NanosecondsPerTest(
            addresses, [&set](std::uint32_t address) { return set.Contains(address); },
            set_answers);
        const std::vector<std::uint32_t> sample(
            addresses.begin(),
            addresses.begin() + static_cast<std::ptrdiff_t>(std::min(linear_lookups, lookups)));
        const double linear_ns = NanosecondsPerTest(sample, linear, linear_answers);
        for (std::size_t i = 0; i < sample.size(); ++i) {
            if (linear_answers[i] != set_answers[i]) {
                std::fprintf(stderr, "answers differ for address %u\n", sample[i]);
                fs::remove_all(folder);
                return 1;
            }
        }
        const auto listed = std::count(set_answers.begin(), set_answers.end(), true);
        std::printf(
            "refusal test with %zu rows (%zu merged ranges), %ld of %zu addresses listed:\n",
            rows.size(), set.size(), static_cast<long>(listed), addresses.size());
        std::printf("  row by row       %10.1f ns per connection (%zu addresses)\n", linear_ns,
                    sample.size());
        std::printf("  range set        %10.1f ns per connection (%zu addresses)\n", set_ns,
                    addresses.size());
        std::printf("  speed-up         %10.0fx\n", linear_ns / set_ns);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_ip_filter: %s\n", error.what());
        fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}
