#include "common/fs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace vse {

namespace {

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<StorageError> nul_in_path(const std::string& path) {
    if (path.find('\0') == std::string::npos) return std::nullopt;
    return StorageError{StorageKind::InvalidInput, "file name contained an unexpected NUL byte"};
}

bool path_exists(const std::string& path) {
    struct stat st;
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

int open_file(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t pread_some(int fd, void* dst, std::size_t len, std::uint64_t offset) {
    ssize_t n;
    do {
        n = ::pread(fd, dst, len, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

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

int truncate_to(int fd, std::uint64_t length) {
    int rc;
    do {
        rc = ::ftruncate(fd, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int full_sync(int fd) {
    for (;;) {
#if defined(__APPLE__)
        int rc = ::fcntl(fd, F_FULLFSYNC);
#else
        int rc = ::fsync(fd);
#endif
        if (rc == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int sync_dir(const std::string& dir) {
    const int dfd = open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return errno;
    const int err = full_sync(dfd);
    ::close(dfd);
    return err == EINVAL || err == ENOTSUP ? 0 : err;
}

std::expected<void, StorageError> copy_range(int src, std::uint64_t from, std::uint64_t to, int dst) {
    std::vector<std::uint8_t> buf(std::size_t{1} << 20);
    while (from < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), to - from));
        const ssize_t n = pread_some(src, buf.data(), want, from);
        if (n < 0) return std::unexpected(os_error(errno));
        if (n == 0) return std::unexpected(StorageError{StorageKind::UnexpectedEof, "the log ended while being copied"});
        std::size_t written;
        if (auto r = write_fully(dst, buf.data(), static_cast<std::size_t>(n), &written); !r) return r;
        from += static_cast<std::uint64_t>(n);
    }
    return {};
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string parent_dir(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::expected<void, StorageError> create_dir_all(const std::string& path) {
    if (path.empty()) return {};
    if (auto bad = nul_in_path(path)) return std::unexpected(std::move(*bad));
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err != ENOENT) {
        if (is_dir(path)) return {};
        return std::unexpected(os_error(err));
    }
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const auto slash = parent.find_last_of('/');
    if (slash == std::string::npos) {
        parent.clear();
    } else {
        parent.resize(slash == 0 ? 1 : slash);
    }
    if (parent == path || parent == "/")
        return std::unexpected(StorageError{StorageKind::Other, "failed to create whole tree"});
    if (auto r = create_dir_all(parent); !r) return r;
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    err = errno;
    if (is_dir(path)) return {};
    return std::unexpected(os_error(err));
}

}  // namespace vse
