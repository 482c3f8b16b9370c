// What the two batch kernels share around their pair kernels: the caller's arrays as the checks
// see them, the array and precondition checks, the output buffer, the choice of worker pool, and
// the lane layout helpers of the vector paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "common/thread_pool.hpp"
#include "kernels/pair_kernels.hpp"

namespace vse::kernels {

// A caller's one-dimensional array before the checks: where its elements start, how many there
// are, and whether they lie back to back.
template <class T>
struct InArray {
    const T* data = nullptr;
    std::uint64_t len = 0;
    bool contiguous = true;
};

// The product of shape numbers, or ValueError
// "shape product {expr} overflows an unsigned 64-bit integer".
Result<std::uint64_t> shape_product(const char* expr, std::initializer_list<std::uint64_t> factors);

// Layout, then length: "{name} must be contiguous", "{name} len {actual} != {expr} {expected}".
Result<void> check_layout(const char* name, bool contiguous, std::uint64_t len, const char* expr,
                          std::uint64_t expected);

template <class T>
Result<std::span<const T>> checked_view(const InArray<T>& a, const char* name, const char* expr,
                                        std::uint64_t expected) {
    VSE_CHECK(check_layout(name, a.contiguous, a.len, expr, expected));
    return std::span<const T>(a.data, static_cast<std::size_t>(a.len));
}

template <class T>
Result<std::optional<std::span<const T>>> checked_view(const std::optional<InArray<T>>& a, const char* name,
                                                       const char* expr, std::uint64_t expected) {
    if (!a) return std::optional<std::span<const T>>{};
    VSE_TRY(std::span<const T> v, checked_view(*a, name, expr, expected));
    return std::optional<std::span<const T>>{v};
}

// Every centroid id of a document token that takes part (no docs_mask, or a mask value that is
// not <= 0) must index a qc_table row: ValueError
// "docs_cid[{i}] = {v} is out of range for K = {K} (centroid ids must be in 0..K-1)" for the first
// that does not.
Result<void> check_centroid_ids(std::span<const std::int32_t> cid, const std::optional<std::span<const float>>& mask,
                                std::uint64_t big_k);

// A zero-filled buffer of n floats, or MemoryError "cannot allocate the output of {n} floats".
Result<std::vector<float>> allocate_output(std::uint64_t n);

// Allocates the zero-filled output of n_out floats and fills it with `score(pool, out)`: on the
// process-wide pool from the calling thread when n_threads is absent or 0, else on a worker of the
// cache's pool of exactly n_threads workers.
template <class Score>
Result<std::vector<float>> run_pooled(std::uint64_t n_out, const std::optional<std::uint64_t>& n_threads,
                                      PoolCache& cache, Score&& score) {
    VSE_TRY(std::vector<float> out, allocate_output(n_out));
    if (!n_threads || *n_threads == 0) {
        VSE_TRY(ThreadPool* pool, ThreadPool::process_pool());
        score(*pool, out.data());
    } else {
        VSE_TRY(std::shared_ptr<ThreadPool> pool, cache.get(static_cast<std::size_t>(*n_threads)));
        pool->install([&] { score(*pool, out.data()); });
    }
    return out;
}

// Documents per piece of a query's parallel loop: max(B/64, 16).
inline std::size_t min_piece(std::size_t big_b) { return big_b / 64 > 16 ? big_b / 64 : 16; }

// ---------------------------------------------------------------------------------------------
// Lane layout of one query for the vector paths.

inline std::size_t padded_lanes(std::size_t s) { return (s + kLanePad - 1) / kLanePad * kLanePad; }

// Whether any of the S mask values is > 0.
bool has_positive(const float* mask, std::size_t S);

// The lane data both vector paths keep for the query in hand: active[s] all ones for a token that
// takes part (no mask, or a value that is not <= 0) and zero for masked tokens and padding;
// qc_index[s] = s*K (zero for padding); and, when `transpose_qc`, the qc rows as [K][s_pad].
struct QueryLanes {
    std::vector<std::uint32_t> active;
    std::vector<std::int64_t> qc_index;
    std::vector<float> qc_t;
    bool has_qc_t = false;

    void fill(const float* mask, const float* qc, std::size_t S, std::size_t K, std::size_t s_pad, bool transpose_qc);
    const float* qc_t_or_null() const { return has_qc_t ? qc_t.data() : nullptr; }
    // Points a query record's lane fields (active, qc_index, qc_t) at these tables.
    template <class Q>
    void point(Q& q) const {
        q.active = active.data();
        q.qc_index = qc_index.data();
        q.qc_t = qc_t_or_null();
    }
};

// out[c][s] = in[s][c] for a [S][cols] row block, padding lanes zero.
template <class T>
void transpose_to_lanes(const T* in, std::size_t S, std::size_t cols, std::size_t s_pad, std::vector<T>& out) {
    out.assign(cols * s_pad, T{});
    for (std::size_t s = 0; s < S; ++s)
        for (std::size_t c = 0; c < cols; ++c) out[c * s_pad + s] = in[s * cols + c];
}

// Whether the vector paths get the query's qc_table rows transposed to [K][s_pad]: worth its
// K*S copy once the batch has at least K document tokens (each token then reads one contiguous
// lane vector instead of gathering S scattered values).
inline bool transpose_centroids(std::size_t big_b, std::size_t big_t, std::size_t big_k) {
    return big_b * big_t >= big_k;
}

}  // namespace vse::kernels
