// The rroq4_riem pair kernel with query tokens in vector lanes, for any lane type V (lanes_*.inl).
//
// Included inside an anonymous namespace after the lane types; the unit is compiled with
// -ffp-contract=off, so the only fused operations are the explicit V::fma calls, exactly where
// rroq4_riem_pair_maxsim has them. Per lane and group: dot = fma(q_i, x_i, dot) for i in order,
// acc = fma(dlts_g, dot, acc), acc = fma(mins_g, gsum_g, acc); then v = sin*acc and
// score = fma(cos, qc, v).
//
// Each dot is a chain of dependent FMAs, so up to kRroq4BlockTokens unmasked document tokens and
// two lane vectors of query tokens are scored side by side (independent chains); the best values
// are then updated token by token in document order, as the scalar loop does.

// Decodes one document token's codes into dim floats.
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

// Scores the n tokens tok[0..n) (all kRroq4BlockTokens slots decoded; slots past n repeat a real
// token and are not used) against query lanes [s0, s0 + VB*L).
template <class V, std::size_t VB>
void rroq4_block(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm, std::size_t s0,
                 const std::size_t* bt, std::size_t n, const float* const* x, float* best) {
    constexpr std::size_t L = V::L, TB = kRroq4BlockTokens;
    const std::size_t G = dm.n_groups, gsz = dm.group_size, s_pad = dm.s_pad;
    typename V::F acc[TB][VB];
    for (std::size_t j = 0; j < TB; ++j)
        for (std::size_t u = 0; u < VB; ++u) acc[j][u] = V::zero();
    for (std::size_t g = 0; g < G; ++g) {
        typename V::F dot[TB][VB];
        for (std::size_t j = 0; j < TB; ++j)
            for (std::size_t u = 0; u < VB; ++u) dot[j][u] = V::zero();
        const std::size_t d0 = g * gsz;
        for (std::size_t i = d0; i < d0 + gsz; ++i) {
            typename V::F qv[VB];
            for (std::size_t u = 0; u < VB; ++u) qv[u] = V::load(q.rot_t + i * s_pad + s0 + u * L);
            for (std::size_t j = 0; j < TB; ++j) {
                const typename V::F xv = V::set1(x[j][i]);
                for (std::size_t u = 0; u < VB; ++u) dot[j][u] = V::fma(qv[u], xv, dot[j][u]);
            }
        }
        for (std::size_t j = 0; j < TB; ++j) {
            const typename V::F dl = V::set1(d.dlts[bt[j] * G + g]);
            const typename V::F mn = V::set1(d.mins[bt[j] * G + g]);
            for (std::size_t u = 0; u < VB; ++u) {
                acc[j][u] = V::fma(dl, dot[j][u], acc[j][u]);
                acc[j][u] = V::fma(mn, V::load(q.gsums_t + g * s_pad + s0 + u * L), acc[j][u]);
            }
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        const typename V::F cos = V::set1(d.cos[bt[j]]);
        const typename V::F sin = V::set1(d.sin[bt[j]]);
        const std::int64_t cid = d.cid[bt[j]];
        for (std::size_t u = 0; u < VB; ++u) {
            const std::size_t s = s0 + u * L;
            const typename V::F v = V::mul(sin, acc[j][u]);
            const typename V::F score = V::fma(cos, centroid_lanes<V>(q, s, s_pad, cid), v);
            V::store(best + s, V::keep_greater(V::load(best + s), score, V::active(q.active + s)));
        }
    }
}

template <class V>
void rroq4_score_block(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                       const std::size_t* bt, std::size_t n, const Rroq4RiemScratch& scratch) {
    constexpr std::size_t L = V::L, TB = kRroq4BlockTokens;
    const float* x[TB];
    for (std::size_t j = 0; j < TB; ++j) {
        x[j] = scratch.x + (j < n ? j : 0) * dm.dim;
        if (j < n) rroq4_decode<V>(d.codes + bt[j] * (dm.dim / 2), dm.dim, scratch.x + j * dm.dim);
    }
    std::size_t btp[TB];
    for (std::size_t j = 0; j < TB; ++j) btp[j] = bt[j < n ? j : 0];
    std::size_t s0 = 0;
    for (; s0 + 2 * L <= dm.s_pad; s0 += 2 * L) rroq4_block<V, 2>(q, d, dm, s0, btp, n, x, scratch.best);
    for (; s0 < dm.s_pad; s0 += L) rroq4_block<V, 1>(q, d, dm, s0, btp, n, x, scratch.best);
}

template <class V>
void rroq4_riem_range_lanes(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                            std::size_t lo, std::size_t hi, float* out, const Rroq4RiemScratch& scratch) {
    constexpr std::size_t TB = kRroq4BlockTokens;
    float* best = scratch.best;
    for (std::size_t b = lo; b < hi; ++b) {
        for (std::size_t s = 0; s < dm.s_pad; ++s) best[s] = -__builtin_inff();
        std::size_t block[TB];
        std::size_t n = 0;
        for (std::size_t t = 0; t < dm.T; ++t) {
            const std::size_t bt = b * dm.T + t;
            if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
            block[n++] = bt;
            if (n == TB) {
                rroq4_score_block<V>(q, d, dm, block, n, scratch);
                n = 0;
            }
        }
        if (n > 0) rroq4_score_block<V>(q, d, dm, block, n, scratch);
        float total = 0.0f;
        for (std::size_t s = 0; s < dm.S; ++s) {
            if (q.mask != nullptr && q.mask[s] <= 0.0f) continue;
            if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
            total = total + best[s];
        }
        out[b] = total;
    }
}
