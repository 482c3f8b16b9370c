#include "shard/wal.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>
#include <libdeflate.h>

#include "common/file_sync.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "the log is written in host byte order");

namespace {

void put_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
void put_u64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
std::uint32_t get_u32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint64_t get_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// CRC-32 (IEEE 802.3, reflected) continued over `len` more bytes. libdeflate treats a null buffer
// as a request for the initial value, so empty pieces are skipped here.
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t len) {
    return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

}  // namespace

std::vector<std::uint8_t> encode_wal_record(WalOp op, std::uint64_t doc_id, std::span<const float> values,
                                            std::uint32_t n_vectors, std::uint32_t dim,
                                            std::optional<std::string_view> payload) {
    const std::size_t plen = payload ? payload->size() : 0;
    const std::size_t vbytes = values.size_bytes();
    std::vector<std::uint8_t> rec(kWalRecordOverhead + plen + vbytes);
    std::uint8_t* p = rec.data();
    p[0] = static_cast<std::uint8_t>(op);
    put_u64(p + 1, doc_id);
    put_u32(p + 9, static_cast<std::uint32_t>(plen));
    if (plen) std::memcpy(p + 13, payload->data(), plen);
    p += 13 + plen;
    put_u32(p, n_vectors);
    put_u32(p + 4, dim);
    if (vbytes) std::memcpy(p + 8, values.data(), vbytes);
    p += 8 + vbytes;
    put_u32(p, crc32(0, rec.data(), rec.size() - 4));
    return rec;
}

// ---------------------------------------------------------------------------------------------
// Append side

WalWriter::WalWriter(std::string path, int fd, std::uint64_t length)
    : path_(std::move(path)), fd_(fd), buf_(kWalBufferSize), file_len_(length) {}

