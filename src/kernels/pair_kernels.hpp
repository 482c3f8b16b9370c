// The (query, document) MaxSim kernels behind rroq158_score_batch and rroq4_riem_score_batch, as
// the batch loops see them: per instruction-set row, one table of functions that score a range of
// documents against one query and write one float per document.
//
// Every path performs, for every (query token, document token) pair, exactly the float operations
// of the scalar reference in the same order and rounding, so all paths give identical bits. The
// vector paths put query tokens side by side in lanes ("s_pad" lanes: the query's S tokens padded
// with inactive lanes to a multiple of 16), which is why a query comes with a transposed copy of
// its rows next to the raw ones.
//
// This header holds plain records and declarations only: the vector translation units are
// compiled for other processors than the rest, and must not share inline code with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace vse::kernels {

using vse::Isa;

// Query tokens are padded to a multiple of this many lanes for the vector paths.
constexpr std::size_t kLanePad = 16;

// ---------------------------------------------------------------------------------------------
// rroq158: ternary document residuals in two bit planes, query codes in `query_bits` planes.

struct Rroq158Dims {
    std::size_t S, T, n_words, n_groups, wpg, query_bits, K, s_pad;
};

// The whole document arrays of a call; token (b, t) is element b*T + t.
struct Rroq158Docs {
    const std::uint32_t* sign;  // [B][T][n_words]
    const std::uint32_t* nz;    // [B][T][n_words]
    const float* scl;           // [B][T][n_groups]
    const std::int32_t* cid;    // [B][T], each in 0..K-1 where the token takes part
    const float* cos;           // [B][T]
    const float* sin;           // [B][T]
    const float* mask;          // [B][T] or null
};

// One query's rows, and the lane layout the vector paths read.
struct Rroq158Query {
    const std::uint32_t* planes;    // [S][query_bits][n_words]
    const float* meta;              // [S][2]: scale, offset
    const float* qc;                // [S][K]
    const float* mask;              // [S] or null
    bool no_positive_weight;        // mask given and no value > 0: every pair scores +0.0
    // Lane layout (vector paths only), padding lanes zero and inactive:
    const std::uint32_t* planes_t;  // [query_bits][n_words][s_pad] (the VNNI path reads codes_t instead)
    const std::uint32_t* codes_t;   // [n_words*8][s_pad] (VNNI path only): the codes of coordinates 4c..4c+3,
                                    // one byte each, lowest coordinate in the lowest byte
    const float* scale;             // [s_pad]
    const float* offset;            // [s_pad]
    const std::uint32_t* active;    // [s_pad]: all ones where the token takes part
    const std::int64_t* qc_index;   // [s_pad]: s*K, the start of token s's qc row; 0 for padding
    const float* qc_t;              // [K][s_pad] (qc transposed) or null: then qc is gathered
};

// Document tokens the VNNI path unpacks and scores together (independent dot chains).
constexpr std::size_t kRroq158BlockTokens = 4;

// Queries a batch loop hands to a range at once. On the VNNI path each block of document tokens is
// unpacked once for all of them; the plane-lane paths (scalar, AVX2, AVX-512) take the queries one
// by one within the call, unpacking a token again for each, which costs them less than sharing the
// unpack (the queries' tables would compete for the cache).
constexpr std::size_t kRroq158QueriesAtOnce = 4;

struct Rroq158Scratch {
    float* best;          // n_queries * s_pad floats
    std::uint32_t* pn;    // 2*n_words words: P and N of the document token in hand
    std::int8_t* tau;     // kRroq158BlockTokens * 32*n_words (VNNI path): the tokens' ternary values
};

// Scores documents [lo, hi) against queries qs[0..n_q) (at most kRroq158QueriesAtOnce), query i's
// scores into out[i*out_stride + lo .. hi). Requires n_groups <= 32.
using Rroq158RangeFn = void (*)(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs&, const Rroq158Dims&,
                                std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                                const Rroq158Scratch&);

void rroq158_range_scalar(const Rroq158Query*, std::size_t, const Rroq158Docs&, const Rroq158Dims&, std::size_t,
                          std::size_t, float*, std::size_t, const Rroq158Scratch&);

