// The batch loop of both kernels, written once over what each kernel supplies, and the choice of
// the pool it runs on.
//
// Queries are taken in order, up to kAtOnce at a time: for each such batch the query records are
// built (their lane layouts too, when the path reads them; the workers only read them), then the
// B documents are split into pieces over the pool, and each piece scores its documents against
// every query of the batch with scratch of its own. Query a's scores land at out[a*B .. a*B + B).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/error.hpp"
#include "common/pool_registry.hpp"
#include "common/thread_pool.hpp"
#include "kernels/kernel_common.hpp"

namespace vse::kernels {

// Documents per piece of a query's parallel loop: max(B/64, 16).
inline std::size_t min_piece(std::size_t big_b) { return big_b / 64 > 16 ? big_b / 64 : 16; }

// Whether the vector paths get the query's qc_table rows transposed to [K][s_pad]: worth its
// K*S copy once the batch has at least K document tokens (each token then reads one contiguous
// lane vector instead of gathering S scattered values).
inline bool transpose_centroids(std::size_t big_b, std::size_t big_t, std::size_t big_k) {
    return big_b * big_t >= big_k;
}

// The batch loop of a kernel whose query record is Q (with the fields qc, mask, active, qc_index
// and qc_t of both kernels), on a path that reads the lane layout when `lanes`. The kernel
// supplies:
//   rows(a, q)                     query a's own rows into q (its qc and mask are set already)
//   build(q, own)                  q's own lane tables into `own` (an OwnLanes, kept while q's batch
//                                  runs), q pointed at them; the shared lane data is built here
//   piece(qs, n_q, lo, hi, out)    documents [lo, hi) against qs[0 .. n_q), query i's scores into
//                                  out[i*B + lo .. i*B + hi)
template <class Q, class OwnLanes, std::size_t kAtOnce, class Rows, class Build, class Piece>
void score_batch(const SharedArgs& args, bool lanes, float* out, ThreadPool& pool, const Rows& rows,
                 const Build& build, const Piece& piece) {
    const std::size_t B = args.big_b, S = args.big_s, K = args.big_k, s_pad = padded_lanes(S);
    const bool with_qc_t = lanes && transpose_centroids(B, args.big_t, K);
    struct Lanes {
        OwnLanes own;
        QueryLanes rest;
    };
    std::vector<Lanes> lanes_of(lanes ? kAtOnce : 0);
    Q qs[kAtOnce];
    for (std::size_t a0 = 0; a0 < args.big_a; a0 += kAtOnce) {
        const std::size_t n_q = std::min(kAtOnce, args.big_a - a0);
        for (std::size_t i = 0; i < n_q; ++i) {
            const std::size_t a = a0 + i;
            Q& q = qs[i];
            q = Q{};
            q.qc = args.qc_table.data() + a * S * K;
            q.mask = args.q_mask ? args.q_mask->data() + a * S : nullptr;
            rows(a, q);
            if (lanes) {
                Lanes& l = lanes_of[i];
                build(q, l.own);
                l.rest.fill(q.mask, q.qc, S, K, s_pad, with_qc_t);
                l.rest.point(q);
            }
        }
        float* batch_out = out + a0 * B;
        pool.parallel_for(B, min_piece(B),
                          [&](std::size_t lo, std::size_t hi) { piece(qs, n_q, lo, hi, batch_out); });
    }
}

// The fields both kernels' document records take from the shared arguments.
template <class Docs>
void shared_docs(const SharedArgs& args, Docs& d) {
    d.cid = args.docs_cid.data();
    d.cos = args.docs_cos.data();
    d.sin = args.docs_sin.data();
    d.mask = args.docs_mask ? args.docs_mask->data() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// The pools.

// What a kernel's dedicated pools are called: worker i of its pool of n is "{threads}-{n}-{i}",
// and a pool that cannot be built is reported as "{pool}: {error}".
struct PoolNames {
    const char* threads;
    const char* pool;
};

template <const PoolNames& kNames>
std::string pool_thread_name(std::size_t n, std::size_t i) {
    return fmt::format("{}-{}-{}", kNames.threads, n, i);
}

// The kernel's cache of dedicated pools, one per worker count.
template <const PoolNames& kNames>
PoolCache& kernel_pools() {
    static PoolCache* cache = new PoolCache(pool_thread_name<kNames>, kNames.pool);  // never destroyed
    return *cache;
}

// Allocates the zero-filled output of A*B floats and fills it with `score(pool, out)`: on the
// process-wide pool from the calling thread when n_threads is absent or 0, else on a worker of the
// kernel's pool of exactly n_threads workers.
template <const PoolNames& kNames, class Score>
Result<std::vector<float>> run_pooled(const SharedArgs& args, const Score& score) {
    VSE_TRY(std::vector<float> out, allocate_output(args.big_a * args.big_b));
    if (!args.n_threads || *args.n_threads == 0) {
        VSE_TRY(ThreadPool* pool, process_pool());
        score(*pool, out.data());
    } else {
        VSE_TRY(std::shared_ptr<ThreadPool> pool, kernel_pools<kNames>().get(static_cast<std::size_t>(*args.n_threads)));
        pool->install([&] { score(*pool, out.data()); });
    }
    return out;
}

}  // namespace vse::kernels
