// The AVX-512 paths of both pair kernels (sixteen query tokens per zmm register), with bit counts
// by nibble lookup. Chosen at run time only on processors with AVX-512 F, BW and VL and POPCNT;
// see pair_kernels.hpp for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,popcnt")

namespace vse::kernels {

namespace {
#include "kernels/lanes_avx512.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"
#include "kernels/rroq4_riem_lanes.inl"
}  // namespace

void rroq158_range_avx512(const Rroq158Query& q, const Rroq158Docs& d, const Rroq158Dims& dm, std::size_t lo,
                          std::size_t hi, float* out, const Rroq158Scratch& scratch) {
    rroq158_range_lanes<Avx512Lanes<false>>(q, d, dm, lo, hi, out, scratch);
}

void rroq4_riem_range_avx512(const Rroq4RiemQuery& q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                             std::size_t lo, std::size_t hi, float* out, const Rroq4RiemScratch& scratch) {
    rroq4_riem_range_lanes<Avx512Lanes<false>, 8>(q, d, dm, lo, hi, out, scratch);
}

}  // namespace vse::kernels

#pragma GCC pop_options
#endif
