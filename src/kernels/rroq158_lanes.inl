// The rroq158 pair kernel with query tokens in vector lanes, for any lane type V (lanes_*.inl).
//
// Included inside an anonymous namespace after the lane types; the unit is compiled with
// -ffp-contract=off so that no multiply and add below are fused. Per lane the float operations
// are those of rroq158_pair_maxsim in the same order: for each group t1 = offset*float(sum_g),
// t2 = scale*float(dot_g), t3 = t1+t2, t4 = scl_g*t3, acc = acc+t4; then u = cos*qc, v = sin*acc,
// score = v+u. The integer parts are exact (wrapping 32-bit), so their order is free: dot_g is
// built by Horner over the planes, dot = 2*dot + sum over the group's words of the plane-k counts.
// Lanes of masked query tokens are computed but never update their best value.
template <class V>
void rroq158_range_lanes(const Rroq158Query& q, const Rroq158Docs& d, const Rroq158Dims& dm, std::size_t lo,
                         std::size_t hi, float* out, const Rroq158Scratch& scratch) {
    constexpr std::size_t L = V::L;
    const std::size_t S = dm.S, T = dm.T, W = dm.n_words, G = dm.n_groups, wpg = dm.wpg;
    const std::size_t qb = dm.query_bits, s_pad = dm.s_pad;
    float* best = scratch.best;
    std::uint32_t* pw = scratch.pn;      // P of each word
    std::uint32_t* nw = scratch.pn + W;  // N of each word
    for (std::size_t b = lo; b < hi; ++b) {
        if (q.no_positive_weight) {
            out[b] = 0.0f;
            continue;
        }
        for (std::size_t s = 0; s < s_pad; ++s) best[s] = -__builtin_inff();
        for (std::size_t t = 0; t < T; ++t) {
            const std::size_t bt = b * T + t;
            if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
            const std::uint32_t* sign = d.sign + bt * W;
            const std::uint32_t* nz = d.nz + bt * W;
            std::int32_t sums[32];
            for (std::size_t g = 0; g < G; ++g) {
                std::uint32_t sum = 0;
                for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                    pw[w] = nz[w] & sign[w];
                    nw[w] = nz[w] & ~sign[w];
                    sum += static_cast<std::uint32_t>(__builtin_popcount(pw[w])) -
                           static_cast<std::uint32_t>(__builtin_popcount(nw[w]));
                }
                sums[g] = static_cast<std::int32_t>(sum);
            }
            const std::int64_t cid = d.cid[bt];
            const typename V::F cos = V::set1(d.cos[bt]);
            const typename V::F sin = V::set1(d.sin[bt]);
            const float* scl = d.scl + bt * G;
            for (std::size_t s0 = 0; s0 < s_pad; s0 += L) {
                const typename V::F scale = V::load(q.scale + s0);
                const typename V::F offset = V::load(q.offset + s0);
                typename V::F acc = V::zero();
                for (std::size_t g = 0; g < G; ++g) {
                    typename V::I dot = V::zero_i();
                    for (std::size_t k = qb; k-- > 0;) {
                        typename V::I dk = V::zero_i();
                        for (std::size_t w = g * wpg; w < (g + 1) * wpg; ++w) {
                            const typename V::I plane = V::load_i(q.planes_t + (k * W + w) * s_pad + s0);
                            dk = V::add_i(dk, V::popcount_diff(V::and_i(V::set1_i(pw[w]), plane),
                                                               V::and_i(V::set1_i(nw[w]), plane)));
                        }
                        dot = V::add_i(V::add_i(dot, dot), dk);
                    }
                    const typename V::F t1 = V::mul(offset, V::set1(static_cast<float>(sums[g])));
                    const typename V::F t2 = V::mul(scale, V::to_float(dot));
                    const typename V::F t3 = V::add(t1, t2);
                    const typename V::F t4 = V::mul(V::set1(scl[g]), t3);
                    acc = V::add(acc, t4);
                }
                const typename V::F u = V::mul(cos, V::gather(q.qc, q.qc_index + s0, cid));
                const typename V::F v = V::mul(sin, acc);
                const typename V::F score = V::add(v, u);
                V::store(best + s0, V::keep_greater(V::load(best + s0), score, V::active(q.active + s0)));
            }
        }
        float total = 0.0f;
        for (std::size_t s = 0; s < S; ++s) {
            if (best[s] == -__builtin_inff() || __builtin_isnan(best[s])) continue;
            total = total + best[s];
        }
        out[b] = total;
    }
}
