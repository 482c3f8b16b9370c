// The pools a process shares beyond one caller: the process-wide pool (process_pool) and caches of
// dedicated pools keyed by worker count, with the fork handlers that let a forked child start
// afresh with none of them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "common/thread_pool.hpp"

namespace vse {

// The process-wide pool, built on first use with "RAYON_NUM_THREADS" workers when that holds a
// positive decimal number, else one per processor available to the process, and never destroyed
// (its workers may be busy or blocked at process exit). A failed build is reported
// ("process-wide worker pool: ...") and tried again by the next caller.
Result<ThreadPool*> process_pool();

// A process-wide cache of dedicated pools keyed by worker count, for a user that lets its caller
// pick the count. Entries are only inserted, never replaced or removed: the first pool stored for
// a count is the one every later lookup gets, and it lives until the process ends. The lock is
// held only for a lookup or an insert, never while a pool is built, so two first lookups of one
// count may both build a pool; the loser's workers end when its last reference goes.
class PoolCache {
public:
    // `name(n, i)` names worker i of the pool of n workers; a failed build is reported as
    // "<error_prefix>: <pool error>".
    using PoolNameFn = std::string (*)(std::size_t n, std::size_t i);
    PoolCache(PoolNameFn name, std::string error_prefix);
    ~PoolCache();
    PoolCache(const PoolCache&) = delete;
    PoolCache& operator=(const PoolCache&) = delete;

    // The pool of exactly n workers (n >= 1), built on first use.
    Result<std::shared_ptr<ThreadPool>> get(std::size_t n);
    // Whether a pool of n workers is stored (for tests and diagnostics).
    bool contains(std::size_t n) const;

private:
    struct Map;
    // Every live cache, for the fork handlers, which the process-wide pool shares.
    struct Registry;
    friend Result<ThreadPool*> process_pool();

    PoolNameFn name_;
    std::string error_prefix_;
    std::unique_ptr<Map> map_;
};

}  // namespace vse
