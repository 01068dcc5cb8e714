/* The floor of the file readers: the least work that returns the same result objects, without
 * any file. It builds n dicts with the readers' keys in their order, each holding a new str of
 * the readers' text length and six new floats, in a list of exactly n items.
 *
 * build(n, kind, mode): kind 0 = daily keys and a 10-character date, kind 1 = minute keys and a
 * 16-character date-time. mode 0 copies a prepared dict and replaces its values (what the
 * readers do), mode 1 starts from an empty dict, so that the benchmark shows both. */
#include <Python.h>
#include <string.h>

static PyObject* keys[2][7];
static PyObject* prototype[2];

static int prepare(void) {
    static const char* names[2][7] = {
        {"date", "open", "high", "low", "close", "amount", "volume"},
        {"datetime", "open", "high", "low", "close", "amount", "volume"},
    };
    if (prototype[0]) return 0;
    for (int k = 0; k < 2; k++) {
        prototype[k] = PyDict_New();
        if (!prototype[k]) return -1;
        for (int i = 0; i < 7; i++) {
            keys[k][i] = PyUnicode_InternFromString(names[k][i]);
            if (!keys[k][i] || PyDict_SetItem(prototype[k], keys[k][i], Py_None) < 0) return -1;
        }
    }
    return 0;
}

static PyObject* build(PyObject* self, PyObject* args) {
    Py_ssize_t n;
    int kind, mode;
    if (!PyArg_ParseTuple(args, "nii", &n, &kind, &mode)) return NULL;
    if (kind < 0 || kind > 1 || prepare() < 0) return NULL;
    static const char* texts[2] = {"2024-01-05", "2024-01-05 09:31"};
    const char* text = texts[kind];
    const Py_ssize_t size = (Py_ssize_t)strlen(text);
    PyObject* list = PyList_New(n);
    if (!list) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* d = mode == 0 ? PyDict_Copy(prototype[kind]) : PyDict_New();
        if (!d) goto fail;
        PyList_SET_ITEM(list, i, d);
        PyObject* s = PyUnicode_New(size, 127);
        if (!s) goto fail;
        memcpy(PyUnicode_DATA(s), text, (size_t)size);
        int rc = PyDict_SetItem(d, keys[kind][0], s);
        Py_DECREF(s);
        if (rc < 0) goto fail;
        for (int k = 1; k < 7; k++) {
            PyObject* f = PyFloat_FromDouble((double)i * k);
            if (!f) goto fail;
            rc = PyDict_SetItem(d, keys[kind][k], f);
            Py_DECREF(f);
            if (rc < 0) goto fail;
        }
    }
    return list;
fail:
    Py_DECREF(list);
    return NULL;
}

static PyMethodDef methods[] = {
    {"build", build, METH_VARARGS, "build(n, kind, mode) -> list of n dicts"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_readers", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor_readers(void) {
    return PyModule_Create(&module);
}
