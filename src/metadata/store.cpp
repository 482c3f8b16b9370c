#include "metadata/store.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "common/utf8.hpp"

namespace vse::metadata {

namespace {

// ---------------------------------------------------------------------------------------------
// SQL texts. These are exact: SQLite keeps the text of every CREATE statement in the database's
// schema, and the statement cache keys on the whole text, blanks included.

constexpr std::size_t kStatementCacheCapacity = 16;
constexpr int kBusyTimeoutMs = 5000;

// An in-memory database keeps its "memory" journal, which is no error.
constexpr std::string_view kPragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-64000;";

constexpr std::string_view kSchema =
    "\n"
    "CREATE TABLE IF NOT EXISTS docs (\n"
    "    doc_id    INTEGER PRIMARY KEY,\n"
    "    payload   TEXT NOT NULL DEFAULT '{}',\n"
    "    text_content TEXT NOT NULL DEFAULT '',\n"
    "    updated_at INTEGER NOT NULL DEFAULT (strftime('%s','now'))\n"
    ");\n"
    "\n"
    "CREATE INDEX IF NOT EXISTS idx_docs_updated ON docs(updated_at);\n";

// External content: docs_fts holds only the index, so the triggers must hand it the old text on
// delete and update ('delete' command) and the new text on insert and update.
constexpr std::string_view kFullText =
    "\n"
    "CREATE VIRTUAL TABLE IF NOT EXISTS docs_fts USING fts5(\n"
    "    text_content,\n"
    "    content=docs,\n"
    "    content_rowid=doc_id,\n"
    "    tokenize='porter unicode61'\n"
    ");\n"
    "\n"
    "CREATE TRIGGER IF NOT EXISTS docs_ai AFTER INSERT ON docs BEGIN\n"
    "    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS docs_ad AFTER DELETE ON docs BEGIN\n"
    "    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS docs_au AFTER UPDATE ON docs BEGIN\n"
    "    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);\n"
    "    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);\n"
    "END;\n";

// The two upserts differ only in the indent of their second line; each is its own statement.
constexpr std::string_view kSingleUpsert =
    "INSERT INTO docs(doc_id, payload, text_content, updated_at) VALUES(?1, ?2, ?3, strftime('%s','now'))\n"
    "                 ON CONFLICT(doc_id) DO UPDATE SET payload=excluded.payload, "
    "text_content=excluded.text_content, updated_at=excluded.updated_at";
constexpr std::string_view kBulkUpsert =
    "INSERT INTO docs(doc_id, payload, text_content, updated_at) VALUES(?1, ?2, ?3, strftime('%s','now'))\n"
    "                     ON CONFLICT(doc_id) DO UPDATE SET payload=excluded.payload, "
    "text_content=excluded.text_content, updated_at=excluded.updated_at";
constexpr std::string_view kRead = "SELECT payload FROM docs WHERE doc_id = ?1";
constexpr std::string_view kDelete = "DELETE FROM docs WHERE doc_id = ?1";
constexpr std::string_view kCount = "SELECT COUNT(*) FROM docs";
constexpr std::string_view kList = "SELECT doc_id FROM docs ORDER BY doc_id";
constexpr std::string_view kTextSearch = "SELECT rowid FROM docs_fts WHERE docs_fts MATCH ?1 ORDER BY rank LIMIT ?2";
constexpr std::string_view kFieldFilter = "SELECT doc_id FROM docs WHERE json_extract(payload, ?1) = ?2 LIMIT ?3";
// The field filter with its JSON path written in (see field_filter_sql): value ?1, limit ?2.
constexpr std::string_view kFieldFilterWithPath = "SELECT doc_id FROM docs WHERE json_extract(payload, {}) = ?1 LIMIT ?2";

constexpr const char* kEmptyFieldPath = "field_path cannot be empty";

// ---------------------------------------------------------------------------------------------
// Helpers

// Same 64 bits, other reading (two's complement both ways, so no value is lost).
constexpr std::int64_t to_sql(std::uint64_t v) { return std::bit_cast<std::int64_t>(v); }
constexpr std::uint64_t from_sql(std::int64_t v) { return std::bit_cast<std::uint64_t>(v); }

using FailText = fmt::format_string<const std::string&>;

// An SQLite failure as the IOError of the step that met it.
template <class T>
Result<T> io(sqlite::SqlResult<T>&& r, FailText text) {
    if (!r) return os_failure(text, r.error());
    if constexpr (std::is_void_v<T>)
        return {};
    else
        return std::move(*r);
}

// The ids in column 0 of every remaining row; any failure drops what was collected.
Result<std::vector<std::uint64_t>> collect_ids(sqlite::Statement& stmt, FailText row_failed) {
    std::vector<std::uint64_t> ids;
    for (;;) {
        VSE_TRY(bool row, io(stmt.step(), row_failed));
        if (!row) return ids;
        VSE_TRY(std::int64_t id, io(stmt.column_i64(0), row_failed));
        ids.push_back(from_sql(id));
    }
}

// Queries run without arguments must not have parameters left unbound (NULL).
Result<void> no_parameters(const sqlite::Statement& stmt, FailText text) {
    if (const int n = stmt.parameter_count(); n != 0) {
        const std::string why = fmt::format("the statement takes {} parameters but none were given", n);
        return fail(Exc::OS, fmt::format(text, why));
    }
    return {};
}

sqlite::SqlResult<void> write_item(sqlite::Statement& upsert, const BulkItem& item) {
    if (auto r = upsert.bind_i64(1, to_sql(item.doc_id)); !r) return r;
    if (auto r = upsert.bind_text(2, item.payload); !r) return r;
    if (auto r = upsert.bind_text(3, item.text_content); !r) return r;
    if (auto r = upsert.execute(); !r) return std::unexpected(std::move(r).error());
    return {};
}

// Letters and digits in the Unicode sense, "_" and ".": nothing that could close the quoted JSON
// path or the identifier the field index is built from.
bool field_path_char_admitted(UChar32 c) {
    if (c < 0) return false;  // not well-formed UTF-8
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    return u_isUAlphabetic(c) || (U_GET_GC_MASK(c) & U_GC_N_MASK) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Open

Result<std::unique_ptr<Store>> Store::open(std::string_view path) {
    // Only the exact name ":memory:" gets the URI flag; the library reads "file:" names as URIs
    // anyway (it is built with URI file names on).
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    if (path == ":memory:") flags |= SQLITE_OPEN_URI;
    VSE_TRY(sqlite::Connection conn,
            io(sqlite::Connection::open(path, flags, kStatementCacheCapacity), "SQLite open failed: {}"));
    VSE_CHECK(io(conn.set_busy_timeout(kBusyTimeoutMs), "SQLite open failed: {}"));
    // Transactions are deferred: set_payloads_bulk begins its own with "BEGIN DEFERRED".
    VSE_CHECK(io(conn.execute_batch(kPragmas), "PRAGMA failed: {}"));
    VSE_CHECK(io(conn.execute_batch(kSchema), "schema init failed: {}"));
    VSE_CHECK(io(conn.execute_batch(kFullText), "FTS5 init failed: {}"));
    return std::unique_ptr<Store>(new Store(std::move(conn)));
}

// ---------------------------------------------------------------------------------------------
// Payload operations

Result<void> Store::set_payload(std::uint64_t doc_id, std::string_view payload, std::string_view text_content) {
    if (doc_id > static_cast<std::uint64_t>(INT64_MAX)) return fail(Exc::Value, "doc_id exceeds SQLite INTEGER range");
    VSE_TRY(sqlite::Statement stmt, io(conn_.prepare(kSingleUpsert), "set_payload failed: {}"));
    VSE_CHECK(io(stmt.bind_i64(1, to_sql(doc_id)), "set_payload failed: {}"));
    VSE_CHECK(io(stmt.bind_text(2, payload), "set_payload failed: {}"));
    VSE_CHECK(io(stmt.bind_text(3, text_content), "set_payload failed: {}"));
    VSE_CHECK(io(stmt.execute(), "set_payload failed: {}"));
    return {};
}

Result<std::optional<std::string>> Store::get_payload(std::uint64_t doc_id) {
    VSE_TRY(auto stmt, io(conn_.prepare_cached(kRead), "prepare failed: {}"));
    // A database that cannot be read is an error, not a missing document.
    VSE_CHECK(io(stmt->bind_i64(1, to_sql(doc_id)), "query failed: {}"));
    VSE_TRY(bool row, io(stmt->step(), "query failed: {}"));
    if (!row) return std::nullopt;
    // Rows written by other means may hold a non-text payload or bytes that are not UTF-8: no payload.
    const std::optional<std::string_view> text = stmt->column_text(0);
    if (!text || validate_utf8(*text)) return std::nullopt;
    return std::optional<std::string>(std::in_place, *text);
}

Result<bool> Store::delete_payload(std::uint64_t doc_id) {
    VSE_TRY(sqlite::Statement stmt, io(conn_.prepare(kDelete), "delete failed: {}"));
    VSE_CHECK(io(stmt.bind_i64(1, to_sql(doc_id)), "delete failed: {}"));
    VSE_TRY(std::int64_t changed, io(stmt.execute(), "delete failed: {}"));
    return changed > 0;
}

void Store::rollback_if_open() {
    // A failed statement may already have ended the transaction (SQLite rolls back by itself on
    // some errors, such as a full disk); its own failure changes nothing for the caller.
    if (!conn_.autocommit()) (void)conn_.execute_batch("ROLLBACK");
}

Result<std::uint64_t> Store::set_payloads_bulk(std::span<const BulkItem> items) {
    // One deferred transaction: the write lock is taken at the first upsert, and either every item
    // is written or none is.
    //
    // The upsert is prepared before the transaction begins. Compiling it connects the full-text
    // table of its triggers on first use, and that connection reads the table's configuration:
    // inside the transaction, the read would open it as a read transaction, and a read
    // transaction that needs the write lock while another connection holds it fails at once
    // ("database is locked") instead of waiting out the busy timeout. Begun with no read open,
    // the first upsert waits like every later one.
    auto stmt = conn_.prepare_cached(kBulkUpsert);
    if (!stmt) return os_failure("prepare failed: {}", stmt.error());
    if (auto begin = conn_.execute_batch("BEGIN DEFERRED"); !begin)
        return os_failure("transaction failed: {}", begin.error());
    for (const BulkItem& item : items) {
        if (auto run = write_item(**stmt, item); !run) {
            stmt->give_back();
            rollback_if_open();
            return os_failure("bulk insert failed: {}", run.error());
        }
    }
    stmt->give_back();
    if (auto commit = conn_.execute_batch("COMMIT"); !commit) {
        rollback_if_open();
        return os_failure("commit failed: {}", commit.error());
    }
    return static_cast<std::uint64_t>(items.size());
}

Result<std::uint64_t> Store::count() {
    VSE_TRY(sqlite::Statement stmt, io(conn_.prepare(kCount), "count failed: {}"));
    VSE_CHECK(no_parameters(stmt, "count failed: {}"));
    VSE_TRY(bool row, io(stmt.step(), "count failed: {}"));
    if (!row) return fail(Exc::OS, fmt::format("count failed: {}", "the query returned no rows"));
    VSE_TRY(std::int64_t n, io(stmt.column_i64(0), "count failed: {}"));
    return static_cast<std::uint64_t>(n);
}

Result<std::vector<std::uint64_t>> Store::all_doc_ids() {
    VSE_TRY(auto stmt, io(conn_.prepare_cached(kList), "prepare failed: {}"));
    VSE_CHECK(no_parameters(*stmt, "query failed: {}"));
    return collect_ids(*stmt, "row failed: {}");
}

// ---------------------------------------------------------------------------------------------
// Full-text search and field filters

Result<std::vector<std::uint64_t>> Store::search_text(std::string_view query, std::uint64_t limit) {
    if (query.empty()) return std::vector<std::uint64_t>{};
    VSE_TRY(auto stmt, io(conn_.prepare_cached(kTextSearch), "FTS prepare failed: {}"));
    VSE_CHECK(io(stmt->bind_text(1, query), "FTS query failed: {}"));
    VSE_CHECK(io(stmt->bind_i64(2, to_sql(limit)), "FTS query failed: {}"));
    // FTS5 parses the query at the first step, so its syntax errors are row failures.
    return collect_ids(*stmt, "FTS row failed: {}");
}

std::optional<std::string> field_filter_sql(std::string_view json_path) {
    // SQLite's compiler stops reading a statement at a NUL character, so no literal can hold one.
    if (json_path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string literal = "'";
    literal.reserve(json_path.size() + 2);
    for (char c : json_path) {
        literal += c;
        if (c == '\'') literal += '\'';  // '' stands for one quote: the literal ends only at the last
    }
    literal += '\'';
    return fmt::format(kFieldFilterWithPath, literal);
}

Result<std::vector<std::uint64_t>> Store::filter_by_field(std::string_view field_path, std::string_view value,
                                                          std::uint64_t limit) {
    if (field_path.empty()) return fail(Exc::Value, kEmptyFieldPath);
    // Any JSON path may follow "$." here (array indexes, quoted labels).
    const std::string json_path =
        field_path.starts_with("$.") ? std::string(field_path) : fmt::format("$.{}", field_path);
    // With the path as a literal, SQLite can match the comparison to a field index on the same
    // expression; as a bound parameter it never can, and would scan the table. Each path is then a
    // statement of its own in the cache. A path with a NUL keeps the bound form, whose value SQLite's
    // JSON functions read up to that character.
    const std::optional<std::string> sql = field_filter_sql(json_path);
    VSE_TRY(auto stmt, io(conn_.prepare_cached(sql ? std::string_view(*sql) : kFieldFilter), "filter prepare failed: {}"));
    int p = 1;
    if (!sql) VSE_CHECK(io(stmt->bind_text(p++, json_path), "filter query failed: {}"));
    VSE_CHECK(io(stmt->bind_text(p++, value), "filter query failed: {}"));
    VSE_CHECK(io(stmt->bind_i64(p, to_sql(limit)), "filter query failed: {}"));
    return collect_ids(*stmt, "filter row failed: {}");
}

Result<std::string> field_index_sql(std::string_view field_path) {
    if (field_path.empty()) return fail(Exc::Value, kEmptyFieldPath);
    // The suffix is the path without its dots: the admitted characters are all identifier
    // characters except ".". Paths that differ only in their dots share one index name.
    std::string suffix;
    suffix.reserve(field_path.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(field_path.data());
    std::size_t pos = 0;
    while (pos < field_path.size()) {
        // Decode from a window of at most one sequence, so that no length overflows ICU's int32.
        const auto window = static_cast<std::int32_t>(std::min<std::size_t>(field_path.size() - pos, 4));
        std::int32_t used = 0;
        UChar32 c = 0;
        U8_NEXT(bytes + pos, used, window, c);
        if (!field_path_char_admitted(c))
            return fail(Exc::Value, "field_path must contain only alphanumeric, underscore, or dot characters");
        if (c != '.') suffix.append(field_path.substr(pos, static_cast<std::size_t>(used)));
        pos += static_cast<std::size_t>(used);
    }
    // SQLite refuses a JSON path with an empty label only when it evaluates the index, on every
    // later write of the table (and the index cannot be dropped through the store), so such a path
    // is refused before anything is built.
    if (field_path.front() == '.' || field_path.back() == '.' || field_path.find("..") != std::string_view::npos)
        return fail(Exc::Value, "field_path cannot have empty segments (leading, trailing, or consecutive dots)");
    // Spliced, not bound (DDL takes no parameters): the rule above keeps quotes, blanks and
    // semicolons out.
    return fmt::format("CREATE INDEX IF NOT EXISTS idx_json_{} ON docs(json_extract(payload, '{}'))", suffix,
                       fmt::format("$.{}", field_path));
}

Result<void> Store::create_field_index(std::string_view field_path) {
    VSE_TRY(std::string sql, field_index_sql(field_path));
    return io(conn_.execute_batch(sql), "create index failed: {}");
}

}  // namespace vse::metadata
