// Owning handle for a PyObject reference. The GIL must be held wherever a Ref is created, copied
// or destroyed. Dropping the last reference may run Python code (a __del__, a generator's
// finally), so it goes through interpreter_call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "python/gil.hpp"

namespace vse::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) drop(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref& operator=(const Ref& other) {
        Ref copy(other);
        std::swap(p_, copy.p_);
        return *this;
    }
    ~Ref() { drop(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    static void drop(PyObject* p) noexcept {
        if (p != nullptr) interpreter_call([p] { Py_DECREF(p); });
    }
    PyObject* p_ = nullptr;
};

}  // namespace vse::py
