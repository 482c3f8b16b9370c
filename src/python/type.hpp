// Static type objects, value-initialised field by field instead of by a positional initialiser.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vse::py {

inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize) {
    PyTypeObject t{};
    // The head macro ends in a comma, which only an array initialiser accepts.
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    return t;
}

}  // namespace vse::py
