#include "shard/scoring/maxsim.hpp"

#include <cmath>
#include <cstdint>

namespace vse::shard {

QueryDots::QueryDots(const float* query, std::size_t n_q, std::size_t dim, const ScoringTable& table)
    : n_q_(n_q), dim_(dim), table_(&table) {
    const std::size_t S = table.slots;
    pq_ = PackedQuery{query, nullptr, nullptr, n_q, dim, S, 0};
    if (S == 0 || n_q == 0) return;
    const std::size_t G = (n_q + S - 1) / S, dim4 = dim / 4, tail = dim - 4 * dim4;
    const std::size_t W = S * 4;
    // Each packed group is one 64-byte register's worth: aligned to a cache line, no load of it is split.
    constexpr std::size_t kLine = 64 / sizeof(float);
    packed_.assign((dim4 + tail) * G * W + kLine, 0.0f);
    float* blocks = packed_.data();
    blocks += (kLine - (reinterpret_cast<std::uintptr_t>(blocks) / sizeof(float)) % kLine) % kLine;
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
    pq_ = PackedQuery{query, blocks, tails, n_q, dim, S, G};
}

float QueryDots::maxsim(const float* doc, std::size_t rows, float* scratch, const void* ahead,
                        std::size_t ahead_bytes) const {
    if (n_q_ == 0 || rows == 0) return 0.0f;
    table_->max_rows(pq_, doc, rows, scratch, ahead, ahead_bytes);
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
    table_->max_query(pq_, rows, n, out);
}

void QueryDots::dot_table(const float* rows, std::size_t n, float* out, std::size_t stride) const {
    if (n == 0 || n_q_ == 0) return;
    table_->dot_table(pq_, rows, n, out, stride);
}

}  // namespace vse::shard
