// The side-by-side dot kernels, written once over a lane type L and included by each vector unit
// (see dot_kernels.hpp for the packed query layout). L provides:
//   V, S (query rows per register), kGroupsPerPass
//   zero(), neg_inf(), load(p), bcast4(p) (four floats to every slot), rows4(d0, d1, d2, d3) (the
//   four values to every slot), fma(a, b, c) = a*b + c fused, add, mul, even(a, b) / odd(a, b)
//   (per 128-bit slot: a0 a2 b0 b2 / a1 a3 b1 b3), max_gt(best, s) (s where s > best, ordered),
//   store(p, v).

// Dots of the query rows of groups [g0, g0 + NG) against four document rows: s[g] holds, in slot k
// and lane l, the vector-form dot of query row (g0 + g, k) and row l.
template <class L, int NG>
inline void dot_tile(const PackedQuery& q, std::size_t g0, const float* const r[4], typename L::V* s) {
    using V = typename L::V;
    constexpr std::size_t W = L::S * 4;
    const std::size_t G = q.groups, dim4 = q.dim / 4;
    V acc[NG][4];
#pragma GCC unroll 4
    for (int g = 0; g < NG; ++g)
        for (int l = 0; l < 4; ++l) acc[g][l] = L::zero();
    const float* qb = q.blocks + g0 * W;
    for (std::size_t i = 0; i < dim4; ++i) {
        const V d0 = L::bcast4(r[0] + 4 * i), d1 = L::bcast4(r[1] + 4 * i);
        const V d2 = L::bcast4(r[2] + 4 * i), d3 = L::bcast4(r[3] + 4 * i);
        const float* qi = qb + i * G * W;
#pragma GCC unroll 4
        for (int g = 0; g < NG; ++g) {
            const V qv = L::load(qi + g * W);
            acc[g][0] = L::fma(qv, d0, acc[g][0]);
            acc[g][1] = L::fma(qv, d1, acc[g][1]);
            acc[g][2] = L::fma(qv, d2, acc[g][2]);
            acc[g][3] = L::fma(qv, d3, acc[g][3]);
        }
    }
    // Lanes combined as (l0 + l1) + (l2 + l3), the four rows landing in lanes 0..3 of each slot.
#pragma GCC unroll 4
    for (int g = 0; g < NG; ++g) {
        const V u01 = L::add(L::even(acc[g][0], acc[g][1]), L::odd(acc[g][0], acc[g][1]));
        const V u23 = L::add(L::even(acc[g][2], acc[g][3]), L::odd(acc[g][2], acc[g][3]));
        s[g] = L::add(L::even(u01, u23), L::odd(u01, u23));
    }
    // The unfused tail, one value at a time.
    const std::size_t t0 = 4 * dim4;
    for (std::size_t t = 0; t < q.dim - t0; ++t) {
        const V d = L::rows4(r[0][t0 + t], r[1][t0 + t], r[2][t0 + t], r[3][t0 + t]);
        const float* qt = q.tails + (t * G + g0) * W;
#pragma GCC unroll 4
        for (int g = 0; g < NG; ++g) s[g] = L::add(s[g], L::mul(L::load(qt + g * W), d));
    }
}

// The first strict maximum of four values, in order; never NaN when none is.
inline float first_max4(const float* v, std::size_t stride) {
    float b = v[0];
    for (int l = 1; l < 4; ++l)
        if (v[l * stride] > b) b = v[l * stride];
    return b;
}

template <class L, int NG>
void max_rows_pass(const PackedQuery& q, std::size_t g0, const float* doc, std::size_t rows, float* best_out) {
    using V = typename L::V;
    constexpr std::size_t W = L::S * 4;
    // Lane l takes the run of rows [l*m, (l+1)*m); rows past the end repeat the last row, which
    // only ever lands in the lane of that row or a later one.
    const std::size_t m = (rows + 3) / 4;
    V best[NG];
    for (int g = 0; g < NG; ++g) best[g] = L::neg_inf();
    for (std::size_t j = 0; j < m; ++j) {
        const float* r[4];
        for (std::size_t l = 0; l < 4; ++l) {
            std::size_t row = l * m + j;
            if (row >= rows) row = rows - 1;
            r[l] = doc + row * q.dim;
        }
        V s[NG];
        dot_tile<L, NG>(q, g0, r, s);
        for (int g = 0; g < NG; ++g) best[g] = L::max_gt(best[g], s[g]);
    }
    // The runs follow one another in row order, so their maxima combine in lane order.
    alignas(64) float lanes[W];
    for (int g = 0; g < NG; ++g) {
        L::store(lanes, best[g]);
        for (std::size_t k = 0; k < L::S; ++k) {
            const std::size_t row = k * q.groups + g0 + static_cast<std::size_t>(g);
            if (row < q.n_q) best_out[row] = first_max4(lanes + 4 * k, 1);
        }
    }
}

template <class L>
void max_rows_lanes(const PackedQuery& q, const float* doc, std::size_t rows, float* best_out) {
    constexpr std::size_t P = L::kGroupsPerPass;
    std::size_t g0 = 0;
    for (; g0 + P <= q.groups; g0 += P) max_rows_pass<L, P>(q, g0, doc, rows, best_out);
    switch (q.groups - g0) {
        case 1: max_rows_pass<L, 1>(q, g0, doc, rows, best_out); break;
        case 2: if constexpr (P > 2) max_rows_pass<L, 2>(q, g0, doc, rows, best_out); break;
        case 3: if constexpr (P > 3) max_rows_pass<L, 3>(q, g0, doc, rows, best_out); break;
        default: break;
    }
}

template <class L, int NG>
inline void max_query_pass(const PackedQuery& q, std::size_t g0, const float* const r[4], typename L::V& best) {
    typename L::V s[NG];
    dot_tile<L, NG>(q, g0, r, s);
    for (int g = 0; g < NG; ++g) best = L::max_gt(best, s[g]);
}

template <class L>
void max_query_lanes(const PackedQuery& q, const float* const* rows, std::size_t n, float* out) {
    using V = typename L::V;
    constexpr std::size_t P = L::kGroupsPerPass;
    constexpr std::size_t W = L::S * 4;
    alignas(64) float lanes[W];
    for (std::size_t r0 = 0; r0 < n; r0 += 4) {
        const float* r[4];
        for (std::size_t l = 0; l < 4; ++l) r[l] = rows[r0 + l < n ? r0 + l : n - 1];
        // Slot k folds its run of query rows group by group, in row order.
        V best = L::neg_inf();
        std::size_t g0 = 0;
        for (; g0 + P <= q.groups; g0 += P) max_query_pass<L, P>(q, g0, r, best);
        switch (q.groups - g0) {
            case 1: max_query_pass<L, 1>(q, g0, r, best); break;
            case 2: if constexpr (P > 2) max_query_pass<L, 2>(q, g0, r, best); break;
            case 3: if constexpr (P > 3) max_query_pass<L, 3>(q, g0, r, best); break;
            default: break;
        }
        L::store(lanes, best);
        for (std::size_t l = 0; l < 4 && r0 + l < n; ++l) {
            float b = lanes[l];
            for (std::size_t k = 1; k < L::S; ++k)
                if (lanes[4 * k + l] > b) b = lanes[4 * k + l];
            out[r0 + l] = b;
        }
    }
}
