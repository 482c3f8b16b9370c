// The instruction-set dispatch of the whole module: which vector paths exist, what each is
// compiled for, and which of them this processor runs. Nothing else checks processor features.
//
// A row is an instruction set that vector code is written for. Its target string is what a
// translation unit of that path is compiled for (VSE_ISA_UNIT below), and its feature check tests
// every feature the target string names (and that the operating system saves the registers they
// use), read once per process. Each row names a fallback row whose features it includes: where a
// subsystem has no code of its own for a row, the row runs its fallback's.
//
// A vector unit names its row once, in VSE_ISA_UNIT at its head; VSE_ISA_UNIT_END at its tail
// exports its table together with that row. A subsystem fills its tables of every row from its
// scalar table and the units it has (IsaTables), each unit at the row it declares, and answers
// for a row (tests run every row the processor has) or for the processor's best row. Adding a path
// is one unit and one row: its target string and its entry in VSE_ISA_ROWS below (and features
// the check does not know yet in isa.cpp), then the unit in its subsystem's list.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

// Target strings, one per row. Each names every feature its units may use, those of its fallback
// included, so that the check tests all of them. The AVX-512 rows take F, VL and BW, all that their
// units use (DQ would only change the code the compiler picks for mask moves and extracts).
#define VSE_ISA_TARGET_STRING_Scalar ""
#define VSE_ISA_TARGET_STRING_Avx2 "avx2,fma,f16c,popcnt"
#define VSE_ISA_TARGET_STRING_Avx512 "avx2,fma,f16c,popcnt,avx512f,avx512vl,avx512bw"
#define VSE_ISA_TARGET_STRING_Avx512Vnni "avx2,fma,f16c,popcnt,avx512f,avx512vl,avx512bw,avx512vnni"

// The rows in order of preference, best last: X(row, fallback, name), the name lower case for
// tests and messages.
#define VSE_ISA_ROWS(X)                                  \
    X(Scalar, Scalar, "scalar")                          \
    X(Avx2, Scalar, "avx2")                              \
    X(Avx512, Avx2, "avx512")                            \
    X(Avx512Vnni, Avx512, "avx512-vnni")

// Compiles what follows, up to VSE_ISA_TARGET_END, for row `row` (its code then runs only where
// isa_available(Isa::row)); a vector unit applies it through VSE_ISA_UNIT below. GCC takes a
// target pragma; Clang, which ignores GCC's, takes the same target as an attribute of every
// function defined in between.
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
// product the process computes: FMA3 on x86, Advanced SIMD on AArch64 (always there).
bool has_fused_multiply_add();

// Whether the target-string feature `name` is one the check knows, and whether it is present. The
// target strings are x86's: on any other architecture every one of them is known and absent.
bool isa_feature_known(const char* name);
bool isa_feature_present(const char* name);

// ---------------------------------------------------------------------------------------------
// Vector units and the tables filled from them.

// A vector unit's export: its table and the row it was compiled for.
template <class Table>
struct IsaUnit {
    Isa isa;
    Table table;
};

// The entries of a table that a row takes from its fallback one by one. By default the whole
// table is one entry. A table whose units may leave some of their entries out names its entries
// in `static constexpr std::tuple kIsaEntries` (member pointers); an entry is missing where it
// equals its value-initialized self, and what has to travel together (a function and the layout
// it reads) is one entry.
template <class Table>
constexpr auto isa_entries() {
    if constexpr (requires { Table::kIsaEntries; })
        return Table::kIsaEntries;
    else
        return std::tuple<>{};
}

// A subsystem's table of every row, filled once from its scalar table and its vector units (one
// a row at most). Each unit is placed at the row it declares, whatever its place in the list; a
// row without a unit of its own runs its fallback's table (the same object), and a unit's missing
// entries are its fallback row's. Each entry of each row keeps the row its code was compiled for,
// so that a test can tell that no row runs code compiled for features it lacks.
template <class Table>
class IsaTables {
public:
    static constexpr std::size_t kListed = std::tuple_size_v<decltype(isa_entries<Table>())>;
    static constexpr std::size_t kEntries = std::max<std::size_t>(kListed, 1);

    IsaTables(const Table& scalar, std::initializer_list<const IsaUnit<Table>*> units) {
        std::array<const IsaUnit<Table>*, kIsaCount> own{};
        for (const IsaUnit<Table>* unit : units) own[isa_index(unit->isa)] = unit;
        static_assert(isa_index(Isa::Scalar) == 0);
        tables_[0] = scalar;
        // Rows come after their fallbacks (Scalar first), so each fallback's table is complete
        // when a row takes from it.
        for (std::size_t r = 1; r < kIsaCount; ++r) {
            const std::size_t fallback = isa_index(isa_row(static_cast<Isa>(r)).fallback);
            if (own[r] == nullptr) {
                owner_[r] = owner_[fallback];
                compiled_for_[r] = compiled_for_[fallback];
                continue;
            }
            tables_[r] = own[r]->table;
            owner_[r] = static_cast<Isa>(r);
            compiled_for_[r].fill(static_cast<Isa>(r));
            take_missing(r, fallback, std::make_index_sequence<kListed>{});
        }
    }

    const Table& operator[](Isa isa) const { return tables_[isa_index(owner_[isa_index(isa)])]; }

    // The row entry `entry` (below kEntries, in the order of kIsaEntries) of row `isa`'s table was
    // compiled for.
    Isa compiled_for(Isa isa, std::size_t entry) const { return compiled_for_[isa_index(isa)][entry]; }

private:
    // (A whole-table entry is never missing: a unit holds the table.)
    template <std::size_t... E>
    void take_missing([[maybe_unused]] std::size_t r, [[maybe_unused]] std::size_t fallback,
                      std::index_sequence<E...>) {
        (take_missing_entry<E>(r, fallback), ...);
    }

    template <std::size_t E>
    void take_missing_entry(std::size_t r, std::size_t fallback) {
        constexpr auto member = std::get<E>(isa_entries<Table>());
        auto& entry = tables_[r].*member;
        if (entry != std::remove_cvref_t<decltype(entry)>{}) return;
        entry = tables_[isa_index(owner_[fallback])].*member;
        compiled_for_[r][E] = compiled_for_[fallback][E];
    }

    std::array<Table, kIsaCount> tables_{};
    std::array<Isa, kIsaCount> owner_{};  // the row whose table a row runs (Scalar's is itself)
    std::array<std::array<Isa, kEntries>, kIsaCount> compiled_for_{};
};

}  // namespace vse

// The rest of a vector unit, up to VSE_ISA_UNIT_END, is compiled for row `row` (placed inside the
// unit's namespace, before its code). VSE_ISA_UNIT_END(name, table...) then defines the unit's
// export `name` (declared `extern const IsaUnit<Table> name` in its subsystem's header): the table,
// with the row VSE_ISA_UNIT named, so that the row a table is filled in at is the one its code was
// compiled for.
#define VSE_ISA_UNIT(row)                                  \
    VSE_ISA_TARGET(row)                                    \
    namespace {                                            \
    constexpr ::vse::Isa kIsaUnitRow = ::vse::Isa::row;    \
    }
#define VSE_ISA_UNIT_END(name, ...)                         \
    constinit decltype(name) name{kIsaUnitRow, __VA_ARGS__}; \
    VSE_ISA_TARGET_END

// The units of a subsystem's list that are built here: every vector unit is x86-64 code, compiled
// (and listed) only there.
#if defined(__x86_64__)
#define VSE_ISA_X86_64_UNITS(...) __VA_ARGS__
#else
#define VSE_ISA_X86_64_UNITS(...)
#endif
