#include "engine_module/waiting.hpp"

#include "module/pyref.hpp"

namespace pelmora::py {

bool wait_for_batch(engine::Batch& batch, PyObject* progress) {
    const bool report = progress && progress != Py_None;
    size_t reported = SIZE_MAX;
    for (;;) {
        bool done;
        Py_BEGIN_ALLOW_THREADS done = batch.wait_for(kWaitSlice);
        Py_END_ALLOW_THREADS if (PyErr_CheckSignals() != 0) {
            batch.cancel();
            return false;
        }
        if (report) {
            size_t now = batch.done();
            if (now != reported) {
                reported = now;
                PyRef r = PyRef::steal(PyObject_CallFunction(progress, "nn", Py_ssize_t(now),
                                                             Py_ssize_t(batch.size())));
                if (!r) {
                    batch.cancel();
                    return false;
                }
            }
        }
        if (done) break;
    }
    Py_BEGIN_ALLOW_THREADS batch.compact();
    Py_END_ALLOW_THREADS return true;
}

}  // namespace pelmora::py
