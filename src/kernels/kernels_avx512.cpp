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
using UnitLanes = KernelLanesAvx512;
constexpr std::size_t kUnitRroq4Tokens = 8;
#include "kernels/range_entries.inl"
}  // namespace

VSE_ISA_UNIT_END(kKernelsAvx512, {{rroq158_range, Rroq158Layout::PlaneLanes},
                                  {rroq4_riem_range, true}})

}  // namespace vse::kernels

#endif
