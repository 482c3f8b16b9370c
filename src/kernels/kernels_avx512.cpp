// The Avx512 row of both pair kernels (sixteen query tokens per zmm register), with bit counts by
// nibble lookup; see pair_kernels.hpp for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace vse::kernels {

VSE_ISA_UNIT(Avx512)

namespace {
#include "kernels/lanes_avx512.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"
#include "kernels/rroq4_riem_lanes.inl"
}  // namespace

VSE_ISA_UNIT_END(kKernelsAvx512, {{rroq158_range_lanes<KernelLanesAvx512>, Rroq158Layout::PlaneLanes},
                                  {rroq4_riem_range_lanes<KernelLanesAvx512, 8>, true}})

}  // namespace vse::kernels

#endif
