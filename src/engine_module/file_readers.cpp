// read_bar_files: local .day / .lc1 / .lc5 files into one BarBatch, read without the
// interpreter lock.
#include <Python.h>

#include <atomic>
#include <exception>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "engine/bar_files.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/waiting.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/pyref.hpp"

namespace pelmora::py {

namespace {

// The files as os.fsencode would give their names; a divisor each for daily files.
bool parse_files(PyObject* paths, PyObject* divisors, std::vector<engine::BarFile>& out) {
    PyRef seq = PyRef::steal(PySequence_Fast(paths, "argument 'paths': expected a sequence"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyRef divs;
    if (divisors != Py_None) {
        divs = PyRef::steal(PySequence_Fast(divisors, "argument 'divisors': expected a sequence"));
        if (!divs) return false;
        if (PySequence_Fast_GET_SIZE(divs.get()) != n) {
            PyErr_SetString(PyExc_ValueError, "paths and divisors differ in length");
            return false;
        }
    }
    out.resize(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(seq.get(), i), &encoded)) return false;
        PyRef owner = PyRef::steal(encoded);
        out[size_t(i)].path.assign(PyBytes_AS_STRING(encoded), size_t(PyBytes_GET_SIZE(encoded)));
        if (divs && !arg_double(PySequence_Fast_GET_ITEM(divs.get(), i), "divisors",
                                out[size_t(i)].price_divisor))
            return false;
    }
    return true;
}

bool parse_bound(PyObject* obj, int64_t& out) {
    if (obj == nullptr || obj == Py_None) return true;
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// run_bar_files with whatever escapes it as an error: it runs without the interpreter lock, where
// no C++ exception may reach the binding's handler.
Status run_safely(const std::vector<engine::BarFile>& files, engine::BarFileLayout layout,
                  engine::TimeBounds bounds, unsigned threads, engine::Batch& batch) noexcept {
    try {
        return engine::run_bar_files(files, layout, bounds, threads, batch);
    } catch (const std::bad_alloc&) {
        return Error{ErrorKind::Panic, "out of memory", 0};
    } catch (const std::exception& e) {
        return Error{ErrorKind::Panic, e.what(), 0};
    }
}

// Runs the read on a thread of its own while this one waits without the interpreter lock, in
// slices, so that Ctrl-C and `progress` run promptly; a raise cancels the files not started.
bool run_waiting(const std::vector<engine::BarFile>& files, engine::BarFileLayout layout,
                 engine::TimeBounds bounds, unsigned threads, engine::Batch& batch,
                 PyObject* progress, Status& result) {
    std::atomic<bool> finished{false};
    std::jthread runner([&] {
        result = run_safely(files, layout, bounds, threads, batch);
        finished.store(true);
    });
    const bool report = progress && progress != Py_None;
    size_t reported = SIZE_MAX;
    bool ok = true;
    // A runner that failed before every file was done ends the wait too.
    for (bool done = false; !done;) {
        Py_BEGIN_ALLOW_THREADS done = batch.wait_for(kWaitSlice) || finished.load();
        Py_END_ALLOW_THREADS if (!ok) continue;
        if (PyErr_CheckSignals() != 0) {
            batch.cancel();
            ok = false;
            continue;
        }
        if (!report) continue;
        const size_t now = batch.done();
        if (now == reported) continue;
        reported = now;
        PyRef r = PyRef::steal(
            PyObject_CallFunction(progress, "nn", Py_ssize_t(now), Py_ssize_t(batch.size())));
        if (!r) {
            batch.cancel();
            ok = false;
        }
    }
    // The runner puts the columns together after the last file is done.
    Py_BEGIN_ALLOW_THREADS runner.join();
    Py_END_ALLOW_THREADS return ok;
}

PyObject* read_bar_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig("read_bar_files()",
                               {"paths", "divisors", "start", "end", "threads", "progress"}, 2);
    PyObject* a[6];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    std::vector<engine::BarFile> files;
    if (!parse_files(a[0], a[1], files)) return nullptr;
    engine::TimeBounds bounds;
    if (!parse_bound(a[2], bounds.lo) || !parse_bound(a[3], bounds.hi)) return nullptr;
    unsigned threads = 1;
    if (a[4] && a[4] != Py_None && !arg_uint(a[4], "threads", threads)) return nullptr;
    const auto layout =
        a[1] == Py_None ? engine::BarFileLayout::Minute : engine::BarFileLayout::Daily;
    auto batch = engine::bar_files_batch(files.size());
    Status result;
    if (files.size() <= 1 && (!a[5] || a[5] == Py_None)) {
        Py_BEGIN_ALLOW_THREADS result = run_safely(files, layout, bounds, 1, *batch);
        Py_END_ALLOW_THREADS
    } else if (!run_waiting(files, layout, bounds, threads, *batch, a[5], result)) {
        return nullptr;
    }
    if (!check(result)) return nullptr;
    return new_bar_batch(std::move(batch));
}

PyObject* guarded_read(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return read_bar_files(self, args, n, kw); });
}

}  // namespace

PyMethodDef kFileReaderMethods[] = {
    {"read_bar_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_read)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_bar_files(paths, divisors, start=None, end=None, threads=1, progress=None)\n--\n\n"
     "Bars of local files as a BarBatch, a request per file. `divisors`: for .day files, "
     "what each file's integer prices are divided by; None reads .lc1/.lc5 files. `start`, "
     "`end`: inclusive bounds in seconds (datetime64[s]); rows outside are never stored. "
     "`progress(done, total)` is called as files finish."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pelmora::py
