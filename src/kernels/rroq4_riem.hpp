// rroq4_riem: batch MaxSim over 4-bit group-quantized document tokens and float (rotated) query
// tokens, with a rotation-corrected centroid term.
//
// Flat inputs (row-major, last index fastest; A queries of S tokens, B documents of T tokens):
//   q_rot      f32   [A][S][dim]        rotated query tokens
//   q_gsums    f32   [A][S][n_groups]   each query token's coordinate sum over each group
//   qc_table   f32   [A][S][K]          query token against each centroid
//   docs_codes uint8 [B][T][dim/2]      codes 0..15: coordinate 2m in the low nibble of byte m,
//                                       2m+1 in the high nibble; group g is coordinates
//                                       [g*group_size, (g+1)*group_size)
//   docs_mins, docs_dlts f32 [B][T][n_groups]  dequantized value = min + code * delta
//   docs_cid int32 [B][T]; docs_cos, docs_sin f32 [B][T]; optional q_mask [A][S], docs_mask [B][T]
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

// The 20 arguments, as the caller gave them (Rroq4RiemInput) or checked (Rroq4RiemArgs).
template <template <class> class Arr>
struct Rroq4RiemArrays {
    Arr<float> q_rot, q_gsums;
    Arr<std::uint8_t> docs_codes;
    Arr<float> docs_mins, docs_dlts;
    std::uint64_t dim, n_groups, group_size;
    BatchShared<Arr> shared;
};

using Rroq4RiemInput = Rroq4RiemArrays<InArray>;
using Rroq4RiemArgs = Rroq4RiemArrays<View>;

// The checks in their fixed order (n_groups, group_size positive and even, dim, the five shape
// numbers, n_groups*group_size == dim, the expected lengths, each array's layout and length),
// then the precondition that every centroid id of a document token that takes part is in 0..K-1.
Result<Rroq4RiemArgs> rroq4_riem_check(const Rroq4RiemInput& in);

Result<std::vector<float>> rroq4_riem_run_pooled(const Rroq4RiemArgs& args);
void rroq4_riem_score_queries(const Rroq4RiemArgs& args, float* out, ThreadPool& pool, Isa isa);

// The scalar reference for one (query, document) pair; best has room for S floats, x for dim.
float rroq4_riem_pair_maxsim(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, std::size_t b,
                             const Rroq4RiemDims& dm, float* best, float* x);

}  // namespace vse::kernels
