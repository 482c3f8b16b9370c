// Index: the durable document index over one directory, without any Python.
//
// A directory holds the write-ahead log "shard.wal" and the host's shard files. Opening replays the
// log into the first snapshot and maps the shard files; every write then follows one protocol under
// the writer mutex: load the current snapshot, append the log record (for logged writes), build the
// next snapshot from the loaded one and publish it. Readers load snapshots without the mutex.
//
// Errors come back as values carrying the exception and the exact text the caller raises.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "shard/doc_state.hpp"
#include "shard/file_names.hpp"
#include "shard/safetensors.hpp"
#include "shard/wal_writer.hpp"

namespace vse::shard {

class Index {
public:
    // Creates `base_dir` when needed, opens and locks the log, replays it, maps the shard files
    // and keeps the log open for appending. A torn or corrupt log tail is cut off, its bytes kept
    // in "shard.wal.corrupt-<offset>" (after a read error nothing is cut). A directory whose log
    // another open index holds is refused: "WAL lock failed: <base_dir> is held by another open
    // ShardIndex".
    static Result<std::unique_ptr<Index>> open(std::string base_dir, std::uint64_t dim);

    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;
    // Writes out and syncs the log if it is still open, ignoring errors, and closes it, which frees
    // the directory for the next index.
    ~Index() = default;

    std::uint64_t dim() const { return dim_; }
    const std::string& base_dir() const { return base_dir_; }
    bool is_closed() const { return closed_.load(std::memory_order_acquire); }
    Result<void> check_open() const;

    std::shared_ptr<const ShardState> state() const { return state_.load(); }
    std::shared_ptr<const ShardMap> shards() const { return shards_.load(); }

    // Writers. The caller has checked the argument shapes against `dim`; `rows` holds
    // n_rows * dim floats.
    Result<void> insert(std::uint64_t doc_id, const float* rows, std::uint64_t n_rows,
                        std::optional<std::string_view> payload);
    Result<bool> remove(std::uint64_t doc_id);
    Result<bool> update_payload(std::uint64_t doc_id, std::string_view payload);
    Result<void> register_shard_docs(std::span<const std::uint64_t> doc_ids, std::span<const std::uint32_t> shard_ids,
                                     std::span<const std::uint64_t> row_starts, std::span<const std::uint64_t> row_ends);

    // Publishes a snapshot carrying these mean rows (`width` values each, one per id) beside the
    // current documents; nothing is logged. The caller has checked the shapes.
    Result<void> set_doc_means(std::vector<float> means, std::vector<std::uint64_t> ids, std::uint64_t width);

    Result<void> sync();
    // The log is closed, and the directory freed, only when its flush and sync succeed: after
    // "WAL close failed" the log stays open with its buffered records, and so does its lock, until
    // the index is dropped and writes them out.
    Result<void> close();

private:
    Index(std::string base_dir, std::uint64_t dim, std::shared_ptr<const ShardState> state,
          std::shared_ptr<const ShardMap> shards, WalWriter wal);

    Result<void> append_locked(const WalRecordPieces& record);

    const std::string base_dir_;
    const std::uint64_t dim_;
    SnapshotCell<ShardState> state_;
    SnapshotCell<ShardMap> shards_;
    std::mutex writer_mu_;
    std::optional<WalWriter> wal_;  // guarded by writer_mu_; absent once closed
    std::atomic<bool> closed_{false};
};

}  // namespace vse::shard
