// The processor features that select vector code paths, read once per process.
//
// Each flag means the processor has the instructions and the operating system saves the register
// state they use, so code compiled for them may run.
#pragma once

#include <initializer_list>

namespace vse {

struct CpuFeatures {
    bool avx = false;
    bool avx2 = false;
    bool fma = false;
    bool f16c = false;
    bool popcnt = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512dq = false;
    bool avx512vpopcntdq = false;
    bool avx512vnni = false;
};

const CpuFeatures& cpu_features();

// The instruction sets that vector code paths are written for, best last. Each path is compiled in
// a translation unit of its own and chosen at run time from the cached features above:
//   Avx2          AVX2, FMA and POPCNT (256-bit registers)
//   Avx512        AVX-512 F, BW and VL, and POPCNT (512-bit registers)
//   Avx512Popcnt  the same and AVX-512 VPOPCNTDQ
//   Avx512Vnni    AVX-512 F, BW, VL and VNNI (byte dot products), and POPCNT
enum class Isa { Scalar, Avx2, Avx512, Avx512Popcnt, Avx512Vnni };

// Whether this processor runs the given path (Scalar always).
bool isa_available(Isa isa);

// The first available path of `preferred`, else Scalar.
Isa first_available(std::initializer_list<Isa> preferred);

}  // namespace vse
