#include "shard/index_view.hpp"

#include <fmt/format.h>

namespace vse::shard {

Result<void> IndexView::require_centroids() const {
    if (!installed->centroids) return fail(Exc::Runtime, "centroids not loaded \u2014 call set_centroids first");
    return {};
}

Result<const MergedMmap*> IndexView::require_merged() const {
    if (!installed->merged) return fail(Exc::Runtime, "merged mmap not loaded \u2014 call load_merged first");
    return installed->merged.get();
}

Result<void> IndexView::require_doc_means(std::uint64_t query_width) const {
    if (!state->doc_means) return fail(Exc::Runtime, "doc_means not loaded \u2014 call set_doc_means first");
    if (state->doc_mean_dim == 0) return fail(Exc::Runtime, "doc_mean_dim is 0");
    if (state->doc_mean_dim != query_width)
        return fail(Exc::Value, fmt::format("doc_mean_dim {} != query dim {}", state->doc_mean_dim, query_width));
    return {};
}

}  // namespace vse::shard
