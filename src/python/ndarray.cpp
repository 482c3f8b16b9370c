#include "python/ndarray.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL vse_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>

#include <fmt/format.h>

#include "python/convert.hpp"
#include "python/error.hpp"

namespace vse::py {

namespace {

int typenum(DType t) {
    switch (t) {
        case DType::Bool: return NPY_BOOL;
        case DType::U8: return NPY_UINT8;
        case DType::U16: return NPY_UINT16;
        case DType::I32: return NPY_INT32;
        case DType::U32: return NPY_UINT32;
        case DType::I64: return NPY_INT64;
        case DType::U64: return NPY_UINT64;
        case DType::F16: return NPY_FLOAT16;
        case DType::F32: return NPY_FLOAT32;
        case DType::F64: return NPY_FLOAT64;
    }
    return NPY_NOTYPE;
}

// Looks the C API up once; a missing numpy leaves ImportError pending.
bool numpy_ready() {
    static bool ready = false;
    if (ready) return true;
    if (PyArray_ImportNumPyAPI() < 0) return false;
    ready = true;
    return true;
}

// Whether numpy is loaded in this interpreter (so an object may be one of its arrays).
bool numpy_loaded() {
    static bool seen = false;
    if (seen) return true;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* np = PyDict_GetItemString(modules, "numpy");
    if (np == nullptr) return false;
    if (!numpy_ready()) {
        PyErr_Clear();
        return false;
    }
    seen = true;
    return true;
}

// Whether every element starts at a multiple of the element size, the alignment of each type a
// view is read as.
bool elements_aligned(PyArrayObject* arr) {
    const std::int64_t item = PyArray_ITEMSIZE(arr);
    if (item <= 1 || PyArray_SIZE(arr) == 0) return true;
    if (reinterpret_cast<std::uintptr_t>(PyArray_DATA(arr)) % static_cast<std::uintptr_t>(item) != 0) return false;
    for (int i = 0; i < PyArray_NDIM(arr); ++i)
        if (PyArray_DIM(arr, i) > 1 && PyArray_STRIDE(arr, i) % item != 0) return false;  // strides may be negative
    return true;
}

std::string describe_array(PyArrayObject* arr) {
    PyArray_Descr* d = PyArray_DESCR(arr);
    Ref s = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(d)));
    std::string dt = "unknown";
    if (s) {
        if (const char* u = PyUnicode_AsUTF8(s.get())) dt = u;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    const int nd = PyArray_NDIM(arr);
    return fmt::format("an array of {} with {} dimension{}", dt, nd, nd == 1 ? "" : "s");
}

}  // namespace

const char* dtype_name(DType t) {
    switch (t) {
        case DType::Bool: return "bool";
        case DType::U8: return "uint8";
        case DType::U16: return "uint16";
        case DType::I32: return "int32";
        case DType::U32: return "uint32";
        case DType::I64: return "int64";
        case DType::U64: return "uint64";
        case DType::F16: return "float16";
        case DType::F32: return "float32";
        case DType::F64: return "float64";
    }
    return "?";
}

Result<ArrayView> borrow_array(PyObject* obj, const char* name, DType dtype, int ndim) {
    if (!numpy_ready()) return pending();
    // Formatted only for an error: this runs on every call that takes an array.
    auto wanted = [&] { return fmt::format("a {}-dimensional numpy.ndarray of {}", ndim, dtype_name(dtype)); };
    if (!PyArray_Check(obj))
        return argument_error(name, fmt::format("expected {}, got '{}'", wanted(), type_name(obj)));
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* want = PyArray_DescrFromType(typenum(dtype));
    if (want == nullptr) return pending();
    const bool same_type = PyArray_EquivTypes(PyArray_DESCR(arr), want);
    Py_DECREF(want);
    if (!same_type || PyArray_NDIM(arr) != ndim || ndim > ArrayView::kMaxDims)
        return argument_error(name, fmt::format("expected {}, got {}", wanted(), describe_array(arr)));
    ArrayView v;
    v.array = Ref::borrow(obj);
    v.c_contiguous = PyArray_IS_C_CONTIGUOUS(arr);
    v.f_contiguous = PyArray_IS_F_CONTIGUOUS(arr);
    PyArrayObject* src = arr;
    if (!elements_aligned(arr)) {
        PyObject* copy = PyArray_NewCopy(arr, NPY_KEEPORDER);  // NumPy allocates it aligned
        if (copy == nullptr) return pending();
        v.aligned_copy = Ref::steal(copy);
        src = reinterpret_cast<PyArrayObject*>(copy);
    }
    v.data = PyArray_DATA(src);
    v.ndim = ndim;
    for (int i = 0; i < ndim; ++i) {
        v.shape[i] = PyArray_DIM(src, i);
        v.strides[i] = PyArray_STRIDE(src, i);
    }
    v.size = static_cast<std::size_t>(PyArray_SIZE(src));
    return v;
}

