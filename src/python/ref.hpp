// Owning handle for a PyObject reference. The GIL must be held wherever a Ref is created, copied
// or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref& operator=(const Ref& other) {
        Ref copy(other);
        std::swap(p_, copy.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vse::py
