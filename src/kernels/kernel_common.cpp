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

BatchChecks::BatchChecks(const SharedInput& in, SharedArgs& out) : in_(in), out_(out) {
    as_ = product("A*S", {in.big_a, in.big_s});
    bt_ = product("B*T", {in.big_b, in.big_t});
}

std::uint64_t BatchChecks::product(const char* expr, std::initializer_list<std::uint64_t> factors) {
    if (!status_) return 0;
    auto p = shape_product(expr, factors);
    if (!p) {
        status_ = std::unexpected(std::move(p).error());
        return 0;
    }
    return *p;
}

void BatchChecks::add(const void* in, void* out, Result<void> (*check)(const Pending&), const char* name,
                      const char* expr, std::initializer_list<std::uint64_t> factors) {
    const std::uint64_t len = product(expr, factors);
    if (status_) pending_.push_back(Pending{in, out, check, name, expr, len});
}

// qc_table's product and view come between the kernel's query arrays and its document arrays.
void BatchChecks::start_docs() {
    if (docs_started_) return;
    docs_started_ = true;
    add(&in_.qc_table, &out_.qc_table, &check_view<float>, "qc_table", "A*S*K",
        {in_.big_a, in_.big_s, in_.big_k});
}

Result<void> BatchChecks::finish() {
    start_docs();
    product("A*B", {in_.big_a, in_.big_b});
    VSE_CHECK(status_);
    for (const Pending& p : pending_) VSE_CHECK(p.check(p));
    VSE_TRY(out_.docs_cid, checked_view(in_.docs_cid, "docs_cid", "B*T", bt_));
    VSE_TRY(out_.docs_cos, checked_view(in_.docs_cos, "docs_cos", "B*T", bt_));
    VSE_TRY(out_.docs_sin, checked_view(in_.docs_sin, "docs_sin", "B*T", bt_));
    VSE_TRY(out_.q_mask, checked_view(in_.q_mask, "q_mask", "A*S", as_));
    VSE_TRY(out_.docs_mask, checked_view(in_.docs_mask, "docs_mask", "B*T", bt_));
    out_.big_a = in_.big_a, out_.big_b = in_.big_b, out_.big_s = in_.big_s, out_.big_t = in_.big_t;
    out_.big_k = in_.big_k;
    out_.n_threads = in_.n_threads;
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
