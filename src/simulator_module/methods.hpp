// The module's functions, each declared in its own file.
#pragma once

#include <Python.h>

namespace pelmora::py {

PyMethodDef intraday_bars_def();  // intraday_bars.cpp
PyMethodDef day_ticks_def();      // day_ticks.cpp

}  // namespace pelmora::py
