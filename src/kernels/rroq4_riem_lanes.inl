// The rroq4_riem pair kernel with query tokens in vector lanes, for any lane type V (lanes_*.inl).
//
// Included inside an anonymous namespace after the lane types; the unit is compiled with
// -ffp-contract=off, so the only fused operations are the explicit V::fma calls, exactly where
// rroq4_riem_pair_maxsim has them. Per lane and group: dot = fma(q_i, x_i, dot) for i in order,
// acc = fma(dlts_g, dot, acc), acc = fma(mins_g, gsum_g, acc); then v = sin*acc and
// score = fma(cos, qc, v).
//
// Each dot is a chain of dependent FMAs, and a processor with two FMA units of latency 4 needs
// eight chains in flight to keep both busy, more to also cover the group and score steps. So TB
// unmasked document tokens and two lane vectors of query tokens are scored side by side (2*TB
// independent chains, all in registers); the accumulators across groups wait in memory, touched
// once per group. The best values are then updated token by token in document order, as the
// scalar loop does.

// Where decode16 puts coordinate r (0..31) of its 32: in order, or, for lane types whose decode
// is cheaper that way (V::kSplitPairs), the 16 even coordinates first and then the 16 odd ones.
template <class V>
constexpr std::uint32_t rroq4_chunk_pos(std::uint32_t r) {
    return V::kSplitPairs ? ((r & 1u) << 4) | (r >> 1) : r;
}

// pos[i]: where coordinate i of a decoded token lies (decode16 covers whole 16-byte runs; the
// rest is decoded in order).
template <class V>
void rroq4_positions(std::size_t dim, std::uint32_t* pos) {
    const std::size_t by_runs = dim / 32 * 32;
    for (std::size_t i = 0; i < dim; ++i)
        pos[i] = i < by_runs ? static_cast<std::uint32_t>(i & ~std::size_t{31}) |
                                   rroq4_chunk_pos<V>(static_cast<std::uint32_t>(i & 31))
                             : static_cast<std::uint32_t>(i);
}

// Decodes one document token's codes into dim floats, laid out as rroq4_positions says.
template <class V>
void rroq4_decode(const std::uint8_t* codes, std::size_t dim, float* x) {
    const std::size_t n_bytes = dim / 2;
    std::size_t m = 0;
    for (; m + 16 <= n_bytes; m += 16) V::decode16(codes + m, x + 2 * m);
    for (; m < n_bytes; ++m) {
        x[2 * m] = static_cast<float>(codes[m] & 0x0F);
        x[2 * m + 1] = static_cast<float>(codes[m] >> 4);
    }
}

// Scores the tokens bt[0..n) against query lanes [s0, s0 + VB*L). All TB slots of bt and x are
// filled (slots past n repeat a real token and are not used). acc holds TB*VB*L floats.
template <class V, std::size_t TB, std::size_t VB>
void rroq4_block(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm, std::size_t s0,
                 const std::size_t* bt, std::size_t n, const float* const* x, const std::uint32_t* pos, float* acc,
                 float* best) {
    using F = typename V::F;
    constexpr std::size_t L = V::L;
    const std::size_t G = dm.n_groups, gsz = dm.group_size, s_pad = dm.s_pad;
    for (std::size_t k = 0; k < TB * VB; ++k) V::store(acc + k * L, V::zero());
    for (std::size_t g = 0; g < G; ++g) {
        F dot[TB][VB];
#pragma GCC unroll 16
        for (std::size_t j = 0; j < TB; ++j)
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) dot[j][u] = V::zero();
        const std::size_t d0 = g * gsz;
        const float* rot = q.rot_t + d0 * s_pad + s0;
#pragma GCC unroll 2
        for (std::size_t i = 0; i < gsz; ++i, rot += s_pad) {
            F qv[VB];
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) qv[u] = V::load(rot + u * L);
            const std::uint32_t p = pos[d0 + i];
#pragma GCC unroll 16
            for (std::size_t j = 0; j < TB; ++j) {
                const F xv = V::set1(x[j][p]);
#pragma GCC unroll 4
                for (std::size_t u = 0; u < VB; ++u) dot[j][u] = V::fma(qv[u], xv, dot[j][u]);
            }
        }
        const float* gs = q.gsums_t + g * s_pad + s0;
