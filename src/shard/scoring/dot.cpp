#include "shard/scoring/dot.hpp"

#include <algorithm>
#include <cmath>

namespace vse::shard {

DotForm dot_form() { return has_fused_multiply_add() ? DotForm::Vector : DotForm::Scalar; }

float dot_vector_plain(const float* a, const float* b, std::size_t n) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t n4 = n / 4;
    for (std::size_t i = 0; i < n4; ++i)
        for (std::size_t j = 0; j < 4; ++j) acc[j] = std::fma(a[4 * i + j], b[4 * i + j], acc[j]);
    float s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (std::size_t t = 4 * n4; t < n; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

float dot_scalar(const float* a, const float* b, std::size_t n) {
    float s = -0.0f;
    for (std::size_t t = 0; t < n; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

float dot(const float* a, const float* b, std::size_t n) { return scoring_table().dot(a, b, n); }

namespace {

// The plain loops: one dot at a time, in the form's order, maxima taken in row order.

template <DotForm F>
void max_rows_plain(const PackedQuery& q, const float* doc, std::size_t rows, float* best_out, const void*,
                    std::size_t) {
    for (std::size_t i = 0; i < q.n_q; ++i) {
        float best = -INFINITY;
        for (std::size_t r = 0; r < rows; ++r) {
            const float s = dot_in(F, q.query + i * q.dim, doc + r * q.dim, q.dim);
            if (s > best) best = s;
        }
        best_out[i] = best;
    }
}

template <DotForm F>
void max_query_plain(const PackedQuery& q, const float* const* rows, std::size_t n, float* out) {
    for (std::size_t r = 0; r < n; ++r) {
        float best = -INFINITY;
        for (std::size_t i = 0; i < q.n_q; ++i) {
            const float s = dot_in(F, q.query + i * q.dim, rows[r], q.dim);
            if (s > best) best = s;
        }
        out[r] = best;
    }
}

template <DotForm F>
void dot_table_plain(const PackedQuery& q, const float* rows, std::size_t n, float* out, std::size_t stride) {
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t i = 0; i < q.n_q; ++i)
            out[r * stride + i] = dot_in(F, q.query + i * q.dim, rows + r * q.dim, q.dim);
}

void code_max_plain(const float* table, std::size_t stride, std::size_t n_codes, const std::uint8_t* codes,
                    std::size_t m, float* best) {
    std::fill(best, best + stride, -INFINITY);
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t c = static_cast<std::size_t>(codes[2 * i] | (codes[2 * i + 1] << 8));
        if (c >= n_codes) continue;
        const float* row = table + c * stride;
        for (std::size_t q = 0; q < stride; ++q)
            if (row[q] > best[q]) best[q] = row[q];
    }
}

template <DotForm F>
constexpr ScoringTable plain_table(DotFn dot) {
    return ScoringTable{0, dot, max_rows_plain<F>, max_query_plain<F>, dot_table_plain<F>, code_max_plain};
}

constexpr ScoringTable kPlainVector = plain_table<DotForm::Vector>(dot_vector_plain);
constexpr ScoringTable kPlainScalar = plain_table<DotForm::Scalar>(dot_scalar);

}  // namespace

const ScoringTable& plain_scoring_table(DotForm form) {
    return form == DotForm::Vector ? kPlainVector : kPlainScalar;
}

const IsaTables<ScoringTable>& scoring_tables() {
    static const IsaTables<ScoringTable> tables(plain_scoring_table(dot_form()),
                                                {VSE_ISA_X86_64_UNITS(&kScoringAvx2, &kScoringAvx512)});
    return tables;
}

const ScoringTable& scoring_table(Isa isa) { return scoring_tables()[isa]; }

const ScoringTable& scoring_table() {
    static const ScoringTable& table = scoring_table(best_isa());
    return table;
}

}  // namespace vse::shard
