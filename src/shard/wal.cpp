#include "shard/wal.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>
#include <libdeflate.h>

#include "common/coding.hpp"
#include "common/file_sync.hpp"
#include "common/keyed_hash.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "the log is written in host byte order");

namespace {

// CRC-32 (IEEE 802.3, reflected) continued over `len` more bytes. libdeflate treats a null buffer
// as a request for the initial value, so empty pieces are skipped here.
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t len) {
    return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

int open_file(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::string parent_dir(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the directory entries of files created in `dir` durable. Returns 0 or the errno; a file
// system that cannot sync a directory counts as done.
int sync_dir(const std::string& dir) {
    const int dfd = open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return errno;
    const int err = full_sync(dfd);
    ::close(dfd);
    return err == EINVAL || err == ENOTSUP ? 0 : err;
}

// Writes all `len` bytes, repeating interrupted and short writes; `*written` tells how many went
// out, also on failure.
std::expected<void, StorageError> write_fully(int fd, const std::uint8_t* data, std::size_t len,
                                              std::size_t* written) {
    *written = 0;
    while (*written < len) {
        const ssize_t n = ::write(fd, data + *written, len - *written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) return std::unexpected(StorageError{StorageKind::Other, "failed to write whole buffer"});
        *written += static_cast<std::size_t>(n);
    }
    return {};
}

// Returns 0 or the errno.
int truncate_to(int fd, std::uint64_t length) {
    int rc;
    do {
        rc = ::ftruncate(fd, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

// Copies bytes [from, to) of `src` to the end of `dst`.
std::expected<void, StorageError> copy_range(int src, std::uint64_t from, std::uint64_t to, int dst) {
    std::vector<std::uint8_t> buf(std::size_t{1} << 20);
    while (from < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), to - from));
        const ssize_t n = ::pread(src, buf.data(), want, static_cast<off_t>(from));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) return std::unexpected(StorageError{StorageKind::UnexpectedEof, "the log ended while being copied"});
        std::size_t written;
        if (auto r = write_fully(dst, buf.data(), static_cast<std::size_t>(n), &written); !r) return r;
        from += static_cast<std::uint64_t>(n);
    }
    return {};
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
    : path_(std::move(path)), fd_(fd), owner_(::getpid()), buf_(kWalBufferSize), file_len_(length) {}

WalWriter::WalWriter(WalWriter&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      owner_(other.owner_),
      buf_(std::move(other.buf_)),
      used_(std::exchange(other.used_, 0)),
      file_len_(other.file_len_),
      broken_(std::move(other.broken_)) {}

WalWriter::~WalWriter() {
    if (fd_ < 0) return;
    if (::getpid() == owner_) (void)sync();
    ::close(fd_);
}

std::expected<WalWriter, WalOpenError> WalWriter::open(std::string path) {
    auto failure = [](WalOpenStep step, StorageError e) { return std::unexpected(WalOpenError{step, std::move(e)}); };
    if (path.find('\0') != std::string::npos)
        return failure(WalOpenStep::Open,
                       StorageError{StorageKind::InvalidInput, "file name contained an unexpected NUL byte"});
    struct stat st;
    const bool existed = ::stat(path.c_str(), &st) == 0;
    // Non-blocking, so that a FIFO cannot hang the open; what is not a regular file is refused
    // below, before anything reads it.
    const int fd = open_file(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int err = errno;
        // An existing log that cannot even be read fails as the replay would; one that can be read
        // but not appended to fails as the open for appending.
        if (existed) {
            const int probe = open_file(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (probe < 0) return failure(WalOpenStep::Replay, os_error(errno));
            ::close(probe);
        }
        return failure(WalOpenStep::Open, os_error(err));
    }
    auto fail = [&](WalOpenStep step, StorageError e) {
        ::close(fd);
        return failure(step, std::move(e));
    };
    if (::fstat(fd, &st) != 0) return fail(WalOpenStep::Open, os_error(errno));
    if (!S_ISREG(st.st_mode))
        return fail(existed ? WalOpenStep::Replay : WalOpenStep::Open, not_a_regular_file(path));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(WalOpenStep::Open, os_error(errno));
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return fail(errno == EWOULDBLOCK ? WalOpenStep::Held : WalOpenStep::Lock, os_error(errno));
    // Make a new log's directory entry durable too; file systems that cannot sync a directory are
    // no reason to refuse the open.
    if (!existed) (void)sync_dir(parent_dir(path));
    return WalWriter(std::move(path), fd, static_cast<std::uint64_t>(st.st_size));
}

WalReplay WalWriter::replay(std::uint64_t index_dim) const { return wal_replay(fd_, index_dim); }

std::expected<std::string, StorageError> WalWriter::cut(std::uint64_t length) {
    if (auto ok = usable(); !ok) return std::unexpected(ok.error());
    if (length >= file_len_) return std::string();
    auto failed = [&](const std::string& copy, const StorageError& e) {
        return std::unexpected(StorageError{
            e.kind, fmt::format("cannot keep the unread tail of {} (from byte {}) in {}: {}", path_, length, copy,
                                e.message)});
    };

    std::string copy;
    int cfd = -1;
    for (unsigned k = 0;; ++k) {
        copy = k == 0 ? fmt::format("{}.corrupt-{}", path_, length) : fmt::format("{}.corrupt-{}.{}", path_, length, k);
        cfd = open_file(copy, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (cfd >= 0 || errno != EEXIST) break;
    }
    if (cfd < 0) return failed(copy, os_error(errno));
    auto kept = copy_range(fd_, length, file_len_, cfd);
    if (kept) {
        if (int err = full_sync(cfd)) kept = std::unexpected(os_error(err));
    }
    ::close(cfd);
    if (kept) {
        if (int err = sync_dir(parent_dir(copy))) kept = std::unexpected(os_error(err));
    }
    if (!kept) {
        ::unlink(copy.c_str());
        return failed(copy, kept.error());
    }

    auto cut_failed = [&](int err) {
        return std::unexpected(
            StorageError{StorageKind::Other, fmt::format("cannot cut {} at byte {}: {}", path_, length, os_error_text(err))});
    };
    if (int err = truncate_to(fd_, length)) {
        ::unlink(copy.c_str());  // the log still holds every byte
        return cut_failed(err);
    }
    file_len_ = length;
    if (int err = full_sync(fd_)) return cut_failed(err);  // the copy stays: the cut may have reached the disk
    return copy;
}

std::expected<void, StorageError> WalWriter::usable() const {
    if (fd_ < 0) return std::unexpected(StorageError{StorageKind::Other, "WAL writer is closed"});
    if (::getpid() != owner_)
        return std::unexpected(StorageError{
            StorageKind::Other, fmt::format("the log belongs to process {}, which opened it; a forked process does "
                                            "not write it", owner_)});
    if (broken_) return std::unexpected(*broken_);
    return {};
}

std::expected<void, StorageError> WalWriter::write_all(const std::uint8_t* data, std::size_t len,
                                                       std::size_t* written) {
    auto r = write_fully(fd_, data, len, written);
    file_len_ += *written;
    return r;
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
        if (truncate_to(fd_, before) == 0) {
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

// Exact-length reads from the start of the file through an 8192-byte buffer; requests at least
// as large as the buffer go straight to the file when the buffer is empty.
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
            const off_t at = static_cast<off_t>(consumed_);
            const ssize_t n = direct ? ::pread(fd_, dst + *got, want, at) : ::pread(fd_, buf_.data(), buf_.size(), at);
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
    std::uint64_t consumed_ = 0;  // bytes handed to the caller: the file offset of the next read once the buffer is empty
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0, end_ = 0;
};

}  // namespace

WalReplay wal_replay(int fd, std::uint64_t index_dim) {
    WalReplay out;
    struct stat st;
    const bool sized = ::fstat(fd, &st) == 0;
    const std::uint64_t size = sized ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (!sized) out.stop = WalStop::ReadError;

    // Applying the records one after another in file order; ids are sorted once at the end.
    // Ids come from the file: hashed with the process's keyed hash, so no choice of them piles up.
    struct KeyedHash {
        std::size_t operator()(std::uint64_t id) const { return static_cast<std::size_t>(keyed_hash64(id)); }
    };
    std::unordered_map<std::uint64_t, DocEntry, KeyedHash> docs;
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

    std::vector<std::pair<std::uint64_t, DocEntry>> sorted(std::make_move_iterator(docs.begin()),
                                                           std::make_move_iterator(docs.end()));
    docs.clear();
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.docs = DocMap::from_sorted(std::move(sorted));
    return out;
}

}  // namespace vse::shard
