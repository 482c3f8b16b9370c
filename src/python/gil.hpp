// The GIL around native work: released for a scope, or taken for a scope on a thread that may or
// may not hold it already; and calls into the interpreter that survive its ending the thread.
//
// Taking the GIL (back) can fail in one way: while the interpreter shuts down, CPython ends every
// thread but the finalizing one inside PyEval_RestoreThread or PyGILState_Ensure (on Linux with
// pthread_exit, which unwinds the stack by force). Here that unwind would start in a destructor
// or cross the noexcept method edge, which aborts the process; and the frames it would unwind
// hold Python references that may only be dropped with the GIL. So such a thread is parked
// instead: it blocks for good, holding what it holds, and the process exits around it. That is
// what the interpreter wanted (the thread never runs Python again), and it is decided by the
// interpreter itself at the moment it refuses the GIL, so there is no window between a check and
// the call.
//
// The same happens while the thread runs Python code that native code calls into (an __index__
// or __iter__ of an argument, a __del__ run by dropping a reference, a callback): those calls go
// through `interpreter_call` for the same reason.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

namespace vse::py {

// Blocks the calling thread for good.
[[noreturn]] inline void park_forever() noexcept {
    for (;;) pause();
}

// Runs `f`, one call into the C API, and returns its result; a thread the interpreter ends in
// there never returns. Only the forced unwind of a thread being ended can leave a C call. It must
// not be swallowed (the C library aborts when the handler completes), so the handler never
// completes; and it is caught right at the call, before any frame of ours has unwound.
template <class F>
decltype(auto) interpreter_call(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        park_forever();
    }
}

// PyEval_RestoreThread, except that a thread the interpreter ends instead of resuming never
// returns.
inline void restore_thread(PyThreadState* state) noexcept {
    interpreter_call([state] { PyEval_RestoreThread(state); });
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

// Takes the GIL for the lifetime of the scope, nesting when the thread already holds it.
class AcquireGil {
public:
    AcquireGil() : state_(interpreter_call([] { return PyGILState_Ensure(); })) {}
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
