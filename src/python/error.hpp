// The edge between error values and Python exceptions.
//
// Method bodies return Result<Ref> (or Result<T>); `edge` runs a body, turns an error value into
// the exception it names, and keeps C++ exceptions (allocation failure above all) from crossing
// into the interpreter.
#pragma once

#include "common/error.hpp"
#include "python/ref.hpp"

#include <cstdint>
#include <new>
#include <span>
#include <string>

namespace vse::py {

// Sets the Python exception for `err` (unless it is already pending).
void raise(const Error& err);

// An error standing for the exception a failed C-API call left pending.
inline std::unexpected<Error> pending() { return std::unexpected(Error{Exc::Pending, {}}); }

// A new reference from a C-API call, or the pending exception when it returned null.
inline Result<Ref> checked(PyObject* new_ref) {
    if (new_ref == nullptr) return pending();
    return Ref::steal(new_ref);
}

// Runs `body` (returning Result<Ref>) and hands the result to the interpreter.
template <class F>
PyObject* edge(F&& body) noexcept {
    try {
        Result<Ref> r = body();
        if (r) return r->release();
        raise(r.error());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The same for slots returning int (0 success, -1 failure).
template <class F>
int edge_int(F&& body) noexcept {
    try {
        Result<void> r = body();
        if (r) return 0;
        raise(r.error());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

// Helpers for the common results.
inline Result<Ref> none() { return Ref::borrow(Py_None); }
inline Result<Ref> boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Result<Ref> int_from_u64(unsigned long long v);
Result<Ref> str_from_utf8(std::string_view s);
// A list of ints.
Result<Ref> int_list_from_u64(std::span<const std::uint64_t> values);

}  // namespace vse::py
