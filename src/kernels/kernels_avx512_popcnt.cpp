// The Avx512Popcnt row: the rroq158 AVX-512 path with the VPOPCNTDQ population count, in a unit
// of its own so that no other code is compiled for that extension (rroq4_riem runs the Avx512
// row's). See pair_kernels.hpp for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

VSE_ISA_TARGET(Avx512Popcnt)

namespace vse::kernels {

namespace {
#include "kernels/lanes_avx512.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"

void rroq158_range(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                   std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                   const Rroq158Scratch& scratch) {
    rroq158_range_lanes<KernelLanesAvx512<true>>(qs, n_q, d, dm, lo, hi, out, out_stride, scratch);
}

constexpr KernelTable kTable{rroq158_range, Rroq158Layout::PlaneLanes, nullptr, false};

}  // namespace

const KernelTable* const kKernelsAvx512Popcnt = &kTable;

}  // namespace vse::kernels

VSE_ISA_TARGET_END

#else

namespace vse::kernels {

const KernelTable* const kKernelsAvx512Popcnt = nullptr;

}  // namespace vse::kernels

#endif
