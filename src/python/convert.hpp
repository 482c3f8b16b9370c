// Conversions of Python arguments into native values.
//
// Integers go through __index__ (an int, a NumPy integer scalar, a bool, any object with
// __index__). A failure to convert is a TypeError prefixed with the argument's name
// ("argument 'doc_id': 'str' object cannot be interpreted as an integer"); a value outside the
// target's range is an OverflowError. Strings accept str and its subclasses. Booleans accept
// bool and NumPy's bool scalar. Sequences (lists, tuples, 1-D arrays, anything passing the
// sequence check except str) become vectors element by element under the same integer rules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "python/ref.hpp"

namespace vse::py {

// TypeError "argument '<name>': <reason>".
std::unexpected<Error> argument_error(const char* name, std::string_view reason);

// Takes the pending exception and returns its text (nullopt when it has none to give); nothing is
// pending afterwards.
std::optional<std::string> take_pending_text();

// Re-raises a pending TypeError with the argument's name in front; other exceptions pass as they are.
std::unexpected<Error> name_pending_type_error(const char* name);

Result<std::uint64_t> to_u64(PyObject* obj, const char* name);
// Through a signed 64-bit value, then into 0..2^32-1; anything outside raises OverflowError
// "out of range integral type conversion attempted".
Result<std::uint32_t> to_u32_via_i64(PyObject* obj, const char* name);
// An optional parameter with a default: absent gives `fallback`; None is refused like any non-int.
Result<std::uint64_t> to_u64_or(PyObject* obj, const char* name, std::uint64_t fallback);
// An optional u64: absent or None gives nullopt.
Result<std::optional<std::uint64_t>> to_opt_u64(PyObject* obj, const char* name);

// A UTF-8 view of a str, valid while the object lives.
Result<std::string_view> to_str(PyObject* obj, const char* name);
Result<std::optional<std::string_view>> to_opt_str(PyObject* obj, const char* name);

Result<bool> to_bool(PyObject* obj, const char* name);

// The items of a sequence argument, taken by iteration the way a list is built from it. A str is
// refused ("Can't extract `str` to `Vec`"), and so is an object that fails the sequence check
// ("'T' object cannot be converted to 'Sequence'"); its length, when it has one, only sizes the
// result.
class SequenceItems {
public:
    static Result<SequenceItems> of(PyObject* obj, const char* name);
    std::size_t size_hint() const { return size_hint_; }
    // The next item, or a null Ref after the last.
    Result<Ref> next();

private:
    SequenceItems(Ref iter, std::size_t size_hint, const char* name)
        : iter_(std::move(iter)), size_hint_(size_hint), name_(name) {}
    Ref iter_;
    std::size_t size_hint_;
    const char* name_;
};

// The `len` items of a tuple (or tuple subclass): another type is the named TypeError (target
// "PyTuple"), another length a ValueError naming both lengths. Borrowed from the tuple.
Result<PyObject* const*> to_tuple_items(PyObject* obj, const char* name, std::size_t len);

Result<std::vector<std::uint64_t>> to_vec_u64(PyObject* obj, const char* name);
// Each item through the float protocol, rounded to the nearest 32-bit float.
Result<std::vector<float>> to_vec_f32(PyObject* obj, const char* name);
Result<std::vector<std::uint32_t>> to_vec_u32_via_i64(PyObject* obj, const char* name);

// The type name used in messages, e.g. "str" or "numpy.ndarray".
std::string type_name(PyObject* obj);

}  // namespace vse::py
