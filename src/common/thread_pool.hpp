// Worker pools: a fixed set of named threads that run data-parallel loops.
//
// A pool has exactly the number of workers it was built with; each is started (and named) when
// the pool is built and runs until the pool is destroyed. Work reaches the workers as jobs: a job
// is a count of pieces and a function that runs one piece. Any worker claims the next unclaimed
// piece of the oldest job, so pieces are spread dynamically over whoever is free.
//
// Two ways in:
//   install(f)             runs f on a worker of this pool (directly when the caller already is one)
//                          and waits; loops that f starts on the same pool are shared by its workers.
//   parallel_for(n, m, f)  calls f(lo, hi) over pieces covering [0, n), every index exactly once.
//                          The range is cut in halves only while each half keeps at least m
//                          indices, so pieces have at least min(n, m) indices and there are at most
//                          n / m of them. A worker of this pool that starts the loop also works on
//                          it; any other thread only waits, except that a loop too short to cut
//                          runs on the calling thread itself.
//
// The pools a process shares (the process-wide pool, the caches of pools by worker count) are
// pool_registry.hpp's: a child made by fork() starts with none of them, and builds them afresh on
// first use (the parent's stay with the parent).
//
// Functions run on workers must not block on work queued behind them; they may start nested loops
// on the same pool (the starter drains its own loop, so this cannot deadlock). An exception thrown
// by a piece is caught on the worker; the remaining unclaimed pieces are skipped and the first
// exception is rethrown to the thread that started the loop, after every running piece ended.
//
// Starting a thread can fail (the system refuses another thread, or memory is short): building a
// pool then stops the workers already started and returns an error value (RuntimeError,
// "cannot start worker thread {i} of {n}: <system text> (os error N)"); nothing throws.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"

namespace vse {

class ThreadPool {
public:
    // Gives worker i (0-based) its thread name; may be empty for unnamed workers. Linux keeps at
    // most 15 bytes of a thread name, so longer names are cut there.
    using NameFn = std::function<std::string(std::size_t)>;

    static Result<std::shared_ptr<ThreadPool>> create(std::size_t n_workers, NameFn name = {});


    // Stops and joins the workers (after they finish the jobs already queued).
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const;
    // Whether the calling thread is one of this pool's workers.
    bool is_worker() const;

    template <class F>
    void install(F&& f) {
        if (is_worker()) {
            f();
            return;
        }
        run_job(1, [&](std::size_t) { f(); }, false);
    }

    template <class F>
    void parallel_for(std::size_t n, std::size_t min_piece, F&& body) {
        if (n == 0) return;
        const std::size_t pieces = piece_count(n, min_piece);
        if (pieces == 1 && !is_worker()) {
            body(std::size_t{0}, n);
            return;
        }
        run_job(
            pieces, [&](std::size_t p) { body(p * n / pieces, (p + 1) * n / pieces); }, true);
    }

    // The number of equal pieces parallel_for cuts n indices into: the largest power of two P with
    // n / P >= min_piece (whole division), at least 1.
    static std::size_t piece_count(std::size_t n, std::size_t min_piece);

private:
    struct Job;
    struct Shared;
    explicit ThreadPool(std::shared_ptr<Shared> shared);

    // Queues a job of `pieces` pieces and waits for all of them; `help` lets a calling worker run
    // pieces too. Rethrows the first exception of a piece.
    void run_job(std::size_t pieces, std::function<void(std::size_t)> piece, bool help);

    std::shared_ptr<Shared> shared_;
};

// The process's processor count as available to it, at least 1: its affinity mask on Linux (a
// container or taskset may allow fewer than are online), the processors online elsewhere.
std::size_t available_processors();

}  // namespace vse
