// A 64-bit hash keyed by a seed drawn at random once per process.
//
// Document ids come from files and callers: with a fixed hash an adversary could pick ids that all
// land in one place of a table or one path of a tree and make every operation linear. Mixing the
// id with a secret seed through the splitmix64 finaliser spreads any choice of ids, sequential ones
// included, and keeps the result a bijection of the id.
#pragma once

#include <cstdint>
#include <random>

namespace vse {

inline std::uint64_t process_hash_seed() {
    static const std::uint64_t seed = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }();
    return seed;
}

// splitmix64's finaliser
inline std::uint64_t mix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline std::uint64_t keyed_hash64(std::uint64_t key) { return mix64(key ^ process_hash_seed()); }

}  // namespace vse
