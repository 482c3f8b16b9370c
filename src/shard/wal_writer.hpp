// The append side of the write-ahead log (format: wal_format.hpp).
//
// Appends go through an 8192-byte buffer and are never synced one by one: bytes reach the file when
// a record does not fit the buffer, on flush(), and on sync(), which also pushes them to stable
// storage. A record is therefore durable only after a later successful sync.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "common/parent_only_fd.hpp"
#include "common/storage_error.hpp"
#include "shard/wal_format.hpp"

namespace vse::shard {

// The step of opening a log that failed, for the caller's message.
enum class WalOpenStep {
    Replay,  // an existing log cannot be opened for reading, or is not a regular file
    Open,    // the log cannot be created or opened for appending
    Held,    // another writer holds the log's lock
    Lock,    // the lock itself failed
};

struct WalOpenError {
    WalOpenStep step;
    StorageError error;
};

// The log of one open index: the one descriptor it reads, appends to and holds the lock on.
//
// Only one writer may have a log open. Another opener that replayed while records were being
// appended would take the record in flight for a torn tail and cut it off, with every synced
// record behind it; so the writer holds an exclusive flock on its descriptor from before the
// replay until it is dropped. flock locks belong to the open file, so they exclude a second open
// in the same process as well as in another, and the system drops them when the last descriptor
// of that open file goes. A forked child would hold one such descriptor for as long as it lives
// (a worker pool's processes, say): so the descriptor is closed in every forked child
// (parent_only_fd.hpp), and the writer unlocks it before it closes it, which frees the lock for
// any copy that escaped that.
class WalWriter {
public:
    WalWriter(WalWriter&& other) noexcept;
    WalWriter& operator=(WalWriter&&) = delete;
    WalWriter(const WalWriter&) = delete;
    // Flush, full sync, unlock and close; errors are ignored. In a forked child nothing is done:
    // the child's fork handler has already closed its copy of the descriptor, and the log and its
    // lock stay the parent's.
    ~WalWriter();

    // Opens the log at `path` for reading and appending, creating it with mode 0666 (less the
    // umask) when absent, and takes the lock without waiting. A FIFO or device of that name is
    // refused without blocking on it.
    static std::expected<WalWriter, WalOpenError> open(std::string path);

    // The log's descriptor, to read it back (WalReader) under this writer's lock, before anything
    // is appended.
    int fd() const { return fd_; }

    // Cuts the log to its first `length` bytes, before anything is appended, so that new records
    // do not land behind a tail that replay stops at. The bytes past `length` may be the only
    // copy of intact records behind a damaged one, so they are first copied into a new file
    // "<path>.corrupt-<length>" (".1", ".2", ... appended while that name is taken) and synced
    // with its directory entry. Returns the copy's path; on failure nothing has been cut.
    std::expected<std::string, StorageError> cut(std::uint64_t length);

    // Hands one whole record to the buffer, or straight to the file when it is 8192 bytes or more.
    // Either way its bytes are first copied into memory the writer owns, and the checksum written
    // is that of the copy: a record reaches the file exactly as it was checksummed, even when the
    // caller's values change during the append.
    std::expected<void, StorageError> append(const WalRecordPieces& record);
    // Writes out the buffered bytes.
    std::expected<void, StorageError> flush();
    // flush() and then push the file's data to stable storage.
    std::expected<void, StorageError> sync();

    const std::string& path() const { return path_; }

private:
    WalWriter(std::string path, int fd, std::uint64_t length);
    std::expected<void, StorageError> write_all(const std::uint8_t* data, std::size_t len, std::size_t* written);
    std::expected<void, StorageError> append_direct(const WalRecordPieces& record);
    std::expected<void, StorageError> usable() const;
    // Whether this is the process that opened the log (not a descendant, whatever its pid).
    bool owned() const { return fork_generation() == generation_; }

    std::string path_;
    int fd_ = -1;
    // The process that opened the log, by its fork generation (parent_only_fd.hpp), and its pid for
    // messages. A forked child inherits a copy of the buffer; were it to write, its copies of
    // records already written or superseded by the parent would land behind the parent's newer ones,
    // and the number it would write through is no longer the log's there: the fork handler closed
    // it, and the child may have opened something else on it since. So only the opener writes,
    // whatever pid a descendant of it is later given.
    std::uint64_t generation_;
    pid_t owner_;
    std::vector<std::uint8_t> buf_;
    std::size_t used_ = 0;
    // Where a record of 8192 bytes or more is copied, checksummed and written from, piece by piece;
    // allocated with the first such record.
    std::vector<std::uint8_t> stage_;
    // Length of the file as far as this writer has written it; a failed direct write of a record is
    // cut back to it so later records never follow a partial one.
    std::uint64_t file_len_ = 0;
    // Set when a partial record could not be removed; the log then takes no more records.
    std::optional<StorageError> broken_;
};

}  // namespace vse::shard
