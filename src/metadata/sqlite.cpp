#include "metadata/sqlite.hpp"

#include <climits>

#include <fmt/format.h>

namespace vse::sqlite {

namespace {

SqlError layer_error(std::string message) { return SqlError{SQLITE_MISUSE, std::move(message)}; }

SqlError connection_error(sqlite3* db, int rc) { return SqlError{rc, sqlite3_errmsg(db)}; }

const char* storage_class_name(int type) {
    switch (type) {
        case SQLITE_INTEGER: return "INTEGER";
        case SQLITE_FLOAT: return "REAL";
        case SQLITE_TEXT: return "TEXT";
        case SQLITE_BLOB: return "BLOB";
        default: return "NULL";
    }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view skip_blanks(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    return s.substr(i);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Statement

Statement& Statement::operator=(Statement&& o) noexcept {
    if (this != &o) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(o.stmt_, nullptr);
    }
    return *this;
}

std::string_view Statement::sql() const {
    const char* s = stmt_ ? sqlite3_sql(stmt_) : nullptr;
    return s ? std::string_view(s) : std::string_view();
}

SqlError Statement::error(int rc) const { return connection_error(sqlite3_db_handle(stmt_), rc); }

SqlResult<void> Statement::bind_i64(int index, std::int64_t value) {
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) return std::unexpected(error(rc));
    return {};
}

SqlResult<void> Statement::bind_text(int index, std::string_view value) {
    // A null pointer would bind NULL, not the empty text.
    const char* data = value.data() != nullptr ? value.data() : "";
    const int rc = sqlite3_bind_text64(stmt_, index, data, value.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) return std::unexpected(error(rc));
    return {};
}

SqlResult<bool> Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return std::unexpected(error(rc));
}

SqlResult<std::int64_t> Statement::execute() {
    for (;;) {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) continue;
        if (rc != SQLITE_DONE) {
            SqlError err = error(rc);
            // A failed write must not stay half-run: that would keep its locks and its statement
            // journal until the next use.
            sqlite3_reset(stmt_);
            return std::unexpected(std::move(err));
        }
        break;
    }
    const std::int64_t changed = sqlite3_changes64(sqlite3_db_handle(stmt_));
    sqlite3_reset(stmt_);
    return changed;
}

SqlResult<std::int64_t> Statement::column_i64(int col) const {
    if (col < 0 || col >= sqlite3_column_count(stmt_))
        return std::unexpected(layer_error(fmt::format("column index {} out of range", col)));
    const int type = sqlite3_column_type(stmt_, col);
    if (type != SQLITE_INTEGER)
        return std::unexpected(layer_error(
            fmt::format("column {} ({}) holds {}, not INTEGER", col, sqlite3_column_name(stmt_, col),
                        storage_class_name(type))));
    return static_cast<std::int64_t>(sqlite3_column_int64(stmt_, col));
}

std::optional<std::string_view> Statement::column_text(int col) const {
    if (col < 0 || col >= sqlite3_column_count(stmt_)) return std::nullopt;
    if (sqlite3_column_type(stmt_, col) != SQLITE_TEXT) return std::nullopt;
    // The pointer first, then the size: that order keeps both from the same conversion.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    if (text == nullptr) return std::string_view();
    return std::string_view(text, static_cast<std::size_t>(n));
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

// ---------------------------------------------------------------------------------------------
// Statement cache

std::optional<StatementCache::Entry> StatementCache::take(std::string_view sql) {
    // The most recently used are at the back and the likeliest to be asked for again.
    for (std::size_t i = entries_.size(); i-- > 0;) {
        if (entries_[i].sql != sql) continue;
        Entry e = std::move(entries_[i]);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        return e;
    }
    return std::nullopt;
}

void StatementCache::give_back(Entry entry) {
    entry.stmt.reset();
    if (capacity_ == 0) return;
    if (entries_.size() >= capacity_) entries_.erase(entries_.begin());  // finalizes the LRU statement
    entries_.push_back(std::move(entry));
}

std::vector<std::string> StatementCache::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(e.sql);
    return out;
}

