// The Avx2 row of both pair kernels (eight query tokens per ymm register); see pair_kernels.hpp
// for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace vse::kernels {

VSE_ISA_UNIT(Avx2)

namespace {
#include "kernels/lanes_avx2.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"
#include "kernels/rroq4_riem_lanes.inl"
using UnitLanes = KernelLanesAvx2;
constexpr std::size_t kUnitRroq4Tokens = 4;
#include "kernels/range_entries.inl"
}  // namespace

VSE_ISA_UNIT_END(kKernelsAvx2, {{rroq158_range, Rroq158Layout::PlaneLanes},
                                {rroq4_riem_range, true}})

}  // namespace vse::kernels

#endif
