// Storage errors: what file, log and mapping code reports, before a caller decides whether it is
// raised (as IOError "<step> failed: <message>") or the affected document is skipped.
#pragma once

#include <string>

namespace vse {

enum class StorageKind { NotFound, InvalidData, InvalidInput, UnexpectedEof, Other };

struct StorageError {
    StorageKind kind;
    std::string message;
};

// The system's description of errno `err` followed by " (os error N)", e.g.
// "No such file or directory (os error 2)".
std::string os_error_text(int err);

inline StorageError os_error(int err) {
    StorageKind kind = StorageKind::Other;
    if (err == 2) kind = StorageKind::NotFound;  // ENOENT
    return StorageError{kind, os_error_text(err)};
}

// The refusal of a path that names something other than a regular file (a FIFO, a device, a
// directory): such a file is never read, so that it cannot block or feed endless bytes.
StorageError not_a_regular_file(const std::string& path);

}  // namespace vse
