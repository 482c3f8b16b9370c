// ShardState: the immutable snapshot of one index's documents.
//
// Readers load the current snapshot without locking and keep it as long as they need; writers build
// a new snapshot from the loaded one and publish it by an atomic pointer swap (SnapshotCell). A
// published snapshot is never modified. Writers keep `total_vectors` up to date from the entries
// they replace, so a write costs O(log n) instead of a walk over every document; the arithmetic is
// modulo 2^64, which makes the running total equal to the sum recomputed from scratch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "shard/doc_map.hpp"

namespace vse::shard {

struct ShardState {
    std::vector<std::uint64_t> mean_doc_ids;
    std::optional<std::vector<float>> doc_means;
    DocMap docs;
    std::uint64_t doc_mean_dim = 0;
    std::uint64_t total_vectors = 0;
    std::uint32_t next_shard_id = 0;

    // Every document id, ascending.
    std::vector<std::uint64_t> doc_ids() const { return docs.ids(); }

    // A snapshot of `docs` with `total_vectors` summed over the entries and no document means.
    static std::shared_ptr<const ShardState> build(DocMap docs, std::uint32_t next_shard_id);

    // The same, for writers that already know the total.
    static std::shared_ptr<const ShardState> with_total(DocMap docs, std::uint64_t total_vectors,
                                                        std::uint32_t next_shard_id);
};

// An atomic cell holding one shared immutable value. A load never waits for a writer's work, only,
// at most, for the pointer swap of a store under way: libstdc++'s atomic shared_ptr is not lock-free
// (it guards the swap with a lock bit), but a writer builds its value before it stores it.
template <class T>
class SnapshotCell {
public:
    explicit SnapshotCell(std::shared_ptr<const T> v) : value_(std::move(v)) {}
    std::shared_ptr<const T> load() const { return value_.load(std::memory_order_acquire); }
    void store(std::shared_ptr<const T> v) { value_.store(std::move(v), std::memory_order_release); }

private:
    std::atomic<std::shared_ptr<const T>> value_;
};

}  // namespace vse::shard
