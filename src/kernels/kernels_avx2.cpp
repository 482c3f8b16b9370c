// The Avx2 row of both pair kernels (eight query tokens per ymm register); see pair_kernels.hpp
// for the contract.
#include "kernels/pair_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

VSE_ISA_TARGET(Avx2)

namespace vse::kernels {

namespace {
#include "kernels/lanes_avx2.inl"
#include "kernels/lanes_common.inl"
#include "kernels/rroq158_lanes.inl"
#include "kernels/rroq4_riem_lanes.inl"

void rroq158_range(const Rroq158Query* qs, std::size_t n_q, const Rroq158Docs& d, const Rroq158Dims& dm,
                   std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                   const Rroq158Scratch& scratch) {
    rroq158_range_lanes<KernelLanesAvx2>(qs, n_q, d, dm, lo, hi, out, out_stride, scratch);
}

void rroq4_riem_range(const Rroq4RiemQuery* qs, std::size_t n_q, const Rroq4RiemDocs& d, const Rroq4RiemDims& dm,
                      std::size_t lo, std::size_t hi, float* out, std::size_t out_stride,
                      const Rroq4RiemScratch& scratch) {
    rroq4_riem_range_lanes<KernelLanesAvx2, 4>(qs, n_q, d, dm, lo, hi, out, out_stride, scratch);
}

constexpr KernelTable kTable{rroq158_range, Rroq158Layout::PlaneLanes, rroq4_riem_range, true};

}  // namespace

const KernelTable* const kKernelsAvx2 = &kTable;

}  // namespace vse::kernels

VSE_ISA_TARGET_END

#else

namespace vse::kernels {

const KernelTable* const kKernelsAvx2 = nullptr;

}  // namespace vse::kernels

#endif
