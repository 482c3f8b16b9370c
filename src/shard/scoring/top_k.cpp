#include "shard/scoring/top_k.hpp"

#include <algorithm>
#include <utility>

namespace vse::shard {

// The heap is a max-heap under the reverse item order: a parent is never better than its children.

void ScoredHeap::push(ScoredDoc item) {
    items_.push_back(item);
    std::size_t i = items_.size() - 1;
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!better(items_[parent], items_[i])) break;
        std::swap(items_[parent], items_[i]);
        i = parent;
    }
}

ScoredDoc ScoredHeap::scored_heap_pop() {
    const ScoredDoc worst = items_.front();
    const ScoredDoc last = items_.back();
    items_.pop_back();
    const std::size_t n = items_.size();
    if (n == 0) return worst;
    // The last item fills the root, sinks to the bottom along the worse child, then rises back
    // while its parent is better.
    std::size_t i = 0;
    for (;;) {
        const std::size_t l = 2 * i + 1;
        if (l + 1 >= n) {
            if (l < n) {
                items_[i] = items_[l];
                i = l;
            }
            break;
        }
        // The walk is a chain of dependent loads through a heap that the caller's other data may
        // have pushed out of the first-level cache: the grandchildren (four items side by side)
        // are asked for while this level is decided.
        if (4 * i + 6 < n) {
            __builtin_prefetch(&items_[4 * i + 3]);
            __builtin_prefetch(&items_[4 * i + 6]);
        }
        // The worse child, picked by arithmetic rather than a branch.
        const std::size_t c = l + static_cast<std::size_t>(better(items_[l], items_[l + 1]));
        items_[i] = items_[c];
        i = c;
    }
    items_[i] = last;
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!better(items_[parent], items_[i])) break;
        std::swap(items_[parent], items_[i]);
        i = parent;
    }
    return worst;
}

std::vector<ScoredDoc> ScoredHeap::scored_heap_into_sorted_vec() {
    std::vector<ScoredDoc> out = std::move(items_);
    items_.clear();
    std::sort(out.begin(), out.end(), [](const ScoredDoc& x, const ScoredDoc& y) { return better(x, y); });
    return out;
}

std::vector<ScoredDoc> top_k(std::vector<ScoredDoc> items, std::uint64_t k) {
    if (k == 0) return {};
    ScoredHeap heap(selection_reserve(k, items.size()));
    for (const ScoredDoc& item : items) heap.push_bounded(item, k);
    return heap.scored_heap_into_sorted_vec();
}

void split_scored(const std::vector<ScoredDoc>& items, std::vector<std::uint64_t>& ids, std::vector<float>& scores) {
    ids.resize(items.size());
    scores.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        ids[i] = items[i].doc_id;
        scores[i] = items[i].score;
    }
}

}  // namespace vse::shard
