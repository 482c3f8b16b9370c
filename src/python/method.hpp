// Method-table entries for the fast-call convention with keywords, the one every method uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vse::py {

using FastcallFn = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// `doc` begins with the text signature ("name($self, a, b=1)\n--\n\n"), so that inspect finds it.
inline PyMethodDef fastcall_method(const char* name, FastcallFn fn, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace vse::py
