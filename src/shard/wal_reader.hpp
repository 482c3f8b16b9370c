// Reading the write-ahead log back (format: wal_format.hpp), one record at a time.
//
// The reader stops at the first record it cannot read whole and intact: every record before it is
// handed out, nothing after it. A field longer than what is left of the file ends the reading as a
// torn record before any memory is set aside for it, so a few hostile bytes cannot cost hundreds
// of megabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "shard/wal_format.hpp"

namespace vse::shard {

// Why reading a log ended.
enum class WalStop {
    End,        // the file ended between records
    Torn,       // the file ended inside a record (or a record claims more bytes than the file has)
    Corrupt,    // a bad op code, a limit exceeded or a checksum mismatch
    ReadError,  // the device reported an error
};

// One intact record as read.
struct WalRecord {
    WalOp op = WalOp::Insert;
    std::uint64_t doc_id = 0;
    std::string_view payload;              // payload_len bytes; valid until the next read
    std::uint32_t n_vectors = 0;
    std::uint32_t dim = 0;
    std::span<const std::uint8_t> values;  // the values' bytes; valid until the next read
};

// Reads the records of the log open at `fd` from its first byte, whatever the file position. The
// file is read in large blocks and each record is parsed where it lies in the block: nothing of it
// is copied out.
class WalReader {
public:
    explicit WalReader(int fd);

    // The next intact record into `rec`, or false once reading has stopped; stop() tells why.
    bool next(WalRecord& rec);

    WalStop stop() const { return stop_; }
    // Bytes the records handed out take up, from the start of the file.
    std::uint64_t good_len() const { return good_len_; }

private:
    enum class Got { All, Eof, Error };

    // Makes the next `len` bytes of the file, from the start of the current record, lie in the
    // block; Eof when the file ends first.
    Got have(std::size_t len);
    // have(len), and false, recording why reading ended, when the bytes are not there. `first`:
    // the record's first byte, where the end of the file is a clean end.
    bool need(std::size_t len, bool first = false);
    // False, recording a torn record, when `len` bytes past the record's first `at` are more than
    // the file has left.
    bool fits(std::uint64_t at, std::uint64_t len);
    bool halt(WalStop why) {
        stop_ = why;
        done_ = true;
        return false;
    }

    int fd_;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0, end_ = 0;  // the current record starts at buf_[pos_]; bytes up to end_ are read
    std::uint64_t end_offset_ = 0;   // the file offset of buf_[end_]
    std::uint64_t good_len_ = 0;
    WalStop stop_ = WalStop::End;
    bool done_ = false;
};

}  // namespace vse::shard
