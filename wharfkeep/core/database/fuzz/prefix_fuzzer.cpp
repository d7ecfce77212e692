// Stores arbitrary paths and checks that every prefix operation finds exactly the paths
// that begin with the prefix, byte for byte: no character of a path may act as a
// wildcard, an escape or a quote.

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"

namespace {

std::vector<std::string> split_paths(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> paths(1);
    for (std::size_t i = 0; i < size && paths.size() <= 6; ++i) {
        if (data[i] == '\n') {
            paths.emplace_back();
        } else if (data[i] != 0) {  // file paths hold no NUL
            paths.back().push_back(static_cast<char>(data[i]));
        }
    }
    return paths;
}

std::set<std::string> local_paths(const std::vector<wharfkeep::MediaRecord>& records) {
    std::set<std::string> paths;
    for (const auto& record : records) {
        paths.insert(record.local_path);
    }
    return paths;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> paths = split_paths(data, size);
    wharfkeep::ResourceDatabase database;
    wharfkeep::ServerAccessSettings settings;
    check(database.Open(":memory:", "0.0.0.0", "", settings));

    std::set<std::string> stored;
    for (const std::string& path : paths) {
        if (database.AddMedia(path, 1, "")) {
            stored.insert(path);
        }
    }
    check(static_cast<std::size_t>(database.CountMedia()) == stored.size());

    for (const std::string& prefix : paths) {
        std::set<std::string> expected;
        for (const std::string& path : stored) {
            if (path.compare(0, prefix.size(), prefix) == 0) {
                expected.insert(path);
            }
        }
        std::vector<wharfkeep::MediaRecord> by_prefix;
        database.ListMediaByPrefix(prefix, by_prefix);
        check(local_paths(by_prefix) == expected);

        std::vector<wharfkeep::MediaRecord> searched;
        const wharfkeep::SearchCondition under{wharfkeep::MediaColumn::LocalPath,
                                               wharfkeep::SearchOperator::Like, prefix};
        database.SearchMedia({&under, 1}, &searched);
        check(local_paths(searched) == expected);

        std::vector<wharfkeep::MediaRecord> exact;
        const wharfkeep::SearchCondition same{wharfkeep::MediaColumn::LocalPath,
                                              wharfkeep::SearchOperator::Equal, prefix};
        database.SearchMedia({&same, 1}, &exact);
        check(exact.size() == stored.count(prefix));
    }

    // Deleting by the first prefix leaves exactly the paths that do not begin with it.
    database.DeleteMediaByPrefix(paths.front());
    std::size_t kept = 0;
    for (const std::string& path : stored) {
        kept += path.compare(0, paths.front().size(), paths.front()) != 0;
    }
    check(static_cast<std::size_t>(database.CountMedia()) == kept);
    return 0;
}
