// The Avx512 row of the scoring core: four query rows per register, up to four query groups and
// four document rows at a time (sixteen accumulators); a single dot in one 128-bit register. See
// dot_kernels.hpp.
#include "shard/scoring/dot_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cmath>

namespace vse::shard {

VSE_ISA_UNIT(Avx512)

namespace {

struct DotLanesAvx512 {
    using V = __m512;
    static constexpr std::size_t S = 4;
    static constexpr std::size_t kGroupsPerPass = 4;
    static V zero() { return _mm512_setzero_ps(); }
    static V neg_inf() { return _mm512_set1_ps(-INFINITY); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    // The zero-masking form: GCC 12's plain broadcast reads an undefined source it then warns about.
    static V bcast4(const float* p) { return _mm512_maskz_broadcast_f32x4(0xFFFF, _mm_loadu_ps(p)); }
    static V rows4(float a, float b, float c, float d) {
        return _mm512_maskz_broadcast_f32x4(0xFFFF, _mm_setr_ps(a, b, c, d));
    }
    static V fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V even(V a, V b) { return _mm512_shuffle_ps(a, b, 0x88); }
    static V odd(V a, V b) { return _mm512_shuffle_ps(a, b, 0xDD); }
    static V max_gt(V best, V s) { return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(s, best, _CMP_GT_OQ), best, s); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
};

#include "shard/scoring/dot_lanes.inl"

}  // namespace

VSE_ISA_UNIT_END(kScoringAvx512, lanes_table<DotLanesAvx512>())

}  // namespace vse::shard

#endif
