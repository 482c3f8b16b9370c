// The side-by-side dot kernels, written once over a lane type L and included by each vector unit
// inside an anonymous namespace (see dot_kernels.hpp for the packed query layout); only the single
// dot, dot_one, is written once for both in 128-bit SSE with FMA, which both units' targets
// include. L provides:
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
void max_rows_pass(const PackedQuery& q, std::size_t g0, const float* doc, std::size_t rows, float* best_out,
                   const char* ahead, std::size_t ahead_lines) {
    using V = typename L::V;
    constexpr std::size_t W = L::S * 4;
    // Lane l takes the run of rows [l*m, (l+1)*m); rows past the end repeat the last row, which
    // only ever lands in the lane of that row or a later one.
    const std::size_t m = (rows + 3) / 4;
    // The lines asked for ahead are spread over the tiles, a few at a time, so that the requests
    // in flight stay within what the memory takes at once.
    const std::size_t per_tile = (ahead_lines + m - 1) / m;
    V best[NG];
    for (int g = 0; g < NG; ++g) best[g] = L::neg_inf();
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t c = j * per_tile; c < ahead_lines && c < (j + 1) * per_tile; ++c)
            __builtin_prefetch(ahead + c * 64, 0, 2);
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

// One tile of four rows against groups [g0, g0 + NG), each group's running maxima (one register's
// worth) kept in memory at best + g * W.
template <class L, int NG>
inline void max_rows_groups(const PackedQuery& q, std::size_t g0, const float* const r[4], float* best) {
    constexpr std::size_t W = L::S * 4;
    typename L::V s[NG];
    dot_tile<L, NG>(q, g0, r, s);
    for (int g = 0; g < NG; ++g) {
        float* b = best + (g0 + static_cast<std::size_t>(g)) * W;
        L::store(b, L::max_gt(L::load(b), s[g]));
    }
}

// Groups up to which max_rows takes every group against a tile before the next tile.
constexpr std::size_t kTileMajorGroups = 32;

// The same maxima as max_rows_pass over every group, with the loops the other way round: each tile
// of rows meets every group while it is in the first-level cache, so the document is read from
// memory once, at an even pace over the whole call, instead of all of it in the first pass.
template <class L>
void max_rows_tile_major(const PackedQuery& q, const float* doc, std::size_t rows, float* best_out, const char* ahead,
                         std::size_t ahead_lines) {
    constexpr std::size_t P = L::kGroupsPerPass;
    constexpr std::size_t W = L::S * 4;
    alignas(64) float best[kTileMajorGroups * W];
    for (std::size_t g = 0; g < q.groups; ++g) L::store(best + g * W, L::neg_inf());
    const std::size_t m = (rows + 3) / 4;  // lane l takes the run of rows [l*m, (l+1)*m), as above
    const std::size_t per_tile = (ahead_lines + m - 1) / m;
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t c = j * per_tile; c < ahead_lines && c < (j + 1) * per_tile; ++c)
            __builtin_prefetch(ahead + c * 64, 0, 2);
        const float* r[4];
        for (std::size_t l = 0; l < 4; ++l) {
            std::size_t row = l * m + j;
            if (row >= rows) row = rows - 1;
            r[l] = doc + row * q.dim;
        }
        std::size_t g0 = 0;
        for (; g0 + P <= q.groups; g0 += P) max_rows_groups<L, P>(q, g0, r, best);
        switch (q.groups - g0) {
            case 1: max_rows_groups<L, 1>(q, g0, r, best); break;
            case 2: if constexpr (P > 2) max_rows_groups<L, 2>(q, g0, r, best); break;
            case 3: if constexpr (P > 3) max_rows_groups<L, 3>(q, g0, r, best); break;
            default: break;
        }
    }
    for (std::size_t g = 0; g < q.groups; ++g)
        for (std::size_t k = 0; k < L::S; ++k) {
            const std::size_t row = k * q.groups + g;
            if (row < q.n_q) best_out[row] = first_max4(best + g * W + 4 * k, 1);
        }
}

template <class L>
void max_rows_lanes(const PackedQuery& q, const float* doc, std::size_t rows, float* best_out, const void* ahead,
                    std::size_t ahead_bytes) {
    constexpr std::size_t P = L::kGroupsPerPass;
    // The first pass asks for the lines ahead: every line the span touches. (A prefetch never
    // faults, whatever the address.)
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(ahead);
    const char* a = reinterpret_cast<const char*>(begin & ~std::uintptr_t{63});
    std::size_t lines = ahead != nullptr && ahead_bytes != 0 ? (begin % 64 + ahead_bytes + 63) / 64 : 0;
    if (q.groups > P && q.groups <= kTileMajorGroups) return max_rows_tile_major<L>(q, doc, rows, best_out, a, lines);
    std::size_t g0 = 0;
    for (; g0 + P <= q.groups; g0 += P, lines = 0) max_rows_pass<L, P>(q, g0, doc, rows, best_out, a, lines);
    switch (q.groups - g0) {
        case 1: max_rows_pass<L, 1>(q, g0, doc, rows, best_out, a, lines); break;
        case 2: if constexpr (P > 2) max_rows_pass<L, 2>(q, g0, doc, rows, best_out, a, lines); break;
        case 3: if constexpr (P > 3) max_rows_pass<L, 3>(q, g0, doc, rows, best_out, a, lines); break;
        default: break;
    }
}

template <class L, int NG>
inline void max_query_pass(const PackedQuery& q, std::size_t g0, const float* const r[4], typename L::V& best) {
    typename L::V s[NG];
    dot_tile<L, NG>(q, g0, r, s);
    for (int g = 0; g < NG; ++g) best = L::max_gt(best, s[g]);
}

