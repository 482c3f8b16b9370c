// Argument binding against a parameter list, in CPython's wording.
//
// Every parameter is positional-or-keyword. Binding fills one slot per parameter with a borrowed
// reference, or null when an optional parameter was not given. Failures raise TypeError:
//   "f() takes 2 positional arguments but 3 were given"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for argument 'x'"
//   "f() missing 1 required positional argument: 'x'"
// where f is the display name, such as "ShardIndex.search".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "common/error.hpp"

namespace vse::py {

struct Param {
    const char* name;
    bool required = true;
};

inline constexpr Param optional(const char* name) { return Param{name, false}; }

// Fast-call convention: positional arguments, their count, and a tuple naming the keyword
// arguments that follow them in `args`.
Result<void> bind_fastcall(const char* fn, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out);

// Tuple-and-dict convention (tp_new).
Result<void> bind_tuple_dict(const char* fn, std::span<const Param> params, PyObject* args, PyObject* kwargs,
                             PyObject** out);

template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> slot{};
    PyObject* operator[](std::size_t i) const { return slot[i]; }
    // True when the argument was given and is not None.
    bool given(std::size_t i) const { return slot[i] != nullptr && slot[i] != Py_None; }
};

template <std::size_t N>
Result<Bound<N>> bind(const char* fn, const std::array<Param, N>& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    Bound<N> b;
    VSE_CHECK(bind_fastcall(fn, params, args, nargs, kwnames, b.slot.data()));
    return b;
}

template <std::size_t N>
Result<Bound<N>> bind(const char* fn, const std::array<Param, N>& params, PyObject* args, PyObject* kwargs) {
    Bound<N> b;
    VSE_CHECK(bind_tuple_dict(fn, params, args, kwargs, b.slot.data()));
    return b;
}

}  // namespace vse::py
