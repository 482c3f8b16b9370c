// The residual codec: rebuilding a compressed token row from its centroid code and its packed
// residual bucket indices.
//
// Packed row layout. A row of `dim` values is P = nbits * dim / 8 bytes (rounded down). Byte t
// carries the bucket indices of positions t*c .. t*c + c - 1, c = 8 / nbits codes per byte, the first
// in the most significant bits: index u of byte b is (b >> (nbits * (c - 1 - u))) & (2^nbits - 1).
// For nbits 2 the byte 0xD2 carries 3, 1, 0, 2. When nbits * dim is not a multiple of 8 the last
// positions carry no index.
//
// Decode. Position p gets centroid[code][p] + bucket_weights[index p] (positions without an index
// stay +0.0; a code outside the table decodes against centroid 0); the row is scaled by
// 1 / sqrt(sum of squares), the sum taken in order, unfused, and the scale 0 when the sum is not
// above 1e-24; each value becomes float16 by truncation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/error.hpp"

namespace vse::shard {

class ResidualCodec {
public:
    // Checks nbits and the weight count ("nbits must divide 8, got {}", "bucket_weights len {} !=
    // 2^nbits = {}") and builds the per-byte table. `centroids` holds n_centroids rows of dim values
    // and stays shared with the codec as it is now.
    static Result<std::shared_ptr<const ResidualCodec>> create(std::vector<float> bucket_weights, std::uint64_t nbits,
                                                               std::shared_ptr<const std::vector<float>> centroids,
                                                               std::uint64_t n_centroids, std::uint64_t dim);

    std::uint64_t dim() const { return dim_; }
    std::uint64_t nbits() const { return nbits_; }
    std::uint64_t codes_per_byte() const { return codes_per_byte_; }
    std::uint64_t packed_bytes_per_vector() const { return packed_; }
    const std::vector<std::uint8_t>& byte_codes(std::uint8_t b) const { return byte_codes_[b]; }

    // Rebuilds one row: `packed` holds the row's P bytes, `out` room for dim float16 values (two
    // bytes each, low byte first, any alignment), `buffer` room for dim floats.
    void decode_residual_row(std::uint16_t code, const std::uint8_t* packed, std::uint8_t* out, float* buffer) const;

private:
    ResidualCodec() = default;

    std::vector<float> bucket_weights_;
    std::array<std::vector<std::uint8_t>, 256> byte_codes_;
    std::shared_ptr<const std::vector<float>> centroids_;
    std::uint64_t n_centroids_ = 0, dim_ = 0, nbits_ = 0, codes_per_byte_ = 0, packed_ = 0;
};

// The bits of the IEEE binary16 value nearest to x towards zero (the fraction is cut, never
// rounded); magnitudes of 65536 or more become infinity, NaNs the quiet NaN of their sign.
std::uint16_t f32_to_f16_trunc(float x);

}  // namespace vse::shard
