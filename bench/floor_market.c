/* The floor of the market-data benchmark: builds the same lists of dicts as the client (same
 * keys in the same order, same value types and values) from values decoded beforehand, so that
 * its time is the cost of the Python objects alone: no network, no parsing.
 *
 * load_bars(records, index) / load_quotes(records) keep the values of a decoded result in C
 * arrays; bars(method) / quotes(method) build a new list from them. method 0 copies a prepared
 * dict holding every key and then sets each value; method 1 starts from PyDict_New() and sets
 * each key in order. The benchmark reports the cheaper of the two. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

typedef struct {
    char dt[32];
    Py_ssize_t dt_len;
    double f[6]; /* open, high, low, close, vol, amount */
    long long up, down;
} Bar;

typedef struct {
    long long market;
    char code[8];
    Py_ssize_t code_len;
    double p[5]; /* price, last_close, open, high, low */
    long long servertime, vol, cur_vol;
    double amount;
    long long s_vol, b_vol;
    double bid[5], ask[5];
    long long bid_vol[5], ask_vol[5];
} Quote;

static const char* BAR_KEYS[] = {"datetime", "open", "high", "low", "close", "vol", "amount",
                                 "up_count", "down_count"};
static const char* QUOTE_KEYS[] = {
    "market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol",
    "cur_vol", "amount", "s_vol", "b_vol",
    "bid1", "ask1", "bid_vol1", "ask_vol1", "bid2", "ask2", "bid_vol2", "ask_vol2",
    "bid3", "ask3", "bid_vol3", "ask_vol3", "bid4", "ask4", "bid_vol4", "ask_vol4",
    "bid5", "ask5", "bid_vol5", "ask_vol5"};

static PyObject* bar_keys[9];
static PyObject* quote_keys[33];
static PyObject* bar_proto[2]; /* 7 keys, 9 keys */
static PyObject* quote_proto;

static Bar* bars_data;
static Py_ssize_t bars_count;
static int bars_index;
static Quote* quotes_data;
static Py_ssize_t quotes_count;

static PyObject* make_proto(PyObject** keys, int n) {
    PyObject* d = PyDict_New();
    for (int i = 0; d && i < n; ++i)
        if (PyDict_SetItem(d, keys[i], Py_None) < 0) Py_CLEAR(d);
    return d;
}

static int put(PyObject* d, PyObject* key, PyObject* value) {
    if (!value) return -1;
    int rc = PyDict_SetItem(d, key, value);
    Py_DECREF(value);
    return rc;
}

static PyObject* ascii(const char* s, Py_ssize_t n) {
    PyObject* u = PyUnicode_New(n, 127);
    if (u) memcpy(PyUnicode_DATA(u), s, (size_t)n);
    return u;
}

static int get_f(PyObject* d, int k, PyObject** keys, double* out) {
    PyObject* v = PyDict_GetItemWithError(d, keys[k]);
    if (!v) return -1;
    *out = PyFloat_AsDouble(v);
    return PyErr_Occurred() ? -1 : 0;
}
static int get_i(PyObject* d, int k, PyObject** keys, long long* out) {
    PyObject* v = PyDict_GetItemWithError(d, keys[k]);
    if (!v) return -1;
    *out = PyLong_AsLongLong(v);
    return PyErr_Occurred() ? -1 : 0;
}
static int get_s(PyObject* d, int k, PyObject** keys, char* out, Py_ssize_t cap, Py_ssize_t* len) {
    PyObject* v = PyDict_GetItemWithError(d, keys[k]);
    if (!v) return -1;
    const char* s = PyUnicode_AsUTF8AndSize(v, len);
    if (!s) return -1;
    if (*len > cap || !PyUnicode_IS_ASCII(v)) {
        PyErr_SetString(PyExc_ValueError, "text too long or not ASCII");
        return -1;
    }
    memcpy(out, s, (size_t)*len);
    return 0;
}

static PyObject* new_dict(int method, PyObject* proto) {
    return method == 0 ? PyDict_Copy(proto) : PyDict_New();
}

static PyObject* load_bars(PyObject* self, PyObject* args) {
    PyObject* list;
    int index;
    if (!PyArg_ParseTuple(args, "O!p", &PyList_Type, &list, &index)) return NULL;
    Py_ssize_t n = PyList_GET_SIZE(list);
    Bar* data = PyMem_Calloc((size_t)(n ? n : 1), sizeof(Bar));
    if (!data) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = PyList_GET_ITEM(list, i);
        Bar* b = &data[i];
        int rc = get_s(d, 0, bar_keys, b->dt, sizeof b->dt, &b->dt_len);
        for (int k = 0; rc == 0 && k < 6; ++k) rc = get_f(d, 1 + k, bar_keys, &b->f[k]);
        if (rc == 0 && index) rc = get_i(d, 7, bar_keys, &b->up) | get_i(d, 8, bar_keys, &b->down);
        if (rc) {
            PyMem_Free(data);
            return NULL;
        }
    }
    PyMem_Free(bars_data);
    bars_data = data;
    bars_count = n;
    bars_index = index;
    Py_RETURN_NONE;
}

