// Runs a call with the GIL released. The GIL is taken back in plain code, not in a destructor: a daemon
// thread that takes it back while the interpreter exits is ended by a forced unwind, which a destructor
// (noexcept) would turn into std::terminate and an aborted process.
#pragma once

#include <Python.h>

namespace pydio {

template <typename Call> void withoutGil(Call &&call) {
    PyThreadState *const state = PyEval_SaveThread();
    try {
        call();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

} // namespace pydio
