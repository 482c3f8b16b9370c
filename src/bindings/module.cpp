// Module init for varnelo_shard_engine.
//
// The module is built once per process and bound to the first interpreter that imports it: its
// types are static and its state is process-wide, so a second interpreter is refused. Importing it
// again in the same interpreter (say after removing it from sys.modules) returns the same module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "common/error.hpp"
#include "bindings/kernels.hpp"
#include "bindings/metadata_store.hpp"
#include "bindings/shard_index/shard_index.hpp"
#include "python/error.hpp"

namespace {

using vse::Result;
using vse::py::Ref;

// The public names, in registration order; each entry makes the object bound to its name.
struct Export {
    const char* name;
    Result<Ref> (*make)();
};

constexpr Export kExports[] = {
    {"ShardIndex", vse::bindings::shard_index::type_object},
    {"MetadataStore", vse::bindings::metadata_store::type_object},
    {"rroq158_score_batch", vse::bindings::rroq158_function},
    {"rroq4_riem_score_batch", vse::bindings::rroq4_riem_function},
};

Result<void> add_export(PyObject* module, const char* name, Ref obj) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return vse::py::pending();
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return vse::py::pending();
        }
    }
    Ref all_ref = Ref::steal(all);
    VSE_TRY(Ref key, vse::py::checked(PyUnicode_FromString(name)));
    if (PyList_Append(all_ref.get(), key.get()) < 0) return vse::py::pending();
    if (PyObject_SetAttr(module, key.get(), obj.get()) < 0) return vse::py::pending();
    return {};
}

Result<void> init_module(PyObject* module) {
    for (const Export& e : kExports) {
        VSE_TRY(Ref obj, e.make());
        VSE_CHECK(add_export(module, e.name, std::move(obj)));
    }
    return {};
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "varnelo_shard_engine",
    "",       // empty docstring
    0,        // re-imports call the init function again, which returns the built module
    nullptr,  // no functions of its own
    nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit_varnelo_shard_engine() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "varnelo_shard_engine does not support sub-interpreters: it can be imported only "
                        "in the interpreter that imported it first");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* module = PyModule_Create(&kModuleDef);
    if (module == nullptr) return nullptr;
    if (auto r = init_module(module); !r) {
        vse::py::raise(r.error());
        Py_DECREF(module);
        return nullptr;
    }
    g_module = Py_NewRef(module);
    return module;
}
