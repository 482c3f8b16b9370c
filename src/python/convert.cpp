#include "python/convert.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ndarray.hpp"

namespace vse::py {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// Normalises any integer-like object to an int, or fails with the named TypeError.
Result<Ref> index_of(PyObject* obj, const char* name) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyObject* idx = interpreter_call([obj] { return PyNumber_Index(obj); });  // may run __index__
    if (idx == nullptr) return name_pending_type_error(name);
    return Ref::steal(idx);
}

Result<std::uint64_t> long_to_u64(PyObject* lng) {
    // PyLong_AsUnsignedLongLong refuses negatives ("can't convert negative int to unsigned") and
    // values of 2^64 or more with OverflowError.
    const unsigned long long v = PyLong_AsUnsignedLongLong(lng);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return pending();
    return static_cast<std::uint64_t>(v);
}

Result<std::uint32_t> long_to_u32_via_i64(PyObject* lng) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(lng, &overflow);
    if (v == -1 && PyErr_Occurred()) return pending();
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFll) return fail(Exc::Overflow, kOutOfRange);
    return static_cast<std::uint32_t>(v);
}

// The items of a sequence, each converted by `convert(item)` (returning Result<T>).
template <class T, class Convert>
Result<std::vector<T>> collect_items(PyObject* obj, const char* name, Convert convert) {
    VSE_TRY(SequenceItems items, SequenceItems::of(obj, name));
    std::vector<T> out;
    out.reserve(items.size_hint());
    for (;;) {
        VSE_TRY(Ref item, items.next());
        if (!item) break;
        VSE_TRY(T v, convert(item.get()));
        out.push_back(v);
    }
    return out;
}

// Element-wise conversion of a sequence, with a fast path for integer arrays.
template <class T, class FromLong, class FromArray>
Result<std::vector<T>> to_vec(PyObject* obj, const char* name, FromLong from_long, FromArray from_array) {
    if (auto arr = int_array_info(obj)) {
        std::vector<T> out(arr->length);
        for (std::size_t i = 0; i < arr->length; ++i) {
            auto v = from_array(*arr, i);
            if (!v) return std::unexpected(std::move(v).error());
            out[i] = *v;
        }
        return out;
    }
    return collect_items<T>(obj, name, [&](PyObject* item) -> Result<T> {
        VSE_TRY(Ref lng, index_of(item, name));
        return from_long(lng.get());
    });
}

}  // namespace

std::unexpected<Error> argument_error(const char* name, std::string_view reason) {
    return std::unexpected(Error{Exc::Type, fmt::format("argument '{}': {}", name, reason)});
}

std::optional<std::string> take_pending_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // An exception raised by the caller's own code may run Python code to be built and shown.
    interpreter_call([&] { PyErr_NormalizeException(&type, &value, &tb); });
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    PyObject* text = v ? interpreter_call([&] { return PyObject_Str(v.get()); }) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref s = Ref::steal(text);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &len);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(len));
}

std::unexpected<Error> name_pending_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return pending();
    const std::optional<std::string> text = take_pending_text();
    return argument_error(name, text ? std::string_view(*text) : std::string_view("invalid argument"));
}

Result<SequenceItems> SequenceItems::of(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return argument_error(name, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj))
        return argument_error(name, fmt::format("'{}' object cannot be converted to 'Sequence'", type_name(obj)));
    Py_ssize_t n = interpreter_call([obj] { return PySequence_Size(obj); });  // may run __len__
    if (n < 0) {
        PyErr_Clear();  // a sequence without a length is still iterated
        n = 0;
    }
    // A length is only a hint: a __len__ that overstates it must not make us reserve gigabytes.
    n = std::min<Py_ssize_t>(n, Py_ssize_t{1} << 24);
    PyObject* it = interpreter_call([obj] { return PyObject_GetIter(obj); });
    if (it == nullptr) return name_pending_type_error(name);
    return SequenceItems(Ref::steal(it), static_cast<std::size_t>(n), name);
}

Result<Ref> SequenceItems::next() {
    PyObject* item = interpreter_call([this] { return PyIter_Next(iter_.get()); });
    if (item == nullptr && PyErr_Occurred()) return name_pending_type_error(name_);
    return Ref::steal(item);
}

