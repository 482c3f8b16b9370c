// The write-ahead log "shard.wal": the only durable copy of inserted documents and of every
// payload change. This file holds the record format and its encoding; wal_writer.hpp appends
// records, wal_reader.hpp reads them back.
//
// The file has no header; records follow one another with no padding. All integers and floats are
// little-endian. One record, with P = payload_len and V = n_vectors * dim:
//
//   offset      size  field
//   0           1     op           WalOp code (1 insert, 2 delete, 3 insert, 4 update payload)
//   1           8     doc_id
//   9           4     payload_len  0 when the operation has no payload
//   13          P     payload      UTF-8 text
//   13+P        4     n_vectors
//   17+P        4     dim
//   21+P        4V    values       float32 token vectors, row after row
//   21+P+4V     4     crc          CRC-32 (IEEE, reflected 0xEDB88320) of every byte before it
//
// A record is 25 + P + 4V bytes. Replay refuses a payload above 64 MiB and more than 2^26 values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include <libdeflate.h>

#include "common/coding.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "the log is written in host byte order");

enum class WalOp : std::uint8_t { Insert = 1, Delete = 2, InsertAlt = 3, UpdatePayload = 4 };

inline constexpr std::uint64_t kWalMaxPayload = 67108864;  // 2^26 bytes
inline constexpr std::uint64_t kWalMaxValues = 67108864;   // 2^26 floats
inline constexpr std::size_t kWalBufferSize = 8192;        // the writer's buffer
inline constexpr std::size_t kWalRecordOverhead = 25;
inline constexpr std::size_t kWalHeadSize = 13;  // op, doc_id, payload_len
inline constexpr std::size_t kWalDimsSize = 8;   // n_vectors, dim
inline constexpr std::size_t kWalCrcSize = 4;

// CRC-32 (IEEE 802.3, reflected) continued over `len` more bytes. libdeflate treats a null buffer
// as a request for the initial value, so empty pieces are skipped here.
inline std::uint32_t wal_crc32(std::uint32_t crc, const void* data, std::size_t len) {
    return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

// One record as the pieces it is written from: the fixed fields encoded here, the payload and the
// values left where the caller holds them. The checksum is not among them: the writer computes it
// over the bytes it has copied into memory of its own, the bytes that reach the file, since the
// caller's values may be changing under it (another thread of the host writing its array). The
// caller's payload and values must outlive the append.
struct WalRecordPieces {
    std::uint8_t head[kWalHeadSize];  // op, doc_id, payload_len
    std::string_view payload;
    std::uint8_t dims[kWalDimsSize];  // n_vectors, dim
    std::span<const std::uint8_t> values;

    // The record's length in the file, checksum included.
    std::size_t size() const { return kWalRecordOverhead + payload.size() + values.size(); }
};

inline WalRecordPieces wal_record(WalOp op, std::uint64_t doc_id, std::span<const float> values,
                                  std::uint32_t n_vectors, std::uint32_t dim, std::optional<std::string_view> payload) {
    WalRecordPieces r;
    r.payload = payload.value_or(std::string_view());
    r.values = {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
    r.head[0] = static_cast<std::uint8_t>(op);
    put_u64(r.head + 1, doc_id);
    put_u32(r.head + 9, static_cast<std::uint32_t>(r.payload.size()));
    put_u32(r.dims, n_vectors);
    put_u32(r.dims + 4, dim);
    return r;
}

}  // namespace vse::shard
