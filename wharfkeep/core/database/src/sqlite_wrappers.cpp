#include "sqlite_wrappers.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

namespace wharfkeep::detail {

bool Connection::open(const std::filesystem::path& file, bool create, std::string& error) {
    sqlite3* handle = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int result = sqlite3_open_v2(file.c_str(), &handle, flags, nullptr);
    handle_.reset(handle);
    if (result != SQLITE_OK) {
        error = handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(result);
        handle_.reset();
        return false;
    }
    return true;
}

bool Connection::execute(const char* sql) {
    Statement statement(get(), sql);
    while (statement.step()) {
    }
    return statement.done();
}

Statement::Statement(sqlite3* connection, std::string_view sql) {
    if (connection == nullptr || sql.size() > static_cast<std::size_t>(INT32_MAX)) {
        return;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()), &statement,
                           nullptr) == SQLITE_OK) {
        statement_.reset(statement);
    }
}

void Statement::bind(int index, std::string_view text) {
    if (!valid()) {
        return;
    }
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        bound_ = false;
    }
}

void Statement::bind(int index, std::int64_t value) {
    if (valid() && sqlite3_bind_int64(statement_.get(), index, value) != SQLITE_OK) {
        bound_ = false;
    }
}

void Statement::reset() {
    if (statement_ != nullptr) {
        sqlite3_reset(statement_.get());
        sqlite3_clear_bindings(statement_.get());
        bound_ = true;
        last_result_ = SQLITE_OK;
    }
}

bool Statement::step() {
    if (!valid()) {
        last_result_ = SQLITE_MISUSE;
        return false;
    }
    last_result_ = sqlite3_step(statement_.get());
    return last_result_ == SQLITE_ROW;
}

std::string Statement::text(int column) const {
    const auto* bytes =
        reinterpret_cast<const char*>(sqlite3_column_text(statement_.get(), column));
    if (bytes == nullptr) {
        return {};
    }
    return std::string(bytes,
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_.get(), column)));
}

std::int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(statement_.get(), column);
}

bool Statement::is_null(int column) const {
    return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

std::string Statement::expanded() const {
    if (!statement_) {
        return {};
    }
    char* text = sqlite3_expanded_sql(statement_.get());
    std::string result = text != nullptr ? text : sqlite3_sql(statement_.get());
    sqlite3_free(text);
    return result;
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
    active_ = connection_.execute("begin immediate");
}

Transaction::~Transaction() {
    if (active_) {
        connection_.execute("rollback");
    }
}

bool Transaction::commit() {
    if (!active_) {
        return false;
    }
    active_ = !connection_.execute("commit");
    return !active_;
}

// "disk full (N bytes free ...)" when SQLite's last failure on `db` was a lack of space on
// the file system of `file`, nothing for any other failure. A full disk shows either as
// SQLITE_FULL or, where SQLite grows its shared-memory or log files, as an I/O error whose
// system error is ENOSPC; neither says anything about the file's soundness.
std::optional<std::string> lack_of_space(sqlite3* db, const std::filesystem::path& file) {
    const int primary_code = sqlite3_extended_errcode(db) & 0xff;
    const int system_error = sqlite3_system_errno(db);
    const bool full =
        primary_code == SQLITE_FULL ||
        (primary_code == SQLITE_IOERR && (system_error == ENOSPC || system_error == EDQUOT));
    if (!full) {
        return std::nullopt;
    }
    std::string text = "disk full";
    const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) == 0) {
        const auto free_bytes = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
        text += " (" + std::to_string(free_bytes) + " bytes free in " + folder.string() + ")";
    }
    return text;
}

}  // namespace wharfkeep::detail
