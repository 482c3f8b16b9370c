// rroq4_riem: argument checks, the scalar pair kernel, the batch loop and its pools.
//
// Compiled with -ffp-contract=off: the only fused multiply-adds are the explicit std::fma calls.
#include "kernels/rroq4_riem.hpp"

#include <cmath>

#include <fmt/format.h>

#include "common/checked.hpp"

namespace vse::kernels {

namespace {

Rroq4RiemDims dims_of(const Rroq4RiemArgs& a) {
    return Rroq4RiemDims{a.big_s, a.big_t, a.dim, a.n_groups, a.group_size, a.big_k, padded_lanes(a.big_s)};
}

Rroq4RiemDocs docs_of(const Rroq4RiemArgs& a) {
    return Rroq4RiemDocs{a.docs_codes.data(), a.docs_mins.data(), a.docs_dlts.data(), a.docs_cid.data(),
                         a.docs_cos.data(),   a.docs_sin.data(),  a.docs_mask ? a.docs_mask->data() : nullptr};
}

}  // namespace

Result<Rroq4RiemArgs> rroq4_riem_check(const Rroq4RiemInput& in) {
    const std::uint64_t A = in.big_a, B = in.big_b, S = in.big_s, T = in.big_t, K = in.big_k;
    const std::uint64_t dim = in.dim, G = in.n_groups, gs = in.group_size;
    if (G == 0) return fail(Exc::Value, "n_groups must be > 0");
    if (gs == 0 || gs % 2 != 0)
        return fail(Exc::Value,
                    fmt::format("group_size must be a positive even integer (got {}); 4-bit codes pack two coords per byte",
                                gs));
    if (dim == 0) return fail(Exc::Value, "dim must be > 0");
    if (A == 0 || B == 0 || S == 0 || T == 0 || K == 0)
        return fail(Exc::Value, fmt::format("All shape dims must be > 0 (got A={}, B={}, S={}, T={}, K={})", A, B, S, T, K));
    if (checked_mul(G, gs) != dim)
        return fail(Exc::Value, fmt::format("n_groups ({}) * group_size ({}) != dim ({})", G, gs, dim));

    VSE_TRY(std::uint64_t as, shape_product("A*S", {A, S}));
    VSE_TRY(std::uint64_t bt, shape_product("B*T", {B, T}));
    VSE_TRY(std::uint64_t n_rot, shape_product("A*S*dim", {A, S, dim}));
    VSE_TRY(std::uint64_t n_gsums, shape_product("A*S*n_groups", {A, S, G}));
    VSE_TRY(std::uint64_t n_qc, shape_product("A*S*K", {A, S, K}));
    VSE_TRY(std::uint64_t n_codes, shape_product("B*T*(dim/2)", {B, T, dim / 2}));
    VSE_TRY(std::uint64_t n_groups_bt, shape_product("B*T*n_groups", {B, T, G}));
    VSE_CHECK(shape_product("A*B", {A, B}));

    Rroq4RiemArgs a;
    VSE_TRY(a.q_rot, checked_view(in.q_rot, "q_rot", "A*S*dim", n_rot));
    VSE_TRY(a.q_gsums, checked_view(in.q_gsums, "q_gsums", "A*S*n_groups", n_gsums));
    VSE_TRY(a.qc_table, checked_view(in.qc_table, "qc_table", "A*S*K", n_qc));
    VSE_TRY(a.docs_codes, checked_view(in.docs_codes, "docs_codes", "B*T*(dim/2)", n_codes));
    VSE_TRY(a.docs_mins, checked_view(in.docs_mins, "docs_mins", "B*T*n_groups", n_groups_bt));
    VSE_TRY(a.docs_dlts, checked_view(in.docs_dlts, "docs_dlts", "B*T*n_groups", n_groups_bt));
    VSE_TRY(a.docs_cid, checked_view(in.docs_cid, "docs_cid", "B*T", bt));
    VSE_TRY(a.docs_cos, checked_view(in.docs_cos, "docs_cos", "B*T", bt));
    VSE_TRY(a.docs_sin, checked_view(in.docs_sin, "docs_sin", "B*T", bt));
    VSE_TRY(a.q_mask, checked_view(in.q_mask, "q_mask", "A*S", as));
    VSE_TRY(a.docs_mask, checked_view(in.docs_mask, "docs_mask", "B*T", bt));

    VSE_CHECK(check_centroid_ids(a.docs_cid, a.docs_mask, K));

    a.n_threads = in.n_threads;
    a.big_a = A, a.big_b = B, a.big_s = S, a.big_t = T;
    a.dim = dim, a.n_groups = G, a.group_size = gs, a.big_k = K;
    return a;
}

float rroq4_riem_pair_maxsim(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, std::size_t b,
                             const Rroq4RiemDims& dm, float* best, float* x) {
    const std::size_t S = dm.S, T = dm.T, dim = dm.dim, G = dm.n_groups, gsz = dm.group_size;
    // No early exit for a fully masked query: it reads the document and scores +0.0.
    for (std::size_t s = 0; s < S; ++s) best[s] = -__builtin_inff();
    for (std::size_t t = 0; t < T; ++t) {
        const std::size_t bt = b * T + t;
        if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
        const std::uint8_t* codes = d.codes + bt * (dim / 2);
        for (std::size_t m = 0; m < dim / 2; ++m) {
            x[2 * m] = static_cast<float>(codes[m] & 0x0F);
            x[2 * m + 1] = static_cast<float>(codes[m] >> 4);
        }
        const std::int32_t cid = d.cid[bt];
        const float cos = d.cos[bt], sin = d.sin[bt];
        for (std::size_t s = 0; s < S; ++s) {
            if (q.mask != nullptr && q.mask[s] <= 0.0f) continue;
            const float* rot = q.rot + s * dim;
            float acc = 0.0f;
            for (std::size_t g = 0; g < G; ++g) {
                float dot = 0.0f;
                for (std::size_t i = 0; i < gsz; ++i) dot = std::fma(rot[g * gsz + i], x[g * gsz + i], dot);
                acc = std::fma(d.dlts[bt * G + g], dot, acc);
                acc = std::fma(d.mins[bt * G + g], q.gsums[s * G + g], acc);
            }
            const float v = sin * acc;
            const float score = std::fma(cos, q.qc[s * dm.K + static_cast<std::size_t>(cid)], v);
            if (score > best[s]) best[s] = score;  // strict: a NaN never wins, ties keep the earlier
        }
    }
    float total = 0.0f;
    for (std::size_t s = 0; s < S; ++s) {
        if (q.mask != nullptr && q.mask[s] <= 0.0f) continue;
        if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
        total = total + best[s];
    }
    return total;
}

void rroq4_riem_range_scalar(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs& d,
                             const Rroq4RiemDims& dm, std::size_t lo, std::size_t hi, float* out,
                             std::size_t out_stride, const Rroq4RiemScratch& scratch) {
    for (std::size_t i = 0; i < n_q; ++i)
        for (std::size_t b = lo; b < hi; ++b)
            out[i * out_stride + b] = rroq4_riem_pair_maxsim(qs[i], d, b, dm, scratch.best, scratch.x);
}

void rroq4_riem_score_queries(const Rroq4RiemArgs& args, float* out, ThreadPool& pool, Isa isa) {
    const Rroq4RiemDims dm = dims_of(args);
    const Rroq4RiemDocs docs = docs_of(args);
    const Rroq4RiemPath path = kernel_table(isa).rroq4_riem;
    const Rroq4RiemRangeFn range = path.range;
    const std::size_t B = args.big_b, S = dm.S;
    const bool lanes = path.lanes;
    const bool with_qc_t = lanes && transpose_centroids(B, dm.T, dm.K);
    struct Lanes {
        std::vector<float> rot_t, gsums_t;
        QueryLanes rest;
    };
    std::vector<Lanes> lanes_of(lanes ? kRroq4QueriesAtOnce : 0);
    Rroq4RiemQuery qs[kRroq4QueriesAtOnce];
    for (std::size_t a0 = 0; a0 < args.big_a; a0 += kRroq4QueriesAtOnce) {
        const std::size_t n_q = std::min(kRroq4QueriesAtOnce, args.big_a - a0);
        for (std::size_t i = 0; i < n_q; ++i) {
            const std::size_t a = a0 + i;
            Rroq4RiemQuery& q = qs[i];
            q = Rroq4RiemQuery{};
            q.rot = args.q_rot.data() + a * S * dm.dim;
            q.gsums = args.q_gsums.data() + a * S * dm.n_groups;
            q.qc = args.qc_table.data() + a * S * dm.K;
            q.mask = args.q_mask ? args.q_mask->data() + a * S : nullptr;
            if (lanes) {
                Lanes& l = lanes_of[i];
                transpose_to_lanes(q.rot, S, dm.dim, dm.s_pad, l.rot_t);
                transpose_to_lanes(q.gsums, S, dm.n_groups, dm.s_pad, l.gsums_t);
                l.rest.fill(q.mask, q.qc, S, dm.K, dm.s_pad, with_qc_t);
                q.rot_t = l.rot_t.data();
                q.gsums_t = l.gsums_t.data();
                l.rest.point(q);
            }
        }
        float* rows = out + a0 * B;
        pool.parallel_for(B, min_piece(B), [&](std::size_t lo, std::size_t hi) {
            std::vector<float> best(n_q * dm.s_pad);
            std::vector<float> x(kRroq4BlockTokens * dm.dim);
            std::vector<std::uint32_t> pos(dm.dim);
            range(qs, n_q, docs, dm, lo, hi, rows, B, Rroq4RiemScratch{best.data(), x.data(), pos.data()});
        });
    }
}

std::string rroq4_riem_thread_name(std::size_t n, std::size_t i) { return fmt::format("rroq4riem-{}-{}", n, i); }

PoolCache& rroq4_riem_pools() {
    static PoolCache* cache = new PoolCache(rroq4_riem_thread_name, "rroq4_riem rayon pool");  // never destroyed
    return *cache;
}

Result<std::vector<float>> rroq4_riem_run_pooled(const Rroq4RiemArgs& args) {
    return run_pooled(args.big_a * args.big_b, args.n_threads, rroq4_riem_pools(), [&](ThreadPool& pool, float* out) {
        rroq4_riem_score_queries(args, out, pool, best_isa());
    });
}

}  // namespace vse::kernels