WalWriter::WalWriter(WalWriter&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      buf_(std::move(other.buf_)),
      used_(std::exchange(other.used_, 0)),
      file_len_(other.file_len_),
      broken_(std::move(other.broken_)) {}

WalWriter::~WalWriter() {
    if (fd_ < 0) return;
    (void)sync();
    ::close(fd_);
}

std::expected<WalWriter, StorageError> WalWriter::open(std::string path, std::optional<std::uint64_t> cut_at) {
    if (path.find('\0') != std::string::npos)
        return std::unexpected(StorageError{StorageKind::InvalidInput, "file name contained an unexpected NUL byte"});
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(os_error(errno));
    auto fail = [&](int err) {
        ::close(fd);
        return std::unexpected(os_error(err));
    };
    if (cut_at) {
        int rc;
        do {
            rc = ::ftruncate(fd, static_cast<off_t>(*cut_at));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return fail(errno);
        if (int err = full_sync(fd)) return fail(err);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(errno);
    return WalWriter(std::move(path), fd, static_cast<std::uint64_t>(st.st_size));
}

std::expected<void, StorageError> WalWriter::usable() const {
    if (fd_ < 0) return std::unexpected(StorageError{StorageKind::Other, "WAL writer is closed"});
    if (broken_) return std::unexpected(*broken_);
    return {};
}

std::expected<void, StorageError> WalWriter::write_all(const std::uint8_t* data, std::size_t len,
                                                       std::size_t* written) {
    *written = 0;
    while (*written < len) {
        const ssize_t n = ::write(fd_, data + *written, len - *written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) return std::unexpected(StorageError{StorageKind::Other, "failed to write whole buffer"});
        *written += static_cast<std::size_t>(n);
        file_len_ += static_cast<std::uint64_t>(n);
    }
    return {};
}

std::expected<void, StorageError> WalWriter::flush() {
    if (auto ok = usable(); !ok) return ok;
    if (used_ == 0) return {};
    std::size_t written = 0;
    auto r = write_all(buf_.data(), used_, &written);
    // Whatever was written leaves the buffer; the rest stays for the next attempt, so the file
    // always holds a prefix of the record stream.
    if (written > 0) {
        std::memmove(buf_.data(), buf_.data() + written, used_ - written);
        used_ -= written;
    }
    return r;
}

std::expected<void, StorageError> WalWriter::append(std::span<const std::uint8_t> record) {
    if (auto ok = usable(); !ok) return ok;
    if (record.size() > buf_.size() - used_) {
        if (auto r = flush(); !r) return r;
    }
    if (record.size() < buf_.size()) {
        std::memcpy(buf_.data() + used_, record.data(), record.size());
        used_ += record.size();
        return {};
    }
    const std::uint64_t before = file_len_;
    std::size_t written = 0;
    auto r = write_all(record.data(), record.size(), &written);
    if (!r && written > 0) {
        // A partial record would hide every later one from replay: take it back.
        int rc;
        do {
            rc = ::ftruncate(fd_, static_cast<off_t>(before));
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            file_len_ = before;
        } else {
            broken_ = StorageError{StorageKind::Other,
                                   fmt::format("log unusable after a failed write left a partial record: {}",
                                               r.error().message)};
        }
    }
    return r;
}

std::expected<void, StorageError> WalWriter::sync() {
    if (auto r = flush(); !r) return r;
    if (int err = full_sync(fd_)) return std::unexpected(os_error(err));
    return {};
}

// ---------------------------------------------------------------------------------------------
// Replay

namespace {

// Exact-length reads through an 8192-byte buffer; requests at least as large as the buffer go
// straight to the file when the buffer is empty.
class LogReader {
public:
    LogReader(int fd, std::uint64_t size) : fd_(fd), size_(size), buf_(kWalBufferSize) {}

    // Bytes of the file not read yet, by the size it had when reading began.
    std::uint64_t remaining() const { return consumed_ < size_ ? size_ - consumed_ : 0; }

    enum class Got { All, Eof, Error };

    // Reads exactly `len` bytes. On Eof, `*got` tells how many arrived before the end.
    Got read_exact(std::uint8_t* dst, std::size_t len, std::size_t* got) {
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
            const ssize_t n = direct ? ::read(fd_, dst + *got, want) : ::read(fd_, buf_.data(), buf_.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return Got::Error;
            }
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

private:
    int fd_;
    std::uint64_t size_;
    std::uint64_t consumed_ = 0;  // bytes handed to the caller
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0, end_ = 0;
};

}  // namespace

std::expected<WalReplay, StorageError> wal_replay(const std::string& path, std::uint64_t index_dim) {
    WalReplay out;
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return out;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(os_error(errno));
    const bool sized = ::fstat(fd, &st) == 0;
    const std::uint64_t size = sized ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (!sized) out.stop = WalStop::ReadError;

    // Applying the records one after another in file order; ids are sorted once at the end.
    std::unordered_map<std::uint64_t, DocEntry> docs;
    LogReader in(fd, size);
    std::vector<std::uint8_t> values;
    std::uint8_t head[13], dims[8], tail[4];

    auto stop = [&](WalStop why) { out.stop = why; };
    // A field longer than what is left of the file ends the reading as a torn record before any
    // memory is set aside for it: a few hostile bytes must not cost hundreds of megabytes.
    auto fits = [&](std::uint64_t len) {
        if (len <= in.remaining()) return true;
        stop(WalStop::Torn);
        return false;
    };
    // Reads one field; false ends the replay with the reason recorded.
    auto field = [&](std::uint8_t* dst, std::size_t len, bool first) {
        std::size_t got = 0;
        switch (in.read_exact(dst, len, &got)) {
            case LogReader::Got::All:
                return true;
            case LogReader::Got::Eof:
                if (first && got == 0)
                    stop(WalStop::End);
                else
                    stop(WalStop::Torn);
                return false;
            case LogReader::Got::Error:
                stop(WalStop::ReadError);
                return false;
        }
        return false;
    };

    while (sized) {
        if (!field(head, 1, true)) break;
        const std::uint8_t op = head[0];
        if (op < 1 || op > 4) {  // "bad WAL op: {}"
            stop(WalStop::Corrupt);
            break;
        }
        if (!field(head + 1, 12, false)) break;
        const std::uint64_t doc_id = get_u64(head + 1);
        const std::uint32_t plen = get_u32(head + 9);
        if (plen > kWalMaxPayload) {  // "WAL payload_len {} exceeds limit {}"
            stop(WalStop::Corrupt);
            break;
        }
        if (!fits(plen)) break;
        std::string payload(plen, '\0');
        if (plen && !field(reinterpret_cast<std::uint8_t*>(payload.data()), plen, false)) break;
        if (!field(dims, 8, false)) break;
        const std::uint32_t n_vectors = get_u32(dims), dim = get_u32(dims + 4);
        const std::uint64_t n_values = static_cast<std::uint64_t>(n_vectors) * dim;
        if (n_values > kWalMaxValues) {  // "WAL vec size {} exceeds limit {}"
            stop(WalStop::Corrupt);
            break;
        }
        if (!fits(n_values * 4)) break;
        values.resize(n_values * 4);
        if (n_values && !field(values.data(), values.size(), false)) break;
        if (!field(tail, 4, false)) break;

        std::uint32_t crc = crc32(0, head, 13);
        crc = crc32(crc, payload.data(), plen);
        crc = crc32(crc, dims, 8);
        crc = crc32(crc, values.data(), values.size());
        const std::uint32_t stored = get_u32(tail);
        if (stored != crc) {  // "CRC mismatch: stored={:#x} computed={:#x}"
            stop(WalStop::Corrupt);
            break;
        }

        out.good_len += kWalRecordOverhead + plen + values.size();
        switch (static_cast<WalOp>(op)) {
            case WalOp::Insert:
            case WalOp::InsertAlt: {
                DocEntry e;
                if (plen) e.payload = std::make_shared<const std::string>(std::move(payload));
                e.row_start = 0;
                e.row_end = n_vectors;
                e.dim = index_dim;
                e.shard_id = NO_SHARD;
                docs.insert_or_assign(doc_id, std::move(e));
                break;
            }
            case WalOp::Delete:
                docs.erase(doc_id);
                break;
            case WalOp::UpdatePayload:
                if (auto it = docs.find(doc_id); it != docs.end())
                    it->second.payload = plen ? std::make_shared<const std::string>(std::move(payload)) : nullptr;
                break;
        }
    }
    ::close(fd);

    std::vector<std::pair<std::uint64_t, DocEntry>> sorted(std::make_move_iterator(docs.begin()),
                                                           std::make_move_iterator(docs.end()));
    docs.clear();
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.docs = DocMap::from_sorted(std::move(sorted));
    return out;
}

}  // namespace vse::shard
