#include "python/borrow.hpp"

#include <pthread.h>

#include <utility>

namespace vse::py {

namespace {

// The fork generation of this process: 0 in the first, one more in each child. Changed only by
// the child's fork handler, while the child has a single thread.
std::atomic<std::uint32_t> g_generation{0};

thread_local BorrowFlag::Guard* t_held = nullptr;

}  // namespace

BorrowFlag::BorrowFlag() {
    // Once per process, before the first borrow; a child inherits the handler.
    static const int installed = pthread_atfork(nullptr, nullptr, after_fork_in_child);
    (void)installed;
}

BorrowFlag::Guard::Guard(Key, BorrowFlag* f, bool exclusive, std::uint32_t generation)
    : flag_(f), exclusive_(exclusive), generation_(generation), next_(t_held) {
    if (next_ != nullptr) next_->prev_ = this;
    t_held = this;
}

BorrowFlag::Guard::Guard(Guard&& o) noexcept
    : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_), generation_(o.generation_) {
    if (flag_ != nullptr) link_in_place_of(&o);
}

void BorrowFlag::Guard::link_in_place_of(Guard* old) {
    prev_ = std::exchange(old->prev_, nullptr);
    next_ = std::exchange(old->next_, nullptr);
    if (prev_ != nullptr)
        prev_->next_ = this;
    else
        t_held = this;
    if (next_ != nullptr) next_->prev_ = this;
}

void BorrowFlag::Guard::unlink() {
    if (prev_ != nullptr)
        prev_->next_ = next_;
    else
        t_held = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
}

BorrowFlag::Guard::~Guard() {
    if (flag_ == nullptr) return;
    unlink();
    // Always true, since a child recounts the forking thread's guards; kept as a check so that a
    // guard from another generation can never release a borrow it does not hold.
    if (generation_ != g_generation.load(std::memory_order_relaxed)) return;
    if (exclusive_)
        flag_->state_.store(pack(generation_, 0), std::memory_order_release);
    else
        flag_->state_.fetch_sub(1, std::memory_order_acq_rel);  // the count is > 0: no borrow from the high word
}

Result<BorrowFlag::Guard> BorrowFlag::shared() {
    const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
    std::uint64_t cur = state_.load(std::memory_order_acquire);
    std::int32_t count;
    do {
        count = count_in(cur, generation);
        if (count < 0) return fail(Exc::Runtime, "Already mutably borrowed");
    } while (!state_.compare_exchange_weak(cur, pack(generation, count + 1), std::memory_order_acq_rel));
    return Result<Guard>(std::in_place, Key{}, this, false, generation);
}

Result<BorrowFlag::Guard> BorrowFlag::exclusive() {
    const std::uint32_t generation = g_generation.load(std::memory_order_relaxed);
    std::uint64_t cur = state_.load(std::memory_order_acquire);
    do {
        if (count_in(cur, generation) != 0) return fail(Exc::Runtime, "Already borrowed");
    } while (!state_.compare_exchange_weak(cur, pack(generation, -1), std::memory_order_acq_rel));
    return Result<Guard>(std::in_place, Key{}, this, true, generation);
}

void BorrowFlag::after_fork_in_child() {
    const std::uint32_t generation = g_generation.load(std::memory_order_relaxed) + 1;
    g_generation.store(generation, std::memory_order_relaxed);
    // Every flag now reads as free, except where this thread still holds a borrow.
    for (Guard* g = t_held; g != nullptr; g = g->next_) {
        std::atomic<std::uint64_t>& state = g->flag_->state_;
        const std::int32_t count = count_in(state.load(std::memory_order_relaxed), generation);
        state.store(pack(generation, g->exclusive_ ? -1 : count + 1), std::memory_order_relaxed);
        g->generation_ = generation;
    }
}

}  // namespace vse::py
