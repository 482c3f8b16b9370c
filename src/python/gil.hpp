// Releases the GIL for the lifetime of the scope. Nothing inside may touch a Python object.
//
// Taking the GIL back can fail in one way: while the interpreter shuts down, CPython ends every
// thread but the finalizing one inside PyEval_RestoreThread (on Linux with pthread_exit, which
// unwinds the stack by force). Here that unwind would start in a destructor and cross the
// noexcept method edge, which aborts the process; and the frames it would unwind hold Python
// references that may only be dropped with the GIL. So such a thread is parked instead: it
// blocks for good, holding what it holds, and the process exits around it. That is what the
// interpreter wanted (the thread never runs Python again), and it is decided by the interpreter
// itself at the moment it refuses the GIL, so there is no window between a check and the call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

namespace vse::py {

// PyEval_RestoreThread, except that a thread the interpreter ends instead of resuming never
// returns.
inline void restore_thread(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only the forced unwind of a thread being ended can leave this C call. It must not be
        // swallowed (the C library aborts when the handler completes), so the handler never
        // completes.
        for (;;) pause();
    }
}

class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { restore_thread(state_); }
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