// Rows a pass over scattered rows asks the memory for ahead of use: the rows come through a list
// of pointers (candidate rows picked out of a larger table), which the hardware's stream
// prefetcher does not follow far enough.
constexpr std::size_t kPrefetchRows = 16;

template <class L>
void max_query_lanes(const PackedQuery& q, const float* const* rows, std::size_t n, float* out) {
    using V = typename L::V;
    constexpr std::size_t P = L::kGroupsPerPass;
    constexpr std::size_t W = L::S * 4;
    alignas(64) float lanes[W];
    for (std::size_t r0 = 0; r0 < n; r0 += 4) {
        const float* r[4];
        for (std::size_t l = 0; l < 4; ++l) r[l] = rows[r0 + l < n ? r0 + l : n - 1];
        if (r0 + kPrefetchRows + 4 <= n)
            for (std::size_t l = 0; l < 4; ++l) {
                const char* p = reinterpret_cast<const char*>(rows[r0 + kPrefetchRows + l]);
                for (std::size_t b = 0; b < q.dim * sizeof(float); b += 64) __builtin_prefetch(p + b);
            }
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

template <class L, int NG>
inline void dot_table_pass(const PackedQuery& q, std::size_t g0, const float* const r[4], std::size_t r0,
                           std::size_t n, float* out, std::size_t stride) {
    constexpr std::size_t W = L::S * 4;
    typename L::V s[NG];
    dot_tile<L, NG>(q, g0, r, s);
    alignas(64) float lanes[W];
    for (int g = 0; g < NG; ++g) {
        L::store(lanes, s[g]);
        for (std::size_t k = 0; k < L::S; ++k) {
            const std::size_t row = k * q.groups + g0 + static_cast<std::size_t>(g);
            if (row >= q.n_q) continue;
            for (std::size_t l = 0; l < 4 && r0 + l < n; ++l) out[(r0 + l) * stride + row] = lanes[4 * k + l];
        }
    }
}

template <class L>
void dot_table_lanes(const PackedQuery& q, const float* rows, std::size_t n, float* out, std::size_t stride) {
    constexpr std::size_t P = L::kGroupsPerPass;
    for (std::size_t r0 = 0; r0 < n; r0 += 4) {
        const float* r[4];
        for (std::size_t l = 0; l < 4; ++l) r[l] = rows + (r0 + l < n ? r0 + l : n - 1) * q.dim;
        std::size_t g0 = 0;
        for (; g0 + P <= q.groups; g0 += P) dot_table_pass<L, P>(q, g0, r, r0, n, out, stride);
        switch (q.groups - g0) {
            case 1: dot_table_pass<L, 1>(q, g0, r, r0, n, out, stride); break;
            case 2: if constexpr (P > 2) dot_table_pass<L, 2>(q, g0, r, r0, n, out, stride); break;
            case 3: if constexpr (P > 3) dot_table_pass<L, 3>(q, g0, r, r0, n, out, stride); break;
            default: break;
        }
    }
}

inline std::uint16_t load_code(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Column maxima over the codes, NV registers of W = 4 * S columns (8 on AVX2, 16 on AVX-512) held
// across the whole document.
template <class L, int NV>
inline void code_max_regs(const float* table, std::size_t stride, std::size_t n_codes, const std::uint8_t* codes,
                          std::size_t m, float* best) {
    using V = typename L::V;
    constexpr std::size_t W = L::S * 4;
    V b[NV];
    for (int v = 0; v < NV; ++v) b[v] = L::neg_inf();
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint16_t c = load_code(codes + 2 * i);
        if (c >= n_codes) continue;
        const float* row = table + c * stride;
        for (int v = 0; v < NV; ++v) b[v] = L::max_gt(b[v], L::load(row + v * W));
    }
    for (int v = 0; v < NV; ++v) L::store(best + v * W, b[v]);
}

template <class L>
void code_max_lanes(const float* table, std::size_t stride, std::size_t n_codes, const std::uint8_t* codes,
                    std::size_t m, float* best) {
    using V = typename L::V;
    constexpr std::size_t W = L::S * 4;
    switch (stride / W) {
        case 1: return code_max_regs<L, 1>(table, stride, n_codes, codes, m, best);
        case 2: return code_max_regs<L, 2>(table, stride, n_codes, codes, m, best);
        case 3: return code_max_regs<L, 3>(table, stride, n_codes, codes, m, best);
        case 4: return code_max_regs<L, 4>(table, stride, n_codes, codes, m, best);
        default: break;
    }
    for (std::size_t v = 0; v < stride; v += W) L::store(best + v, L::neg_inf());
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint16_t c = load_code(codes + 2 * i);
        if (c >= n_codes) continue;
        const float* row = table + c * stride;
        for (std::size_t v = 0; v < stride; v += W) {
            const V cur = L::load(best + v);
            L::store(best + v, L::max_gt(cur, L::load(row + v)));
        }
    }
}

// A single vector-form dot in one 128-bit register.
inline float dot_one(const float* a, const float* b, std::size_t n) {
    __m128 acc = _mm_setzero_ps();
    const std::size_t n4 = n / 4;
    for (std::size_t i = 0; i < n4; ++i) acc = _mm_fmadd_ps(_mm_loadu_ps(a + 4 * i), _mm_loadu_ps(b + 4 * i), acc);
    alignas(16) float l[4];
    _mm_store_ps(l, acc);
    float s = (l[0] + l[1]) + (l[2] + l[3]);
    for (std::size_t t = 4 * n4; t < n; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

// The unit's table.
template <class L>
constexpr ScoringTable lanes_table() {
    return ScoringTable{L::S, dot_one, max_rows_lanes<L>, max_query_lanes<L>, dot_table_lanes<L>, code_max_lanes<L>};
}
