// What the extension modules' initialisation shares: their static types and their single-phase
// module objects.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "python/errors.hpp"

namespace pelmora::py {

// A static type with the fields every type sets; the caller adds its own slots.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, unsigned long flags,
                                const char* doc) {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = flags;
    t.tp_doc = doc;
    return t;
}

// A single-phase module definition without per-module state.
inline PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, methods, nullptr, nullptr, nullptr, nullptr};
}

// The module of `def`, its panic exception set up first and `types` readied and added under
// the last part of their names; null with an error set.
inline PyObject* create_module(PyModuleDef& def, std::initializer_list<PyTypeObject*> types = {}) {
    if (!init_panic_exception()) return nullptr;
    PyObject* m = PyModule_Create(&def);
    if (!m) return nullptr;
    for (PyTypeObject* type : types) {
        if (PyModule_AddType(m, type) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
    }
    return m;
}

}  // namespace pelmora::py
