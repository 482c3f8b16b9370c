// A small RAII layer over the system SQLite library: one connection, its statements, a cache of
// compiled statements keyed by their SQL text, and batches of statements run in turn.
//
// Errors are values. Their text is what callers put into their messages:
//   - SQLite's own message for the failing call ("database is locked", "malformed JSON", ...);
//   - for a statement that fails to compile, that message, " in ", the SQL text handed to the
//     compiler and " at offset " with the byte offset SQLite points at (when it points at one);
//   - for a failure of this layer itself (a column of the wrong type, a missing row, a NUL in a
//     path), its own short description.
//
// Text is bound without copying: a bound text must stay alive until the statement is reset with
// its bindings cleared, finalized, or the parameter bound again. Every statement this layer hands
// out is reset and cleared (cache) or finalized (prepared once) when its owner lets go of it.
//
// Nothing here is thread-safe: connections are opened without SQLite's per-connection mutex and
// the caller serialises every use of one connection (the Python shell does, under the GIL).
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vse::sqlite {

struct SqlError {
    int code;  // SQLite's extended result code; SQLITE_MISUSE for this layer's own failures
    std::string message;
};

template <class T>
using SqlResult = std::expected<T, SqlError>;

// One compiled statement; finalized when dropped.
class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    Statement(Statement&& o) noexcept : stmt_(std::exchange(o.stmt_, nullptr)) {}
    Statement& operator=(Statement&& o) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    sqlite3_stmt* handle() const { return stmt_; }
    std::string_view sql() const;
    int parameter_count() const { return sqlite3_bind_parameter_count(stmt_); }

    // Parameters are numbered from 1, as in "?1".
    SqlResult<void> bind_i64(int index, std::int64_t value);
    SqlResult<void> bind_text(int index, std::string_view value);

    // One step: true when a row is ready, false when the statement has run to completion.
    SqlResult<bool> step();
    // Steps to completion ignoring any rows, then resets (bindings stay) so that the statement can
    // be bound and run again; returns the rows changed by the statement itself, triggers apart.
    SqlResult<std::int64_t> execute();

    // Column reads of the current row. An integer must have the INTEGER storage class.
    SqlResult<std::int64_t> column_i64(int col) const;
    // The text of a column of the TEXT storage class; nullopt for any other class.
    std::optional<std::string_view> column_text(int col) const;

    // Back to the start, every parameter NULL again.
    void reset();

private:
    SqlError error(int rc) const;
    sqlite3_stmt* stmt_ = nullptr;
};

// Compiled statements kept for reuse, keyed by the SQL text, at most `capacity` of them; the least
// recently used is finalized when one more comes back. A statement in use is out of the cache, so
// two users of the same text at once get two statements.
class StatementCache {
public:
    struct Entry {
        std::string sql;  // the key: the text the statement was asked for by
        Statement stmt;
    };

    explicit StatementCache(std::size_t capacity) : capacity_(capacity) {}
    // The cached statement for `sql`, if there is one; it leaves the cache.
    std::optional<Entry> take(std::string_view sql);
    // Resets the statement, clears its bindings and keeps it as the most recently used.
    void give_back(Entry entry);
    void clear() { entries_.clear(); }

    std::size_t size() const { return entries_.size(); }
    std::size_t capacity() const { return capacity_; }
    // SQL texts from the least to the most recently used.
    std::vector<std::string> keys() const;

private:
    std::size_t capacity_;
    std::vector<Entry> entries_;  // least recently used first
};

// A statement lent by the cache; it goes back when the lease ends.
class CachedStatement {
public:
    CachedStatement(StatementCache* cache, StatementCache::Entry entry) : cache_(cache), entry_(std::move(entry)) {}
    CachedStatement(CachedStatement&& o) noexcept : cache_(std::exchange(o.cache_, nullptr)), entry_(std::move(o.entry_)) {}
    CachedStatement& operator=(CachedStatement&&) = delete;
    CachedStatement(const CachedStatement&) = delete;
    CachedStatement& operator=(const CachedStatement&) = delete;
    ~CachedStatement() { give_back(); }

    Statement& operator*() { return entry_.stmt; }
    Statement* operator->() { return &entry_.stmt; }
    // Ends the lease early.
    void give_back();

private:
    StatementCache* cache_;
    StatementCache::Entry entry_;
};

class Connection {
public:
    // Opens with `flags` (SQLITE_OPEN_*) and the default file system; refuses a library built
    // without thread safety and a path holding a NUL character.
    static SqlResult<Connection> open(std::string_view path, int flags, std::size_t cache_capacity);

    Connection(Connection&& o) noexcept : db_(std::exchange(o.db_, nullptr)), cache_(std::move(o.cache_)) {}
    Connection& operator=(Connection&&) = delete;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Finalizes the cached statements, then closes.
    ~Connection();

    sqlite3* handle() const { return db_; }
    SqlResult<void> set_busy_timeout(int ms);

    // Compiles one statement for the caller alone.
    SqlResult<Statement> prepare(std::string_view sql);
    // The statement for `sql` from the cache, compiled when the cache has none.
    SqlResult<CachedStatement> prepare_cached(std::string_view sql);
    // Each statement of `sql` in turn, compiled and run to completion once, rows ignored. The first
    // failure ends the batch; the statements before it stay in effect (no transaction around it).
    SqlResult<void> execute_batch(std::string_view sql);

    // False while a transaction is open.
    bool autocommit() const { return sqlite3_get_autocommit(db_) != 0; }
    const StatementCache& cache() const { return *cache_; }

private:
    Connection(sqlite3* db, std::size_t cache_capacity)
        : db_(db), cache_(std::make_unique<StatementCache>(cache_capacity)) {}
    // Compiles the first statement of `sql`; `tail` receives the rest. A text of blanks or
    // comments only gives an empty Statement.
    SqlResult<Statement> compile(std::string_view sql, std::string_view* tail);

    sqlite3* db_;
    std::unique_ptr<StatementCache> cache_;  // behind a pointer so leases survive a move
};

}  // namespace vse::sqlite
