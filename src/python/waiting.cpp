#include "python/waiting.hpp"

#include <cstdint>

#include "python/pyref.hpp"
#include "python/unlocked.hpp"

namespace pelmora::py {

bool wait_in_slices(const Wait& work, PyObject* progress) {
    size_t reported = SIZE_MAX;
    for (;;) {
        const bool over = without_lock([&] { return work.wait_for(kWaitSlice); });
        if (PyErr_CheckSignals() != 0) {
            work.cancel();
            return false;
        }
        if (progress) {
            const size_t now = work.done();
            if (now != reported) {
                reported = now;
                PyRef r = PyRef::steal(
                    PyObject_CallFunction(progress, "nn", Py_ssize_t(now), Py_ssize_t(work.total)));
                if (!r) {
                    work.cancel();
                    return false;
                }
            }
        }
        if (over) return true;
    }
}

}  // namespace pelmora::py
