#include "shard/doc_map.hpp"

#include "common/keyed_hash.hpp"

namespace vse::shard {

std::uint64_t DocMap::priority(std::uint64_t key) { return keyed_hash64(key); }

void DocMap::release(const Node* n) {
    // Children are released after their parent; the recursion is as deep as the tree. A count of
    // one is this reference alone: no other holder is left to change it, so the node goes without
    // an atomic write (the load orders the delete after every other holder's release).
    while (n != nullptr && (n->refs.load(std::memory_order_acquire) == 1 ||
                            n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)) {
        const Node* left = n->left;
        const Node* right = n->right;
        delete n;
        release(left);
        n = right;
    }
}

const DocMap::Node* DocMap::make(std::uint64_t key, std::uint64_t prio, const DocEntry& value, const Node* left,
                                 const Node* right) {
    return new Node{{1}, key, prio, left, right, value};
}

const DocEntry* DocMap::find(std::uint64_t id) const {
    const Node* n = root_;
    while (n != nullptr) {
        if (id == n->key) return &n->value;
        n = id < n->key ? n->left : n->right;
    }
    return nullptr;
}

std::pair<const DocMap::Node*, const DocMap::Node*> DocMap::split(const Node* n, std::uint64_t key) {
    // Callers guarantee that `key` is not in the subtree.
    if (n == nullptr) return {nullptr, nullptr};
    if (n->key < key) {
        auto [l, r] = split(n->right, key);
        return {copy(n, acquire(n->left), l), r};
    }
    auto [l, r] = split(n->left, key);
    return {l, copy(n, r, acquire(n->right))};
}

const DocMap::Node* DocMap::merge(const Node* a, const Node* b) {
    // Every key of `a` is below every key of `b`.
    if (a == nullptr) return b;
    if (b == nullptr) return a;
    if (above(a->prio, a->key, b->prio, b->key)) {
        const Node* joined = copy(a, acquire(a->left), merge(acquire(a->right), b));
        release(a);
        return joined;
    }
    const Node* joined = copy(b, merge(a, acquire(b->left)), acquire(b->right));
    release(b);
    return joined;
}

const DocMap::Node* DocMap::insert(const Node* n, std::uint64_t key, std::uint64_t prio, const DocEntry& value,
                                   DocEntry* previous, bool* replaced) {
    if (n == nullptr) return make(key, prio, value, nullptr, nullptr);
    if (key == n->key) {
        if (previous) *previous = n->value;
        *replaced = true;
        return make(key, prio, value, acquire(n->left), acquire(n->right));
    }
    if (above(prio, key, n->prio, n->key)) {
        // The key's node belongs here; the key cannot occur further down.
        auto [l, r] = split(n, key);
        return make(key, prio, value, l, r);
    }
    return key < n->key ? copy(n, insert(n->left, key, prio, value, previous, replaced), acquire(n->right))
                        : copy(n, acquire(n->left), insert(n->right, key, prio, value, previous, replaced));
}

const DocMap::Node* DocMap::erase(const Node* n, std::uint64_t key, std::uint64_t prio, DocEntry* erased,
                                  bool* found) {
    if (n == nullptr) return nullptr;
    if (key == n->key) {
        if (erased) *erased = n->value;
        *found = true;
        const Node* joined = merge(acquire(n->left), acquire(n->right));
        release(n);
        return joined;
    }
    if (above(prio, key, n->prio, n->key)) return n;  // the key would sit above this node: it is absent
    const Node* child = key < n->key ? n->left : n->right;
    const Node* updated = erase(acquire(child), key, prio, erased, found);
    if (!*found) {
        release(updated);
        return n;
    }
    const Node* joined = key < n->key ? copy(n, updated, acquire(n->right)) : copy(n, acquire(n->left), updated);
    release(n);
    return joined;
}

DocMap DocMap::insert_or_assign(std::uint64_t id, DocEntry entry, DocEntry* previous, bool* replaced) const {
    bool was_there = false;
    const Node* root = insert(root_, id, priority(id), entry, previous, &was_there);
    if (replaced) *replaced = was_there;
    return DocMap(root, size_ + (was_there ? 0 : 1));
}

DocMap DocMap::erase(std::uint64_t id, DocEntry* erased, bool* found) const {
    bool was_there = false;
    const Node* root = erase(acquire(root_), id, priority(id), erased, &was_there);
    if (found) *found = was_there;
    return DocMap(root, size_ - (was_there ? 1 : 0));
}

DocMap DocMap::from_sorted(std::vector<std::pair<std::uint64_t, DocEntry>>&& sorted) {
    // Cartesian-tree construction over the right spine. Nodes are private to this call until it
    // returns, so their child links may still be set here.
    std::vector<Node*> spine;
    spine.reserve(64);
    for (auto& [key, value] : sorted) {
        Node* node = new Node{{1}, key, priority(key), nullptr, nullptr, std::move(value)};
        Node* last = nullptr;
        while (!spine.empty() && above(node->prio, key, spine.back()->prio, spine.back()->key)) {
            last = spine.back();
            spine.pop_back();
        }
        node->left = last;
        if (!spine.empty()) spine.back()->right = node;
        spine.push_back(node);
    }
    const std::size_t n = sorted.size();
    sorted.clear();
    return DocMap(spine.empty() ? nullptr : spine.front(), n);
}

std::vector<std::uint64_t> DocMap::ids() const {
    std::vector<std::uint64_t> out;
    out.reserve(size_);
    for_each([&](std::uint64_t id, const DocEntry&) { out.push_back(id); });
    return out;
}

}  // namespace vse::shard
