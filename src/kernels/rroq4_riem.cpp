// rroq4_riem: argument checks, the scalar pair kernel, and its part in the batch loop (batch.hpp).
//
// Compiled with -ffp-contract=off: the only fused multiply-adds are the explicit std::fma calls.
#include "kernels/rroq4_riem.hpp"

#include <cmath>

#include <fmt/format.h>

#include "common/checked.hpp"
#include "kernels/batch.hpp"

namespace vse::kernels {

namespace {

constexpr PoolNames kPools{"rroq4riem", "rroq4_riem rayon pool"};

Rroq4RiemDims dims_of(const Rroq4RiemArgs& a) {
    const SharedArgs& sh = a.shared;
    return Rroq4RiemDims{sh.big_s, sh.big_t, a.dim, a.n_groups, a.group_size, sh.big_k, padded_lanes(sh.big_s)};
}

Rroq4RiemDocs docs_of(const Rroq4RiemArgs& a) {
    Rroq4RiemDocs d{};
    d.codes = a.docs_codes.data();
    d.mins = a.docs_mins.data();
    d.dlts = a.docs_dlts.data();
    shared_docs(a.shared, d);
    return d;
}

}  // namespace

Result<Rroq4RiemArgs> rroq4_riem_check(const Rroq4RiemInput& in) {
    const std::uint64_t dim = in.dim, G = in.n_groups, gs = in.group_size;  // checked first
    const SharedInput& sh = in.shared;
    const std::uint64_t A = sh.big_a, B = sh.big_b, S = sh.big_s, T = sh.big_t, K = sh.big_k;
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

    Rroq4RiemArgs a;
    BatchChecks check(sh, a.shared);
    check.query(in.q_rot, a.q_rot, "q_rot", "A*S*dim", {A, S, dim});
    check.query(in.q_gsums, a.q_gsums, "q_gsums", "A*S*n_groups", {A, S, G});
    check.docs(in.docs_codes, a.docs_codes, "docs_codes", "B*T*(dim/2)", {B, T, dim / 2});
    check.docs(in.docs_mins, a.docs_mins, "docs_mins", "B*T*n_groups", {B, T, G});
    check.docs(in.docs_dlts, a.docs_dlts, "docs_dlts", "B*T*n_groups", {B, T, G});
    VSE_CHECK(check.finish());

    VSE_CHECK(check_centroid_ids(a.shared.docs_cid, a.shared.docs_mask, K));

    a.dim = dim, a.n_groups = G, a.group_size = gs;
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
    const std::size_t S = dm.S;
    struct Lanes {
        std::vector<float> rot_t, gsums_t;
    };
    auto rows = [&](std::size_t a, Rroq4RiemQuery& q) {
        q.rot = args.q_rot.data() + a * S * dm.dim;
        q.gsums = args.q_gsums.data() + a * S * dm.n_groups;
    };
    auto build = [&](Rroq4RiemQuery& q, Lanes& l) {
        transpose_to_lanes(q.rot, S, dm.dim, dm.s_pad, l.rot_t);
        transpose_to_lanes(q.gsums, S, dm.n_groups, dm.s_pad, l.gsums_t);
        q.rot_t = l.rot_t.data();
        q.gsums_t = l.gsums_t.data();
    };
    // Scratch: each query's best values, the decoded tokens of a block, each coordinate's place.
    auto piece = [&](const Rroq4RiemQuery* qs, std::size_t n_q, std::size_t lo, std::size_t hi, float* rows_out) {
        std::vector<float> best(n_q * dm.s_pad), x(kRroq4BlockTokens * dm.dim);
        std::vector<std::uint32_t> pos(dm.dim);
        path.range(qs, n_q, docs, dm, lo, hi, rows_out, args.shared.big_b, {best.data(), x.data(), pos.data()});
    };
    score_batch<Rroq4RiemQuery, Lanes, kRroq4QueriesAtOnce>(args.shared, path.lanes, out, pool, rows, build, piece);
}

Result<std::vector<float>> rroq4_riem_run_pooled(const Rroq4RiemArgs& args) {
    return run_pooled<kPools>(args.shared, [&](ThreadPool& pool, float* out) {
        rroq4_riem_score_queries(args, out, pool, best_isa());
    });
}

}  // namespace vse::kernels
