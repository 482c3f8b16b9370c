// A set of 64-bit keys for membership tests on hot loops: open addressing with linear probing in a
// power-of-two table at most half full, so a lookup touches one or two cache lines. Keys are
// scrambled by a multiplicative hash, which spreads sequential ids as well as random ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vse {

class U64Set {
public:
    explicit U64Set(std::span<const std::uint64_t> keys) {
        std::size_t cap = 16;
        while (cap < keys.size() * 2) cap *= 2;
        mask_ = cap - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(cap));
        slots_.assign(cap, 0);
        used_.assign(cap, 0);
        for (std::uint64_t k : keys) insert(k);
    }

    bool contains(std::uint64_t key) const {
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            if (!used_[i]) return false;
            if (slots_[i] == key) return true;
        }
    }

    std::size_t size() const { return size_; }

private:
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }
    void insert(std::uint64_t key) {
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
            if (!used_[i]) {
                used_[i] = 1;
                slots_[i] = key;
                ++size_;
                return;
            }
            if (slots_[i] == key) return;
        }
    }

    std::vector<std::uint64_t> slots_;
    std::vector<std::uint8_t> used_;
    std::size_t mask_ = 0;
    unsigned shift_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vse
