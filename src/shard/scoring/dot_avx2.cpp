// The 256-bit paths of the side-by-side dots: two query rows per register, two query groups and
// four document rows at a time (eight accumulators); and a single vector-form dot in one 128-bit
// register. See dot_kernels.hpp.
#include "shard/scoring/dot_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cmath>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace vse::shard {

namespace {

struct Avx2Lanes {
    using V = __m256;
    static constexpr std::size_t S = 2;
    static constexpr std::size_t kGroupsPerPass = 2;
    static V zero() { return _mm256_setzero_ps(); }
    static V neg_inf() { return _mm256_set1_ps(-INFINITY); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V bcast4(const float* p) { return _mm256_broadcast_ps(reinterpret_cast<const __m128*>(p)); }
    static V rows4(float a, float b, float c, float d) {
        const __m128 x = _mm_setr_ps(a, b, c, d);
        return _mm256_set_m128(x, x);
    }
    static V fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V even(V a, V b) { return _mm256_shuffle_ps(a, b, 0x88); }
    static V odd(V a, V b) { return _mm256_shuffle_ps(a, b, 0xDD); }
    static V max_gt(V best, V s) { return _mm256_blendv_ps(best, s, _mm256_cmp_ps(s, best, _CMP_GT_OQ)); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
};

#include "shard/scoring/dot_lanes.inl"

}  // namespace

void max_rows_avx2(const PackedQuery& q, const float* doc, std::size_t rows, float* best) {
    max_rows_lanes<Avx2Lanes>(q, doc, rows, best);
}

void max_query_avx2(const PackedQuery& q, const float* const* rows, std::size_t n, float* out) {
    max_query_lanes<Avx2Lanes>(q, rows, n, out);
}

float dot_avx2(const float* a, const float* b, std::size_t n) {
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

}  // namespace vse::shard

#pragma GCC pop_options
#endif
