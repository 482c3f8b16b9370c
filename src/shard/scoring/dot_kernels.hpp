// The vector paths of the scoring core: many vector-form dots computed side by side, each keeping
// exactly its own four-lane sequence, so every path gives the bits of dot_vector_plain.
//
// A single dot is a chain of n/4 dependent fused multiply-adds per lane, bound by their latency.
// The paths instead hold S query rows in one register, one per 128-bit slot (S = 4 for 512-bit
// registers, 2 for 256-bit ones), and multiply them with a block of four values of a document row
// broadcast to every slot: slot k, lane j then accumulates lane j of dot(query row k, row). Several
// query groups and four document rows at a time give up to sixteen independent chains.
//
// The query is packed once per call. With G = ceil(n_q / S) groups, slot k of group g holds query
// row k*G + g (rows past the last are repeats of the last one), so each slot covers a contiguous
// run of query rows; this is what lets a maximum over query rows be taken slot by slot and the
// slots then combined in order, giving the same first strict maximum as one pass in row order.
//
//   blocks[((i * G + g) * S + k) * 4 + j] = q[row(g, k)][4i + j]        i < dim / 4
//   tails [((t * G + g) * S + k) * 4 + j] = q[row(g, k)][4 * (dim / 4) + t]   for every j
//
// This header holds plain records and declarations only: the vector translation units are compiled
// for other processors than the rest and must not share inline code with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vse::shard {

struct PackedQuery {
    const float* blocks;
    const float* tails;
    std::size_t n_q;    // real query rows
    std::size_t dim;
    std::size_t slots;  // S
    std::size_t groups; // G
};

// For every query row q: best[q] = the first strict maximum over the document's rows, in row order,
// of dot(q, row); -inf when every dot is NaN. `doc` holds `rows` >= 1 rows of dim values.
using MaxRowsFn = void (*)(const PackedQuery&, const float* doc, std::size_t rows, float* best);

// For each of the n rows: out[r] = the first strict maximum over the query rows, in query order, of
// dot(q, rows[r]); -inf when every dot is NaN.
using MaxQueryFn = void (*)(const PackedQuery&, const float* const* rows, std::size_t n, float* out);

// A single vector-form dot.
using DotFn = float (*)(const float* a, const float* b, std::size_t n);

void max_rows_avx2(const PackedQuery&, const float*, std::size_t, float*);
void max_query_avx2(const PackedQuery&, const float* const*, std::size_t, float*);
float dot_avx2(const float*, const float*, std::size_t);

void max_rows_avx512(const PackedQuery&, const float*, std::size_t, float*);
void max_query_avx512(const PackedQuery&, const float* const*, std::size_t, float*);

}  // namespace vse::shard
