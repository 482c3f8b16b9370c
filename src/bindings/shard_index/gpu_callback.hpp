// The Python `gpu_score_fn` as the core sees it: a plain batch scorer over native buffers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "shard/scoring/search.hpp"

namespace vse::bindings::shard_index {

// A scorer that calls `callable(query, docs, doc_ids, offsets)` with the GIL (taken by the scorer
// itself, so it may run where the GIL was released) and returns one score per id. Every failure,
// whatever it is, scores every document -inf and leaves no exception pending. `callable` is
// borrowed: the caller keeps it alive while the scorer may run.
shard::BatchScorer gpu_scorer(PyObject* callable);

}  // namespace vse::bindings::shard_index
