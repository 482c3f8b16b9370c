// The metadata store: one JSON payload and one full-text text per document id, in SQLite.
//
// Database layout (created by `Store::open`, every statement "IF NOT EXISTS"):
//   docs(doc_id INTEGER PRIMARY KEY, payload TEXT, text_content TEXT, updated_at INTEGER)
//   idx_docs_updated on docs(updated_at)
//   docs_fts: FTS5 over docs.text_content, external content (the text lives in docs only),
//             tokenizer "porter unicode61"; kept in step by the triggers docs_ai/docs_ad/docs_au
//   idx_json_<suffix>: expression indexes on json_extract(payload, '$.<field path>'), on demand
//
// Document ids are unsigned 64-bit; SQLite's INTEGER is signed. The store keeps the 64 bits and
// changes their reading only, so ids of 2^63 and more are stored as negative integers, come back
// unchanged, and sort before 0 in SQL. Limits cross the same way: 2^63 and more become negative,
// which SQLite's LIMIT reads as "no limit".
//
// Every failure is an error value naming the Python exception and its message (the texts
// tests/test_metadata.py pins); nothing here knows Python. One store serves one call at a time: its caller serialises all use.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "metadata/sqlite.hpp"

namespace vse::metadata {

// One element of a bulk write; the texts must outlive the call.
struct BulkItem {
    std::uint64_t doc_id;
    std::string_view payload;
    std::string_view text_content;
};

class Store {
public:
    static Result<std::unique_ptr<Store>> open(std::string_view path);

    Result<void> set_payload(std::uint64_t doc_id, std::string_view payload, std::string_view text_content);
    Result<std::optional<std::string>> get_payload(std::uint64_t doc_id);
    Result<bool> delete_payload(std::uint64_t doc_id);
    Result<std::uint64_t> set_payloads_bulk(std::span<const BulkItem> items);
    Result<std::uint64_t> count();
    Result<std::vector<std::uint64_t>> all_doc_ids();

    Result<std::vector<std::uint64_t>> search_text(std::string_view query, std::uint64_t limit);
    Result<std::vector<std::uint64_t>> filter_by_field(std::string_view field_path, std::string_view value,
                                                       std::uint64_t limit);
    Result<void> create_field_index(std::string_view field_path);

private:
    explicit Store(sqlite::Connection conn) : conn_(std::move(conn)) {}
    void rollback_if_open();

    sqlite::Connection conn_;
};

// The field filter for `json_path` with the path written into it as an SQL string literal (every
// quote doubled), value ?1 and limit ?2: the form that SQLite can match to a field index. None for a
// path holding a NUL character, which no literal can carry.
std::optional<std::string> field_filter_sql(std::string_view json_path);

// The statement `create_field_index` runs for `field_path`, or the ValueError that refuses it: an
// empty path, a character outside the rule, or an empty segment between dots.
Result<std::string> field_index_sql(std::string_view field_path);

}  // namespace vse::metadata
