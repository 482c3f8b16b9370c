// The Avx512Vnni row: the rroq158 AVX-512 path with VNNI byte dot products (VPDPBUSD), in a unit of
// its own so that no other code is compiled for that extension (rroq4_riem runs the Avx512 row's).
// See pair_kernels.hpp for the contract.
//
// The integer group dot dot_g = sum over the group's coordinates of code * ternary value is exact
// in wrapping 32-bit arithmetic whatever the order of its terms, so it need not be built from
// bit-plane population counts: each document token's bit planes are unpacked to one signed byte
// per coordinate (+1, -1 or 0), the query codes come as one unsigned byte per coordinate (at most
// 8 bits), and one VPDPBUSD adds four code * value products into each of 16 query lanes. The float
// steps afterwards are those of rroq158_pair_maxsim in the same order and rounding (the unit is
// compiled with -ffp-contract=off): for each group t1 = offset*float(sum_g), t2 = scale*float(dot_g),
// t3 = t1+t2, t4 = scl_g*t3, acc = acc+t4; then u = cos*qc, v = sin*acc, score = v+u.
//
// A VPDPBUSD has a latency of several cycles, so kRroq158BlockTokens unmasked document tokens and
// two lane vectors of query tokens are scored side by side (independent chains); the best values
// are then updated token by token in document order, as the scalar loop does.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace vse::kernels {

VSE_ISA_UNIT(Avx512Vnni)

namespace {
#include "kernels/lanes_avx512.inl"
#include "kernels/lanes_common.inl"

using V = KernelLanesAvx512;
using F = V::F;
using I = V::I;
constexpr std::size_t L = V::L;
constexpr std::size_t TB = kRroq158BlockTokens;

// One document token in hand: its ternary values as bytes, and float(sum_g) of each group.
struct Token {
    std::int8_t* tau;        // 32*n_words bytes, coordinate order
    float sums[32];
    std::size_t bt;          // index of the token among all document tokens
};

// tau[c] = +1, -1 or 0 for coordinate c of the token whose words are sign and nz; sums[g] =
// float(sum of the group's values).
void unpack_token(const std::uint32_t* sign, const std::uint32_t* nz, const Rroq158Dims& dm, std::int8_t* tau,
                  float* sums) {
    const std::size_t W = dm.n_words, wpg = dm.wpg;
    const I plus = _mm512_set1_epi8(1), minus = _mm512_set1_epi8(-1);
    std::size_t w = 0;
    for (; w + 2 <= W; w += 2) {
        const std::uint64_t p = (std::uint64_t{nz[w + 1] & sign[w + 1]} << 32) | (nz[w] & sign[w]);
        const std::uint64_t n = (std::uint64_t{nz[w + 1] & ~sign[w + 1]} << 32) | (nz[w] & ~sign[w]);
        const I v = _mm512_mask_mov_epi8(_mm512_maskz_mov_epi8(p, plus), n, minus);
        _mm512_storeu_si512(tau + 32 * w, v);
    }
    if (w < W) {
        const __m256i v = _mm256_mask_mov_epi8(_mm256_maskz_mov_epi8(nz[w] & sign[w], _mm256_set1_epi8(1)),
                                               nz[w] & ~sign[w], _mm256_set1_epi8(-1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(tau + 32 * w), v);
    }
    for (std::size_t g = 0; g < dm.n_groups; ++g) {
        std::uint32_t sum = 0;
        for (std::size_t k = g * wpg; k < (g + 1) * wpg; ++k)
            sum += static_cast<std::uint32_t>(__builtin_popcount(nz[k] & sign[k])) -
                   static_cast<std::uint32_t>(__builtin_popcount(nz[k] & ~sign[k]));
        sums[g] = static_cast<float>(static_cast<std::int32_t>(sum));
    }
}

// acc + the sums of four products unsigned a byte * signed b byte, per 32-bit lane. Written out:
// GCC 12 copies the accumulator of the intrinsic into a new register on every call.
inline I dpbusd(I acc, I a, I b) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
    return acc;
}

// The four ternary bytes of coordinates 4c..4c+3 in every lane.
inline I broadcast4(const std::int8_t* tau, std::size_t c) {
    std::int32_t v;
    std::memcpy(&v, tau + 4 * c, 4);
    return _mm512_set1_epi32(v);
}

// Scores the tokens tok[0..n) (all TB slots filled; slots past n repeat a real token and are not
// used) against query lanes [s0, s0 + VB*L).
template <std::size_t VB>
void score_block(const Rroq158Query& q, const Rroq158Docs& d, const Rroq158Dims& dm, std::size_t s0,
                 const Token* const* tok, std::size_t n, float* best) {
    const std::size_t G = dm.n_groups, s_pad = dm.s_pad, cpg = dm.wpg * 8;  // 4-coordinate columns per group
    F offset[VB], scale[VB], acc[TB][VB];
#pragma GCC unroll 4
    for (std::size_t u = 0; u < VB; ++u) {
        offset[u] = V::load(q.offset + s0 + u * L);
        scale[u] = V::load(q.scale + s0 + u * L);
    }
#pragma GCC unroll 8
    for (std::size_t j = 0; j < TB; ++j)
#pragma GCC unroll 4
        for (std::size_t u = 0; u < VB; ++u) acc[j][u] = V::zero();
    for (std::size_t g = 0; g < G; ++g) {
        I dot[TB][VB];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < TB; ++j)
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) dot[j][u] = V::zero_i();
        const std::uint32_t* codes = q.codes_t + g * cpg * s_pad + s0;
        for (std::size_t c = g * cpg; c < (g + 1) * cpg; ++c, codes += s_pad) {
            I qv[VB];
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) qv[u] = V::load_i(codes + u * L);
#pragma GCC unroll 8
            for (std::size_t j = 0; j < TB; ++j) {
                const I t = broadcast4(tok[j]->tau, c);
#pragma GCC unroll 4
                for (std::size_t u = 0; u < VB; ++u) dot[j][u] = dpbusd(dot[j][u], qv[u], t);
            }
        }
