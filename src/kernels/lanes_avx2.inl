// Eight float / 32-bit integer lanes in a ymm register (AVX2 with FMA).
//
// Included inside an anonymous namespace of a translation unit compiled for AVX2, after
// <immintrin.h>. A lane mask is a float vector whose active lanes have all bits set.
struct KernelLanesAvx2 {
    static constexpr std::size_t L = 8;
    using F = __m256;
    using I = __m256i;
    using M = __m256;

    static F zero() { return _mm256_setzero_ps(); }
    static F set1(float v) { return _mm256_set1_ps(v); }
    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F fma(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F to_float(I v) { return _mm256_cvtepi32_ps(v); }

    static I zero_i() { return _mm256_setzero_si256(); }
    static I set1_i(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static I load_i(const std::uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static I and_i(I a, I b) { return _mm256_and_si256(a, b); }
    static I add_i(I a, I b) { return _mm256_add_epi32(a, b); }

    // popcount(x) - popcount(y) per 32-bit lane: nibble lookup, byte difference, then the four
    // bytes of each lane summed (the differences lie in -8..8, so nothing overflows).
    static I popcount_diff(I x, I y) {
        const I lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                       0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
        const I nib = _mm256_set1_epi8(0x0F);
        auto bytes = [&](I v) {
            return _mm256_add_epi8(_mm256_shuffle_epi8(lut, _mm256_and_si256(v, nib)),
                                   _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), nib)));
        };
        const I d8 = _mm256_sub_epi8(bytes(x), bytes(y));
        const I d16 = _mm256_maddubs_epi16(_mm256_set1_epi8(1), d8);
        return _mm256_madd_epi16(d16, _mm256_set1_epi16(1));
    }

    static M active(const std::uint32_t* p) { return _mm256_castsi256_ps(load_i(p)); }
    // best, replaced in the active lanes where score > best (ordered: never by a NaN).
    static F keep_greater(F best, F score, M act) {
        const F gt = _mm256_and_ps(_mm256_cmp_ps(score, best, _CMP_GT_OQ), act);
        return _mm256_blendv_ps(best, score, gt);
    }
    // base[index[l] + offset] for each lane l.
    static F gather(const float* base, const std::int64_t* index, std::int64_t offset) {
        const I off = _mm256_set1_epi64x(offset);
        const I i0 = _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(index)), off);
        const I i1 = _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 4)), off);
        return _mm256_set_m128(_mm256_i64gather_ps(base, i1, 4), _mm256_i64gather_ps(base, i0, 4));
    }
    // 16 code bytes into 32 floats: x[2m] = low nibble of byte m, x[2m+1] = high nibble.
    static constexpr bool kSplitPairs = false;
    static void decode16(const std::uint8_t* codes, float* x) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
        const __m128i nib = _mm_set1_epi8(0x0F);
        const __m128i lo = _mm_and_si128(b, nib);
        const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), nib);
        const __m128i c0 = _mm_unpacklo_epi8(lo, hi);
        const __m128i c1 = _mm_unpackhi_epi8(lo, hi);
        _mm256_storeu_ps(x, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c0)));
        _mm256_storeu_ps(x + 8, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(c0, 8))));
        _mm256_storeu_ps(x + 16, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c1)));
        _mm256_storeu_ps(x + 24, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(c1, 8))));
    }
};
