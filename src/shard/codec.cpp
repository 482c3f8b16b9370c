#include "shard/codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include <fmt/format.h>

namespace vse::shard {

std::uint16_t f32_to_f16_trunc(float x) {
    const std::uint32_t b = std::bit_cast<std::uint32_t>(x);
    const auto s = static_cast<std::uint16_t>((b >> 16) & 0x8000u);
    const std::uint32_t e = (b >> 23) & 0xFFu, m = b & 0x7FFFFFu;
    if (e == 255) return static_cast<std::uint16_t>(s | (m != 0 ? 0x7E00u : 0x7C00u));
    if (e >= 143) return static_cast<std::uint16_t>(s | 0x7C00u);
    if (e >= 113) return static_cast<std::uint16_t>(s | ((e - 112) << 10) | (m >> 13));
    if (e >= 103) return static_cast<std::uint16_t>(s | ((m | 0x800000u) >> (126 - e)));
    return s;
}

Result<std::shared_ptr<const ResidualCodec>> ResidualCodec::create(std::vector<float> bucket_weights,
                                                                   std::uint64_t nbits,
                                                                   std::shared_ptr<const std::vector<float>> centroids,
                                                                   std::uint64_t n_centroids, std::uint64_t dim) {
    if (nbits == 0 || 8 % nbits != 0) return fail(Exc::Value, fmt::format("nbits must divide 8, got {}", nbits));
    const std::uint64_t buckets = std::uint64_t{1} << nbits;
    if (bucket_weights.size() != buckets)
        return fail(Exc::Value, fmt::format("bucket_weights len {} != 2^nbits = {}", bucket_weights.size(), buckets));
    std::shared_ptr<ResidualCodec> c(new ResidualCodec());
    c->codes_per_byte_ = 8 / nbits;
    const std::uint32_t mask = static_cast<std::uint32_t>(buckets - 1);
    for (std::uint32_t b = 0; b < 256; ++b) {
        auto& codes = c->byte_codes_[b];
        codes.resize(c->codes_per_byte_);
        for (std::uint64_t u = 0; u < c->codes_per_byte_; ++u)
            codes[u] = static_cast<std::uint8_t>((b >> (nbits * (c->codes_per_byte_ - 1 - u))) & mask);
    }
    c->bucket_weights_ = std::move(bucket_weights);
    c->centroids_ = std::move(centroids);
    c->n_centroids_ = n_centroids;
    c->dim_ = dim;
    c->nbits_ = nbits;
    // floor(nbits * dim / 8) without forming nbits * dim, which a wide dim would wrap.
    c->packed_ = dim / 8 * nbits + dim % 8 * nbits / 8;
    return std::shared_ptr<const ResidualCodec>(std::move(c));
}

void ResidualCodec::decode_residual_row(std::uint16_t code, const std::uint8_t* packed, std::uint8_t* out,
                                        float* buffer) const {
    const float* centroid = centroids_->data() + (code < n_centroids_ ? code * dim_ : 0);
    std::fill(buffer, buffer + dim_, 0.0f);
    std::uint64_t p = 0;
    for (std::uint64_t t = 0; t < packed_ && p < dim_; ++t)
        for (std::uint8_t k : byte_codes_[packed[t]]) {
            if (p >= dim_) break;
            buffer[p] = centroid[p] + bucket_weights_[k];
            ++p;
        }
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < dim_; ++i) {
        const float sq = buffer[i] * buffer[i];
        sum = sum + sq;
    }
    // 1e-24 as the nearest float (bits 0x179ABE15); a NaN sum fails the test too.
    const float scale = sum > 1e-24f ? 1.0f / std::sqrt(sum) : 0.0f;
    for (std::uint64_t i = 0; i < dim_; ++i) {
        const std::uint16_t h = f32_to_f16_trunc(scale * buffer[i]);
        out[2 * i] = static_cast<std::uint8_t>(h & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(h >> 8);
    }
}

}  // namespace vse::shard
