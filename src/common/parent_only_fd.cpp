#include "common/parent_only_fd.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace vse {

namespace {

struct Registry {
    std::mutex mu;
    std::vector<int> fds;  // open descriptors, each once
    // Only ever grows, and only in a child's handler, while that child has one thread. Atomic so
    // that the reads of a process's threads race with nothing.
    std::atomic<std::uint64_t> generation{0};

    static Registry& get() {
        static Registry* r = new Registry;  // never destroyed: descriptors may outlive static destruction
        return *r;
    }

    static void before_fork() { get().mu.lock(); }
    static void after_fork_in_parent() { get().mu.unlock(); }
    // The child has one thread, this one, which holds the mutex since before_fork. Nothing here
    // allocates.
    static void after_fork_in_child() {
        Registry& r = get();
        for (int fd : r.fds) ::close(fd);
        r.fds.clear();
        r.generation.fetch_add(1, std::memory_order_relaxed);
        r.mu.unlock();
    }

    // Once per process, before the first descriptor is registered; a child inherits the handlers.
    static Registry& installed() {
        static const int done = [] {
            get();
            return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        }();
        (void)done;
        return get();
    }
};

}  // namespace

int open_parent_only(int (*open_fd)(void* context), void* context) {
    Registry& r = Registry::installed();
    std::lock_guard lock(r.mu);
    const int fd = open_fd(context);
    if (fd < 0) return fd;
    const int saved = errno;
    try {
        r.fds.push_back(fd);
    } catch (...) {  // out of memory: the descriptor cannot be kept from children, so it is not kept
        ::close(fd);
        errno = ENOMEM;
        return -1;
    }
    errno = saved;
    return fd;
}

void close_parent_only(int fd) {
    Registry& r = Registry::get();
    std::lock_guard lock(r.mu);
    if (auto it = std::find(r.fds.begin(), r.fds.end(), fd); it != r.fds.end()) {
        *it = r.fds.back();
        r.fds.pop_back();
    }
    ::close(fd);
}

std::uint64_t fork_generation() {
    // The handlers are in place before a generation is handed out, so every later fork counts.
    return Registry::installed().generation.load(std::memory_order_relaxed);
}

}  // namespace vse
