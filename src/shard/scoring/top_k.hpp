// Ranking scored documents: the item of every scoring result, its order, and the selection of the
// best k.
//
// Scores order by the IEEE 754 total order: the score's bits b as a signed 32-bit integer, with
// the magnitude bits flipped when b is negative (key = b ^ ((b >> 31) >>> 1)), compared as signed
// integers. From low to high: negative NaNs, -inf, negative numbers, -0.0, +0.0, positive numbers,
// +inf, positive NaNs. An item is better than another when its key is greater, or the keys are
// equal and its doc id is smaller; two items neither of which is better are identical.
//
// Selection keeps at most k + 1 items, whatever the number of candidates: a binary heap whose top
// is the worst item held, popped whenever the heap holds more than k.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vse::shard {

struct ScoredDoc {
    std::uint64_t doc_id;
    float score;
};

inline std::int32_t score_key(float score) {
    const auto b = std::bit_cast<std::int32_t>(score);
    return b ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(b >> 31) >> 1);
}

// Whether x ranks before y. Evaluated without branches: the heap's walks take one side or the
// other on it at random, which a branch would mispredict half the time.
inline bool better(const ScoredDoc& x, const ScoredDoc& y) {
    const std::int32_t kx = score_key(x.score), ky = score_key(y.score);
    return (kx > ky) | ((kx == ky) & (x.doc_id < y.doc_id));
}

// A bounded selection heap: push candidates, pop the worst, finish best first.
class ScoredHeap {
public:
    // `capacity_hint` sizes the first reservation; callers pass min(k, candidates) + 1.
    explicit ScoredHeap(std::size_t capacity_hint = 0) { items_.reserve(capacity_hint); }

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    void push(ScoredDoc item);
    // Removes and returns the worst item; the heap must not be empty.
    ScoredDoc scored_heap_pop();
    // Pushes, then pops the worst while more than k items are held. A full heap's answer to an
    // item no better than its worst is that item popped again, so it is turned away at once.
    void push_bounded(ScoredDoc item, std::uint64_t k) {
        if (k == 0) return;
        if (items_.size() >= k && !better(item, items_.front())) return;
        push(item);
        if (items_.size() > k) scored_heap_pop();
    }
    // The items, best first; the heap is left empty.
    std::vector<ScoredDoc> scored_heap_into_sorted_vec();

private:
    std::vector<ScoredDoc> items_;  // items_[0] is the worst
};

// The room a selection of k among n candidates needs: min(k, n) + 1, never more than n + 1.
inline std::size_t selection_reserve(std::uint64_t k, std::size_t n) {
    return (k < n ? static_cast<std::size_t>(k) : n) + 1;
}

// The best min(k, items) items, best first; independent of the input order.
std::vector<ScoredDoc> top_k(std::vector<ScoredDoc> items, std::uint64_t k);

// Splits a result into its ids and its scores, in order.
void split_scored(const std::vector<ScoredDoc>& items, std::vector<std::uint64_t>& ids, std::vector<float>& scores);

}  // namespace vse::shard
