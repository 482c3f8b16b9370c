// The instruction-set dispatch of the whole module: which vector paths exist, what each is
// compiled for, and which of them this processor runs. Nothing else checks processor features.
//
// A row is an instruction set that vector code is written for. Its target string is what a
// translation unit of that path is compiled for (VSE_ISA_TARGET below), and its feature check
// tests every feature the target string names (and that the operating system saves the registers
// they use), read once per process. Each row names a fallback row whose features it includes:
// where a subsystem has no unit of its own for a row, the row runs its fallback's code.
//
// A vector unit exports one table of its functions; a subsystem asks one getter for the table of
// a row (tests run every row the processor has) or of the processor's best row. Adding a path is
// one unit and one row: its target string and its entry in VSE_ISA_ROWS below (and features the
// check does not know yet in isa.cpp), then the unit's table in its subsystem's getter.
#pragma once

#include <array>
#include <cstddef>

// Target strings, one per row. Each names every feature its units may use, those of its fallback
// included, so that the check tests all of them. The AVX-512 rows take F, VL and BW, all that their
// units use (DQ would only change the code the compiler picks for mask moves and extracts).
#define VSE_ISA_TARGET_STRING_Scalar ""
#define VSE_ISA_TARGET_STRING_Avx2 "avx2,fma,f16c,popcnt"
#define VSE_ISA_TARGET_STRING_Avx512 "avx2,fma,f16c,popcnt,avx512f,avx512vl,avx512bw"
#define VSE_ISA_TARGET_STRING_Avx512Popcnt "avx2,fma,f16c,popcnt,avx512f,avx512vl,avx512bw,avx512vpopcntdq"
#define VSE_ISA_TARGET_STRING_Avx512Vnni "avx2,fma,f16c,popcnt,avx512f,avx512vl,avx512bw,avx512vnni"

// The rows in order of preference, best last: X(row, fallback, name), the name lower case for
// tests and messages.
#define VSE_ISA_ROWS(X)                                  \
    X(Scalar, Scalar, "scalar")                          \
    X(Avx2, Scalar, "avx2")                              \
    X(Avx512, Avx2, "avx512")                            \
    X(Avx512Popcnt, Avx512, "avx512-vpopcntdq")          \
    X(Avx512Vnni, Avx512, "avx512-vnni")

// Compiles the rest of a translation unit, up to VSE_ISA_TARGET_END, for row `row` (its code then
// runs only where isa_available(Isa::row)). GCC takes a target pragma; Clang, which ignores GCC's,
// takes the same target as an attribute of every function defined in between.
#define VSE_ISA_PRAGMA_(text) _Pragma(#text)
#define VSE_ISA_PRAGMA(text) VSE_ISA_PRAGMA_(text)
#if defined(__clang__)
#define VSE_ISA_TARGET(row)                                                                              \
    VSE_ISA_PRAGMA(clang attribute push(__attribute__((target(VSE_ISA_TARGET_STRING_##row))), \
                                        apply_to = function))
#define VSE_ISA_TARGET_END VSE_ISA_PRAGMA(clang attribute pop)
#else
#define VSE_ISA_TARGET(row) \
    VSE_ISA_PRAGMA(GCC push_options) VSE_ISA_PRAGMA(GCC target(VSE_ISA_TARGET_STRING_##row))
#define VSE_ISA_TARGET_END VSE_ISA_PRAGMA(GCC pop_options)
#endif

namespace vse {

enum class Isa {
#define VSE_ISA_ENUM_(row, fallback, name) row,
    VSE_ISA_ROWS(VSE_ISA_ENUM_)
#undef VSE_ISA_ENUM_
};

inline constexpr std::size_t kIsaCount = 0
#define VSE_ISA_COUNT_(row, fallback, name) +1
    VSE_ISA_ROWS(VSE_ISA_COUNT_)
#undef VSE_ISA_COUNT_
    ;

constexpr std::size_t isa_index(Isa isa) { return static_cast<std::size_t>(isa); }

// Every row, in order (best last).
constexpr std::array<Isa, kIsaCount> all_isas() {
    std::array<Isa, kIsaCount> out{};
    for (std::size_t i = 0; i < kIsaCount; ++i) out[i] = static_cast<Isa>(i);
    return out;
}

struct IsaRow {
    Isa isa;
    const char* name;
    const char* target;  // the target string
    Isa fallback;        // Scalar's is itself
};

const IsaRow& isa_row(Isa isa);

// Whether this processor runs row `isa`'s code (Scalar always).
bool isa_available(Isa isa);

// The last row this processor runs, chosen once; in a benchmark build capped at a row (the build
// option VSE_MAX_ISA), the last one up to that row.
Isa best_isa();

// Whether the processor has hardware fused multiply-add, which decides the form of every dot
// product the process computes.
bool has_fused_multiply_add();

// Whether the target-string feature `name` is one the check knows, and whether it is present.
bool isa_feature_known(const char* name);
bool isa_feature_present(const char* name);

// A subsystem's table for row `isa`: `units` holds, by row, the table of the row's own unit or
// null; a row without one takes its fallback's. The Scalar entry is never null.
template <class Table>
const Table& isa_table(const std::array<const Table*, kIsaCount>& units, Isa isa) {
    while (units[isa_index(isa)] == nullptr) isa = isa_row(isa).fallback;
    return *units[isa_index(isa)];
}

}  // namespace vse
