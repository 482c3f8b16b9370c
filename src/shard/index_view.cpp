#include "shard/index_view.hpp"

namespace vse::shard {

Result<void> IndexView::require_centroids() const {
    if (!installed->centroids) return fail(Exc::Runtime, "centroids not loaded \u2014 call set_centroids first");
    return {};
}

Result<const MergedMmap*> IndexView::require_merged() const {
    if (!installed->merged) return fail(Exc::Runtime, "merged mmap not loaded \u2014 call load_merged first");
    return installed->merged.get();
}

}  // namespace vse::shard
