// The persistent document map against std::map as a model: random inserts, replacements and
// erasures, checking after each step that the new version matches the model and that an older
// version kept aside is unchanged.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "shard/doc_map.hpp"

using vse::shard::DocEntry;
using vse::shard::DocMap;

namespace {

DocEntry entry(std::uint64_t tag) {
    DocEntry e;
    e.row_start = tag;
    e.row_end = tag + 1;
    return e;
}

void expect_equal(const DocMap& m, const std::map<std::uint64_t, std::uint64_t>& model) {
    ASSERT_EQ(m.size(), model.size());
    auto it = model.begin();
    m.for_each([&](std::uint64_t id, const DocEntry& e) {
        ASSERT_NE(it, model.end());
        EXPECT_EQ(id, it->first);
        EXPECT_EQ(e.row_start, it->second);
        ++it;
    });
    for (const auto& [id, tag] : model) {
        const DocEntry* e = m.find(id);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->row_start, tag);
    }
}

}  // namespace

TEST(DocMap, MatchesModelAndKeepsOldVersions) {
    std::mt19937_64 rng(7);
    DocMap m;
    std::map<std::uint64_t, std::uint64_t> model;
    std::vector<std::pair<DocMap, std::map<std::uint64_t, std::uint64_t>>> kept;
    for (int step = 0; step < 4000; ++step) {
        // A small key space forces replacements and erasures of present keys; the top bit
        // exercises the unsigned order.
        std::uint64_t id = rng() % 300;
        if (rng() % 4 == 0) id |= 1ull << 63;
        if (rng() % 3 == 0) {
            bool found = false;
            DocEntry old;
            m = m.erase(id, &old, &found);
            EXPECT_EQ(found, model.count(id) == 1);
            if (found) {
                EXPECT_EQ(old.row_start, model[id]);
            }
            model.erase(id);
        } else {
            bool replaced = false;
            DocEntry old;
            m = m.insert_or_assign(id, entry(step), &old, &replaced);
            EXPECT_EQ(replaced, model.count(id) == 1);
            if (replaced) {
                EXPECT_EQ(old.row_start, model[id]);
            }
            model[id] = step;
        }
        if (step % 500 == 0) kept.emplace_back(m, model);
        if (step % 97 == 0) expect_equal(m, model);
    }
    expect_equal(m, model);
    for (const auto& [old, old_model] : kept) expect_equal(old, old_model);
}

TEST(DocMap, BulkBuildMatchesSingleInserts) {
    std::vector<std::pair<std::uint64_t, DocEntry>> sorted;
    DocMap one_by_one;
    for (std::uint64_t id = 0; id < 1000; id += 3) {
        sorted.emplace_back(id, entry(id));
        one_by_one = one_by_one.insert_or_assign(id, entry(id));
    }
    DocMap bulk = DocMap::from_sorted(std::move(sorted));
    EXPECT_EQ(bulk.ids(), one_by_one.ids());
    // Both trees answer lookups and keep working after further writes.
    DocMap more = bulk.erase(3).insert_or_assign(4, entry(4));
    EXPECT_EQ(more.find(3), nullptr);
    ASSERT_NE(more.find(4), nullptr);
    EXPECT_NE(bulk.find(3), nullptr);
}

TEST(DocMap, ErasingAbsentKeyReturnsSameContent) {
    DocMap m = DocMap().insert_or_assign(5, entry(5));
    bool found = true;
    DocMap n = m.erase(6, nullptr, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(n.size(), 1u);
    EXPECT_NE(n.find(5), nullptr);
}
