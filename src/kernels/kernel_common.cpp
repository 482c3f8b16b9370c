#include "kernels/kernel_common.hpp"

#include <new>
#include <stdexcept>

#include <fmt/format.h>

#include "common/checked.hpp"

namespace vse::kernels {

Result<std::uint64_t> shape_product(const char* expr, std::initializer_list<std::uint64_t> factors) {
    CheckedSize p = 1;
    for (std::uint64_t f : factors) p = checked_mul(p, f);
    if (!p) return fail(Exc::Value, fmt::format("shape product {} overflows an unsigned 64-bit integer", expr));
    return *p;
}

Result<void> check_layout(const char* name, bool contiguous, std::uint64_t len, const char* expr,
                          std::uint64_t expected) {
    if (!contiguous) return fail(Exc::Value, fmt::format("{} must be contiguous", name));
    if (len != expected) return fail(Exc::Value, fmt::format("{} len {} != {} {}", name, len, expr, expected));
    return {};
}

Result<void> check_centroid_ids(std::span<const std::int32_t> cid, const std::optional<std::span<const float>>& mask,
                                std::uint64_t big_k) {
    for (std::size_t i = 0; i < cid.size(); ++i) {
        const std::int32_t c = cid[i];
        if (c >= 0 && static_cast<std::uint64_t>(c) < big_k) continue;
        if (mask && (*mask)[i] <= 0.0f) continue;  // masked out: never read
        return fail(Exc::Value,
                    fmt::format("docs_cid[{}] = {} is out of range for K = {} (centroid ids must be in 0..K-1)", i,
                                c, big_k));
    }
    return {};
}

Result<std::vector<float>> allocate_output(std::uint64_t n) {
    try {
        return std::vector<float>(alloc_count<float>(n), 0.0f);
    } catch (const std::exception&) {  // bad_alloc, length_error
        return fail(Exc::Memory, fmt::format("cannot allocate the output of {} floats", n));
    }
}

bool has_positive(const float* mask, std::size_t S) {
    for (std::size_t s = 0; s < S; ++s)
        if (mask[s] > 0.0f) return true;
    return false;
}

void QueryLanes::fill(const float* mask, const float* qc, std::size_t S, std::size_t K, std::size_t s_pad,
                      bool transpose_qc) {
    active.assign(s_pad, 0);
    qc_index.assign(s_pad, 0);
    for (std::size_t s = 0; s < S; ++s) {
        active[s] = (mask == nullptr || !(mask[s] <= 0.0f)) ? 0xFFFFFFFFu : 0u;
        qc_index[s] = static_cast<std::int64_t>(s * K);
    }
    has_qc_t = transpose_qc;
    if (transpose_qc) transpose_to_lanes(qc, S, K, s_pad, qc_t);
}

const IsaTables<KernelTable>& kernel_tables() {
    static const IsaTables<KernelTable> tables(
        {{rroq158_range_scalar, Rroq158Layout::Rows}, {rroq4_riem_range_scalar, false}},
        {VSE_ISA_X86_64_UNITS(&kKernelsAvx2, &kKernelsAvx512, &kKernelsAvx512Vnni)});
    return tables;
}

const KernelTable& kernel_table(Isa isa) { return kernel_tables()[isa]; }

const KernelTable& kernel_table() {
    static const KernelTable& table = kernel_table(best_isa());
    return table;
}

}  // namespace vse::kernels
