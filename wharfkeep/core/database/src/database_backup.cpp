#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sqlite_wrappers.h"
#include "wharfkeep/database/resource_database.h"

namespace wharfkeep {

namespace {

using detail::Connection;

// Opens `file` without ever creating it or writing to it.
sqlite3* open_for_reading(const std::filesystem::path& file, std::string& error) {
    sqlite3* handle = nullptr;
    const int result = sqlite3_open_v2(file.c_str(), &handle,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (result != SQLITE_OK) {
        error = handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(result);
        sqlite3_close_v2(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, 5000);
    return handle;
}

// Copies every page in one step: one read transaction, which in the write-ahead-log mode
// of the instance's database blocks no writer, and which a write in between cannot restart
// (a copy in small steps starts again after every write of another connection, and under a
// busy instance would never end). A source locked at the start is tried again for up to
// `patience`.
std::optional<std::string> copy_pages(sqlite3* source, sqlite3* copy,
                                      const std::filesystem::path& target) {
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (backup == nullptr) {
        return std::string(sqlite3_errmsg(copy));
    }
    constexpr auto patience = std::chrono::seconds(30);
    auto last_progress = std::chrono::steady_clock::now();
    int result = SQLITE_OK;
    while (true) {
        result = sqlite3_backup_step(backup, -1);
        if (result == SQLITE_OK) {
            last_progress = std::chrono::steady_clock::now();
            continue;
        }
        const bool locked = result == SQLITE_BUSY || result == SQLITE_LOCKED;
        if (!locked || std::chrono::steady_clock::now() - last_progress > patience) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    sqlite3_backup_finish(backup);
    if (result == SQLITE_DONE) {
        return std::nullopt;
    }
    if (std::optional<std::string> full = detail::lack_of_space(copy, target)) {
        return full;
    }
    return std::string(sqlite3_errstr(result));
}

std::optional<std::string> integrity_of(sqlite3* copy) {
    detail::Statement check(copy, "pragma integrity_check");
    if (!check.step()) {
        return std::string(sqlite3_errmsg(copy));
    }
    const std::string verdict = check.text(0);
    return verdict == "ok" ? std::nullopt : std::optional<std::string>(verdict);
}

// Makes the copy's bytes and its name in the folder last through a power cut.
bool make_durable(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace

std::optional<std::string> backup_database(const std::filesystem::path& source,
                                           const std::filesystem::path& target) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(source, error)) {
        return "no database at " + source.string();
    }
    std::string open_error;
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(open_for_reading(source, open_error),
                                                       sqlite3_close_v2);
    if (!reader) {
        return "cannot read " + source.string() + ": " + open_error;
    }
    const std::filesystem::path partial = target.string() + ".partial";
    std::filesystem::remove(partial, error);
    std::optional<std::string> failure;
    {
        Connection copy;
        if (!copy.open(partial, true, open_error)) {
            return "cannot write " + partial.string() + ": " + open_error;
        }
        failure = copy_pages(reader.get(), copy.get(), partial);
        if (!failure) {
            // The copy keeps the source's journal mode; a backup file stands alone.
            copy.execute("pragma journal_mode = delete");
            failure = integrity_of(copy.get());
            if (failure) {
                failure = "the copy fails its integrity check: " + *failure;
            }
        }
    }
    if (!failure && !make_durable(partial)) {
        failure = "cannot flush " + partial.string() + " to disk";
    }
    if (!failure) {
        std::filesystem::rename(partial, target, error);
        if (error) {
            failure = "cannot rename " + partial.string() + " to " + target.string() + ": " +
                      error.message();
        }
    }
    if (failure) {
        std::filesystem::remove(partial, error);
        return failure;
    }
    make_durable(target.parent_path().empty() ? "." : target.parent_path());
    return std::nullopt;
}

}  // namespace wharfkeep
