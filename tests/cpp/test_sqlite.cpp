// The SQLite layer where Python cannot see it: which statements the cache keeps and evicts, that a
// statement comes back from the cache reset and unbound, the text of compile errors, where a batch
// stops, and the query plan of the field filter.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "metadata/sqlite.hpp"
#include "metadata/store.hpp"

using vse::sqlite::Connection;

namespace {

Connection memory_db(std::size_t cache = 16) {
    auto c = Connection::open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, cache);
    EXPECT_TRUE(c.has_value()) << c.error().message;
    return std::move(*c);
}

std::string numbered(int i) { return fmt::format("SELECT {}", i); }

// Takes the statement for `sql` and lets it go again.
void use(Connection& db, const std::string& sql) {
    auto s = db.prepare_cached(sql);
    ASSERT_TRUE(s.has_value()) << s.error().message;
    ASSERT_TRUE(*(*s)->step());
}

}  // namespace

TEST(StatementCache, KeepsSixteenAndEvictsTheLeastRecentlyUsed) {
    Connection db = memory_db();
    for (int i = 0; i < 16; ++i) use(db, numbered(i));
    ASSERT_EQ(db.cache().size(), 16u);

    // Reusing the oldest makes it the newest, so the next newcomer evicts "SELECT 1" instead.
    const sqlite3_stmt* first = nullptr;
    {
        auto s = db.prepare_cached(numbered(0));
        ASSERT_TRUE(s.has_value());
        first = (*s)->handle();
    }
    use(db, numbered(16));

    std::vector<std::string> expected;
    for (int i = 2; i <= 15; ++i) expected.push_back(numbered(i));
    expected.push_back(numbered(0));
    expected.push_back(numbered(16));
    EXPECT_EQ(db.cache().keys(), expected);

    // The reused statement is the same compiled one, not a new compilation.
    auto again = db.prepare_cached(numbered(0));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ((*again)->handle(), first);
}

TEST(StatementCache, KeysOnTheWholeTextAndLendsOneStatementPerUser) {
    Connection db = memory_db();
    use(db, "SELECT 1");
    use(db, "SELECT  1");  // another text, another statement
    EXPECT_EQ(db.cache().size(), 2u);

    auto a = db.prepare_cached("SELECT 1");
    auto b = db.prepare_cached("SELECT 1");
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_NE((*a)->handle(), (*b)->handle());
    EXPECT_EQ(db.cache().size(), 1u);
}

TEST(StatementCache, GivesStatementsBackResetWithBindingsCleared) {
    Connection db = memory_db();
    ASSERT_TRUE(db.execute_batch("CREATE TABLE t(x); INSERT INTO t VALUES (1), (2), (3);").has_value());
    const std::string sql = "SELECT x, ?1 FROM t ORDER BY x";
    {
        auto s = db.prepare_cached(sql);
        ASSERT_TRUE(s.has_value());
        ASSERT_TRUE((*s)->bind_i64(1, 42).has_value());
        ASSERT_TRUE(*(*s)->step());  // left in the middle of its rows
        EXPECT_EQ(*(*s)->column_i64(1), 42);
    }
    auto s = db.prepare_cached(sql);
    ASSERT_TRUE(s.has_value());
    ASSERT_TRUE(*(*s)->step());
    EXPECT_EQ(*(*s)->column_i64(0), 1);  // from the first row again
    EXPECT_EQ(sqlite3_column_type((*s)->handle(), 1), SQLITE_NULL);
}

TEST(StatementCache, ZeroCapacityKeepsNothing) {
    Connection db = memory_db(0);
    use(db, "SELECT 1");
    EXPECT_EQ(db.cache().size(), 0u);
}

TEST(Connection, CompileErrorsNameTheTextAndTheOffset) {
    Connection db = memory_db();
    auto s = db.prepare("SELECT * FRM t");
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().message, "near \"FRM\": syntax error in SELECT * FRM t at offset 9");

    auto c = db.prepare_cached("SELECT nope FROM sqlite_master");
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().message, "no such column: nope in SELECT nope FROM sqlite_master at offset 7");
    EXPECT_EQ(db.cache().size(), 0u);
}

TEST(Connection, PrepareTakesExactlyOneStatement) {
    Connection db = memory_db();
    EXPECT_FALSE(db.prepare("SELECT 1; SELECT 2").has_value());
    EXPECT_FALSE(db.prepare("  -- nothing here").has_value());
    EXPECT_TRUE(db.prepare("SELECT 1;  \n").has_value());
}