Result<PyObject* const*> to_tuple_items(PyObject* obj, const char* name, std::size_t len) {
    if (!PyTuple_Check(obj))
        return argument_error(name, fmt::format("'{}' object cannot be converted to 'PyTuple'", type_name(obj)));
    const auto got = static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    if (got != len)
        return fail(Exc::Value, fmt::format("expected tuple of length {}, but got tuple of length {}", len, got));
    return static_cast<PyObject* const*>(&PyTuple_GET_ITEM(obj, 0));
}

std::string type_name(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    const char* n = t->tp_name;
    // Built-in types show their bare name; others their qualified one, as CPython prints them.
    return n ? std::string(n) : std::string("object");
}

Result<std::uint64_t> to_u64(PyObject* obj, const char* name) {
    VSE_TRY(Ref lng, index_of(obj, name));
    return long_to_u64(lng.get());
}

Result<std::uint32_t> to_u32_via_i64(PyObject* obj, const char* name) {
    VSE_TRY(Ref lng, index_of(obj, name));
    return long_to_u32_via_i64(lng.get());
}

Result<std::uint64_t> to_u64_or(PyObject* obj, const char* name, std::uint64_t fallback) {
    if (obj == nullptr) return fallback;
    return to_u64(obj, name);
}

Result<std::optional<std::uint64_t>> to_opt_u64(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::optional<std::uint64_t>{};
    VSE_TRY(std::uint64_t v, to_u64(obj, name));
    return std::optional<std::uint64_t>{v};
}

Result<std::string_view> to_str(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj))
        return argument_error(name, fmt::format("'{}' object cannot be converted to 'str'", type_name(obj)));
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return pending();  // e.g. a lone surrogate: UnicodeEncodeError
    return std::string_view(utf8, static_cast<std::size_t>(len));
}

Result<std::optional<std::string_view>> to_opt_str(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>{};
    VSE_TRY(std::string_view s, to_str(obj, name));
    return std::optional<std::string_view>{s};
}

Result<bool> to_bool(PyObject* obj, const char* name) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (is_numpy_bool_scalar(obj)) {
        const int v = PyObject_IsTrue(obj);
        if (v < 0) return pending();
        return v == 1;
    }
    return argument_error(name, fmt::format("'{}' object cannot be converted to 'bool'", type_name(obj)));
}

Result<std::vector<float>> to_vec_f32(PyObject* obj, const char* name) {
    return collect_items<float>(obj, name, [&](PyObject* item) -> Result<float> {
        const double v = interpreter_call([&] { return PyFloat_AsDouble(item); });  // may run __float__
        if (v == -1.0 && PyErr_Occurred()) return name_pending_type_error(name);
        return static_cast<float>(v);
    });
}

Result<std::vector<std::uint64_t>> to_vec_u64(PyObject* obj, const char* name) {
    return to_vec<std::uint64_t>(
        obj, name, long_to_u64, [](const IntArrayInfo& a, std::size_t i) -> Result<std::uint64_t> {
            if (a.is_signed) {
                const std::int64_t v = a.signed_at(i);
                if (v < 0) return fail(Exc::Overflow, "can't convert negative int to unsigned");
                return static_cast<std::uint64_t>(v);
            }
            return a.unsigned_at(i);
        });
}

Result<std::vector<std::uint32_t>> to_vec_u32_via_i64(PyObject* obj, const char* name) {
    return to_vec<std::uint32_t>(
        obj, name, long_to_u32_via_i64, [](const IntArrayInfo& a, std::size_t i) -> Result<std::uint32_t> {
            if (a.is_signed) {
                const std::int64_t v = a.signed_at(i);
                if (v < 0 || v > 0xFFFFFFFFll) return fail(Exc::Overflow, kOutOfRange);
                return static_cast<std::uint32_t>(v);
            }
            const std::uint64_t v = a.unsigned_at(i);
            if (v > 0xFFFFFFFFull) return fail(Exc::Overflow, kOutOfRange);
            return static_cast<std::uint32_t>(v);
        });
}

}  // namespace vse::py
