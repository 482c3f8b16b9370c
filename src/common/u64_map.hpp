// A map from 64-bit keys to 64-bit values: open addressing with linear probing in a power-of-two
// table kept at most half full, so a lookup touches one or two cache lines. An erase shifts the
// run behind the freed slot back, so no tombstones pile up. Keys come from files, so slots are
// chosen by the keyed hash (keyed_hash.hpp): no choice of keys piles them into one run of slots.
//
// The value ~0 marks a vacant slot and cannot be stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/keyed_hash.hpp"

namespace vse {

class U64Map {
public:
    static constexpr std::uint64_t kVacant = ~std::uint64_t{0};

    // Room for `expected` distinct keys without growing.
    explicit U64Map(std::size_t expected = 0) {
        if (expected > kMaxExpected) throw std::bad_alloc();
        std::size_t cap = 16;
        while (cap / 2 < expected) cap *= 2;
        mask_ = cap - 1;
        slots_.assign(cap, Slot{0, kVacant});
    }

    // Inserts `key`, or replaces its value when it is already there.
    void insert_or_assign(std::uint64_t key, std::uint64_t value) {
        if (size_ + 1 > slots_.size() / 2) grow();
        Slot& s = slots_[probe(key)];
        if (s.value == kVacant) {
            s.key = key;
            ++size_;
        }
        s.value = value;
    }

    // The value stored under `key` and false when it is already there; otherwise inserts `value`
    // and returns it with true.
    std::pair<std::uint64_t, bool> try_emplace(std::uint64_t key, std::uint64_t value) {
        if (size_ + 1 > slots_.size() / 2) grow();
        Slot& s = slots_[probe(key)];
        if (s.value != kVacant) return {s.value, false};
        s = Slot{key, value};
        ++size_;
        return {value, true};
    }

    // Removes `key`; false when it was not there.
    bool erase(std::uint64_t key) {
        std::size_t hole = probe(key);
        if (slots_[hole].value == kVacant) return false;
        // Every later slot of the run whose home is not between the hole and itself moves into the
        // hole, so that each key stays reachable from its home without a vacant slot on the way.
        for (std::size_t j = (hole + 1) & mask_; slots_[j].value != kVacant; j = (j + 1) & mask_) {
            const std::size_t home = static_cast<std::size_t>(keyed_hash64(slots_[j].key)) & mask_;
            if (((j - home) & mask_) >= ((j - hole) & mask_)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole].value = kVacant;
        --size_;
        return true;
    }

    std::optional<std::uint64_t> find(std::uint64_t key) const {
        const Slot& s = slots_[probe(key)];
        if (s.value == kVacant) return std::nullopt;
        return s.value;
    }

    std::size_t size() const { return size_; }

private:
    // Beyond this the doubling below would wrap; no such table fits in memory anyway.
    static constexpr std::size_t kMaxExpected = ~std::size_t{0} / 64;

    struct Slot {
        std::uint64_t key;
        std::uint64_t value;
    };

    // The slot holding `key`, or the vacant slot where it would go.
    std::size_t probe(std::uint64_t key) const {
        for (std::size_t i = static_cast<std::size_t>(keyed_hash64(key)) & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.value == kVacant || s.key == key) return i;
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{0, kVacant});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old)
            if (s.value != kVacant) slots_[probe(s.key)] = s;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vse
