// The F16C conversion of binary16 runs, eight values per instruction, for the Avx2 row (see
// half.hpp).
#include "common/half.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

VSE_ISA_TARGET(Avx2)

namespace vse {

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

constexpr HalfTable kTable{widen_half_f16c};

}  // namespace

const HalfTable* const kHalfAvx2 = &kTable;

}  // namespace vse

VSE_ISA_TARGET_END

#else

namespace vse {

const HalfTable* const kHalfAvx2 = nullptr;

}  // namespace vse

#endif