#pragma GCC unroll 16
        for (std::size_t j = 0; j < TB; ++j) {
            const F dl = V::set1(d.dlts[bt[j] * G + g]);
            const F mn = V::set1(d.mins[bt[j] * G + g]);
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) {
                float* a = acc + (j * VB + u) * L;
                F v = V::fma(dl, dot[j][u], V::load(a));
                V::store(a, V::fma(mn, V::load(gs + u * L), v));
            }
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        const F cos = V::set1(d.cos[bt[j]]);
        const F sin = V::set1(d.sin[bt[j]]);
        const std::int64_t cid = d.cid[bt[j]];
        for (std::size_t u = 0; u < VB; ++u) {
            const std::size_t s = s0 + u * L;
            const F v = V::mul(sin, V::load(acc + (j * VB + u) * L));
            const F score = V::fma(cos, centroid_lanes<V>(q, s, s_pad, cid), v);
            V::store(best + s, V::keep_greater(V::load(best + s), score, V::active(q.active + s)));
        }
    }
}

// Decodes the tokens bt[0..n) once and scores them against every query of qs; query i's best
// values are best[i*s_pad ..].
template <class V, std::size_t TB>
void rroq4_score_block(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                       const std::size_t* bt, std::size_t n, const std::uint32_t* pos, float* acc,
                       const Rroq4RiemScratch& scratch) {
    constexpr std::size_t L = V::L;
    const float* x[TB];
    std::size_t btp[TB];
    for (std::size_t j = 0; j < TB; ++j) {
        x[j] = scratch.x + (j < n ? j : 0) * dm.dim;
        btp[j] = bt[j < n ? j : 0];
        if (j < n) rroq4_decode<V>(d.codes + bt[j] * (dm.dim / 2), dm.dim, scratch.x + j * dm.dim);
    }
    for (std::size_t i = 0; i < n_q; ++i) {
        float* best = scratch.best + i * dm.s_pad;
        std::size_t s0 = 0;
        for (; s0 + 2 * L <= dm.s_pad; s0 += 2 * L) rroq4_block<V, TB, 2>(qs[i], d, dm, s0, btp, n, x, pos, acc, best);
        for (; s0 < dm.s_pad; s0 += L) rroq4_block<V, TB, 1>(qs[i], d, dm, s0, btp, n, x, pos, acc, best);
    }
}

// TB document tokens per block, at most kRroq4BlockTokens.
template <class V, std::size_t TB>
void rroq4_riem_range_lanes(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs& d,
                            const Rroq4RiemDims& dm, std::size_t lo, std::size_t hi, float* out,
                            std::size_t out_stride, const Rroq4RiemScratch& scratch) {
    static_assert(TB <= kRroq4BlockTokens);
    alignas(64) float acc[TB * 2 * V::L];
    rroq4_positions<V>(dm.dim, scratch.pos);
    for (std::size_t b = lo; b < hi; ++b) {
        for (std::size_t s = 0; s < n_q * dm.s_pad; ++s) scratch.best[s] = -__builtin_inff();
        std::size_t block[TB];
        std::size_t n = 0;
        for (std::size_t t = 0; t < dm.T; ++t) {
            const std::size_t bt = b * dm.T + t;
            if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
            block[n++] = bt;
            if (n == TB) {
                rroq4_score_block<V, TB>(qs, n_q, d, dm, block, n, scratch.pos, acc, scratch);
                n = 0;
            }
        }
        if (n > 0) rroq4_score_block<V, TB>(qs, n_q, d, dm, block, n, scratch.pos, acc, scratch);
        for (std::size_t i = 0; i < n_q; ++i) {
            const Rroq4RiemQuery& q = qs[i];
            const float* best = scratch.best + i * dm.s_pad;
            float total = 0.0f;
            for (std::size_t s = 0; s < dm.S; ++s) {
                if (q.mask != nullptr && q.mask[s] <= 0.0f) continue;
                if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
                total = total + best[s];
            }
            out[i * out_stride + b] = total;
        }
    }
}
