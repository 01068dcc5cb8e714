// The caller's wait for work done elsewhere (a batch on the pool's workers, a read on a thread of
// its own): without the interpreter lock, in slices short enough that Ctrl-C and the progress
// callback run promptly on the calling thread.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <functional>

namespace pelmora::py {

inline constexpr std::chrono::milliseconds kWaitSlice{50};

// What is waited for. wait_for runs without the lock and says whether the work is over; done
// and cancel run with it.
struct Wait {
    std::function<bool(std::chrono::milliseconds)> wait_for;
    std::function<size_t()> done;
    size_t total = 0;
    std::function<void()> cancel;
};

// True once the work is over. False with a Python exception set when a signal handler or
// `progress` (null, or a callable taking (done, total), called whenever done changes) raised;
// the work is cancelled then.
bool wait_in_slices(const Wait& work, PyObject* progress);

// The same for anything with wait_for(slice), done(), size() and cancel(), such as a batch.
template <class W>
bool wait_in_slices(W& work, PyObject* progress) {
    return wait_in_slices(Wait{[&](std::chrono::milliseconds s) { return work.wait_for(s); },
                               [&] { return work.done(); }, work.size(), [&] { work.cancel(); }},
                          progress);
}

}  // namespace pelmora::py
