// NumPy arrays at the boundary: read-only borrowed views of arguments and new result arrays.
//
// This is the only code that includes NumPy's headers. Its C API is looked up on first use from
// the host's numpy package, so importing the module does not import numpy.
//
// A borrowed view accepts an ndarray (or subclass) of exactly the requested number of dimensions
// and an element type equivalent to the requested one (native byte order); anything else is a
// TypeError naming the argument. Read-only arrays are accepted; nothing is converted.
// Contiguity is reported, not enforced: each method checks it with its own message.
//
// The view hands out typed pointers, so its elements must be aligned for their type. An array
// whose elements are not (a view at an odd byte offset into a buffer, say) is copied once into
// an aligned array the view owns; the copy keeps the order of the elements in memory, so a
// C-contiguous array gives a C-contiguous copy. The contiguity flags stay those of the caller's
// array, so that a method still refuses a layout it refuses; `strides` describe the copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::py {

enum class DType { Bool, U8, U16, I32, U32, I64, U64, F16, F32, F64 };

const char* dtype_name(DType t);

struct ArrayView {
    static constexpr int kMaxDims = 4;
    Ref array;                    // keeps the array alive for the view's lifetime
    Ref aligned_copy;             // the copy `data` points into, when the array is misaligned
    const void* data = nullptr;
    int ndim = 0;
    std::int64_t shape[kMaxDims] = {};
    std::int64_t strides[kMaxDims] = {};
    std::size_t size = 0;         // element count
    bool c_contiguous = false;
    bool f_contiguous = false;

    bool contiguous() const { return c_contiguous || f_contiguous; }
    template <class T>
    const T* as() const { return static_cast<const T*>(data); }
};

Result<ArrayView> borrow_array(PyObject* obj, const char* name, DType dtype, int ndim);
// None or an absent argument gives nullopt.
Result<std::optional<ArrayView>> borrow_opt_array(PyObject* obj, const char* name, DType dtype, int ndim);

// A new C-contiguous array holding a copy of `data`.
Result<Ref> array_copy(DType dtype, std::span<const std::int64_t> dims, const void* data);

// `arr` (an array) reshaped to `dims` in row-major order, sharing its data.
Result<Ref> array_reshape(const Ref& arr, std::span<const std::int64_t> dims);

// A new writable C-contiguous array over `data`'s buffer, without copying; the buffer is freed when
// the array dies.
template <class T, class A>
Result<Ref> array_adopt(DType dtype, std::vector<T, A>&& data, std::span<const std::int64_t> dims);

// A 1-D native-order integer array, read element by element (sequence conversion fast path).
struct IntArrayInfo {
    const char* data;
    std::int64_t stride;
    std::size_t length;
    int itemsize;
    bool is_signed;

    std::int64_t signed_at(std::size_t i) const {
        const char* p = data + static_cast<std::int64_t>(i) * stride;
        switch (itemsize) {
            case 1: { std::int8_t v; std::memcpy(&v, p, 1); return v; }
            case 2: { std::int16_t v; std::memcpy(&v, p, 2); return v; }
            case 4: { std::int32_t v; std::memcpy(&v, p, 4); return v; }
            default: { std::int64_t v; std::memcpy(&v, p, 8); return v; }
        }
    }
    std::uint64_t unsigned_at(std::size_t i) const {
        const char* p = data + static_cast<std::int64_t>(i) * stride;
        switch (itemsize) {
            case 1: { std::uint8_t v; std::memcpy(&v, p, 1); return v; }
            case 2: { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
            case 4: { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
            default: { std::uint64_t v; std::memcpy(&v, p, 8); return v; }
        }
    }
};

// Only arrays of an already imported numpy qualify; nothing is imported here.
std::optional<IntArrayInfo> int_array_info(PyObject* obj);

bool is_numpy_bool_scalar(PyObject* obj);

// ---------------------------------------------------------------------------------------------

namespace detail {
// Wraps `buffer` (released by `free_fn(owner)`) as an array whose base object owns it.
Result<Ref> adopt_buffer(DType dtype, std::span<const std::int64_t> dims, void* buffer, void* owner,
                         void (*free_fn)(void*));
}  // namespace detail

template <class T, class A>
Result<Ref> array_adopt(DType dtype, std::vector<T, A>&& data, std::span<const std::int64_t> dims) {
    using Vec = std::vector<T, A>;
    auto* owner = new Vec(std::move(data));
    return detail::adopt_buffer(dtype, dims, owner->data(), owner, [](void* p) { delete static_cast<Vec*>(p); });
}

}  // namespace vse::py
