// Checked size arithmetic. Every size, count and offset that a caller or a file controls (a
// width, a row range, a list of repeated ids) is computed through these, so that one that does
// not fit 64 bits is seen as such and never wraps into a small, wrong value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

namespace vse {

using CheckedSize = std::optional<std::uint64_t>;

// a * b * ..., or nullopt when the product (or any partial product) does not fit 64 bits.
template <class... More>
constexpr CheckedSize checked_mul(CheckedSize a, CheckedSize b, More... more) {
    std::uint64_t r;
    const CheckedSize ab = a && b && !__builtin_mul_overflow(*a, *b, &r) ? CheckedSize(r) : std::nullopt;
    if constexpr (sizeof...(more) == 0) return ab; else return checked_mul(ab, more...);
}

// a + b + ..., or nullopt when the sum does not fit 64 bits.
template <class... More>
constexpr CheckedSize checked_add(CheckedSize a, CheckedSize b, More... more) {
    std::uint64_t r;
    const CheckedSize ab = a && b && !__builtin_add_overflow(*a, *b, &r) ? CheckedSize(r) : std::nullopt;
    if constexpr (sizeof...(more) == 0) return ab; else return checked_add(ab, more...);
}

// The value, or the largest u64 when it did not fit: for a length compared with a file's, where a
// size too large to address counts as longer than any file.
constexpr std::uint64_t saturated(CheckedSize v) { return v ? *v : ~std::uint64_t{0}; }

// The element count of a buffer of T about to be allocated: `n` itself, or std::bad_alloc (the
// failure of an allocation too large to serve, a MemoryError at the Python edge) when the count did
// not fit 64 bits or its bytes exceed what one allocation may hold.
template <class T>
std::size_t alloc_count(CheckedSize n) {
    if (!n || *n > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
    return static_cast<std::size_t>(*n);
}

}  // namespace vse
