// The one way the modules release the interpreter lock: a scope, so that the formatter and the
// reader see an ordinary block rather than a macro pair.
#pragma once

#include <Python.h>

#include <utility>

namespace pelmora::py {

// Releases the lock for its life; nothing inside may touch a Python object.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// f() run without the lock; its result (if any) handed back with the lock held again.
template <class F>
decltype(auto) without_lock(F&& f) {
    Unlocked unlocked;
    return std::forward<F>(f)();
}

}  // namespace pelmora::py
