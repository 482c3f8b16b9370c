// The ShardIndex object and the one opening every method goes through.
//
// Every method has one shape: bind the arguments against its parameter list, take the object's
// borrow (shared, or exclusive for the setup methods and close), then the body converts the
// arguments, checks state and shapes in their fixed order (the one the Python tests pin), calls
// the core (without the GIL for long work) and builds the result. Errors become exceptions only at
// the edge.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"
#include "shard/index.hpp"

namespace vse::bindings::shard_index {

using py::Ref;

struct ShardIndexObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    shard::Index* index;     // owned
    PyObject* gpu_score_fn;  // owned; null when absent (cleared by the collector in a cycle)
};

inline ShardIndexObject* self_of(PyObject* self) { return reinterpret_cast<ShardIndexObject*>(self); }

enum class Access { Shared, Exclusive };

template <std::size_t N, class Body>
PyObject* method(const char* name, const std::array<py::Param, N>& params, Access access, PyObject* obj,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(py::Bound<N> a, py::bind(name, params, args, nargs, kwnames));
        ShardIndexObject* self = self_of(obj);
        auto borrow = access == Access::Shared ? self->borrow.shared() : self->borrow.exclusive();
        if (!borrow) return std::unexpected(std::move(borrow).error());
        return body(*self, a);
    });
}

// Properties: a shared borrow and the body.
template <class Body>
PyObject* property(PyObject* obj, Body&& body) {
    return py::edge([&]() -> Result<Ref> {
        ShardIndexObject* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        return body(*self);
    });
}

inline constexpr std::array<py::Param, 0> kNoParams{};

// The (ids, scores) tuple of a scoring method: a uint64 and a float32 array of equal length.
Result<Ref> scored_tuple(std::vector<std::uint64_t> ids, std::vector<float> scores);

// Method bodies, by kind; each has the fast-call signature of python/method.hpp.
#define VSE_SHARD_INDEX_METHOD(name) PyObject* name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
VSE_SHARD_INDEX_METHOD(meth_insert);
VSE_SHARD_INDEX_METHOD(meth_delete);
VSE_SHARD_INDEX_METHOD(meth_update_payload);
VSE_SHARD_INDEX_METHOD(meth_register_shard_docs);
VSE_SHARD_INDEX_METHOD(meth_sync);
VSE_SHARD_INDEX_METHOD(meth_close);
VSE_SHARD_INDEX_METHOD(meth_search);
VSE_SHARD_INDEX_METHOD(meth_proxy_score);
VSE_SHARD_INDEX_METHOD(meth_score_candidates_approx);
VSE_SHARD_INDEX_METHOD(meth_fetch_candidate_embeddings);
VSE_SHARD_INDEX_METHOD(meth_set_doc_means);
VSE_SHARD_INDEX_METHOD(meth_set_centroids);
VSE_SHARD_INDEX_METHOD(meth_set_codec);
VSE_SHARD_INDEX_METHOD(meth_set_use_compression);
VSE_SHARD_INDEX_METHOD(meth_load_merged);
VSE_SHARD_INDEX_METHOD(meth_score_candidates_exact);
VSE_SHARD_INDEX_METHOD(meth_doc_ids);
VSE_SHARD_INDEX_METHOD(meth_contains);
VSE_SHARD_INDEX_METHOD(meth_get_payload);
#undef VSE_SHARD_INDEX_METHOD

PyObject* get_doc_count(PyObject*, void*);
PyObject* get_total_vectors(PyObject*, void*);
PyObject* get_dim(PyObject*, void*);

}  // namespace vse::bindings::shard_index