// ---------------------------------------------------------------------------------------------
// rroq4_riem: 4-bit document codes with a minimum and a step per group, float query tokens.

// Most document tokens a vector path decodes and scores together (independent FMA chains).
constexpr std::size_t kRroq4BlockTokens = 8;

struct Rroq4RiemDims {
    std::size_t S, T, dim, n_groups, group_size, K, s_pad;
};

struct Rroq4RiemDocs {
    const std::uint8_t* codes;  // [B][T][dim/2]: coordinate 2m in the low nibble of byte m, 2m+1 in the high
    const float* mins;          // [B][T][n_groups]
    const float* dlts;          // [B][T][n_groups]
    const std::int32_t* cid;    // [B][T], each in 0..K-1 where the token takes part
    const float* cos;           // [B][T]
    const float* sin;           // [B][T]
    const float* mask;          // [B][T] or null
};

struct Rroq4RiemQuery {
    const float* rot;               // [S][dim]
    const float* gsums;             // [S][n_groups]
    const float* qc;                // [S][K]
    const float* mask;              // [S] or null
    // Lane layout (vector paths only), padding lanes zero and inactive:
    const float* rot_t;             // [dim][s_pad]
    const float* gsums_t;           // [n_groups][s_pad]
    const std::uint32_t* active;    // [s_pad]
    const std::int64_t* qc_index;   // [s_pad]
    const float* qc_t;              // [K][s_pad] or null
};

// Queries a batch loop hands to a range at once: each document token is decoded once for all of
// them. Their transposed rows and centroid tables stay within the second-level cache.
constexpr std::size_t kRroq4QueriesAtOnce = 4;

struct Rroq4RiemScratch {
    float* best;         // n_queries * s_pad floats
    float* x;            // kRroq4BlockTokens * dim floats: decoded document tokens
    std::uint32_t* pos;  // dim entries: where each coordinate lies in a decoded token
};

// Scores documents [lo, hi) against queries qs[0..n_q) (at most kRroq4QueriesAtOnce), query i's
// scores into out[i*out_stride + lo .. hi).
using Rroq4RiemRangeFn = void (*)(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs&,
                                  const Rroq4RiemDims&, std::size_t lo, std::size_t hi, float* out,
                                  std::size_t out_stride, const Rroq4RiemScratch&);

void rroq4_riem_range_scalar(const Rroq4RiemQuery*, std::size_t, const Rroq4RiemDocs&, const Rroq4RiemDims&,
                             std::size_t, std::size_t, float*, std::size_t, const Rroq4RiemScratch&);

// ---------------------------------------------------------------------------------------------
// The tables.

// The query layout a rroq158 path reads: the rows only (scalar), the planes in lanes (planes_t), or
// the codes in lanes (codes_t, and a tau scratch).
enum class Rroq158Layout { Rows, PlaneLanes, CodeLanes };

// A path of each kernel: its range function and what of the query's lane layout it reads, which
// the batch loop builds for it (so the two never part).
struct Rroq158Path {
    Rroq158RangeFn range;
    Rroq158Layout layout;
    bool operator==(const Rroq158Path&) const = default;
};

struct Rroq4RiemPath {
    Rroq4RiemRangeFn range;
    bool lanes;  // reads the lane layout (rot_t, gsums_t, ...)
    bool operator==(const Rroq4RiemPath&) const = default;
};

// One row's pair kernels. A unit leaves out (value-initialized) a kernel it has no code for; the
// row then runs its fallback row's path of that kernel.
struct KernelTable {
    Rroq158Path rroq158;
    Rroq4RiemPath rroq4_riem;
    static constexpr std::tuple kIsaEntries{&KernelTable::rroq158, &KernelTable::rroq4_riem};
};

// The tables of every row; the table of a row (which the processor must run), and of this
// processor, chosen once.
const IsaTables<KernelTable>& kernel_tables();
const KernelTable& kernel_table(Isa isa);
const KernelTable& kernel_table();

// The vector units (x86-64 only).
extern const IsaUnit<KernelTable> kKernelsAvx2;
extern const IsaUnit<KernelTable> kKernelsAvx512;
extern const IsaUnit<KernelTable> kKernelsAvx512Vnni;

}  // namespace vse::kernels
