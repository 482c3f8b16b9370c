// The instruction-set rows themselves: every feature a row's units are compiled for is one the
// check tests, a row includes its fallback's features, and availability follows the fallbacks.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/isa.hpp"

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

}  // namespace
}  // namespace vse
