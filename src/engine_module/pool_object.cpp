#include "engine_module/pool_object.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/pool.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/table_object.hpp"
#include "engine_module/waiting.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/module_init.hpp"
#include "module/pyref.hpp"

namespace pelmora::py {

namespace {

constexpr unsigned kListPage = 1000;  // securities a list page holds

using engine::Batch;
using engine::Query;
using engine::QueryKind;

struct PoolObject {
    PyObject_HEAD std::unique_ptr<engine::Pool> pool;
};

engine::Pool* live_pool(PyObject* self) {
    engine::Pool* p = reinterpret_cast<PoolObject*>(self)->pool.get();
    if (!p || p->closed()) {
        PyErr_SetString(PyExc_ValueError, "the pool is closed");
        return nullptr;
    }
    return p;
}

std::chrono::nanoseconds seconds_arg(double s) {
    return std::chrono::nanoseconds(int64_t(s * 1e9));
}

PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig(
        "Pool()", {"servers", "connections", "timeout", "connect_timeout", "attempts", "cooldown"},
        1);
    PyObject* a[6];
    if (!sig.bind_tuple(args, kwargs, a)) return nullptr;
    std::vector<std::string> servers;
    engine::PoolOptions options;
    PyRef seq = PyRef::steal(PySequence_Fast(a[0], "argument 'servers': expected a sequence"));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        std::string_view text;
        if (!arg_text(PySequence_Fast_GET_ITEM(seq.get(), i), "servers", text)) return nullptr;
        servers.emplace_back(text);
    }
    double timeout = 10.0, connect_timeout = 5.0, cooldown = 30.0;
    unsigned connections = 8, attempts = 4;
    if ((a[1] && !arg_uint(a[1], "connections", connections)) ||
        (a[2] && !arg_double(a[2], "timeout", timeout)) ||
        (a[3] && !arg_double(a[3], "connect_timeout", connect_timeout)) ||
        (a[4] && !arg_uint(a[4], "attempts", attempts)) ||
        (a[5] && !arg_double(a[5], "cooldown", cooldown)))
        return nullptr;
    if (!(timeout > 0 && connect_timeout > 0 && cooldown >= 0 && timeout < 1e6 &&
          connect_timeout < 1e6 && cooldown < 1e9) ||
        attempts == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "timeouts must be positive, cooldown not negative, attempts at least 1");
        return nullptr;
    }
    options.connections = connections;
    options.timeout = seconds_arg(timeout);
    options.connect_timeout = seconds_arg(connect_timeout);
    options.attempts = int(attempts);
    options.cooldown = seconds_arg(cooldown);

    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* p = reinterpret_cast<PoolObject*>(self.get());
    new (&p->pool) std::unique_ptr<engine::Pool>();
    Status st;
    Py_BEGIN_ALLOW_THREADS st = engine::Pool::create(servers, options, p->pool);
    Py_END_ALLOW_THREADS if (!check(st)) return nullptr;
    return self.release();
}

void close_pool(PoolObject* p) {
    if (!p->pool) return;
    Py_BEGIN_ALLOW_THREADS p->pool->close();
    Py_END_ALLOW_THREADS
}

void pool_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<PoolObject*>(self);
    close_pool(p);
    p->pool.~unique_ptr();
    Py_TYPE(self)->tp_free(self);
}

// Runs a batch to its end; null with an exception set when the wait was interrupted.
std::shared_ptr<Batch> run_batch(engine::Pool* pool, std::vector<Query> queries,
                                 PyObject* progress) {
    auto batch = std::make_shared<Batch>(std::move(queries));
    if (!check(batch->prepare())) return nullptr;
    pool->submit(batch);
    if (!wait_for_batch(*batch, progress)) return nullptr;
    return batch;
}

