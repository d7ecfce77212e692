#pragma once
// Small RAII wrappers over the SQLite C interface: a connection closed with its owner, a
// prepared statement finalized with its owner, and a transaction rolled back unless it
// was committed.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace wharfkeep::detail {

class Connection {
public:
    Connection() = default;
    // Opens `file` read-write, created when missing, in serialized threading mode.
    // Returns false with `error` filled when it cannot be opened. With `create` false an
    // existing file is required; SQLite never makes one.
    bool open(const std::filesystem::path& file, bool create, std::string& error);
    void close() { handle_.reset(); }
    sqlite3* get() const { return handle_.get(); }
    explicit operator bool() const { return handle_ != nullptr; }
    // Runs a statement without parameters or results.
    bool execute(const char* sql);

private:
    struct Closer {
        void operator()(sqlite3* handle) const { sqlite3_close_v2(handle); }
    };
    std::unique_ptr<sqlite3, Closer> handle_;
};

class Statement {
public:
    // Prepares `sql`; a statement that cannot be prepared is invalid and never runs.
    Statement(sqlite3* connection, std::string_view sql);

    bool valid() const { return statement_ != nullptr && bound_; }

    // Binds parameter `index` (1-based). A failed bind makes the statement invalid.
    void bind(int index, std::string_view text);
    void bind(int index, std::int64_t value);
    // Binds `values` to the parameters from 1 on, in order.
    template <typename... Values>
    void bind_all(const Values&... values) {
        int index = 1;
        (bind(index++, values), ...);
    }

    // Advances: true while a row is available. False when done or failed: see done().
    bool step();
    bool done() const { return last_result_ == SQLITE_DONE; }
    // Makes the statement ready to run again with new parameter values.
    void reset();

    // Column values of the current row; NULL reads as empty text or 0.
    std::string text(int column) const;
    std::int64_t integer(int column) const;
    bool is_null(int column) const;

    // The statement text with its parameter values written in, for trace output.
    std::string expanded() const;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> statement_;
    bool bound_ = true;
    int last_result_ = SQLITE_OK;
};

class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool commit();

private:
    Connection& connection_;
    bool active_ = false;
};

// "disk full (N bytes free in DIR)" when SQLite's last failure on `db` was a lack of space
// on the file system of `file`; nothing for any other failure.
std::optional<std::string> lack_of_space(sqlite3* db, const std::filesystem::path& file);

}  // namespace wharfkeep::detail
