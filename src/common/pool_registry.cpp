#include "common/pool_registry.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "common/checked.hpp"
#include "common/thread_pool.hpp"

namespace vse {

// Pools across fork()
//
// A child made by fork() has a copy of every pool object but none of their workers, only the
// thread that forked: a loop handed to one of those pools would wait for ever. So the child
// forgets every pool the parent had, the process-wide one and those of every cache, and builds
// fresh ones on first use. The parent's pool objects are leaked in the child, never destroyed:
// their mutexes may have been held by workers that do not exist there, and destroying a pool
// would join threads that do not exist either. The locks that say which pools exist are held
// across the fork, so that the child finds the process-wide pool pointer and every cache's map
// whole, and releases them once it has reset them.

namespace {

std::atomic<ThreadPool*> g_process_pool{nullptr};
std::mutex g_process_pool_mu;  // held while the process-wide pool is built

}  // namespace

struct PoolCache::Map {
    mutable std::mutex mu;
    std::map<std::size_t, std::shared_ptr<ThreadPool>> pools;
};

struct PoolCache::Registry {
    std::mutex mu;
    std::vector<PoolCache*> caches;

    static Registry& get() {
        static Registry* r = new Registry;  // never destroyed: caches may outlive static destruction
        return *r;
    }

    // Lock order: registry, process-wide pool, each cache's map.
    static void before_fork() {
        Registry& r = get();
        r.mu.lock();
        g_process_pool_mu.lock();
        for (PoolCache* c : r.caches) c->map_->mu.lock();
    }
    static void after_fork_in_parent() {
        Registry& r = get();
        for (PoolCache* c : r.caches) c->map_->mu.unlock();
        g_process_pool_mu.unlock();
        r.mu.unlock();
    }
    static void after_fork_in_child() {
        Registry& r = get();
        g_process_pool.store(nullptr, std::memory_order_relaxed);
        for (PoolCache* c : r.caches) {
            auto& pools = c->map_->pools;
            new std::map<std::size_t, std::shared_ptr<ThreadPool>>(std::move(pools));  // leaked on purpose
            pools.clear();
            c->map_->mu.unlock();
        }
        g_process_pool_mu.unlock();
        r.mu.unlock();
    }

    // Once per process, before the first pool or cache exists; a child inherits the handlers.
    static void install_fork_handlers() {
        static const int installed = [] {
            get();
            return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        }();
        (void)installed;
    }
};

namespace {

// A positive decimal count in "RAYON_NUM_THREADS" (an optional '+', then digits); anything else,
// zero included, means one worker per processor.
std::size_t process_pool_size() {
    const char* env = std::getenv("RAYON_NUM_THREADS");
    if (env != nullptr) {
        const char* p = env;
        if (*p == '+') ++p;
        CheckedSize v = 0;
        bool ok = *p != '\0';
        for (; ok && *p != '\0'; ++p) {
            if (*p < '0' || *p > '9') ok = false;
            else v = checked_add(checked_mul(v, 10), static_cast<std::uint64_t>(*p - '0'));
        }
        if (ok && v && *v > 0) return static_cast<std::size_t>(*v);
    }
    return available_processors();
}

}  // namespace

Result<ThreadPool*> process_pool() {
    if (ThreadPool* p = g_process_pool.load(std::memory_order_acquire)) return p;
    PoolCache::Registry::install_fork_handlers();
    std::lock_guard lock(g_process_pool_mu);
    if (ThreadPool* p = g_process_pool.load(std::memory_order_acquire)) return p;
    auto built = ThreadPool::create(process_pool_size());
    if (!built) return fail(built.error().exc, fmt::format("process-wide worker pool: {}", built.error().message));
    ThreadPool* p = built->get();
    new std::shared_ptr<ThreadPool>(std::move(*built));  // kept for the life of the process
    g_process_pool.store(p, std::memory_order_release);
    return p;
}

PoolCache::PoolCache(PoolNameFn name, std::string error_prefix)
    : name_(name), error_prefix_(std::move(error_prefix)), map_(std::make_unique<Map>()) {
    Registry::install_fork_handlers();
    Registry& r = Registry::get();
    std::lock_guard lock(r.mu);
    r.caches.push_back(this);
}

PoolCache::~PoolCache() {
    Registry& r = Registry::get();
    std::lock_guard lock(r.mu);
    std::erase(r.caches, this);
}

Result<std::shared_ptr<ThreadPool>> PoolCache::get(std::size_t n) {
    {
        std::lock_guard lock(map_->mu);
        if (auto it = map_->pools.find(n); it != map_->pools.end()) return it->second;
    }
    const PoolNameFn name = name_;
    auto built = ThreadPool::create(n, [name, n](std::size_t i) { return name(n, i); });
    if (!built) return fail(built.error().exc, fmt::format("{}: {}", error_prefix_, built.error().message));
    // The first pool stored for n wins. A pool that lost the race is dropped after the lock is
    // released (its workers are joined then), when `built` goes out of scope.
    std::lock_guard lock(map_->mu);
    auto it = map_->pools.find(n);
    if (it == map_->pools.end()) it = map_->pools.emplace(n, *built).first;
    return it->second;
}

bool PoolCache::contains(std::size_t n) const {
    std::lock_guard lock(map_->mu);
    return map_->pools.count(n) != 0;
}

}  // namespace vse
