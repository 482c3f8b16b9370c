#include "common/half.hpp"

#include <bit>

#include "common/coding.hpp"

namespace vse {

float half_to_float(std::uint16_t h) {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t exp = (h >> 10) & 0x1Fu;
    std::uint32_t mant = h & 0x3FFu;
    std::uint32_t bits;
    if (exp == 0x1F) {
        // Infinity, or NaN with its payload and the quiet bit.
        bits = sign | 0x7F800000u | (mant != 0 ? 0x00400000u : 0u) | (mant << 13);
    } else if (exp != 0) {
        bits = sign | ((exp + (127 - 15)) << 23) | (mant << 13);
    } else if (mant == 0) {
        bits = sign;
    } else {
        // Subnormal: mant * 2^-24. Shift the leading one up to the implicit bit's place (bit 10);
        // each shift takes one from the exponent of 2^-14.
        const int shift = std::countl_zero(mant) - 21;
        mant = (mant << shift) & 0x3FFu;
        bits = sign | (static_cast<std::uint32_t>(127 - 14 - shift) << 23) | (mant << 13);
    }
    return std::bit_cast<float>(bits);
}

std::uint16_t float_to_half(float f) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const std::uint32_t x = bits & 0x7FFFFFFFu;
    if (x > 0x7F800000u) {
        // NaN: the top ten payload bits, the quiet bit among them, so a signalling NaN stays
        // signalling. One whose payload lies wholly in the low 13 bits keeps only the lowest bit
        // set, so that it stays a NaN rather than becoming infinity.
        const auto kept = static_cast<std::uint16_t>((x >> 13) & 0x3FFu);
        return sign | 0x7C00u | (kept != 0 ? kept : 1u);
    }
    if (x >= 0x477FF000u) return sign | 0x7C00u;  // 65520 and up (infinity included) round to infinity
    if (x >= 0x38800000u) {
        // A normal binary16 (2^-14 and up): rebias the exponent by 127 - 15 and round away the low
        // 13 bits, ties to even. A carry out of the fraction steps the exponent, as it should.
        const std::uint32_t rounded = x + 0xFFFu + ((x >> 13) & 1u);
        return sign | static_cast<std::uint16_t>((rounded - 0x38000000u) >> 13);
    }
    if (x <= 0x33000000u) return sign;  // 2^-25 and below (the tie at 2^-25 goes to the even zero)
    // A subnormal binary16: the value in units of 2^-24 is the 24-bit significand m shifted right
    // by 126 - exponent (14 to 24 places), rounded to nearest, ties to even. A round up to 1024
    // gives the smallest normal, whose encoding that is.
    const std::uint32_t e = x >> 23;
    const std::uint32_t m = (x & 0x7FFFFFu) | 0x800000u;
    const std::uint32_t shift = 126 - e;
    std::uint32_t q = m >> shift;
    const std::uint32_t rem = m & ((1u << shift) - 1), half = 1u << (shift - 1);
    if (rem > half || (rem == half && (q & 1u) != 0)) ++q;
    return sign | static_cast<std::uint16_t>(q);
}

void widen_half_software(const std::uint8_t* src, std::size_t n, float* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = half_to_float(get_u16(src + 2 * i));
}

void narrow_half_software(const std::uint8_t* src, std::size_t n, std::uint8_t* dst) {
    for (std::size_t i = 0; i < n; ++i) put_u16(dst + 2 * i, float_to_half(std::bit_cast<float>(get_u32(src + 4 * i))));
}

const IsaTables<HalfTable>& half_tables() {
    static const IsaTables<HalfTable> tables({widen_half_software, narrow_half_software},
                                             {VSE_ISA_X86_64_UNITS(&kHalfAvx2)});
    return tables;
}

const HalfTable& half_table(Isa isa) { return half_tables()[isa]; }

const HalfTable& half_table() {
    static const HalfTable& table = half_table(best_isa());
    return table;
}

}  // namespace vse
