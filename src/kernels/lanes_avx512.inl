// Sixteen float / 32-bit integer lanes in a zmm register (AVX-512 F, BW, VL).
//
// Included inside an anonymous namespace of a translation unit compiled for AVX-512, after
// <immintrin.h>.
struct KernelLanesAvx512 {
    static constexpr std::size_t L = 16;
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;
    // GCC 12's unmasked forms of some conversions, gathers and inserts start from an undefined
    // register and warn about it; the all-lanes masked forms are the same instructions.
    static constexpr __mmask16 kAll = 0xFFFF;

    static F zero() { return _mm512_setzero_ps(); }
    static F set1(float v) { return _mm512_set1_ps(v); }
    static F load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F fma(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    static F to_float(I v) { return _mm512_maskz_cvtepi32_ps(kAll, v); }

    static I zero_i() { return _mm512_setzero_si512(); }
    static I set1_i(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
    static I load_i(const std::uint32_t* p) { return _mm512_loadu_si512(p); }
    static I and_i(I a, I b) { return _mm512_and_si512(a, b); }
    static I add_i(I a, I b) { return _mm512_add_epi32(a, b); }

    // popcount(x) - popcount(y) per 32-bit lane: nibble lookup, byte difference, then the four
    // bytes of each lane summed (the differences lie in -8..8, so nothing overflows).
    static I popcount_diff(I x, I y) {
        const I lut = _mm512_set4_epi32(0x04030302, 0x03020201, 0x03020201, 0x02010100);
        const I nib = _mm512_set1_epi8(0x0F);
        auto bytes = [&](I v) {
            return _mm512_add_epi8(_mm512_shuffle_epi8(lut, _mm512_and_si512(v, nib)),
                                   _mm512_shuffle_epi8(lut, _mm512_and_si512(_mm512_srli_epi16(v, 4), nib)));
        };
        const I d8 = _mm512_sub_epi8(bytes(x), bytes(y));
        const I d16 = _mm512_maddubs_epi16(_mm512_set1_epi8(1), d8);
        return _mm512_madd_epi16(d16, _mm512_set1_epi16(1));
    }

    static M active(const std::uint32_t* p) {
        const I v = load_i(p);
        return _mm512_test_epi32_mask(v, v);
    }
    static F keep_greater(F best, F score, M act) {
        const M gt = _mm512_mask_cmp_ps_mask(act, score, best, _CMP_GT_OQ);
        return _mm512_mask_blend_ps(gt, best, score);
    }
    // base[index[l] + offset] for each lane l.
    static F gather(const float* base, const std::int64_t* index, std::int64_t offset) {
        const I off = _mm512_set1_epi64(offset);
        const __m256 lo = _mm512_mask_i64gather_ps(_mm256_setzero_ps(), 0xFF,
                                                   _mm512_add_epi64(_mm512_loadu_si512(index), off), base, 4);
        const __m256 hi = _mm512_mask_i64gather_ps(_mm256_setzero_ps(), 0xFF,
                                                   _mm512_add_epi64(_mm512_loadu_si512(index + 8), off), base, 4);
        const __m512d low = _mm512_maskz_insertf64x4(0xFF, _mm512_setzero_pd(), _mm256_castps_pd(lo), 0);
        return _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, low, _mm256_castps_pd(hi), 1));
    }
    // 16 code bytes into 32 floats, the even coordinates first: x[m] = low nibble of byte m,
    // x[16 + m] = its high nibble. Each byte widened to a lane; a permute reads only the low four
    // bits of each index, so a table of 0.0 .. 15.0 turns a nibble into its float directly.
    static constexpr bool kSplitPairs = true;
    static void decode16(const std::uint8_t* codes, float* x) {
        const F values = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const I b = _mm512_maskz_cvtepu8_epi32(kAll, _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes)));
        _mm512_storeu_ps(x, _mm512_maskz_permutexvar_ps(kAll, b, values));
        _mm512_storeu_ps(x + 16, _mm512_maskz_permutexvar_ps(kAll, _mm512_maskz_srli_epi32(kAll, b, 4), values));
    }
};
