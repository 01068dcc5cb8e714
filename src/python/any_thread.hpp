// Python work from a thread that may not hold the interpreter lock: a release callback that a
// consumer of exported memory runs wherever it drops its last reference.
#pragma once

#include <Python.h>

namespace pelmora::py {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Runs `work` holding the lock, taken for the call when this thread lacks it. While the
// interpreter finalizes, taking the lock can hang or end the thread: the work is skipped, and
// what it would have freed leaks. Returns whether it ran.
template <class F>
bool with_lock(F&& work) {
    if (interpreter_finalizing()) return false;
    const PyGILState_STATE state = PyGILState_Ensure();
    work();
    PyGILState_Release(state);
    return true;
}

}  // namespace pelmora::py
