// Helpers shared by the lane kernels, for any lane type V; included after the lane types.

// The centroid terms qc[s][cid] of lanes [s0, s0 + L) of a query Q: one load from the transposed
// table when the query has one, else a gather from its rows.
template <class V, class Q>
typename V::F centroid_lanes(const Q& q, std::size_t s0, std::size_t s_pad, std::int64_t cid) {
    if (q.qc_t != nullptr) return V::load(q.qc_t + static_cast<std::size_t>(cid) * s_pad + s0);
    return V::gather(q.qc, q.qc_index + s0, cid);
}
