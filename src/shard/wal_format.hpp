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
#include <vector>

#include <libdeflate.h>

#include "common/coding.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "the log is written in host byte order");

enum class WalOp : std::uint8_t { Insert = 1, Delete = 2, InsertAlt = 3, UpdatePayload = 4 };

inline constexpr std::uint64_t kWalMaxPayload = 67108864;  // 2^26 bytes
inline constexpr std::uint64_t kWalMaxValues = 67108864;   // 2^26 floats
inline constexpr std::size_t kWalBufferSize = 8192;        // the writer's buffer and the reader's
inline constexpr std::size_t kWalRecordOverhead = 25;
inline constexpr std::size_t kWalHeadSize = 13;  // op, doc_id, payload_len
inline constexpr std::size_t kWalDimsSize = 8;   // n_vectors, dim
inline constexpr std::size_t kWalCrcSize = 4;

// CRC-32 (IEEE 802.3, reflected) continued over `len` more bytes. libdeflate treats a null buffer
// as a request for the initial value, so empty pieces are skipped here.
inline std::uint32_t wal_crc32(std::uint32_t crc, const void* data, std::size_t len) {
    return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

// One serialised record, ready to hand to WalWriter::append.
inline std::vector<std::uint8_t> encode_wal_record(WalOp op, std::uint64_t doc_id, std::span<const float> values,
                                                   std::uint32_t n_vectors, std::uint32_t dim,
                                                   std::optional<std::string_view> payload) {
    const std::size_t plen = payload ? payload->size() : 0;
    const std::size_t vbytes = values.size_bytes();
    std::vector<std::uint8_t> rec(kWalRecordOverhead + plen + vbytes);
    std::uint8_t* p = rec.data();
    p[0] = static_cast<std::uint8_t>(op);
    put_u64(p + 1, doc_id);
    put_u32(p + 9, static_cast<std::uint32_t>(plen));
    if (plen) std::memcpy(p + kWalHeadSize, payload->data(), plen);
    p += kWalHeadSize + plen;
    put_u32(p, n_vectors);
    put_u32(p + 4, dim);
    if (vbytes) std::memcpy(p + kWalDimsSize, values.data(), vbytes);
    p += kWalDimsSize + vbytes;
    put_u32(p, wal_crc32(0, rec.data(), rec.size() - kWalCrcSize));
    return rec;
}

}  // namespace vse::shard
