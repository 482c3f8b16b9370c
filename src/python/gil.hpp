// Releases the GIL for the lifetime of the scope. Nothing inside may touch a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vse::py {

class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// Runs `f` without the GIL and returns its result.
template <class F>
auto without_gil(F&& f) {
    ReleaseGil released;
    return f();
}

}  // namespace vse::py
