// The tables of the scoring core's paths: the plain loops of either dot form, and the vector
// paths, which compute many vector-form dots side by side, each keeping exactly its own four-lane
// sequence, so every path gives the bits of dot_vector_plain.
//
// A single dot is a chain of n/4 dependent fused multiply-adds per lane, bound by their latency.
// The vector paths instead hold S query rows in one register, one per 128-bit slot (S = 4 for
// 512-bit registers, 2 for 256-bit ones), and multiply them with a block of four values of a
// document row broadcast to every slot: slot k, lane j then accumulates lane j of dot(query row k,
// row). Several query groups and four document rows at a time give up to sixteen independent
// chains.
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

#include "common/isa.hpp"

namespace vse::shard {

struct PackedQuery {
    const float* query;  // the n_q rows as given (the plain loops read these)
    const float* blocks; // the packed layout (vector paths only)
    const float* tails;
    std::size_t n_q;    // real query rows
    std::size_t dim;
    std::size_t slots;  // S
    std::size_t groups; // G
};

// For every query row q: best[q] = the first strict maximum over the document's rows, in row order,
// of dot(q, row); -inf when every dot is NaN. `doc` holds `rows` >= 1 rows of dim values.
// The `ahead_bytes` bytes at `ahead` (the next document's, say; null for none) are asked of the
// memory while the dots run, so that they are in cache when their turn comes; they are not read.
using MaxRowsFn = void (*)(const PackedQuery&, const float* doc, std::size_t rows, float* best, const void* ahead,
                           std::size_t ahead_bytes);

// For each of the n rows: out[r] = the first strict maximum over the query rows, in query order, of
// dot(q, rows[r]); -inf when every dot is NaN.
using MaxQueryFn = void (*)(const PackedQuery&, const float* const* rows, std::size_t n, float* out);

// A single dot.
using DotFn = float (*)(const float* a, const float* b, std::size_t n);

// Every dot of the query with n rows lying back to back: out[r * stride + q] = dot(q, row r) for
// each real query row q; other entries are left alone.
using DotTableFn = void (*)(const PackedQuery&, const float* rows, std::size_t n, float* out, std::size_t stride);

// The code score of a document from a table laid out [code][stride] (stride a multiple of 16,
// entries past n_q holding -inf): for each column q, the first strict maximum over the document's
// codes below n_codes, in code order, into best[q] (-inf when none); the document's codes are m
// little-endian 16-bit values at `codes`, not necessarily aligned.
using CodeMaxFn = void (*)(const float* table, std::size_t stride, std::size_t n_codes, const std::uint8_t* codes,
                           std::size_t m, float* best);

// One path's functions. `slots` is S of the packed layout, 0 for the plain loops (which read the
// query as given).
struct ScoringTable {
    std::size_t slots;
    DotFn dot;
    MaxRowsFn max_rows;
    MaxQueryFn max_query;
    DotTableFn dot_table;
    CodeMaxFn code_max;
};

// The vector units (x86-64 only; the getters are in dot.hpp).
extern const IsaUnit<ScoringTable> kScoringAvx2;
extern const IsaUnit<ScoringTable> kScoringAvx512;

}  // namespace vse::shard
