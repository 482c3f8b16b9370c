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

void widen_half_software(const std::uint8_t* src, std::size_t n, float* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = half_to_float(get_u16(src + 2 * i));
}

const HalfTable& half_table(Isa isa) {
    static constexpr HalfTable kSoftware{widen_half_software};
    static const std::array<const HalfTable*, kIsaCount> units = {&kSoftware, kHalfAvx2};
    return isa_table(units, isa);
}

const HalfTable& half_table() {
    static const HalfTable& table = half_table(best_isa());
    return table;
}

}  // namespace vse
