// The rroq158 AVX-512 path with the VPOPCNTDQ population count, in a unit of its own so that no
// other code is compiled for that extension. See pair_kernels.hpp for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vpopcntdq,popcnt")

namespace vse::kernels {

namespace {
#include "kernels/lanes_avx512.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"
}  // namespace

void rroq158_range_avx512_popcnt(const Rroq158Query& q, const Rroq158Docs& d, const Rroq158Dims& dm,
                                 std::size_t lo, std::size_t hi, float* out, const Rroq158Scratch& scratch) {
    rroq158_range_lanes<Avx512Lanes<true>>(q, d, dm, lo, hi, out, scratch);
}

}  // namespace vse::kernels

#pragma GCC pop_options
#endif
