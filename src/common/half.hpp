// IEEE 754 binary16 (float16) to binary32 (float32) and back.
//
// Widening is exact: every binary16 value has an exact binary32 value: zeros keep their sign,
// subnormals become normal floats, infinities stay infinite, and a NaN keeps its sign and its ten
// payload bits (shifted up by 13) with the quiet bit set, so a signalling NaN comes out quiet.
//
// Narrowing rounds to the nearest binary16, ties to even: magnitudes from 65520 up become
// infinity, those below 2^-14 binary16 subnormals (down to zero at 2^-25 and below, float
// subnormals included), and a NaN keeps its sign and the top ten bits of its payload, the quiet
// bit first among them, so that a quiet NaN stays quiet and a signalling one signalling; a
// signalling NaN whose ten are all zero gets the lowest set, so that it stays a NaN. This is
// NumPy's astype(np.float16), bit for bit, NaNs included.
//
// The processor's conversion instructions (F16C) follow the same rules (narrowing with its
// rounding given in the instruction, so the MXCSR's mode plays no part), except that narrowing
// quiets a signalling NaN, which the vector unit puts back. They are used when the processor
// reports them, the software conversions otherwise, and both give the same bits.
//
// Binary16 values are little-endian in a byte buffer of any alignment, as they lie in a mapped
// file or an output buffer; so are the binary32 sources of the narrowing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/isa.hpp"

namespace vse {

// The rules themselves, one value.
float half_to_float(std::uint16_t h);
std::uint16_t float_to_half(float f);

// dst[i] = the value of the binary16 at bytes [2i, 2i + 2) of src, for i < n.
void widen_half_software(const std::uint8_t* src, std::size_t n, float* dst);
// Bytes [2i, 2i + 2) of dst = the binary16 nearest to the binary32 at bytes [4i, 4i + 4) of src,
// for i < n.
void narrow_half_software(const std::uint8_t* src, std::size_t n, std::uint8_t* dst);

// The conversions of one instruction set: the software ones (Scalar) or F16C (Avx2).
struct HalfTable {
    void (*widen)(const std::uint8_t* src, std::size_t n, float* dst);
    void (*narrow)(const std::uint8_t* src, std::size_t n, std::uint8_t* dst);
};

// The tables of every row; the table of a row (which the processor must run), and of this
// processor.
const IsaTables<HalfTable>& half_tables();
const HalfTable& half_table(Isa isa);
const HalfTable& half_table();

// The conversions of this processor.
inline void widen_half(const std::uint8_t* src, std::size_t n, float* dst) { half_table().widen(src, n, dst); }
inline void narrow_half(const std::uint8_t* src, std::size_t n, std::uint8_t* dst) {
    half_table().narrow(src, n, dst);
}

// The vector unit (x86-64 only).
extern const IsaUnit<HalfTable> kHalfAvx2;

}  // namespace vse
