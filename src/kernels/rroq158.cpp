// rroq158: argument checks, the scalar pair kernel, and its part in the batch loop (batch.hpp).
//
// Compiled with -ffp-contract=off: every float operation of the pair kernel is rounded on its
// own, in the order written; none may be fused into a multiply-add.
#include "kernels/rroq158.hpp"

#include <fmt/format.h>

#include "kernels/batch.hpp"

namespace vse::kernels {

namespace {

// The kernel keeps the group sums of the document token in hand in a fixed array of this size.
constexpr std::uint64_t kMaxGroups = 32;

constexpr PoolNames kPools{"rroq158", "rroq158 rayon pool"};

Rroq158Dims dims_of(const Rroq158Args& a) {
    const SharedArgs& sh = a.shared;
    return Rroq158Dims{sh.big_s,      sh.big_t,  a.n_words, a.n_groups, a.n_words / a.n_groups,
                       a.query_bits, sh.big_k, padded_lanes(sh.big_s)};
}

Rroq158Docs docs_of(const Rroq158Args& a) {
    Rroq158Docs d{};
    d.sign = reinterpret_cast<const std::uint32_t*>(a.docs_sign.data());
    d.nz = reinterpret_cast<const std::uint32_t*>(a.docs_nz.data());
    d.scl = a.docs_scl.data();
    shared_docs(a.shared, d);
    return d;
}

// codes_t[c][s] for a query's [S][query_bits][n_words] planes: the code of coordinate 4c + i (bit k
// of plane k) in byte i, for the s_pad lanes (padding lanes zero).
void codes_to_lanes(const std::uint32_t* planes, std::size_t S, std::size_t W, std::size_t qb, std::size_t s_pad,
                    std::vector<std::uint32_t>& out) {
    out.assign(W * 8 * s_pad, 0);
    for (std::size_t s = 0; s < S; ++s)
        for (std::size_t w = 0; w < W; ++w)
            for (std::size_t i = 0; i < 32; ++i) {
                std::uint32_t code = 0;
                for (std::size_t k = 0; k < qb; ++k) code |= ((planes[(s * qb + k) * W + w] >> i) & 1u) << k;
                out[(w * 8 + i / 4) * s_pad + s] |= code << (8 * (i % 4));
            }
}

}  // namespace

Result<Rroq158Args> rroq158_check(const Rroq158Input& in) {
    const SharedInput& sh = in.shared;
    const std::uint64_t A = sh.big_a, B = sh.big_b, S = sh.big_s, T = sh.big_t, K = sh.big_k;
    const std::uint64_t W = in.n_words, G = in.n_groups, qb = in.query_bits;
    if (G == 0) return fail(Exc::Value, "n_groups must be > 0");
    if (W == 0) return fail(Exc::Value, "n_words must be > 0");
    if (qb == 0 || A == 0 || B == 0 || S == 0 || T == 0 || K == 0)
        return fail(Exc::Value, fmt::format("All shape dims must be > 0 (got A={}, B={}, S={}, T={}, K={}, query_bits={})",
                                            A, B, S, T, K, qb));
    if (qb > 8)
        return fail(Exc::Value, fmt::format("query_bits must be <= 8 (got {}); the inner accumulator uses (1 << k) "
                                            "which would overflow for k >= 31",
                                            qb));
    if (W % G != 0)
        return fail(Exc::Value, fmt::format("n_words ({}) must be divisible by n_groups ({})", W, G));

    Rroq158Args a;
    BatchChecks check(sh, a.shared);
    check.query(in.q_planes, a.q_planes, "q_planes", "A*S*query_bits*n_words", {A, S, qb, W});
    check.query(in.q_meta, a.q_meta, "q_meta", "A*S*2", {A, S, 2});
    check.docs(in.docs_sign, a.docs_sign, "docs_sign", "B*T*n_words", {B, T, W});
    check.docs(in.docs_nz, a.docs_nz, "docs_nz", "B*T*n_words", {B, T, W});
    check.docs(in.docs_scl, a.docs_scl, "docs_scl", "B*T*n_groups", {B, T, G});
    VSE_CHECK(check.finish());

    if (G > kMaxGroups)
        return fail(Exc::Value,
                    fmt::format("n_groups must be <= 32 (got {}); the kernel keeps per-group sums for at most 32 groups",
                                G));
    VSE_CHECK(check_centroid_ids(a.shared.docs_cid, a.shared.docs_mask, K));

    a.n_words = W, a.n_groups = G, a.query_bits = qb;
    return a;
}

float rroq158_pair_maxsim(const Rroq158Query& q, const Rroq158Docs& d, std::size_t b, const Rroq158Dims& dm,
                          float* best) {
    const std::size_t S = dm.S, T = dm.T, W = dm.n_words, G = dm.n_groups, wpg = dm.wpg, qb = dm.query_bits;
    // A query none of whose tokens has a positive weight scores +0.0 without reading the document
    // (a NaN weight is not positive here, though it lets its token take part below).
    if (q.mask != nullptr && !has_positive(q.mask, S)) return 0.0f;
    for (std::size_t s = 0; s < S; ++s) best[s] = -__builtin_inff();
    for (std::size_t t = 0; t < T; ++t) {
        const std::size_t bt = b * T + t;
        if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
        const std::uint32_t* sign = d.sign + bt * W;
        const std::uint32_t* nz = d.nz + bt * W;
        // sum_g: the sum of the token's ternary values over group g (wrapping 32-bit arithmetic,
        // exact for any realistic group).
        std::int32_t sums[kMaxGroups];
        for (std::size_t g = 0; g < G; ++g) {
            std::uint32_t sum = 0;
            for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                const std::uint32_t p = nz[w] & sign[w], n = nz[w] & ~sign[w];
                sum += static_cast<std::uint32_t>(__builtin_popcount(p)) - static_cast<std::uint32_t>(__builtin_popcount(n));
            }
            sums[g] = static_cast<std::int32_t>(sum);
        }
        const std::int32_t cid = d.cid[bt];
        const float cos = d.cos[bt], sin = d.sin[bt];
        for (std::size_t s = 0; s < S; ++s) {
            if (q.mask != nullptr && q.mask[s] <= 0.0f) continue;
            const float scale = q.meta[2 * s], offset = q.meta[2 * s + 1];
            const std::uint32_t* planes = q.planes + s * qb * W;
            float acc = 0.0f;
            for (std::size_t g = 0; g < G; ++g) {
                // dot_g: the sum of code * ternary value over the group's coordinates.
                std::uint32_t dot = 0;
                for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                    const std::uint32_t p = nz[w] & sign[w], n = nz[w] & ~sign[w];
                    for (std::size_t k = 0; k < qb; ++k) {
                        const std::uint32_t plane = planes[k * W + w];
                        const std::uint32_t diff = static_cast<std::uint32_t>(__builtin_popcount(p & plane)) -
                                                   static_cast<std::uint32_t>(__builtin_popcount(n & plane));
                        dot += diff << k;
                    }
                }
                const float t1 = offset * static_cast<float>(sums[g]);
                const float t2 = scale * static_cast<float>(static_cast<std::int32_t>(dot));
                const float t3 = t1 + t2;
                const float t4 = d.scl[bt * G + g] * t3;
                acc = acc + t4;
            }
            const float u = cos * q.qc[s * dm.K + static_cast<std::size_t>(cid)];
            const float v = sin * acc;
            const float score = v + u;
            if (score > best[s]) best[s] = score;  // strict: a NaN never wins, ties keep the earlier
        }
    }
    float total = 0.0f;
    for (std::size_t s = 0; s < S; ++s) {
        if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
        total = total + best[s];
    }
    return total;
}