void CachedStatement::give_back() {
    if (cache_ == nullptr) return;
    std::exchange(cache_, nullptr)->give_back(std::move(entry_));
}

// ---------------------------------------------------------------------------------------------
// Connection

SqlResult<Connection> Connection::open(std::string_view path, int flags, std::size_t cache_capacity) {
    // Without the library's own locking, two connections on two threads could corrupt its shared
    // state (the page cache, the file locks).
    if (sqlite3_threadsafe() == 0) return std::unexpected(layer_error("the SQLite library is not thread-safe"));
    if (const std::size_t nul = path.find('\0'); nul != std::string_view::npos)
        return std::unexpected(layer_error(fmt::format("path holds a NUL character at byte {}", nul)));
    const std::string name(path);
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        SqlError err = db ? connection_error(db, rc) : SqlError{rc, sqlite3_errstr(rc)};
        sqlite3_close(db);
        return std::unexpected(std::move(err));
    }
    return Connection(db, cache_capacity);
}

Connection::~Connection() {
    if (cache_) cache_->clear();
    sqlite3_close_v2(db_);
}

SqlResult<void> Connection::set_busy_timeout(int ms) {
    const int rc = sqlite3_busy_timeout(db_, ms);
    if (rc != SQLITE_OK) return std::unexpected(connection_error(db_, rc));
    return {};
}

SqlResult<Statement> Connection::compile(std::string_view sql, std::string_view* tail) {
    if (sql.size() > static_cast<std::size_t>(INT_MAX))
        return std::unexpected(SqlError{SQLITE_TOOBIG, "SQL text too long"});
    sqlite3_stmt* stmt = nullptr;
    const char* rest = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, &rest);
    if (rc != SQLITE_OK) {
        SqlError err = connection_error(db_, rc);
        if (const int offset = sqlite3_error_offset(db_); offset >= 0)
            err.message = fmt::format("{} in {} at offset {}", err.message, sql, offset);
        return std::unexpected(std::move(err));
    }
    const std::size_t used = rest ? static_cast<std::size_t>(rest - sql.data()) : sql.size();
    if (tail != nullptr) *tail = sql.substr(used);
    return Statement(stmt);
}

SqlResult<Statement> Connection::prepare(std::string_view sql) {
    std::string_view tail;
    auto stmt = compile(sql, &tail);
    if (!stmt) return stmt;
    if (stmt->handle() == nullptr) return std::unexpected(layer_error("the SQL text holds no statement"));
    if (!skip_blanks(tail).empty())
        return std::unexpected(layer_error(fmt::format("the SQL text holds more than one statement: {}", sql)));
    return stmt;
}

SqlResult<CachedStatement> Connection::prepare_cached(std::string_view sql) {
    if (auto entry = cache_->take(sql)) return CachedStatement(cache_.get(), std::move(*entry));
    auto stmt = prepare(sql);
    if (!stmt) return std::unexpected(std::move(stmt).error());
    return CachedStatement(cache_.get(), StatementCache::Entry{std::string(sql), std::move(*stmt)});
}

SqlResult<void> Connection::execute_batch(std::string_view sql) {
    // Each statement is compiled from where the previous one ended, so a compile error names the
    // text from the failing statement on, and its offset counts from there.
    std::string_view rest = skip_blanks(sql);
    while (!rest.empty()) {
        std::string_view tail;
        auto stmt = compile(rest, &tail);
        if (!stmt) return std::unexpected(std::move(stmt).error());
        if (stmt->handle() != nullptr) {
            auto run = stmt->execute();
            if (!run) return std::unexpected(std::move(run).error());
        }
        rest = skip_blanks(tail);
    }
    return {};
}

}  // namespace vse::sqlite
