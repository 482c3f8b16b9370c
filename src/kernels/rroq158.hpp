// rroq158: batch MaxSim over ternary bit-plane document codes and multi-bit query planes, with a
// rotation-corrected centroid term.
//
// Flat inputs (row-major, last index fastest; A queries of S tokens, B documents of T tokens):
//   q_planes  int32 [A][S][query_bits][n_words]  query code bit planes (plane k = bit k of a code)
//   q_meta    f32   [A][S][2]                    scale, offset of each query token
//   qc_table  f32   [A][S][K]                    query token against each centroid
//   docs_sign int32 [B][T][n_words]              sign bits; docs_nz the non-zero bits: a coordinate
//   docs_nz   int32 [B][T][n_words]              is +1 (nz, sign), -1 (nz, no sign) or 0 (no nz)
//   docs_scl  f32   [B][T][n_groups]             scale of each group of n_words/n_groups words
//   docs_cid  int32 [B][T]                       centroid id, a column of qc_table
//   docs_cos, docs_sin f32 [B][T]                weights of the centroid and residual terms
//   q_mask f32 [A][S], docs_mask f32 [B][T]      optional: a token takes part unless its value <= 0
// The output holds A*B floats; element a*B + b is the score of query a against document b.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "common/thread_pool.hpp"
#include "kernels/kernel_common.hpp"
#include "kernels/pair_kernels.hpp"

namespace vse::kernels {

// The 20 arguments, in either form: as the caller gave them (Rroq158Input, before any check) or
// checked (Rroq158Args: views of exactly the expected lengths, borrowing, owning nothing).
template <template <class> class Arr>
struct Rroq158Arrays {
    Arr<std::int32_t> q_planes;
    Arr<float> q_meta;
    Arr<std::int32_t> docs_sign, docs_nz;
    Arr<float> docs_scl;
    std::uint64_t n_words, n_groups, query_bits;
    BatchShared<Arr> shared;  // qc_table, docs_cid, docs_cos, docs_sin, A, B, S, T, K, masks, n_threads
};

using Rroq158Input = Rroq158Arrays<InArray>;
using Rroq158Args = Rroq158Arrays<View>;

// The checks in their fixed order, each a ValueError with its fixed message: n_groups, n_words,
// the six shape numbers, query_bits <= 8, n_words divisible by n_groups; the expected lengths
// (refused when a product overflows 64 bits); each array's layout and length in argument order,
// then the masks when given. Then the kernel's preconditions: n_groups <= 32, and every centroid
// id of a document token that takes part in 0..K-1. Reads the docs_cid (and docs_mask) elements,
// nothing else.
Result<Rroq158Args> rroq158_check(const Rroq158Input& in);

// Scores the whole batch on the pool chosen by n_threads. Call without the GIL.
Result<std::vector<float>> rroq158_run_pooled(const Rroq158Args& args);

// The batch loop: queries in order, the documents of each split into pieces over `pool`, using
// the pair kernel of row `isa` (which the processor must run). out holds A*B floats.
void rroq158_score_queries(const Rroq158Args& args, float* out, ThreadPool& pool, Isa isa);

// The scalar reference for one (query, document) pair; best has room for S floats.
float rroq158_pair_maxsim(const Rroq158Query& q, const Rroq158Docs& d, std::size_t b, const Rroq158Dims& dm,
                          float* best);

}  // namespace vse::kernels
