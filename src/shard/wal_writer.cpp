#include "shard/wal_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

#include "common/fs.hpp"
#include "common/parent_only_fd.hpp"

namespace vse::shard {

namespace {

// The staging block of a direct write: records up to this size go out in one write, larger ones in
// writes of this size. Each piece is copied and checksummed in steps of kStageStep bytes, which the
// checksum then reads from the first-level cache.
constexpr std::size_t kStageSize = 256 * 1024;
constexpr std::size_t kStageStep = 16 * 1024;

}  // namespace

WalWriter::WalWriter(std::string path, int fd, std::uint64_t length)
    : path_(std::move(path)),
      fd_(fd),
      generation_(fork_generation()),
      owner_(::getpid()),
      buf_(kWalBufferSize),
      file_len_(length) {}

WalWriter::WalWriter(WalWriter&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      generation_(other.generation_),
      owner_(other.owner_),
      buf_(std::move(other.buf_)),
      used_(std::exchange(other.used_, 0)),
      stage_(std::move(other.stage_)),
      file_len_(other.file_len_),
      broken_(std::move(other.broken_)) {}

WalWriter::~WalWriter() {
    if (fd_ < 0 || !owned()) return;
    (void)sync();
    // Unlocking frees the lock for every descriptor of this open file, a copy that a child forked
    // without the fork handlers (a raw clone) may still hold included.
    while (::flock(fd_, LOCK_UN) != 0 && errno == EINTR) {
    }
    close_parent_only(fd_);
}

std::expected<WalWriter, WalOpenError> WalWriter::open(std::string path) {
    auto failure = [](WalOpenStep step, StorageError e) { return std::unexpected(WalOpenError{step, std::move(e)}); };
    if (auto bad = nul_in_path(path)) return failure(WalOpenStep::Open, std::move(*bad));
    struct stat st;
    const bool existed = ::stat(path.c_str(), &st) == 0;
    // Non-blocking, so that a FIFO cannot hang the open; what is not a regular file is refused
    // below, before anything reads it.
    const int fd = open_parent_only(
        [&] { return open_file(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666); });
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
        close_parent_only(fd);
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
    if (!owned())
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

std::expected<void, StorageError> WalWriter::append(const WalRecordPieces& record) {
    if (auto ok = usable(); !ok) return ok;
    const std::size_t size = record.size();
    if (size > buf_.size() - used_) {
        if (auto r = flush(); !r) return r;
    }
    if (size >= buf_.size()) return append_direct(record);
    std::uint8_t* const start = buf_.data() + used_;
    std::uint8_t* p = start;
    auto put = [&p](const void* data, std::size_t len) {
        if (len) std::memcpy(p, data, len);
        p += len;
    };
    put(record.head, kWalHeadSize);
    put(record.payload.data(), record.payload.size());
    put(record.dims, kWalDimsSize);
    put(record.values.data(), record.values.size());
    put_u32(p, wal_crc32(0, start, static_cast<std::size_t>(p - start)));
    used_ += size;
    return {};
}

// The record goes out through the staging block: each piece copied into it and checksummed there,
// the block written whenever it fills, the checksum last. The buffer is empty (append flushed it).
std::expected<void, StorageError> WalWriter::append_direct(const WalRecordPieces& record) {
    const std::size_t cap = std::min(record.size(), kStageSize);
    if (stage_.size() < cap) stage_.resize(cap);
    const std::uint64_t before = file_len_;
    std::uint8_t* const stage = stage_.data();
    std::size_t fill = 0;
    std::uint32_t crc = 0;
    std::expected<void, StorageError> r;
    auto emit = [&] {
        std::size_t written = 0;
        r = write_all(stage, fill, &written);
        fill = 0;
        return r.has_value();
    };
    auto feed = [&](const void* data, std::size_t len) {
        const auto* src = static_cast<const std::uint8_t*>(data);
        while (len > 0) {
            if (fill == cap && !emit()) return false;
            const std::size_t n = std::min({len, cap - fill, kStageStep});
            std::memcpy(stage + fill, src, n);
            crc = wal_crc32(crc, stage + fill, n);
            fill += n;
            src += n;
            len -= n;
        }
        return true;
    };
    bool ok = feed(record.head, kWalHeadSize) && feed(record.payload.data(), record.payload.size()) &&
              feed(record.dims, kWalDimsSize) && feed(record.values.data(), record.values.size());
    if (ok) {
        std::uint8_t tail[kWalCrcSize];
        put_u32(tail, crc);
        ok = feed(tail, kWalCrcSize) && emit();
    }
    if (!ok && file_len_ > before) {
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

}  // namespace vse::shard
