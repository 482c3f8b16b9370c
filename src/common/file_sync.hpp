// Pushing a file's data to stable storage.
//
// On macOS fsync only reaches the drive's cache; F_FULLFSYNC asks the drive to flush it and is
// repeated while a signal interrupts it. Elsewhere fsync is the platform's full file sync.
#pragma once

namespace vse {

// Returns 0, or the errno of the failure.
int full_sync(int fd);

}  // namespace vse
