// MaxSim and the other maxima of query-row dots, computed side by side on the processor's best
// vector path and bit for bit equal to one dot at a time in the processor's dot form.
//
// MaxSim of a document with rows R against query rows Q: total = +0.0, then for each query row q in
// order, total = total + best(q), where best(q) is the first strict maximum of dot(q, r) over the
// rows in order (it starts at -inf and takes a dot only when greater, so a NaN never wins and of
// +0.0 and -0.0 the first stays). A document without rows, or a query without rows, scores +0.0.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "shard/scoring/dot.hpp"
#include "shard/scoring/dot_kernels.hpp"

namespace vse::shard {

// One query prepared for many documents. Immutable once built, so one instance may serve several
// threads at once.
class QueryDots {
public:
    // `query` holds n_q rows of dim values and must outlive the object; `table` is the path's.
    QueryDots(const float* query, std::size_t n_q, std::size_t dim, const ScoringTable& table = scoring_table());

    std::size_t n_q() const { return n_q_; }
    std::size_t dim() const { return dim_; }

    // MaxSim of a document of `rows` contiguous rows. `scratch` holds at least n_q floats. The
    // `ahead_bytes` bytes at `ahead`, if any, are fetched into cache meanwhile (never read): the
    // caller names the next document's there.
    float maxsim(const float* doc, std::size_t rows, float* scratch, const void* ahead = nullptr,
                 std::size_t ahead_bytes = 0) const;

    // For each of n rows: the first strict maximum over the query rows, in order, of dot(q, row).
    void max_over_query(const float* const* rows, std::size_t n, float* out) const;

    // Every dot with n rows lying back to back: out[r * stride + q] = dot(q, row r), q < n_q.
    void dot_table(const float* rows, std::size_t n, float* out, std::size_t stride) const;

private:
    std::size_t n_q_, dim_;
    const ScoringTable* table_;
    std::vector<float> packed_;  // blocks, then tails (vector paths only)
    PackedQuery pq_{};
};

}  // namespace vse::shard
