// The caller's wait for a batch: without the interpreter lock, in slices short enough that
// Ctrl-C and the progress callback run promptly on the calling thread.
#pragma once

#include <Python.h>

#include <chrono>

#include "engine/batch.hpp"

namespace pelmora::py {

inline constexpr std::chrono::milliseconds kWaitSlice{50};

// True once every request of the batch is done, the batch compacted. False with a Python
// exception set when a signal handler or `progress` (None or a callable taking (done, total))
// raised; the batch is cancelled then and its requests still queued are dropped.
bool wait_for_batch(engine::Batch& batch, PyObject* progress);

}  // namespace pelmora::py
