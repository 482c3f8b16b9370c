#include "common/thread_pool.hpp"

#include <pthread.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "common/storage_error.hpp"

namespace vse {

// One loop handed to the workers. It stays at the front of the queue until its last piece is
// claimed; whoever then finds it exhausted removes it. Jobs are shared so that a worker that
// picked one up may still look at its counters after the starter has returned.
struct ThreadPool::Job {
    std::function<void(std::size_t)> piece;
    std::size_t pieces = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> unfinished{0};
    std::atomic<bool> failed{false};
    std::mutex error_mu;
    std::exception_ptr error;

    bool exhausted() const { return next.load(std::memory_order_relaxed) >= pieces; }

    // Claims and runs pieces until none is left unclaimed.
    void drain() {
        for (;;) {
            const std::size_t p = next.fetch_add(1, std::memory_order_relaxed);
            if (p >= pieces) return;
            if (!failed.load(std::memory_order_relaxed)) {
                try {
                    piece(p);
                } catch (...) {
                    std::lock_guard lock(error_mu);
                    if (!error) error = std::current_exception();
                    failed.store(true, std::memory_order_relaxed);
                }
            }
            if (unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) unfinished.notify_all();
        }
    }

    void wait() {
        for (std::size_t u = unfinished.load(std::memory_order_acquire); u != 0;
             u = unfinished.load(std::memory_order_acquire))
            unfinished.wait(u, std::memory_order_acquire);
    }
};

struct ThreadPool::Shared {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> queue;
    bool stop = false;
    std::vector<std::thread> threads;

    // Lets the workers finish the queued jobs, then waits for them to end.
    void stop_all() {
        {
            std::lock_guard lock(mu);
            stop = true;
        }
        cv.notify_all();
        for (std::thread& t : threads) {
            // A pool dropped by one of its own workers cannot wait for itself.
            if (t.get_id() == std::this_thread::get_id())
                t.detach();
            else if (t.joinable())
                t.join();
        }
        threads.clear();
    }
};

namespace {

thread_local const void* tl_pool = nullptr;  // the Shared of the pool this thread works for

constexpr std::size_t kMaxThreadName = 15;  // Linux: 16 bytes with the terminating NUL

void set_thread_name([[maybe_unused]] std::thread& t, [[maybe_unused]] const std::string& name) {
#if defined(__linux__)
    if (!name.empty()) pthread_setname_np(t.native_handle(), name.substr(0, kMaxThreadName).c_str());
#endif
}

}  // namespace

ThreadPool::ThreadPool(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

ThreadPool::~ThreadPool() { shared_->stop_all(); }

std::size_t ThreadPool::size() const { return shared_->threads.size(); }

bool ThreadPool::is_worker() const { return tl_pool == shared_.get(); }

std::size_t ThreadPool::piece_count(std::size_t n, std::size_t min_piece) {
    if (min_piece == 0) min_piece = 1;
    std::size_t pieces = 1;
    while (pieces <= n / 2 && n / (pieces * 2) >= min_piece) pieces *= 2;
    return pieces;
}

Result<std::shared_ptr<ThreadPool>> ThreadPool::create(std::size_t n_workers, NameFn name) {
    if (n_workers == 0) return fail(Exc::Runtime, "a worker pool needs at least one worker");
    auto shared = std::make_shared<Shared>();
    Shared* s = shared.get();
    auto worker_main = [s]([[maybe_unused]] std::string own_name) {
#if defined(__APPLE__)
        if (!own_name.empty()) pthread_setname_np(own_name.substr(0, kMaxThreadName).c_str());
#endif
        tl_pool = s;
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(s->mu);
                s->cv.wait(lock, [&] { return s->stop || !s->queue.empty(); });
                if (s->queue.empty()) return;  // stopping, and nothing left to do
                job = s->queue.front();
                if (job->exhausted()) {
                    s->queue.pop_front();
                    continue;
                }
            }
            job->drain();
            std::lock_guard lock(s->mu);
            if (!s->queue.empty() && s->queue.front() == job) s->queue.pop_front();
        }
    };
    std::size_t started = 0;
    try {
        s->threads.reserve(n_workers);
        for (; started < n_workers; ++started) {
            std::string worker_name = name ? name(started) : std::string();
            std::thread t(worker_main, worker_name);
            set_thread_name(t, worker_name);
            s->threads.push_back(std::move(t));
        }
    } catch (const std::system_error& e) {
        s->stop_all();
        return fail(Exc::Runtime, fmt::format("cannot start worker thread {} of {}: {}", started, n_workers,
                                              os_error_text(e.code().value())));
    } catch (const std::exception&) {  // bad_alloc, length_error: no room for the thread table
        s->stop_all();
        return fail(Exc::Runtime, fmt::format("cannot start worker thread {} of {}: {}", started, n_workers,
                                              os_error_text(ENOMEM)));
    }
    return std::shared_ptr<ThreadPool>(new ThreadPool(std::move(shared)));
}

void ThreadPool::run_job(std::size_t pieces, std::function<void(std::size_t)> piece, bool help) {
    auto job = std::make_shared<Job>();
    job->piece = std::move(piece);
    job->pieces = pieces;
    job->unfinished.store(pieces, std::memory_order_relaxed);
    Shared& s = *shared_;
    {
        std::lock_guard lock(s.mu);
        s.queue.push_back(job);
    }
    if (pieces == 1)
        s.cv.notify_one();
    else
        s.cv.notify_all();
    if (help && is_worker()) job->drain();
    job->wait();
    if (job->error) std::rethrow_exception(job->error);
}

// sched_getaffinity is Linux's own; a mask larger than a cpu_set_t falls back to the count online.
std::size_t available_processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

}  // namespace vse
