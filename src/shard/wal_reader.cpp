#include "shard/wal_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common/coding.hpp"
#include "common/fs.hpp"

namespace vse::shard {

WalReader::WalReader(int fd) : fd_(fd), buf_(kWalBufferSize) {
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        size_ = static_cast<std::uint64_t>(st.st_size);
    } else {
        halt(WalStop::ReadError);
    }
}

WalReader::Got WalReader::read_exact(std::uint8_t* dst, std::size_t len, std::size_t* got) {
    *got = 0;
    while (*got < len) {
        if (pos_ < end_) {
            const std::size_t take = std::min(len - *got, end_ - pos_);
            std::memcpy(dst + *got, buf_.data() + pos_, take);
            pos_ += take;
            *got += take;
            consumed_ += take;
            continue;
        }
        const std::size_t want = len - *got;
        const bool direct = want >= buf_.size();
        const ssize_t n = direct ? pread_some(fd_, dst + *got, want, consumed_)
                                 : pread_some(fd_, buf_.data(), buf_.size(), consumed_);
        if (n < 0) return Got::Error;
        if (n == 0) return Got::Eof;
        if (direct) {
            *got += static_cast<std::size_t>(n);
            consumed_ += static_cast<std::uint64_t>(n);
        } else {
            pos_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
    }
    return Got::All;
}

bool WalReader::field(std::uint8_t* dst, std::size_t len, bool first) {
    std::size_t got = 0;
    switch (read_exact(dst, len, &got)) {
        case Got::All:
            return true;
        case Got::Eof:
            return halt(first && got == 0 ? WalStop::End : WalStop::Torn);
        case Got::Error:
            return halt(WalStop::ReadError);
    }
    return false;
}

bool WalReader::fits(std::uint64_t len) { return len <= remaining() || halt(WalStop::Torn); }

bool WalReader::next(WalRecord& rec) {
    if (done_) return false;
    std::uint8_t head[kWalHeadSize], dims[kWalDimsSize], tail[kWalCrcSize];
    if (!field(head, 1, true)) return false;
    const std::uint8_t op = head[0];
    if (op < 1 || op > 4) return halt(WalStop::Corrupt);  // "bad WAL op: {}"
    if (!field(head + 1, kWalHeadSize - 1, false)) return false;
    const std::uint64_t doc_id = get_u64(head + 1);
    const std::uint32_t plen = get_u32(head + 9);
    if (plen > kWalMaxPayload) return halt(WalStop::Corrupt);  // "WAL payload_len {} exceeds limit {}"
    if (!fits(plen)) return false;
    rec.payload.resize(plen);
    if (plen && !field(reinterpret_cast<std::uint8_t*>(rec.payload.data()), plen, false)) return false;
    if (!field(dims, kWalDimsSize, false)) return false;
    const std::uint32_t n_vectors = get_u32(dims), dim = get_u32(dims + 4);
    const std::uint64_t n_values = static_cast<std::uint64_t>(n_vectors) * dim;
    if (n_values > kWalMaxValues) return halt(WalStop::Corrupt);  // "WAL vec size {} exceeds limit {}"
    if (!fits(n_values * 4)) return false;
    values_.resize(n_values * 4);
    if (n_values && !field(values_.data(), values_.size(), false)) return false;
    if (!field(tail, kWalCrcSize, false)) return false;

    std::uint32_t crc = wal_crc32(0, head, kWalHeadSize);
    crc = wal_crc32(crc, rec.payload.data(), plen);
    crc = wal_crc32(crc, dims, kWalDimsSize);
    crc = wal_crc32(crc, values_.data(), values_.size());
    if (get_u32(tail) != crc) return halt(WalStop::Corrupt);  // "CRC mismatch: stored={:#x} computed={:#x}"

    good_len_ += kWalRecordOverhead + plen + values_.size();
    rec.op = static_cast<WalOp>(op);
    rec.doc_id = doc_id;
    rec.n_vectors = n_vectors;
    rec.dim = dim;
    rec.values = values_;
    return true;
}

}  // namespace vse::shard
