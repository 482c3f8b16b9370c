// What one reader sees of an index, and what the host installs on it.
//
// The host installs, after opening an index, the centroid table, the residual codec and whether
// fetches decode with it, and the merged flat files. The index keeps them in one immutable
// Installed record, published whole through a SnapshotCell (doc_state.hpp) like its document
// snapshots: a setter builds the next record from the current one under the writer mutex and
// publishes it (index.hpp), and a record once published is never changed.
//
// A reader takes an IndexView at its start: the document snapshot, the mapped shard files and the
// installed record, each loaded once. It reads through these for the whole call, so nothing changes
// under it, and whatever they map (shard files, a merged view a later load replaced) stays mapped
// until it lets go.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/error.hpp"
#include "shard/codec.hpp"
#include "shard/doc_state.hpp"
#include "shard/merged.hpp"
#include "shard/safetensors.hpp"

namespace vse::shard {

struct Installed {
    // n_centroids rows of the index width, row-major; null until set_centroids.
    std::shared_ptr<const std::vector<float>> centroids;
    std::uint64_t n_centroids = 0;
    // Built over the table installed when set_codec ran, which it keeps.
    std::shared_ptr<const ResidualCodec> codec;
    bool use_compression = false;
    std::shared_ptr<const MergedMmap> merged;
};

struct IndexView {
    std::shared_ptr<const ShardState> state;
    std::shared_ptr<const ShardMap> shards;
    std::shared_ptr<const Installed> installed;
    std::uint64_t dim = 0;

    // What a reader needs installed: centroids for approximate scoring ("centroids not loaded —
    // call set_centroids first"), the merged view for exact scoring ("merged mmap not loaded — call
    // load_merged first"), both RuntimeErrors. The scorers check them before anything else; a
    // caller with checks of its own that come after them asks first.
    Result<void> require_centroids() const;
    Result<const MergedMmap*> require_merged() const;
    // What proxy scoring needs of the snapshot, checked after the query's own shape: the document
    // means ("doc_means not loaded — call set_doc_means first", then "doc_mean_dim is 0", both
    // RuntimeErrors), as wide as the query ("doc_mean_dim {} != query dim {}", a ValueError).
    Result<void> require_doc_means(std::uint64_t query_width) const;
};

}  // namespace vse::shard
