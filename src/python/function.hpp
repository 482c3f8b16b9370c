// Module-level builtin functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::py {

// The name every object of this module reports as its __module__.
inline constexpr const char* kModuleName = "varnelo_shard_engine";

// A builtin function object for `def`, which must live as long as the process (a static). Its
// docstring may start with a text signature ("name(a, b=None)\n--\n\n"), which Python then shows
// as the function's signature.
Result<Ref> function_object(PyMethodDef* def);

}  // namespace vse::py