static PyObject* build_bars(PyObject* self, PyObject* arg) {
    int method = (int)PyLong_AsLong(arg);
    PyObject* proto = bar_proto[bars_index];
    PyObject* list = PyList_New(bars_count);
    if (!list) return NULL;
    for (Py_ssize_t i = 0; i < bars_count; ++i) {
        const Bar* b = &bars_data[i];
        PyObject* d = new_dict(method, proto);
        if (!d) goto fail;
        PyList_SET_ITEM(list, i, d);
        if (put(d, bar_keys[0], ascii(b->dt, b->dt_len)) < 0) goto fail;
        for (int k = 0; k < 6; ++k)
            if (put(d, bar_keys[1 + k], PyFloat_FromDouble(b->f[k])) < 0) goto fail;
        if (bars_index && (put(d, bar_keys[7], PyLong_FromLongLong(b->up)) < 0 ||
                           put(d, bar_keys[8], PyLong_FromLongLong(b->down)) < 0))
            goto fail;
    }
    return list;
fail:
    Py_DECREF(list);
    return NULL;
}

static PyObject* load_quotes(PyObject* self, PyObject* list) {
    if (!PyList_Check(list)) return PyErr_Format(PyExc_TypeError, "list expected");
    Py_ssize_t n = PyList_GET_SIZE(list);
    Quote* data = PyMem_Calloc((size_t)(n ? n : 1), sizeof(Quote));
    if (!data) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = PyList_GET_ITEM(list, i);
        Quote* q = &data[i];
        int rc = get_i(d, 0, quote_keys, &q->market);
        rc |= get_s(d, 1, quote_keys, q->code, 6, &q->code_len);
        for (int k = 0; k < 5; ++k) rc |= get_f(d, 2 + k, quote_keys, &q->p[k]);
        rc |= get_i(d, 7, quote_keys, &q->servertime) | get_i(d, 8, quote_keys, &q->vol) |
              get_i(d, 9, quote_keys, &q->cur_vol) | get_f(d, 10, quote_keys, &q->amount) |
              get_i(d, 11, quote_keys, &q->s_vol) | get_i(d, 12, quote_keys, &q->b_vol);
        for (int l = 0; l < 5; ++l)
            rc |= get_f(d, 13 + 4 * l, quote_keys, &q->bid[l]) |
                  get_f(d, 14 + 4 * l, quote_keys, &q->ask[l]) |
                  get_i(d, 15 + 4 * l, quote_keys, &q->bid_vol[l]) |
                  get_i(d, 16 + 4 * l, quote_keys, &q->ask_vol[l]);
        if (rc) {
            PyMem_Free(data);
            return NULL;
        }
    }
    PyMem_Free(quotes_data);
    quotes_data = data;
    quotes_count = n;
    Py_RETURN_NONE;
}

static PyObject* build_quotes(PyObject* self, PyObject* arg) {
    int method = (int)PyLong_AsLong(arg);
    PyObject* list = PyList_New(quotes_count);
    if (!list) return NULL;
    for (Py_ssize_t i = 0; i < quotes_count; ++i) {
        const Quote* q = &quotes_data[i];
        PyObject* d = new_dict(method, quote_proto);
        if (!d) goto fail;
        PyList_SET_ITEM(list, i, d);
        if (put(d, quote_keys[0], PyLong_FromLongLong(q->market)) < 0 ||
            put(d, quote_keys[1], ascii(q->code, q->code_len)) < 0)
            goto fail;
        for (int k = 0; k < 5; ++k)
            if (put(d, quote_keys[2 + k], PyFloat_FromDouble(q->p[k])) < 0) goto fail;
        if (put(d, quote_keys[7], PyLong_FromLongLong(q->servertime)) < 0 ||
            put(d, quote_keys[8], PyLong_FromLongLong(q->vol)) < 0 ||
            put(d, quote_keys[9], PyLong_FromLongLong(q->cur_vol)) < 0 ||
            put(d, quote_keys[10], PyFloat_FromDouble(q->amount)) < 0 ||
            put(d, quote_keys[11], PyLong_FromLongLong(q->s_vol)) < 0 ||
            put(d, quote_keys[12], PyLong_FromLongLong(q->b_vol)) < 0)
            goto fail;
        for (int l = 0; l < 5; ++l)
            if (put(d, quote_keys[13 + 4 * l], PyFloat_FromDouble(q->bid[l])) < 0 ||
                put(d, quote_keys[14 + 4 * l], PyFloat_FromDouble(q->ask[l])) < 0 ||
                put(d, quote_keys[15 + 4 * l], PyLong_FromLongLong(q->bid_vol[l])) < 0 ||
                put(d, quote_keys[16 + 4 * l], PyLong_FromLongLong(q->ask_vol[l])) < 0)
                goto fail;
    }
    return list;
fail:
    Py_DECREF(list);
    return NULL;
}

static PyMethodDef methods[] = {
    {"load_bars", load_bars, METH_VARARGS, "load_bars(records, index): keep decoded bar values"},
    {"bars", build_bars, METH_O, "bars(method): a new list of bar dicts"},
    {"load_quotes", load_quotes, METH_O, "load_quotes(records): keep decoded quote values"},
    {"quotes", build_quotes, METH_O, "quotes(method): a new list of quote dicts"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_market", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor_market(void) {
    for (int i = 0; i < 9; ++i)
        if (!(bar_keys[i] = PyUnicode_InternFromString(BAR_KEYS[i]))) return NULL;
    for (int i = 0; i < 33; ++i)
        if (!(quote_keys[i] = PyUnicode_InternFromString(QUOTE_KEYS[i]))) return NULL;
    if (!(bar_proto[0] = make_proto(bar_keys, 7)) || !(bar_proto[1] = make_proto(bar_keys, 9)) ||
        !(quote_proto = make_proto(quote_keys, 33)))
        return NULL;
    return PyModule_Create(&module);
}
