// The Avx2 row of the scoring core: two query rows per 256-bit register, two query groups and four
// document rows at a time (eight accumulators); a single dot in one 128-bit register. See
// dot_kernels.hpp.
#include "shard/scoring/dot_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cmath>

namespace vse::shard {

VSE_ISA_UNIT(Avx2)

namespace {

struct DotLanesAvx2 {
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

VSE_ISA_UNIT_END(kScoringAvx2, lanes_table<DotLanesAvx2>())

}  // namespace vse::shard

#endif
