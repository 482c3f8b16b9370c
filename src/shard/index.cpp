#include "shard/index.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "common/checked.hpp"
#include "common/fs.hpp"
#include "shard/shard_dir.hpp"
#include "shard/wal_replay.hpp"

namespace vse::shard {

namespace {

constexpr const char* kClosed = "ShardIndex is closed";

std::shared_ptr<const ShardState> empty_state() { return std::make_shared<const ShardState>(); }

// Log limits a record must respect so that replay reads it back; checked before anything is logged.
Result<void> check_record_limits(std::uint64_t payload_len, std::uint64_t n_rows, std::uint64_t dim) {
    if (payload_len > kWalMaxPayload)
        return fail(Exc::Value, fmt::format("payload of {} bytes exceeds the log limit of {} bytes", payload_len,
                                            kWalMaxPayload));
    if (dim > 0xFFFFFFFFull)
        return fail(Exc::Value, fmt::format("embedding dim {} does not fit the log's 32-bit field", dim));
    const CheckedSize values = checked_mul(n_rows, dim);
    if (!values || *values > kWalMaxValues || n_rows > 0xFFFFFFFFull)
        return fail(Exc::Value, fmt::format("embeddings of {} rows x {} values exceed the log limit of {} values",
                                            n_rows, dim, kWalMaxValues));
    return {};
}

}  // namespace

Index::Index(std::string base_dir, std::uint64_t dim, std::shared_ptr<const ShardState> state,
             std::shared_ptr<const ShardMap> shards, WalWriter wal)
    : base_dir_(std::move(base_dir)),
      dim_(dim),
      state_(std::move(state)),
      shards_(std::move(shards)),
      installed_(std::make_shared<const Installed>()) {
    wal_.emplace(std::move(wal));
}

Result<std::unique_ptr<Index>> Index::open(std::string base_dir, std::uint64_t dim) {
    if (dim == 0) return fail(Exc::Value, "dim must be > 0");
    if (auto r = create_dir_all(base_dir); !r)
        return os_failure("cannot create base_dir: {}", r.error());

    // The log is opened and locked before it is read: from then on no other index can append to
    // it or cut it, until this one is dropped.
    auto wal = WalWriter::open(join_path(base_dir, kWalFileName));
    if (!wal) {
        const StorageError& cause = wal.error().error;
        switch (wal.error().step) {
            case WalOpenStep::Replay:
                return os_failure("WAL replay failed: {}", cause);
            case WalOpenStep::Open:
                return os_failure("WAL open failed: {}", cause);
            case WalOpenStep::Held:
                return fail(Exc::OS, fmt::format("WAL lock failed: {} is held by another open ShardIndex", base_dir));
            case WalOpenStep::Lock:
                return os_failure("WAL lock failed: {}", cause);
        }
    }
    WalReplay replay = wal_replay(wal->fd(), dim);

    auto [shard_map, next_shard_id] = discover_shards(base_dir);
    auto state = ShardState::build(std::move(replay.docs), next_shard_id);

    // A torn or corrupt tail would hide every record appended behind it: cut it off, keeping its
    // bytes in a file beside the log. (A flipped bit in a length field makes intact records look
    // like one torn record, so a torn tail is kept too.) After a read error the rest of the file
    // may be intact, so it is left alone.
    if (replay.stop == WalStop::Torn || replay.stop == WalStop::Corrupt) {
        if (auto kept = wal->cut(replay.good_len); !kept)
            return os_failure("WAL open failed: {}", kept.error());
    }

    return std::unique_ptr<Index>(new Index(std::move(base_dir), dim, std::move(state),
                                            std::make_shared<const ShardMap>(std::move(shard_map)), std::move(*wal)));
}

Result<void> Index::check_open() const {
    if (is_closed()) return fail(Exc::Runtime, kClosed);
    return {};
}

Result<IndexView> Index::view() const {
    VSE_CHECK(check_open());
    return IndexView{state_.load(), shards_.load(), installed_.load(), dim_};
}

Result<void> Index::append_locked(const WalRecordPieces& record) {
    std::expected<void, StorageError> r =
        wal_ ? wal_->append(record) : std::unexpected(StorageError{StorageKind::Other, "WAL writer is closed"});
    if (!r) return os_failure("WAL write failed: {}", r.error());
    return {};
}

Result<void> Index::insert(std::uint64_t doc_id, const float* rows, std::uint64_t n_rows,
                           std::optional<std::string_view> payload) {
    VSE_CHECK(check_open());
    VSE_CHECK(check_record_limits(payload ? payload->size() : 0, n_rows, dim_));
    // The record's fixed fields and the entry's payload are made before the lock. The rows are read
    // where the caller holds them once, by the writer, which checksums the copy it makes.
    const auto record = wal_record(WalOp::Insert, doc_id, std::span<const float>(rows, n_rows * dim_),
                                   static_cast<std::uint32_t>(n_rows), static_cast<std::uint32_t>(dim_), payload);
    DocEntry entry(payload ? std::make_shared<const std::string>(*payload) : nullptr, 0, n_rows, dim_, NO_SHARD);
    const std::uint64_t added = entry_vectors(entry);

    std::lock_guard lock(writer_mu_);
    VSE_CHECK(append_locked(record));
    auto cur = state_.load();
    DocEntry old;
    bool replaced = false;
    DocMap docs = cur->docs.insert_or_assign(doc_id, std::move(entry), &old, &replaced);
    std::uint64_t total = cur->total_vectors + added - (replaced ? entry_vectors(old) : 0);
    state_.store(ShardState::with_total(std::move(docs), total, cur->next_shard_id));
    return {};
}

Result<bool> Index::remove(std::uint64_t doc_id) {
    VSE_CHECK(check_open());
    std::lock_guard lock(writer_mu_);
    auto cur = state_.load();
    if (cur->docs.find(doc_id) == nullptr) return false;
    VSE_CHECK(append_locked(wal_record(WalOp::Delete, doc_id, {}, 0, 0, std::nullopt)));
    DocEntry old;
    DocMap docs = cur->docs.erase(doc_id, &old);
    state_.store(ShardState::with_total(std::move(docs), cur->total_vectors - entry_vectors(old), cur->next_shard_id));
    return true;
}

Result<bool> Index::update_payload(std::uint64_t doc_id, std::string_view payload) {
    VSE_CHECK(check_open());
    VSE_CHECK(check_record_limits(payload.size(), 0, 0));
    const auto record = wal_record(WalOp::UpdatePayload, doc_id, {}, 0, 0, payload);
    auto text = std::make_shared<const std::string>(payload);

    std::lock_guard lock(writer_mu_);
    auto cur = state_.load();
    const DocEntry* present = cur->docs.find(doc_id);
    if (present == nullptr) return false;
    VSE_CHECK(append_locked(record));
    DocEntry entry = *present;
    entry.payload = std::move(text);
    DocMap docs = cur->docs.insert_or_assign(doc_id, std::move(entry));
    state_.store(ShardState::with_total(std::move(docs), cur->total_vectors, cur->next_shard_id));
    return true;
}

Result<void> Index::register_shard_docs(std::span<const std::uint64_t> doc_ids,
                                        std::span<const std::uint32_t> shard_ids,
                                        std::span<const std::uint64_t> row_starts,
                                        std::span<const std::uint64_t> row_ends) {
    VSE_CHECK(check_open());
    const std::size_t n = doc_ids.size();
    if (shard_ids.size() != n || row_starts.size() != n || row_ends.size() != n)
        return fail(Exc::Value, "all arrays must have the same length");
    auto entry_at = [&](std::size_t i) { return DocEntry(nullptr, row_starts[i], row_ends[i], dim_, shard_ids[i]); };
    // The shard count only grows: the largest id given plus one, wrapping in 32 bits.
    std::uint32_t candidate = 1;
    if (n > 0) candidate = *std::max_element(shard_ids.begin(), shard_ids.end()) + 1u;

    std::lock_guard lock(writer_mu_);
    auto cur = state_.load();
    const std::uint32_t next_shard_id = std::max(cur->next_shard_id, candidate);
    std::uint64_t total = cur->total_vectors;
    DocMap docs = cur->docs.assign_batch(doc_ids, entry_at, &total);
    state_.store(ShardState::with_total(std::move(docs), total, next_shard_id));
    return {};
}

Result<void> Index::check_doc_means(std::uint64_t rows, std::uint64_t width, std::uint64_t n_ids) const {
    VSE_CHECK(check_open());
    if (width == 0) return fail(Exc::Value, "means dim must be > 0");
    if (n_ids != rows) return fail(Exc::Value, fmt::format("doc_ids len {} != means rows {}", n_ids, rows));
    return {};
}

Result<void> Index::set_doc_means(std::span<const float> means, std::uint64_t rows, std::uint64_t width,
                                  std::vector<std::uint64_t> ids) {
    VSE_CHECK(check_doc_means(rows, width, ids.size()));
    std::vector<float> values(means.begin(), means.end());
    std::lock_guard lock(writer_mu_);
    auto cur = state_.load();
    auto next = std::make_shared<ShardState>();
    next->docs = cur->docs;
    next->total_vectors = cur->total_vectors;
    next->next_shard_id = cur->next_shard_id;
    next->doc_means = std::move(values);
    next->mean_doc_ids = std::move(ids);
    next->doc_mean_dim = width;
    state_.store(std::move(next));
    return {};
}

template <class Change>
Result<void> Index::install(Change&& change) {
    std::lock_guard lock(writer_mu_);
    auto next = std::make_shared<Installed>(*installed_.load());
    VSE_CHECK(change(*next));
    installed_.store(std::move(next));
    return {};
}

Result<void> Index::check_centroids(std::uint64_t rows, std::uint64_t width) const {
    VSE_CHECK(check_open());
    if (width != dim_) return fail(Exc::Value, fmt::format("centroid dim {} != index dim {}", width, dim_));
    if (rows == 0) return fail(Exc::Value, "centroids must have at least 1 row");
    return {};
}

Result<void> Index::set_centroids(std::span<const float> values, std::uint64_t rows, std::uint64_t width) {
    VSE_CHECK(check_centroids(rows, width));
    auto table = std::make_shared<const std::vector<float>>(values.begin(), values.end());
    return install([&](Installed& in) -> Result<void> {
        in.centroids = std::move(table);
        in.n_centroids = rows;
        return {};
    });
}

Result<void> Index::set_codec(std::vector<float> bucket_weights, std::uint64_t nbits) {
    VSE_CHECK(check_open());
    return install([&](Installed& in) -> Result<void> {
        if (!in.centroids) return fail(Exc::Runtime, "set_centroids must be called before set_codec");
        VSE_TRY(in.codec, ResidualCodec::create(std::move(bucket_weights), nbits, in.centroids, in.n_centroids, dim_));
        return {};
    });
}

Result<void> Index::load_merged(const std::string& dir) {
    VSE_CHECK(check_open());
    // Loaded before the mutex is taken: writers do not wait for the files.
    VSE_TRY(std::shared_ptr<const MergedMmap> merged, shard::load_merged(dir));
    return install([&](Installed& in) -> Result<void> {
        in.merged = std::move(merged);
        return {};
    });
}

Result<void> Index::set_use_compression(bool enabled) {
    VSE_CHECK(check_open());
    return install([&](Installed& in) -> Result<void> {
        in.use_compression = enabled;
        return {};
    });
}

Result<void> Index::sync() {
    VSE_CHECK(check_open());
    std::lock_guard lock(writer_mu_);
    if (wal_) {
        if (auto r = wal_->sync(); !r) return os_failure("WAL sync failed: {}", r.error());
    }
    return {};
}

Result<void> Index::close() {
    closed_.store(true, std::memory_order_release);
    std::lock_guard lock(writer_mu_);
    // No log: a close before this one released it. A log still here is one that a failed close
    // left open with what it could not write out, so this close tries again from where that
    // one stopped.
    if (!wal_) return {};
    if (auto r = wal_->sync(); !r) return os_failure("WAL close failed: {}", r.error());
    wal_.reset();  // already synced; the writer's release writes nothing more
    shards_.store(std::make_shared<const ShardMap>());
    state_.store(empty_state());
    return {};
}

}  // namespace vse::shard
