// Index: the durable document index over one directory, without any Python.
//
// A directory holds the write-ahead log "shard.wal" and the host's shard files. Opening replays the
// log into the first snapshot and maps the shard files; every write then follows one protocol under
// the writer mutex: load the current snapshot, append the log record (for logged writes), build the
// next snapshot from the loaded one and publish it. Readers load snapshots without the mutex.
//
// Beside its documents an index holds what the host installs (index_view.hpp): the setters check
// their rules in the order given, the index's being open first, and publish the next record under
// the same mutex. What they installed stays until the index is dropped, close() or not.
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
#include <vector>

#include "common/error.hpp"
#include "shard/doc_state.hpp"
#include "shard/file_names.hpp"
#include "shard/index_view.hpp"
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
    std::shared_ptr<const Installed> installed() const { return installed_.load(); }
    // A reader's references, taken together; fails when the index is closed.
    Result<IndexView> view() const;

    // Writers. The caller has checked the argument shapes against `dim`; `rows` holds
    // n_rows * dim floats.
    Result<void> insert(std::uint64_t doc_id, const float* rows, std::uint64_t n_rows,
                        std::optional<std::string_view> payload);
    Result<bool> remove(std::uint64_t doc_id);
    Result<bool> update_payload(std::uint64_t doc_id, std::string_view payload);
    Result<void> register_shard_docs(std::span<const std::uint64_t> doc_ids, std::span<const std::uint32_t> shard_ids,
                                     std::span<const std::uint64_t> row_starts, std::span<const std::uint64_t> row_ends);

    // The rules of set_doc_means that the shape of the means decides, the index's being open first:
    // "means dim must be > 0", then "doc_ids len {} != means rows {}".
    Result<void> check_doc_means(std::uint64_t rows, std::uint64_t width, std::uint64_t n_ids) const;
    // Publishes a snapshot carrying these mean rows (`means` holds rows * width values, copied; one
    // id a row) beside the current documents; nothing is logged.
    Result<void> set_doc_means(std::span<const float> means, std::uint64_t rows, std::uint64_t width,
                               std::vector<std::uint64_t> ids);

    // Setup. The rules of set_centroids that the table's shape decides, the index's being open
    // first: "centroid dim {} != index dim {}", then "centroids must have at least 1 row".
    Result<void> check_centroids(std::uint64_t rows, std::uint64_t width) const;
    // Installs a copy of the table (`values` holds rows * width values). A codec keeps the table it
    // was built with: only a later set_codec sees this one.
    Result<void> set_centroids(std::span<const float> values, std::uint64_t rows, std::uint64_t width);
    // Builds a codec over the installed table: "set_centroids must be called before set_codec" (a
    // RuntimeError), then the checks of ResidualCodec::create.
    Result<void> set_codec(std::vector<float> bucket_weights, std::uint64_t nbits);
    // Loads the merged files of `dir` (the failures of shard::load_merged) and installs the view;
    // after a failed load the installed view is the one before.
    Result<void> load_merged(const std::string& dir);
    Result<void> set_use_compression(bool enabled);

    Result<void> sync();
    // Marks the index closed, then writes out and syncs the log, releases it (and with it the
    // directory) and publishes empty snapshots. The log is released only when its flush and sync
    // succeed: after "WAL close failed" it stays open with its buffered records, and locked, and
    // the next close() tries again; dropping the index makes a last attempt. Once a close has
    // succeeded, close() does nothing.
    Result<void> close();

private:
    Index(std::string base_dir, std::uint64_t dim, std::shared_ptr<const ShardState> state,
          std::shared_ptr<const ShardMap> shards, WalWriter wal);

    Result<void> append_locked(const WalRecordPieces& record);
    // Under the writer mutex: applies `change` (a Result<void>(Installed&)) to a copy of the current
    // record and publishes the copy, unless the change fails.
    template <class Change>
    Result<void> install(Change&& change);

    const std::string base_dir_;
    const std::uint64_t dim_;
    SnapshotCell<ShardState> state_;
    SnapshotCell<ShardMap> shards_;
    SnapshotCell<Installed> installed_;
    std::mutex writer_mu_;
    std::optional<WalWriter> wal_;  // guarded by writer_mu_; absent once closed
    std::atomic<bool> closed_{false};
};

}  // namespace vse::shard
