// IEEE 754 binary16 (float16) to binary32 (float32), exactly.
//
// Every binary16 value has an exact binary32 value: zeros keep their sign, subnormals become
// normal floats, infinities stay infinite, and a NaN keeps its sign and its ten payload bits
// (shifted up by 13) with the quiet bit set, so a signalling NaN comes out quiet. The processor's
// conversion instructions (F16C) follow the same rule; they are used when the processor reports
// them, the software conversion otherwise, and both give the same bits for all 65 536 inputs.
//
// Sources are little-endian binary16 values in a byte buffer of any alignment, as they lie in a
// mapped file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace vse {

// The rule itself, one value.
float half_to_float(std::uint16_t h);

// dst[i] = the value of the binary16 at bytes [2i, 2i + 2) of src, for i < n.
void widen_half_software(const std::uint8_t* src, std::size_t n, float* dst);

// The widening of one instruction set: the software conversion (Scalar) or F16C (Avx2).
struct HalfTable {
    void (*widen)(const std::uint8_t* src, std::size_t n, float* dst);
};

// The table of a row (which the processor must run), and of this processor.
const HalfTable& half_table(Isa isa);
const HalfTable& half_table();

// The widening of this processor.
inline void widen_half(const std::uint8_t* src, std::size_t n, float* dst) { half_table().widen(src, n, dst); }

// The vector units' tables; null where a unit is not built for this architecture.
extern const HalfTable* const kHalfAvx2;

}  // namespace vse
