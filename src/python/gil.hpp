// The GIL around native work: released for a scope, or taken for a scope on a thread that may or
// may not hold it already.
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

// Takes the GIL for the lifetime of the scope, nesting when the thread already holds it.
class AcquireGil {
public:
    AcquireGil() : state_(PyGILState_Ensure()) {}
    ~AcquireGil() { PyGILState_Release(state_); }
    AcquireGil(const AcquireGil&) = delete;
    AcquireGil& operator=(const AcquireGil&) = delete;

private:
    PyGILState_STATE state_;
};

// Runs `f` without the GIL and returns its result.
template <class F>
auto without_gil(F&& f) {
    ReleaseGil released;
    return f();
}

}  // namespace vse::py
