// File-system helpers for the storage code: the few POSIX calls it makes, each retried while a
// signal interrupts it, and the path rules every file open follows.
//
// Functions that report an errno return 0 or the errno; those that build a StorageError say so.
// None of them throws.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "common/storage_error.hpp"

namespace vse {

// A path holding a NUL byte names no file the system can open: every open refuses it up front
// with invalid input "file name contained an unexpected NUL byte".
std::optional<StorageError> nul_in_path(const std::string& path);

// Whether `path` can be looked up (stat succeeds); a path with a NUL byte cannot.
bool path_exists(const std::string& path);

// open(2), repeated while interrupted; the descriptor, or -1 with errno set.
int open_file(const std::string& path, int flags, mode_t mode = 0);

// pread(2), repeated while interrupted; the byte count, or -1 with errno set.
ssize_t pread_some(int fd, void* dst, std::size_t len, std::uint64_t offset);

// Writes all `len` bytes, repeating interrupted and short writes; `*written` tells how many went
// out, also on failure.
std::expected<void, StorageError> write_fully(int fd, const std::uint8_t* data, std::size_t len,
                                              std::size_t* written);

// ftruncate(2), repeated while interrupted. Returns 0 or the errno.
int truncate_to(int fd, std::uint64_t length);

// Pushes a file's data to stable storage. On macOS fsync only reaches the drive's cache;
// F_FULLFSYNC asks the drive to flush it. Elsewhere fsync is the platform's full file sync.
// Returns 0 or the errno.
int full_sync(int fd);

// Makes the directory entries of files created in `dir` durable. Returns 0 or the errno; a file
// system that cannot sync a directory counts as done.
int sync_dir(const std::string& dir);

// Copies bytes [from, to) of `src` to the end of `dst`.
std::expected<void, StorageError> copy_range(int src, std::uint64_t from, std::uint64_t to, int dst);

// `dir` joined with `name`, with no separator added after an empty `dir` or one ending in '/'.
std::string join_path(const std::string& dir, const std::string& name);

// The directory part of `path`: "." when it has no '/', "/" for a file at the root.
std::string parent_dir(const std::string& path);

// Creates `path` and every missing parent with mode 0777 (less the umask); an existing directory
// is accepted.
std::expected<void, StorageError> create_dir_all(const std::string& path);

}  // namespace vse