bool parse_bar_query(PyObject* item, Query& q) {
    unsigned category, market, start, count;
    const char* code;
    Py_ssize_t code_len;
    int index;
    if (!PyTuple_Check(item)) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'queries': expected tuples (category, market, code, start, "
                        "count, index)");
        return false;
    }
    if (!PyArg_ParseTuple(item, "IIs#IIp", &category, &market, &code, &code_len, &start, &count,
                          &index))
        return false;
    if (category > 0xFFFF || market > 1 || start > 0xFFFF || count > 0xFFFF) {
        PyErr_Format(PyExc_ValueError, "query %R out of range", item);
        return false;
    }
    q.kind = QueryKind::Bars;
    q.category = uint16_t(category);
    q.market = uint8_t(market);
    q.code.assign(code, size_t(code_len));
    q.start = uint16_t(start);
    q.count = uint16_t(count);
    q.index = index != 0;
    return true;
}

PyObject* pool_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig("Pool.bars()", {"queries", "progress"}, 1);
    PyObject* a[2];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    engine::Pool* pool = live_pool(self);
    if (!pool) return nullptr;
    PyRef seq = PyRef::steal(PySequence_Fast(a[0], "argument 'queries': expected a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<Query> queries(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!parse_bar_query(PySequence_Fast_GET_ITEM(seq.get(), i), queries[size_t(i)]))
            return nullptr;
    auto batch = run_batch(pool, std::move(queries), a[1]);
    if (!batch) return nullptr;
    return new_bar_batch(std::move(batch));
}

// Raises the first error of a batch; true when there is none.
bool all_succeeded(const Batch& batch) {
    for (const auto& e : batch.errors)
        if (e) return check(*e);
    return true;
}

PyObject* pool_security_codes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature sig("Pool.security_codes()", {"market", "progress", "at_least"}, 1);
    PyObject* a[3];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    uint8_t market;
    if (!arg_uint(a[0], "market", market)) return nullptr;
    Query count_query;
    count_query.kind = QueryKind::SecurityCount;
    count_query.market = market;
    if (a[2] && !arg_uint(a[2], "at_least", count_query.at_least)) return nullptr;
    engine::Pool* pool = live_pool(self);
    if (!pool) return nullptr;
    auto counted = run_batch(pool, {count_query}, nullptr);
    if (!counted || !all_succeeded(*counted)) return nullptr;
    const unsigned total = counted->rows[0];
    std::vector<Query> pages;
    for (unsigned start = 0; start < total; start += kListPage) {
        Query q;
        q.kind = QueryKind::SecurityList;
        q.market = market;
        q.start = uint16_t(start);
        // Once the count is confirmed, a page short of nine tenths of its rows is checked too.
        if (count_query.at_least > 0) q.at_least = std::min(kListPage, total - start) * 9 / 10;
        pages.push_back(q);
    }
    auto listed = run_batch(pool, std::move(pages), a[1]);
    if (!listed || !all_succeeded(*listed)) return nullptr;
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const auto& page : listed->codes)
        for (const std::string& code : page) {
            PyRef s =
                PyRef::steal(PyUnicode_FromStringAndSize(code.data(), Py_ssize_t(code.size())));
            if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
        }
    return out.release();
}

PyObject* pool_take_warnings(PyObject* self, PyObject*) {
    auto* pool = reinterpret_cast<PoolObject*>(self)->pool.get();
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out || !pool) return out.release();
    for (const std::string& w : pool->take_warnings()) {
        PyRef s = PyRef::steal(PyUnicode_FromStringAndSize(w.data(), Py_ssize_t(w.size())));
        if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* pool_servers(PyObject* self, PyObject*) {
    engine::Pool* pool = live_pool(self);
    if (!pool) return nullptr;
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const engine::ServerReport& r : pool->servers()) {
        PyRef item = PyRef::steal(Py_BuildValue(
            "(sss)", r.name.c_str(), engine::kServerStateNames[int(r.state)], r.reason.c_str()));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* pool_close(PyObject* self, PyObject*) {
    close_pool(reinterpret_cast<PoolObject*>(self));
    Py_RETURN_NONE;
}

PyObject* pool_enter(PyObject* self, PyObject*) {
    return Py_NewRef(self);
}

PyObject* pool_exit(PyObject* self, PyObject*) {
    close_pool(reinterpret_cast<PoolObject*>(self));
    Py_RETURN_FALSE;
}

PyObject* pool_get_connections(PyObject* self, void*) {
    auto* pool = reinterpret_cast<PoolObject*>(self)->pool.get();
    return PyLong_FromSize_t(pool ? pool->connections() : 0);
}

PyObject* pool_get_closed(PyObject* self, void*) {
    auto* pool = reinterpret_cast<PoolObject*>(self)->pool.get();
    return PyBool_FromLong(!pool || pool->closed());
}

PyObject* guarded_bars(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return pool_bars(self, args, n, kw); });
}
PyObject* guarded_codes(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return pool_security_codes(self, args, n, kw); });
}

