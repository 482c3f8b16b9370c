// The rroq158 pair kernel with query tokens in vector lanes, for any lane type V (lanes_*.inl).
//
// Included inside an anonymous namespace after the lane types; the unit is compiled with
// -ffp-contract=off so that no multiply and add below are fused. Per lane the float operations
// are those of rroq158_pair_maxsim in the same order: for each group t1 = offset*float(sum_g),
// t2 = scale*float(dot_g), t3 = t1+t2, t4 = scl_g*t3, acc = acc+t4; then u = cos*qc, v = sin*acc,
// score = v+u. The integer parts are exact (wrapping 32-bit), so their order is free: dot_g is
// built by Horner over the planes, dot = 2*dot + sum over the group's words of the plane-k counts.
// Lanes of masked query tokens are computed but never update their best value.

// Scores one unmasked document token against query lanes [s0, s0 + VB*L): the VB lane vectors
// are independent, so they are interleaved and share the broadcasts of the token's words.
template <class V, std::size_t VB>
void rroq158_token(const Rroq158Query& q, const Rroq158Dims& dm, std::size_t s0, const std::uint32_t* pw,
                   const std::uint32_t* nw, const float* sums, const float* scl, float cos_v, float sin_v,
                   std::int64_t cid, float* best) {
    using F = typename V::F;
    using I = typename V::I;
    constexpr std::size_t L = V::L;
    const std::size_t W = dm.n_words, G = dm.n_groups, wpg = dm.wpg, s_pad = dm.s_pad;
    F acc[VB];
    for (std::size_t u = 0; u < VB; ++u) acc[u] = V::zero();
    for (std::size_t g = 0; g < G; ++g) {
        I dot[VB];
        for (std::size_t u = 0; u < VB; ++u) dot[u] = V::zero_i();
        for (std::size_t k = dm.query_bits; k-- > 0;) {
            I dk[VB];
            for (std::size_t u = 0; u < VB; ++u) dk[u] = V::zero_i();
            for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                const I p = V::set1_i(pw[w]), n = V::set1_i(nw[w]);
                const std::uint32_t* plane = q.planes_t + (k * W + w) * s_pad + s0;
                for (std::size_t u = 0; u < VB; ++u) {
                    const I bits = V::load_i(plane + u * L);
                    dk[u] = V::add_i(dk[u], V::popcount_diff(V::and_i(p, bits), V::and_i(n, bits)));
                }
            }
            for (std::size_t u = 0; u < VB; ++u) dot[u] = V::add_i(V::add_i(dot[u], dot[u]), dk[u]);
        }
        const F sum_g = V::set1(sums[g]), scl_g = V::set1(scl[g]);
        for (std::size_t u = 0; u < VB; ++u) {
            const F t1 = V::mul(V::load(q.offset + s0 + u * L), sum_g);
            const F t2 = V::mul(V::load(q.scale + s0 + u * L), V::to_float(dot[u]));
            const F t3 = V::add(t1, t2);
            const F t4 = V::mul(scl_g, t3);
            acc[u] = V::add(acc[u], t4);
        }
    }
    const F cos = V::set1(cos_v), sin = V::set1(sin_v);
    for (std::size_t u = 0; u < VB; ++u) {
        const std::size_t s = s0 + u * L;
        const F cu = V::mul(cos, centroid_lanes<V>(q, s, s_pad, cid));
        const F v = V::mul(sin, acc[u]);
        const F score = V::add(v, cu);
        V::store(best + s, V::keep_greater(V::load(best + s), score, V::active(q.active + s)));
    }
}

// Query by query: unpacking a document token here is a few word operations, not worth sharing
// between queries at the price of their tables competing for the cache.
template <class V>
void rroq158_range_lanes(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                         std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                         const Rroq158Scratch& scratch) {
    constexpr std::size_t L = V::L;
    const std::size_t S = dm.S, T = dm.T, W = dm.n_words, G = dm.n_groups, wpg = dm.wpg, s_pad = dm.s_pad;
    float* best = scratch.best;
    std::uint32_t* pw = scratch.pn;      // P of each word
    std::uint32_t* nw = scratch.pn + W;  // N of each word
    for (std::size_t i = 0; i < n_q; ++i) {
        const Rroq158Query& q = qs[i];
        float* row = out + i * out_stride;
        for (std::size_t b = lo; b < hi; ++b) {
            if (q.no_positive_weight) {
                row[b] = 0.0f;
                continue;
            }
            for (std::size_t s = 0; s < s_pad; ++s) best[s] = -__builtin_inff();
            for (std::size_t t = 0; t < T; ++t) {
                const std::size_t bt = b * T + t;
                if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
                const std::uint32_t* sign = d.sign + bt * W;
                const std::uint32_t* nz = d.nz + bt * W;
                float sums[32];  // float(sum_g), converted once per document token
                for (std::size_t g = 0; g < G; ++g) {
                    std::uint32_t sum = 0;
                    for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                        pw[w] = nz[w] & sign[w];
                        nw[w] = nz[w] & ~sign[w];
                        sum += static_cast<std::uint32_t>(__builtin_popcount(pw[w])) -
                               static_cast<std::uint32_t>(__builtin_popcount(nw[w]));
                    }
                    sums[g] = static_cast<float>(static_cast<std::int32_t>(sum));
                }
                const float* scl = d.scl + bt * G;
                std::size_t s0 = 0;
                for (; s0 + 2 * L <= s_pad; s0 += 2 * L)
                    rroq158_token<V, 2>(q, dm, s0, pw, nw, sums, scl, d.cos[bt], d.sin[bt], d.cid[bt], best);
                for (; s0 < s_pad; s0 += L)
                    rroq158_token<V, 1>(q, dm, s0, pw, nw, sums, scl, d.cos[bt], d.sin[bt], d.cid[bt], best);
            }
            row[b] = best_total(best, S);
        }
    }
}