void rroq158_range_scalar(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                          std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                          const Rroq158Scratch& scratch) {
    for (std::size_t i = 0; i < n_q; ++i)
        for (std::size_t b = lo; b < hi; ++b) out[i * out_stride + b] = rroq158_pair_maxsim(qs[i], d, b, dm, scratch.best);
}

void rroq158_score_queries(const Rroq158Args& args, float* out, ThreadPool& pool, Isa isa) {
    const Rroq158Dims dm = dims_of(args);
    const Rroq158Docs docs = docs_of(args);
    const Rroq158Path path = kernel_table(isa).rroq158;
    const std::size_t B = args.shared.big_b, S = dm.S, W = dm.n_words, qb = dm.query_bits;
    const bool codes = path.layout == Rroq158Layout::CodeLanes;
    struct Lanes {
        std::vector<std::uint32_t> planes_t, codes_t;
        std::vector<float> scale, offset;
    };
    auto rows = [&](std::size_t a, Rroq158Query& q) {
        q.planes = reinterpret_cast<const std::uint32_t*>(args.q_planes.data()) + a * S * qb * W;
        q.meta = args.q_meta.data() + a * S * 2;
        q.no_positive_weight = q.mask != nullptr && !has_positive(q.mask, S);
    };
    auto build = [&](Rroq158Query& q, Lanes& l) {
        if (codes)
            codes_to_lanes(q.planes, S, W, qb, dm.s_pad, l.codes_t);
        else
            transpose_to_lanes(q.planes, S, qb * W, dm.s_pad, l.planes_t);
        l.scale.assign(dm.s_pad, 0.0f);
        l.offset.assign(dm.s_pad, 0.0f);
        for (std::size_t s = 0; s < S; ++s) l.scale[s] = q.meta[2 * s], l.offset[s] = q.meta[2 * s + 1];
        q.planes_t = l.planes_t.data();
        q.codes_t = l.codes_t.data();
        q.scale = l.scale.data();
        q.offset = l.offset.data();
    };
    auto piece = [&](const Rroq158Query* qs, std::size_t n_q, std::size_t lo, std::size_t hi, float* rows_out) {
        std::vector<float> best(n_q * dm.s_pad);
        std::vector<std::uint32_t> pn(2 * W);
        std::vector<std::int8_t> tau(codes ? kRroq158BlockTokens * 32 * W : 0);
        path.range(qs, n_q, docs, dm, lo, hi, rows_out, B, Rroq158Scratch{best.data(), pn.data(), tau.data()});
    };
    score_batch<Rroq158Query, Lanes, kRroq158QueriesAtOnce>(args.shared, path.layout != Rroq158Layout::Rows, out,
                                                            pool, rows, build, piece);
}

Result<std::vector<float>> rroq158_run_pooled(const Rroq158Args& args) {
    return run_pooled<kPools>(args.shared,
                              [&](ThreadPool& pool, float* out) { rroq158_score_queries(args, out, pool, best_isa()); });
}

}  // namespace vse::kernels
