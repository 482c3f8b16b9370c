#include "shard/scoring/maxsim.hpp"

#include <cmath>

#include "common/cpu_features.hpp"

namespace vse::shard {

bool dot_path_available(DotPath path) {
    switch (path) {
        case DotPath::PlainScalar:
        case DotPath::PlainVector: return true;
#if defined(__x86_64__)
        case DotPath::Avx2: return isa_available(Isa::Avx2);
        case DotPath::Avx512: return isa_available(Isa::Avx512);
#else
        default: return false;
#endif
    }
    return false;
}

DotPath dot_path() {
    static const DotPath path = [] {
        if (dot_form() == DotForm::Scalar) return DotPath::PlainScalar;
        for (DotPath p : {DotPath::Avx512, DotPath::Avx2})
            if (dot_path_available(p)) return p;
        return DotPath::PlainVector;
    }();
    return path;
}

QueryDots::QueryDots(const float* query, std::size_t n_q, std::size_t dim, DotPath path)
    : query_(query), n_q_(n_q), dim_(dim), path_(path) {
    std::size_t S = 0;
#if defined(__x86_64__)
    if (path == DotPath::Avx512) {
        S = 4;
        max_rows_ = max_rows_avx512;
        max_query_ = max_query_avx512;
    } else if (path == DotPath::Avx2) {
        S = 2;
        max_rows_ = max_rows_avx2;
        max_query_ = max_query_avx2;
    }
#endif
    if (S == 0 || n_q == 0) return;
    const std::size_t G = (n_q + S - 1) / S, dim4 = dim / 4, tail = dim - 4 * dim4;
    const std::size_t W = S * 4;
    packed_.assign((dim4 + tail) * G * W, 0.0f);
    float* blocks = packed_.data();
    float* tails = blocks + dim4 * G * W;
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t k = 0; k < S; ++k) {
            std::size_t row = k * G + g;
            if (row >= n_q) row = n_q - 1;
            const float* q = query + row * dim;
            for (std::size_t i = 0; i < dim4; ++i)
                for (std::size_t j = 0; j < 4; ++j) blocks[((i * G + g) * S + k) * 4 + j] = q[4 * i + j];
            for (std::size_t t = 0; t < tail; ++t)
                for (std::size_t j = 0; j < 4; ++j) tails[((t * G + g) * S + k) * 4 + j] = q[4 * dim4 + t];
        }
    pq_ = PackedQuery{blocks, tails, n_q, dim, S, G};
}

float QueryDots::maxsim(const float* doc, std::size_t rows, float* scratch) const {
    if (n_q_ == 0 || rows == 0) return 0.0f;
    if (max_rows_ != nullptr) {
        max_rows_(pq_, doc, rows, scratch);
    } else {
        const DotForm form = path_ == DotPath::PlainScalar ? DotForm::Scalar : DotForm::Vector;
        for (std::size_t q = 0; q < n_q_; ++q) {
            float best = -INFINITY;
            for (std::size_t r = 0; r < rows; ++r) {
                const float s = dot_in(form, query_ + q * dim_, doc + r * dim_, dim_);
                if (s > best) best = s;
            }
            scratch[q] = best;
        }
    }
    float total = 0.0f;
    for (std::size_t q = 0; q < n_q_; ++q) total = total + scratch[q];
    return total;
}

void QueryDots::max_over_query(const float* const* rows, std::size_t n, float* out) const {
    if (n == 0) return;
    if (n_q_ == 0) {
        for (std::size_t r = 0; r < n; ++r) out[r] = -INFINITY;
        return;
    }
    if (max_query_ != nullptr) {
        max_query_(pq_, rows, n, out);
        return;
    }
    const DotForm form = path_ == DotPath::PlainScalar ? DotForm::Scalar : DotForm::Vector;
    for (std::size_t r = 0; r < n; ++r) {
        float best = -INFINITY;
        for (std::size_t q = 0; q < n_q_; ++q) {
            const float s = dot_in(form, query_ + q * dim_, rows[r], dim_);
            if (s > best) best = s;
        }
        out[r] = best;
    }
}

}  // namespace vse::shard