TEST(Connection, BatchStopsAtTheFirstFailureAndKeepsWhatRanBefore) {
    Connection db = memory_db();
    auto r = db.execute_batch(
        "CREATE TABLE a(x);\n INSERT INTO a VALUES (1);\n INSERT INTO a VALUS (2);\n INSERT INTO a VALUES (3);");
    ASSERT_FALSE(r.has_value());
    // The text and the offset are counted from the failing statement.
    EXPECT_EQ(r.error().message,
              "near \"VALUS\": syntax error in INSERT INTO a VALUS (2);\n INSERT INTO a VALUES (3); at offset 14");
    auto n = db.prepare("SELECT COUNT(*) FROM a");
    ASSERT_TRUE(n.has_value());
    ASSERT_TRUE(*n->step());
    EXPECT_EQ(*n->column_i64(0), 1);
    EXPECT_TRUE(db.autocommit());

    // A failure while running, after a clean compile, carries SQLite's message alone.
    auto run = db.execute_batch("CREATE TABLE u(x UNIQUE); INSERT INTO u VALUES (1); INSERT INTO u VALUES (1);");
    ASSERT_FALSE(run.has_value());
    EXPECT_EQ(run.error().message, "UNIQUE constraint failed: u.x");
    EXPECT_EQ(run.error().code, SQLITE_CONSTRAINT_UNIQUE);  // extended result codes
}

TEST(Connection, ColumnReadsCheckTheStorageClass) {
    Connection db = memory_db();
    auto s = db.prepare("SELECT 'a', 7, NULL");
    ASSERT_TRUE(s.has_value());
    ASSERT_TRUE(*s->step());
    EXPECT_FALSE(s->column_i64(0).has_value());
    EXPECT_EQ(*s->column_i64(1), 7);
    EXPECT_FALSE(s->column_i64(3).has_value());
    EXPECT_EQ(s->column_text(0), std::optional<std::string_view>("a"));
    EXPECT_EQ(s->column_text(1), std::nullopt);
    EXPECT_EQ(s->column_text(2), std::nullopt);
}

TEST(Connection, OpenRefusesANulInThePath) {
    auto c = Connection::open(std::string_view("a\0b", 3), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 16);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().message, "path holds a NUL character at byte 1");
}

// Python strs are always well-formed, so only here can ill-formed bytes reach the character rule.
TEST(FieldIndex, IllFormedUtf8IsRefused) {
    for (std::string_view path : {std::string_view("a\xff"), std::string_view("\xc3"), std::string_view("\xed\xa0\x80")}) {
        auto sql = vse::metadata::field_index_sql(path);
        ASSERT_FALSE(sql.has_value());
        EXPECT_EQ(sql.error().message, "field_path must contain only alphanumeric, underscore, or dot characters");
    }
    EXPECT_EQ(*vse::metadata::field_index_sql("a.b\xc3\xb6"),
              "CREATE INDEX IF NOT EXISTS idx_json_ab\xc3\xb6 ON docs(json_extract(payload, '$.a.b\xc3\xb6'))");
}

// The field filter names its JSON path as a literal, so that SQLite's planner can match it to the
// field index on the same expression; with the path bound as a parameter it scans the table.
TEST(FieldFilter, PlanUsesTheFieldIndex) {
    Connection db = memory_db();
    ASSERT_TRUE(db.execute_batch("CREATE TABLE docs (doc_id INTEGER PRIMARY KEY, payload TEXT NOT NULL DEFAULT '{}')"));
    ASSERT_TRUE(db.execute_batch(*vse::metadata::field_index_sql("category")));
    auto plan = [&](const std::string& sql) {
        auto stmt = db.prepare("EXPLAIN QUERY PLAN " + sql);
        EXPECT_TRUE(stmt.has_value()) << stmt.error().message;
        std::string detail;
        while (*stmt->step()) detail += std::string(*stmt->column_text(3)) + ";";
        return detail;
    };
    const std::optional<std::string> sql = vse::metadata::field_filter_sql("$.category");
    ASSERT_TRUE(sql.has_value());
    EXPECT_EQ(plan(*sql), "SEARCH docs USING INDEX idx_json_category (<expr>=?);");
    EXPECT_EQ(plan("SELECT doc_id FROM docs WHERE json_extract(payload, ?1) = ?2 LIMIT ?3"), "SCAN docs;");
    EXPECT_EQ(plan(*vse::metadata::field_filter_sql("$.color")), "SCAN docs;");  // no index on that field

    // Quotes are doubled inside the literal; a NUL cannot be written into one.
    EXPECT_EQ(*vse::metadata::field_filter_sql("$.it's"),
              "SELECT doc_id FROM docs WHERE json_extract(payload, '$.it''s') = ?1 LIMIT ?2");
    EXPECT_FALSE(vse::metadata::field_filter_sql(std::string_view("$.a\0b", 5)).has_value());
}
