// The shared/exclusive borrow of a Python-visible object.
//
// A method takes a shared or an exclusive borrow for its whole run. Any number of shared borrows
// coexist; an exclusive one excludes all others. A call that cannot get its borrow fails at once
// (it never waits): "Already mutably borrowed" for a shared borrow during an exclusive one,
// "Already borrowed" for an exclusive borrow during any other. Borrows are taken with the GIL held
// but may be released while other threads run without it, so the state is atomic.
//
// Across fork(): a child has only the thread that forked, so a borrow held by any other thread of
// the parent would never be released there, and every exclusive method would fail for good. Each
// flag's state therefore carries the fork generation it was counted in, and a child starts a new
// generation in which every older count reads as free. The forking thread's own borrows (it may
// fork from inside a call, from the search callback say) are counted again in the new generation,
// so they hold until their calls return. A thread knows its live borrows through a per-thread list
// of its guards; a guard is released on the thread that took it, as every method's borrow is.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/error.hpp"

namespace vse::py {

class BorrowFlag {
public:
    // What only a flag can make: so that a guard is built in place in its result, never as a
    // temporary that would link itself into the thread's list and then move.
    class Key {
        friend class BorrowFlag;
        Key() = default;
    };

    class Guard {
    public:
        Guard(Key, BorrowFlag* f, bool exclusive, std::uint32_t generation);
        Guard(Guard&& o) noexcept;
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard();

    private:
        friend class BorrowFlag;
        void link_in_place_of(Guard* old);
        void unlink();

        BorrowFlag* flag_;
        bool exclusive_;
        std::uint32_t generation_;
        // The calling thread's live guards, newest first.
        Guard* prev_ = nullptr;
        Guard* next_ = nullptr;
    };

    BorrowFlag();

    Result<Guard> shared();
    Result<Guard> exclusive();

    // In a child just made by fork(), on the thread that forked: start a new generation holding
    // only that thread's borrows.
    static void after_fork_in_child();

private:
    // State word: the generation in the high 32 bits, the count in the low 32 (> 0 shared
    // borrows, -1 exclusive, 0 free). A count from an older generation reads as 0.
    static std::uint64_t pack(std::uint32_t generation, std::int32_t count) {
        return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(count);
    }
    static std::int32_t count_in(std::uint64_t state, std::uint32_t generation) {
        if (static_cast<std::uint32_t>(state >> 32) != generation) return 0;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(state));
    }

    std::atomic<std::uint64_t> state_{0};
};

}  // namespace vse::py
