// The instruction-set rows themselves: every feature a row's units are compiled for is one the
// check tests, a row includes its fallback's features, and availability follows the fallbacks.
// Then the tables filled from the units: each unit at the row it declares, missing entries from
// the fallback, and no entry of any subsystem's table compiled for features its row lacks.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/half.hpp"
#include "common/isa.hpp"
#include "kernels/pair_kernels.hpp"
#include "shard/scoring/dot.hpp"

namespace vse {
namespace {

std::set<std::string> features_of(Isa isa) {
    std::set<std::string> out;
    std::string rest = isa_row(isa).target;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        out.insert(rest.substr(0, comma));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return out;
}

TEST(Isa, RowsAreConsistent) {
    for (Isa isa : all_isas()) {
        const IsaRow& row = isa_row(isa);
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.isa, isa);
        for (const std::string& f : features_of(isa)) EXPECT_TRUE(isa_feature_known(f.c_str())) << f;
        if (isa == Isa::Scalar) {
            EXPECT_EQ(row.fallback, Isa::Scalar);
            EXPECT_TRUE(features_of(isa).empty());
            continue;
        }
        // A fallback comes first and its features are a part of the row's, so a row the processor
        // runs has its fallback available too.
        EXPECT_LT(isa_index(row.fallback), isa_index(isa));
        const std::set<std::string> mine = features_of(isa);
        for (const std::string& f : features_of(row.fallback)) EXPECT_TRUE(mine.count(f)) << f;
    }
}

TEST(Isa, AvailabilityFollowsTheRows) {
    EXPECT_TRUE(isa_available(Isa::Scalar));
    for (Isa isa : all_isas()) {
        SCOPED_TRACE(isa_row(isa).name);
        bool all_present = true;
        for (const std::string& f : features_of(isa)) all_present = all_present && isa_feature_present(f.c_str());
        EXPECT_EQ(isa_available(isa), all_present);
        if (isa_available(isa)) {
            EXPECT_TRUE(isa_available(isa_row(isa).fallback));
        }
        if (isa_index(isa) > isa_index(best_isa())) {
            EXPECT_FALSE(isa_available(isa));
        }
    }
    EXPECT_TRUE(isa_available(best_isa()));
    EXPECT_FALSE(isa_feature_known("sse9"));
}

// A table of two entries, each an id and a tag that travel together.
struct Entry {
    int id = 0, tag = 0;
    bool operator==(const Entry&) const = default;
};

struct TwoEntries {
    Entry first, second;
    static constexpr std::tuple kIsaEntries{&TwoEntries::first, &TwoEntries::second};
};

TEST(IsaTables, UnitsArePlacedByTheirRowAndGapsFilledFromTheFallback) {
    // Listed best first, the reverse of the rows' order: the list's order must not matter.
    const IsaUnit<TwoEntries> vnni{Isa::Avx512Vnni, {{3, 30}, {}}};
    const IsaUnit<TwoEntries> avx2{Isa::Avx2, {{1, 10}, {2, 20}}};
    const IsaTables<TwoEntries> tables({{0, 0}, {9, 90}}, {&vnni, &avx2});
    struct Want {
        Isa row;
        Entry first, second;
        Isa first_from, second_from;
    };
    const Want want[] = {
        {Isa::Scalar, {0, 0}, {9, 90}, Isa::Scalar, Isa::Scalar},
        {Isa::Avx2, {1, 10}, {2, 20}, Isa::Avx2, Isa::Avx2},
        {Isa::Avx512, {1, 10}, {2, 20}, Isa::Avx2, Isa::Avx2},
        {Isa::Avx512Vnni, {3, 30}, {2, 20}, Isa::Avx512Vnni, Isa::Avx2},
    };
    static_assert(std::size(want) == kIsaCount);
    for (const Want& w : want) {
        SCOPED_TRACE(isa_row(w.row).name);
        EXPECT_EQ(tables[w.row].first, w.first);
        EXPECT_EQ(tables[w.row].second, w.second);
        EXPECT_EQ(tables.compiled_for(w.row, 0), w.first_from);
        EXPECT_EQ(tables.compiled_for(w.row, 1), w.second_from);
    }
    // A row without a unit of its own runs its fallback's table itself.
    EXPECT_EQ(&tables[Isa::Avx512], &tables[Isa::Avx2]);
}

// Every entry of every row's table, in every subsystem, is compiled for that row or for one whose
// features it includes: a unit wired to a row above its own fails here on any processor, not
// only on one that lacks the features.
template <class Table>
void expect_entries_run_on_their_rows(const IsaTables<Table>& tables, const char* subsystem) {
    for (Isa row : all_isas()) {
        const std::set<std::string> mine = features_of(row);
        for (std::size_t e = 0; e < IsaTables<Table>::kEntries; ++e) {
            const Isa from = tables.compiled_for(row, e);
            SCOPED_TRACE(std::string(subsystem) + ": row " + isa_row(row).name + ", entry " + std::to_string(e) +
                         " compiled for " + isa_row(from).name);
            for (const std::string& f : features_of(from)) EXPECT_TRUE(mine.count(f)) << f;
        }
    }
}

TEST(IsaTables, NoEntryNeedsMoreThanItsRowHas) {
    expect_entries_run_on_their_rows(half_tables(), "half");
    expect_entries_run_on_their_rows(shard::scoring_tables(), "scoring");
    expect_entries_run_on_their_rows(kernels::kernel_tables(), "kernels");
}

}  // namespace
}  // namespace vse
