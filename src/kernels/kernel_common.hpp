// What the two batch kernels share around their pair kernels: the caller's arrays as the checks
// see them, the arguments both kernels take, the array and precondition checks, the output
// buffer, and the lane layout helpers of the vector paths. The batch loop itself is batch.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "kernels/pair_kernels.hpp"

namespace vse::kernels {

// A caller's one-dimensional array before the checks: where its elements start, how many there
// are, and whether they lie back to back.
template <class T>
struct InArray {
    const T* data = nullptr;
    std::uint64_t len = 0;
    bool contiguous = true;
};

// A checked array: exactly the expected length, borrowed.
template <class T>
using View = std::span<const T>;

// The arguments both batch kernels take besides their own codes, in either form: as the caller
// gave them (Arr = InArray) or checked (Arr = View).
//   qc_table f32 [A][S][K]; docs_cid int32 [B][T]; docs_cos, docs_sin f32 [B][T]
//   optional q_mask f32 [A][S], docs_mask f32 [B][T], and the worker count
template <template <class> class Arr>
struct BatchShared {
    Arr<float> qc_table;
    Arr<std::int32_t> docs_cid;
    Arr<float> docs_cos, docs_sin;
    std::uint64_t big_a, big_b, big_s, big_t, big_k;
    std::optional<Arr<float>> q_mask, docs_mask;
    std::optional<std::uint64_t> n_threads;
};

using SharedInput = BatchShared<InArray>;
using SharedArgs = BatchShared<View>;

// The product of shape numbers, or ValueError
// "shape product {expr} overflows an unsigned 64-bit integer".
Result<std::uint64_t> shape_product(const char* expr, std::initializer_list<std::uint64_t> factors);

// Layout, then length: "{name} must be contiguous", "{name} len {actual} != {expr} {expected}".
Result<void> check_layout(const char* name, bool contiguous, std::uint64_t len, const char* expr,
                          std::uint64_t expected);

template <class T>
Result<std::span<const T>> checked_view(const InArray<T>& a, const char* name, const char* expr,
                                        std::uint64_t expected) {
    VSE_CHECK(check_layout(name, a.contiguous, a.len, expr, expected));
    return std::span<const T>(a.data, static_cast<std::size_t>(a.len));
}

template <class T>
Result<std::optional<std::span<const T>>> checked_view(const std::optional<InArray<T>>& a, const char* name,
                                                       const char* expr, std::uint64_t expected) {
    if (!a) return std::optional<std::span<const T>>{};
    VSE_TRY(std::span<const T> v, checked_view(*a, name, expr, expected));
    return std::optional<std::span<const T>>{v};
}

// The length checks of a batch call, in their fixed order. First every shape product: A*S, B*T,
// those of the kernel's query arrays, A*S*K (qc_table), those of its document arrays, A*B. Then
// each array's layout and length in argument order: the kernel's query arrays, qc_table, its
// document arrays, docs_cid, docs_cos, docs_sin; then the masks when given. The kernel names its
// own arrays in argument order, query arrays first: each product is taken as its array is named,
// the first failure is the one reported, and the views are checked (into their spans and `out`)
// by finish().
class BatchChecks {
public:
    BatchChecks(const SharedInput& in, SharedArgs& out);

    template <class T>
    void query(const InArray<T>& in, View<T>& out, const char* name, const char* expr,
               std::initializer_list<std::uint64_t> factors) {
        add(&in, &out, &check_view<T>, name, expr, factors);
    }

    template <class T>
    void docs(const InArray<T>& in, View<T>& out, const char* name, const char* expr,
              std::initializer_list<std::uint64_t> factors) {
        start_docs();
        add(&in, &out, &check_view<T>, name, expr, factors);
    }

    Result<void> finish();

private:
    // An array whose view waits for finish(): InArray<T> in, View<T> out.
    struct Pending {
        const void* in;
        void* out;
        Result<void> (*check)(const Pending&);
        const char* name;
        const char* expr;
        std::uint64_t len;
    };

    template <class T>
    static Result<void> check_view(const Pending& p) {
        VSE_TRY(*static_cast<View<T>*>(p.out), checked_view(*static_cast<const InArray<T>*>(p.in), p.name, p.expr, p.len));
        return {};
    }

    // The product, or 0 with the failure kept; none is taken after a failure.
    std::uint64_t product(const char* expr, std::initializer_list<std::uint64_t> factors);
    void add(const void* in, void* out, Result<void> (*check)(const Pending&), const char* name, const char* expr,
             std::initializer_list<std::uint64_t> factors);
    void start_docs();

    const SharedInput& in_;
    SharedArgs& out_;
    Result<void> status_;
    std::uint64_t as_ = 0, bt_ = 0;
    bool docs_started_ = false;
    std::vector<Pending> pending_;
};

// Every centroid id of a document token that takes part (no docs_mask, or a mask value that is
// not <= 0) must index a qc_table row: ValueError
// "docs_cid[{i}] = {v} is out of range for K = {K} (centroid ids must be in 0..K-1)" for the first
// that does not.
Result<void> check_centroid_ids(std::span<const std::int32_t> cid, const std::optional<std::span<const float>>& mask,
                                std::uint64_t big_k);

// A zero-filled buffer of n floats, or MemoryError "cannot allocate the output of {n} floats".
Result<std::vector<float>> allocate_output(std::uint64_t n);

// ---------------------------------------------------------------------------------------------
// Lane layout of one query for the vector paths.

inline std::size_t padded_lanes(std::size_t s) { return (s + kLanePad - 1) / kLanePad * kLanePad; }

// Whether any of the S mask values is > 0.
bool has_positive(const float* mask, std::size_t S);

// The lane data both vector paths keep for the query in hand: active[s] all ones for a token that
// takes part (no mask, or a value that is not <= 0) and zero for masked tokens and padding;
// qc_index[s] = s*K (zero for padding); and, when `transpose_qc`, the qc rows as [K][s_pad].
struct QueryLanes {
    std::vector<std::uint32_t> active;
    std::vector<std::int64_t> qc_index;
    std::vector<float> qc_t;
    bool has_qc_t = false;

    void fill(const float* mask, const float* qc, std::size_t S, std::size_t K, std::size_t s_pad, bool transpose_qc);
    const float* qc_t_or_null() const { return has_qc_t ? qc_t.data() : nullptr; }
    // Points a query record's lane fields (active, qc_index, qc_t) at these tables.
    template <class Q>
    void point(Q& q) const {
        q.active = active.data();
        q.qc_index = qc_index.data();
        q.qc_t = qc_t_or_null();
    }
};

// out[c][s] = in[s][c] for a [S][cols] row block, padding lanes zero.
template <class T>
void transpose_to_lanes(const T* in, std::size_t S, std::size_t cols, std::size_t s_pad, std::vector<T>& out) {
    out.assign(cols * s_pad, T{});
    for (std::size_t s = 0; s < S; ++s)
        for (std::size_t c = 0; c < cols; ++c) out[c * s_pad + s] = in[s * cols + c];
}

}  // namespace vse::kernels