Result<std::optional<ArrayView>> borrow_opt_array(PyObject* obj, const char* name, DType dtype, int ndim) {
    if (obj == nullptr || obj == Py_None) return std::optional<ArrayView>{};
    VSE_TRY(ArrayView v, borrow_array(obj, name, dtype, ndim));
    return std::optional<ArrayView>{std::move(v)};
}

Result<Ref> array_copy(DType dtype, std::span<const std::int64_t> dims, const void* data) {
    if (!numpy_ready()) return pending();
    std::vector<npy_intp> d(dims.begin(), dims.end());
    PyObject* arr = PyArray_SimpleNew(static_cast<int>(d.size()), d.data(), typenum(dtype));
    if (arr == nullptr) return pending();
    const auto bytes = static_cast<std::size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(arr)));
    if (bytes) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, bytes);
    return Ref::steal(arr);
}

Result<Ref> array_reshape(const Ref& arr, std::span<const std::int64_t> dims) {
    if (!numpy_ready()) return pending();
    std::vector<npy_intp> d(dims.begin(), dims.end());
    PyArray_Dims shape{d.data(), static_cast<int>(d.size())};
    return checked(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(arr.get()), &shape, NPY_CORDER));
}

namespace detail {

Result<Ref> adopt_buffer(DType dtype, std::span<const std::int64_t> dims, void* buffer, void* owner,
                         void (*free_fn)(void*)) {
    // The capsule owns the buffer from here on, whatever happens next.
    struct Holder {
        void* owner;
        void (*free_fn)(void*);
    };
    auto* holder = new Holder{owner, free_fn};
    PyObject* capsule = PyCapsule_New(holder, "varnelo_shard_engine.buffer", [](PyObject* cap) {
        auto* h = static_cast<Holder*>(PyCapsule_GetPointer(cap, "varnelo_shard_engine.buffer"));
        if (h) {
            h->free_fn(h->owner);
            delete h;
        }
    });
    if (capsule == nullptr) {
        free_fn(owner);
        delete holder;
        return pending();
    }
    Ref cap = Ref::steal(capsule);
    if (!numpy_ready()) return pending();
    std::vector<npy_intp> d(dims.begin(), dims.end());
    PyObject* arr = PyArray_SimpleNewFromData(static_cast<int>(d.size()), d.data(), typenum(dtype), buffer);
    if (arr == nullptr) return pending();
    Ref out = Ref::steal(arr);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), cap.release()) < 0) return pending();
    return out;
}

}  // namespace detail

std::optional<IntArrayInfo> int_array_info(PyObject* obj) {
    if (!numpy_loaded() || !PyArray_Check(obj)) return std::nullopt;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1) return std::nullopt;
    PyArray_Descr* d = PyArray_DESCR(arr);
    if ((d->kind != 'i' && d->kind != 'u') || !PyArray_ISNOTSWAPPED(arr)) return std::nullopt;
    const auto itemsize = static_cast<int>(PyDataType_ELSIZE(d));
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return std::nullopt;
    return IntArrayInfo{static_cast<const char*>(PyArray_DATA(arr)), PyArray_STRIDE(arr, 0),
                        static_cast<std::size_t>(PyArray_DIM(arr, 0)), itemsize, d->kind == 'i'};
}

bool is_numpy_bool_scalar(PyObject* obj) {
    const char* n = Py_TYPE(obj)->tp_name;
    return n != nullptr && (std::strcmp(n, "numpy.bool") == 0 || std::strcmp(n, "numpy.bool_") == 0);
}

}  // namespace vse::py
