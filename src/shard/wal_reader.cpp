#include "shard/wal_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common/coding.hpp"
#include "common/fs.hpp"

namespace vse::shard {

namespace {
// Large enough that a read costs little beside the copy out of the page cache, small enough to stay
// in the core's own cache while the records in it are parsed.
constexpr std::size_t kReadBlock = std::size_t{256} << 10;
}  // namespace

WalReader::WalReader(int fd) : fd_(fd), buf_(kReadBlock) {
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        size_ = static_cast<std::uint64_t>(st.st_size);
    } else {
        halt(WalStop::ReadError);
    }
}

WalReader::Got WalReader::have(std::size_t len) {
    if (end_ - pos_ >= len) return Got::All;
    // Keep the current record's bytes at the front, and room for the whole of it. `len` is bounded
    // by the file's size (see fits) before it gets here.
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    if (buf_.size() < len) buf_.resize(std::max(len, kReadBlock));
    while (end_ < len) {
        const ssize_t n = pread_some(fd_, buf_.data() + end_, buf_.size() - end_, end_offset_);
        if (n < 0) return Got::Error;
        if (n == 0) return Got::Eof;
        end_ += static_cast<std::size_t>(n);
        end_offset_ += static_cast<std::uint64_t>(n);
    }
    return Got::All;
}

bool WalReader::need(std::size_t len, bool first) {
    switch (have(len)) {
        case Got::All:
            return true;
        case Got::Eof:
            return halt(first && end_ == pos_ ? WalStop::End : WalStop::Torn);
        case Got::Error:
            return halt(WalStop::ReadError);
    }
    return false;
}

bool WalReader::fits(std::uint64_t at, std::uint64_t len) {
    const std::uint64_t from = good_len_ + at;
    return len <= (from < size_ ? size_ - from : 0) || halt(WalStop::Torn);
}

bool WalReader::next(WalRecord& rec) {
    if (done_) return false;
    if (!need(1, true)) return false;
    const std::uint8_t op = buf_[pos_];
    if (op < 1 || op > 4) return halt(WalStop::Corrupt);  // "bad WAL op: {}"
    if (!need(kWalHeadSize)) return false;
    const std::uint32_t plen = get_u32(buf_.data() + pos_ + 9);
    if (plen > kWalMaxPayload) return halt(WalStop::Corrupt);  // "WAL payload_len {} exceeds limit {}"
    if (!fits(kWalHeadSize, plen)) return false;
    const std::size_t dims_at = kWalHeadSize + plen;
    if (!need(dims_at + kWalDimsSize)) return false;
    const std::uint32_t n_vectors = get_u32(buf_.data() + pos_ + dims_at);
    const std::uint32_t dim = get_u32(buf_.data() + pos_ + dims_at + 4);
    const std::uint64_t n_values = static_cast<std::uint64_t>(n_vectors) * dim;
    if (n_values > kWalMaxValues) return halt(WalStop::Corrupt);  // "WAL vec size {} exceeds limit {}"
    const std::size_t values_at = dims_at + kWalDimsSize;
    if (!fits(values_at, n_values * 4)) return false;
    const std::size_t crc_at = values_at + static_cast<std::size_t>(n_values) * 4;
    if (!need(crc_at + kWalCrcSize)) return false;

    // Parsed where it lies: `have` may have moved the block, so the record is located only now.
    const std::uint8_t* r = buf_.data() + pos_;
    const std::uint32_t crc = wal_crc32(0, r, crc_at);
    if (get_u32(r + crc_at) != crc) return halt(WalStop::Corrupt);  // "CRC mismatch: stored={:#x} computed={:#x}"

    rec.op = static_cast<WalOp>(op);
    rec.doc_id = get_u64(r + 1);
    rec.payload = {reinterpret_cast<const char*>(r + kWalHeadSize), plen};
    rec.n_vectors = n_vectors;
    rec.dim = dim;
    rec.values = {r + values_at, crc_at - values_at};
    pos_ += crc_at + kWalCrcSize;
    good_len_ += crc_at + kWalCrcSize;
    return true;
}

}  // namespace vse::shard
