// The shared/exclusive borrow of a Python-visible object.
//
// A method takes a shared or an exclusive borrow for its whole run. Any number of shared borrows
// coexist; an exclusive one excludes all others. A call that cannot get its borrow fails at once
// (it never waits): "Already mutably borrowed" for a shared borrow during an exclusive one,
// "Already borrowed" for an exclusive borrow during any other. Borrows are taken with the GIL held
// but may be released on threads that hold it again, so the counter is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "common/error.hpp"

namespace vse::py {

class BorrowFlag {
public:
    class Guard {
    public:
        Guard(Guard&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (flag_ == nullptr) return;
            if (exclusive_)
                flag_->count_.store(0, std::memory_order_release);
            else
                flag_->count_.fetch_sub(1, std::memory_order_acq_rel);
        }

    private:
        friend class BorrowFlag;
        Guard(BorrowFlag* f, bool exclusive) : flag_(f), exclusive_(exclusive) {}
        BorrowFlag* flag_;
        bool exclusive_;
    };

    Result<Guard> shared() {
        std::int64_t cur = count_.load(std::memory_order_acquire);
        do {
            if (cur < 0) return fail(Exc::Runtime, "Already mutably borrowed");
        } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acq_rel));
        return Guard(this, false);
    }

    Result<Guard> exclusive() {
        std::int64_t expected = 0;
        if (!count_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel))
            return fail(Exc::Runtime, "Already borrowed");
        return Guard(this, true);
    }

private:
    std::atomic<std::int64_t> count_{0};  // > 0 shared borrows, -1 exclusive, 0 free
};

}  // namespace vse::py
