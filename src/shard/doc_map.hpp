// DocMap: the documents of one snapshot, a persistent (immutable, structurally shared) map from
// document id to DocEntry.
//
// Every write publishes a new snapshot that must not disturb readers of the old one. Copying a hash
// map per write would make each write cost O(n); instead the map is a treap whose nodes are never
// modified once built: a write copies only the O(log n) nodes on the path to its key and shares
// every other node with the previous version. The node priorities are a keyed hash of the document
// id (the key is drawn at random once per process), so the shape of the tree depends only on the set
// of ids, is balanced in expectation whatever ids the caller picks, and a tree built in bulk from a
// sorted run is identical to one built by single inserts.
//
// Nodes are reference-counted intrusively and may be read and released from any thread; they are
// immutable after construction, so no other synchronisation is needed.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vse::shard {

// Shard id of a document that has no shard location.
inline constexpr std::uint32_t NO_SHARD = 0xFFFFFFFFu;

struct DocEntry {
    DocEntry() = default;
    DocEntry(std::shared_ptr<const std::string> payload, std::uint64_t row_start, std::uint64_t row_end,
             std::uint64_t dim, std::uint32_t shard_id)
        : payload(std::move(payload)), row_start(row_start), row_end(row_end), dim(dim), shard_id(shard_id) {}

    // The payload text as last given; null when none was given. Shared between versions.
    std::shared_ptr<const std::string> payload;
    std::uint64_t row_start = 0;
    std::uint64_t row_end = 0;
    std::uint64_t dim = 0;
    std::uint32_t shard_id = NO_SHARD;
};

// Rows a document contributes to a snapshot's `total_vectors`: row_end - row_start, modulo 2^64.
inline std::uint64_t entry_vectors(const DocEntry& e) { return e.row_end - e.row_start; }

class DocMap {
public:
    DocMap() = default;
    DocMap(const DocMap& other) noexcept : root_(acquire(other.root_)), size_(other.size_) {}
    DocMap(DocMap&& other) noexcept : root_(std::exchange(other.root_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    DocMap& operator=(DocMap other) noexcept {
        std::swap(root_, other.root_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~DocMap() { release(root_); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    const DocEntry* find(std::uint64_t id) const;

    // New versions; `*this` is left unchanged. `erased` and the returned previous entry let writers
    // keep their derived totals up to date without walking the map.
    DocMap insert_or_assign(std::uint64_t id, DocEntry entry, DocEntry* previous = nullptr,
                            bool* replaced = nullptr) const;
    DocMap erase(std::uint64_t id, DocEntry* erased = nullptr, bool* found = nullptr) const;

    // A new version with `entry_at(i)` under `ids[i]` for every i; where an id occurs more than
    // once, its last occurrence wins. `*total`, a sum of entry_vectors over the map (modulo 2^64),
    // is brought up to date for the new version. A few ids are inserted one by one, copying paths;
    // a batch that is large beside the map is merged with it in one sorted pass and the tree is
    // built in bulk.
    template <class EntryAt>
    DocMap assign_batch(std::span<const std::uint64_t> ids, EntryAt&& entry_at, std::uint64_t* total) const;

    // Builds a map from entries whose ids are strictly ascending, in O(n).
    static DocMap from_sorted(std::vector<std::pair<std::uint64_t, DocEntry>>&& sorted);

    // Visits every entry in ascending id order; `f(id, entry)`.
    template <class F>
    void for_each(F&& f) const;

    std::vector<std::uint64_t> ids() const;

private:
    struct Node {
        mutable std::atomic<std::uint32_t> refs{1};
        std::uint64_t key;
        std::uint64_t prio;  // priority(key), kept so that no comparison hashes again
        const Node* left;
        const Node* right;
        DocEntry value;
    };

    DocMap(const Node* root, std::size_t size) : root_(root), size_(size) {}

    static const Node* acquire(const Node* n) {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
        return n;
    }
    static void release(const Node* n);
    static const Node* make(std::uint64_t key, std::uint64_t prio, const DocEntry& value, const Node* left,
                            const Node* right);
    static const Node* copy(const Node* n, const Node* left, const Node* right) {
        return make(n->key, n->prio, n->value, left, right);
    }
    // Whether the node of key `a` (priority `pa`) belongs above that of `b`.
    static bool above(std::uint64_t pa, std::uint64_t a, std::uint64_t pb, std::uint64_t b) {
        return pa != pb ? pa > pb : a < b;
    }
    static std::uint64_t priority(std::uint64_t key);

    // Each returns owned references. split and insert only read the subtree they are given, whose
    // nodes on the key's path are copied and whose other nodes are shared; merge and erase take
    // over the references they are given.
    static std::pair<const Node*, const Node*> split(const Node* n, std::uint64_t key);
    static const Node* merge(const Node* a, const Node* b);
    static const Node* insert(const Node* n, std::uint64_t key, std::uint64_t prio, const DocEntry& value,
                              DocEntry* previous, bool* replaced);
    static const Node* erase(const Node* n, std::uint64_t key, std::uint64_t prio, DocEntry* erased, bool* found);

    const Node* root_ = nullptr;
    std::size_t size_ = 0;
};

template <class F>
void DocMap::for_each(F&& f) const {
    // Iterative in-order walk; the stack stays as deep as the tree.
    std::vector<const Node*> stack;
    stack.reserve(64);
    const Node* n = root_;
    while (n != nullptr || !stack.empty()) {
        while (n != nullptr) {
            stack.push_back(n);
            n = n->left;
        }
        n = stack.back();
        stack.pop_back();
        f(n->key, n->value);
        n = n->right;
    }
}

template <class EntryAt>
DocMap DocMap::assign_batch(std::span<const std::uint64_t> ids, EntryAt&& entry_at, std::uint64_t* total) const {
    const std::size_t n = ids.size();
    if (n < 64 || n * 8 < size_) {
        DocMap docs = *this;
        for (std::size_t i = 0; i < n; ++i) {
            DocEntry e = entry_at(i), old;
            bool replaced = false;
            *total += entry_vectors(e);
            docs = docs.insert_or_assign(ids[i], std::move(e), &old, &replaced);
            if (replaced) *total -= entry_vectors(old);
        }
        return docs;
    }
    // The batch in id order, the occurrences of one id in call order, so that the last of them comes
    // last among its own. (Ties broken by position give stable_sort's order without its temporary
    // buffer.)
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return ids[a] < ids[b] || (ids[a] == ids[b] && a < b); });
    std::vector<std::pair<std::uint64_t, DocEntry>> merged;
    merged.reserve(size_ + n);
    std::size_t k = 0;
    auto emit_batch_upto = [&](std::uint64_t limit, bool inclusive) {
        while (k < n && (ids[order[k]] < limit || (inclusive && ids[order[k]] == limit))) {
            std::size_t last = k;
            while (last + 1 < n && ids[order[last + 1]] == ids[order[k]]) ++last;
            merged.emplace_back(ids[order[last]], entry_at(order[last]));
            k = last + 1;
        }
    };
    for_each([&](std::uint64_t id, const DocEntry& e) {
        emit_batch_upto(id, false);
        if (k < n && ids[order[k]] == id) {
            emit_batch_upto(id, true);  // the batch replaces this entry
        } else {
            merged.emplace_back(id, e);
        }
    });
    emit_batch_upto(UINT64_MAX, true);
    *total = 0;
    for (const auto& [id, e] : merged) *total += entry_vectors(e);
    return from_sorted(std::move(merged));
}

}  // namespace vse::shard