#pragma GCC unroll 8
        for (std::size_t j = 0; j < TB; ++j) {
            const F sum_g = V::set1(tok[j]->sums[g]);
            const F scl_g = V::set1(d.scl[tok[j]->bt * G + g]);
#pragma GCC unroll 4
            for (std::size_t u = 0; u < VB; ++u) {
                const F t1 = V::mul(offset[u], sum_g);
                const F t2 = V::mul(scale[u], V::to_float(dot[j][u]));
                const F t3 = V::add(t1, t2);
                const F t4 = V::mul(scl_g, t3);
                acc[j][u] = V::add(acc[j][u], t4);
            }
        }
    }
    // The best values stay in registers over the block's tokens, updated in document order.
    F top[VB];
    V::M act[VB];
#pragma GCC unroll 4
    for (std::size_t u = 0; u < VB; ++u) {
        top[u] = V::load(best + s0 + u * L);
        act[u] = V::active(q.active + s0 + u * L);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t bt = tok[j]->bt;
        const F cos = V::set1(d.cos[bt]), sin = V::set1(d.sin[bt]);
        const std::int64_t cid = d.cid[bt];
#pragma GCC unroll 4
        for (std::size_t u = 0; u < VB; ++u) {
            const std::size_t s = s0 + u * L;
            const F cu = V::mul(cos, centroid_lanes<V>(q, s, s_pad, cid));
            const F v = V::mul(sin, acc[j][u]);
            const F score = V::add(v, cu);
            top[u] = V::keep_greater(top[u], score, act[u]);
        }
    }
#pragma GCC unroll 4
    for (std::size_t u = 0; u < VB; ++u) V::store(best + s0 + u * L, top[u]);
}

void score_tokens(const Rroq158Query& q, const Rroq158Docs& d, const Rroq158Dims& dm, Token* block, std::size_t n,
                  float* best) {
    const Token* tok[TB];
    for (std::size_t j = 0; j < TB; ++j) tok[j] = &block[j < n ? j : 0];
    std::size_t s0 = 0;
    for (; s0 + 2 * L <= dm.s_pad; s0 += 2 * L) score_block<2>(q, d, dm, s0, tok, n, best);
    for (; s0 < dm.s_pad; s0 += L) score_block<1>(q, d, dm, s0, tok, n, best);
}

void rroq158_range(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                   std::size_t lo, std::size_t hi, float* out, std::size_t out_stride, const Rroq158Scratch& scratch) {
    const std::size_t S = dm.S, T = dm.T, W = dm.n_words, s_pad = dm.s_pad;
    Token block[TB];
    for (std::size_t j = 0; j < TB; ++j) block[j].tau = scratch.tau + j * 32 * W;
    bool scored[kRroq158QueriesAtOnce];  // false: no query weight is positive, every pair scores +0.0
    bool any = false;
    for (std::size_t i = 0; i < n_q; ++i) any |= scored[i] = !qs[i].no_positive_weight;
    // Each block of tokens is unpacked once and scored against every query.
    auto score = [&](std::size_t n) {
        for (std::size_t i = 0; i < n_q; ++i)
            if (scored[i]) score_tokens(qs[i], d, dm, block, n, scratch.best + i * s_pad);
    };
    for (std::size_t b = lo; b < hi; ++b) {
        for (std::size_t s = 0; s < n_q * s_pad; ++s) scratch.best[s] = -__builtin_inff();
        std::size_t n = 0;
        for (std::size_t t = 0; t < T && any; ++t) {
            const std::size_t bt = b * T + t;
            if (d.mask != nullptr && d.mask[bt] <= 0.0f) continue;
            Token& k = block[n++];
            k.bt = bt;
            unpack_token(d.sign + bt * W, d.nz + bt * W, dm, k.tau, k.sums);
            if (n == TB) {
                score(n);
                n = 0;
            }
        }
        if (n > 0) score(n);
        for (std::size_t i = 0; i < n_q; ++i)
            out[i * out_stride + b] = scored[i] ? best_total(scratch.best + i * s_pad, S) : 0.0f;
    }
}

}  // namespace

// rroq4_riem has no VNNI code: the row runs the Avx512 row's.
VSE_ISA_UNIT_END(kKernelsAvx512Vnni, {{rroq158_range, Rroq158Layout::CodeLanes}, {}})

}  // namespace vse::kernels

#endif