PyObject* pool_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig("Pool.table()", {"kind", "queries", "progress", "at_least"}, 2);
    PyObject* a[4];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    engine::Pool* pool = live_pool(self);
    if (!pool) return nullptr;
    return run_table_queries(pool, a[0], a[1], a[2], a[3]);
}

PyObject* pool_security_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature sig("Pool.security_count()", {"market", "at_least"}, 1);
    PyObject* a[2];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    engine::Pool* pool = live_pool(self);
    if (!pool) return nullptr;
    return run_security_count(pool, a[0], a[1]);
}

PyObject* guarded_table(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return pool_table(self, args, n, kw); });
}
PyObject* guarded_count(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return pool_security_count(self, args, n, kw); });
}

PyMethodDef pool_methods[] = {
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_table)),
     METH_FASTCALL | METH_KEYWORDS,
     "table($self, kind, queries, progress=None, at_least=None)\n--\n\nRuns requests of one "
     "kind in parallel: securities, xdxr, finance, ticks, minutes take (market, code, start, "
     "count, date); quotes take a sequence of (market, code). Returns a TableBatch. at_least: "
     "for securities, xdxr and finance, one number per query: an answer of fewer rows is "
     "asked of another server, then once more on a fresh connection, before it is believed "
     "(with a warning when only one server gave it)."},
    {"security_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_count)),
     METH_FASTCALL | METH_KEYWORDS,
     "security_count($self, market, at_least=0)\n--\n\nThe number of securities of a market. "
     "A count below at_least is asked of another server, then once more on a fresh "
     "connection, before it is believed (with a warning when only one server gave it)."},
    {"bars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_bars)),
     METH_FASTCALL | METH_KEYWORDS,
     "bars($self, queries, progress=None)\n--\n\nRuns bar requests (category, market, code, "
     "start, count, index) in parallel; returns a BarBatch, rows in request order."},
    {"security_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_codes)),
     METH_FASTCALL | METH_KEYWORDS,
     "security_codes($self, market, progress=None, at_least=0)\n--\n\nThe codes of a market's "
     "security list, every page fetched in parallel. at_least applies to the count as in "
     "security_count; each page is then checked against nine tenths of the rows the count "
     "leaves for it."},
    {"take_warnings", pool_take_warnings, METH_NOARGS,
     "take_warnings($self, /)\n--\n\nWarnings (servers set aside) since the last call."},
    {"servers", pool_servers, METH_NOARGS,
     "servers($self, /)\n--\n\n[(server, state, reason)] of every server."},
    {"close", pool_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops and joins the workers and closes every connection."},
    {"__enter__", pool_enter, METH_NOARGS, nullptr},
    {"__exit__", pool_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pool_getset[] = {
    {"connections", pool_get_connections, nullptr, "Number of connections (worker threads).",
     nullptr},
    {"closed", pool_get_closed, nullptr, "Whether close() has run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject PoolType = [] {
    PyTypeObject t =
        static_type("pelmora._engine.Pool", sizeof(PoolObject), Py_TPFLAGS_DEFAULT,
                    "Pool(servers, connections=8, timeout=10.0, connect_timeout=5.0, attempts=4, "
                    "cooldown=30.0)\n--\n\nConnections to literal 'ip:port' servers, served by "
                    "worker threads that run without the interpreter lock.");
    t.tp_new = [](PyTypeObject* type, PyObject* a, PyObject* k) -> PyObject* {
        return guarded([&] { return pool_new(type, a, k); });
    };
    t.tp_dealloc = pool_dealloc;
    t.tp_methods = pool_methods;
    t.tp_getset = pool_getset;
    return t;
}();

}  // namespace pelmora::py
