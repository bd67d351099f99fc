// Runs a call with the GIL released. While the interpreter exits, a daemon thread that takes the GIL back
// is ended by a forced unwind (pthread_exit). Unwinding would be fatal here: through a destructor it is
// std::terminate, and through pybind11's frames it frees Python objects without the GIL. Such a thread
// waits instead for the process to end, holding nothing.
#pragma once

#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

namespace pydio {

inline void takeBackGil(PyThreadState *state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        for (;;)
            pause();
    }
}

template <typename Call> void withoutGil(Call &&call) {
    PyThreadState *const state = PyEval_SaveThread();
    try {
        call();
    } catch (...) {
        takeBackGil(state);
        throw;
    }
    takeBackGil(state);
}

} // namespace pydio
