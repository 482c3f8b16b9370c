// What the kernel and scoring tests share: a seeded generator of awkward inputs, bit comparisons,
// and the instruction-set rows as test parameters, each skipped by name where this processor does
// not run it.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/isa.hpp"

namespace vse::test {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Rng {
    std::mt19937_64 gen;
    explicit Rng(std::uint64_t seed) : gen(seed) {}
    float normal() { return std::normal_distribution<float>(0.0f, 1.0f)(gen); }
    std::uint32_t word() { return static_cast<std::uint32_t>(gen()); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(gen() % n); }
    // Mostly normal values, with the odd NaN or infinity when `specials`.
    std::vector<float> floats(std::size_t n, bool specials) {
        std::vector<float> v(n);
        for (float& x : v) {
            x = normal();
            if (specials && below(97) == 0) x = below(3) == 0 ? kNaN : (below(2) ? kInf : -kInf);
        }
        return v;
    }
    // Mostly normal values; with `specials`, now and then a NaN, an infinity or a signed zero.
    std::vector<float> floats_and_zeros(std::size_t n, bool specials) {
        std::vector<float> v(n);
        for (float& x : v) {
            x = normal();
            if (specials && below(53) == 0) {
                const float pick[] = {kNaN, kInf, -kInf, 0.0f, -0.0f};
                x = pick[below(5)];
            }
        }
        return v;
    }
    // Weights that take part (positive, NaN) or not (zero, negative).
    std::vector<float> mask(std::size_t n) {
        std::vector<float> v(n);
        for (float& x : v) {
            const std::size_t r = below(8);
            x = r < 4 ? 1.0f : r == 4 ? 0.0f : r == 5 ? -0.5f : r == 6 ? kNaN : 0.25f;
        }
        return v;
    }
    std::vector<std::int32_t> ids(std::size_t n, std::size_t k) {
        std::vector<std::int32_t> v(n);
        for (auto& x : v) x = static_cast<std::int32_t>(below(k));
        return v;
    }
};

// Equal bits, any NaN matching any NaN (for results a NaN never reaches).
inline ::testing::AssertionResult same_bits(float want, float got) {
    if (std::isnan(want) && std::isnan(got)) return ::testing::AssertionSuccess();
    if (std::bit_cast<std::uint32_t>(want) == std::bit_cast<std::uint32_t>(got)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want " << want << " (0x" << std::hex << std::bit_cast<std::uint32_t>(want)
                                         << ") got " << got << " (0x" << std::bit_cast<std::uint32_t>(got) << ")";
}

// Identical bits element by element, NaN payloads included.
inline void expect_same_bits(const std::vector<float>& want, const std::vector<float>& got, const std::string& what) {
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(want[i]), std::bit_cast<std::uint32_t>(got[i]))
            << what << " element " << i << ": " << want[i] << " vs " << got[i];
}

inline const char* isa_name(Isa isa) { return isa_row(isa).name; }

// The rows with vector code, available here or not: the parameters of the vector-path tests.
inline std::vector<Isa> vector_isas() {
    std::vector<Isa> out;
    for (Isa isa : all_isas())
        if (isa != Isa::Scalar) out.push_back(isa);
    return out;
}

// A row's name as a test name ("avx512_vnni").
inline std::string isa_param_name(const ::testing::TestParamInfo<Isa>& info) {
    std::string name = isa_name(info.param);
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

}  // namespace vse::test

// Ends the test as skipped, by the row's name, where this processor does not run row `isa`.
#define VSE_SKIP_UNLESS_AVAILABLE(isa)                                                                     \
    do {                                                                                                  \
        if (!::vse::isa_available(isa))                                                                   \
            GTEST_SKIP() << ::vse::isa_row(isa).name << " is not available on this processor: not tested"; \
    } while (0)

// Ends the test as skipped where row `isa` runs its fallback row's code for `entry` (a pointer
// from the subsystem's table), which that row's own test covers.
#define VSE_SKIP_UNLESS_OWN_PATH(isa, entry_of)                                                         \
    do {                                                                                               \
        const ::vse::Isa fallback_ = ::vse::isa_row(isa).fallback;                                     \
        if (fallback_ != (isa) && entry_of(isa) == entry_of(fallback_))                                \
            GTEST_SKIP() << ::vse::isa_row(isa).name << " runs the " << ::vse::isa_row(fallback_).name \
                         << " path here";                                                              \
    } while (0)
