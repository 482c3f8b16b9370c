// The F16C conversions of binary16 runs, eight values per instruction, for the Avx2 row (see
// half.hpp).
#include "common/half.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace vse {

VSE_ISA_UNIT(Avx2)

namespace {

void widen_half_f16c(const std::uint8_t* src, std::size_t n, float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    if (i < n) {
        // The last few values through a local block, so nothing past the source is read.
        alignas(16) std::uint8_t in[16] = {};
        alignas(32) float out[8];
        std::memcpy(in, src + 2 * i, 2 * (n - i));
        _mm256_store_ps(out, _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(in))));
        std::memcpy(dst + i, out, sizeof(float) * (n - i));
    }
}

void narrow_half_f16c(const std::uint8_t* src, std::size_t n, std::uint8_t* dst) {
    // Round to nearest even by the instruction's own mode, whatever the MXCSR says.
    constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 f = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm256_cvtps_ph(f, kRound));
    }
    if (i < n) {
        alignas(32) std::uint8_t in[32] = {};
        alignas(16) std::uint8_t out[16];
        std::memcpy(in, src + 4 * i, 4 * (n - i));
        const __m256 f = _mm256_load_ps(reinterpret_cast<const float*>(in));
        _mm_store_si128(reinterpret_cast<__m128i*>(out), _mm256_cvtps_ph(f, kRound));
        std::memcpy(dst + 2 * i, out, 2 * (n - i));
    }
}

}  // namespace

VSE_ISA_UNIT_END(kHalfAvx2, {widen_half_f16c, narrow_half_f16c})

}  // namespace vse

#endif
