// Helpers shared by the lane kernels, for any lane type V; included after the lane types.

// The centroid terms qc[s][cid] of lanes [s0, s0 + L) of a query Q: one load from the transposed
// table when the query has one, else a gather from its rows.
template <class V, class Q>
typename V::F centroid_lanes(const Q& q, std::size_t s0, std::size_t s_pad, std::int64_t cid) {
    if (q.qc_t != nullptr) return V::load(q.qc_t + static_cast<std::size_t>(cid) * s_pad + s0);
    return V::gather(q.qc, q.qc_index + s0, cid);
}

// A rroq158 pair's score from its best values: the sum over the S query tokens, in order, of those
// some document token reached (neither -inf nor NaN).
inline float best_total(const float* best, std::size_t S) {
    float total = 0.0f;
    for (std::size_t s = 0; s < S; ++s) {
        if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
        total = total + best[s];
    }
    return total;
}
