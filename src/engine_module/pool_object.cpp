#include "engine_module/pool_object.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/pool.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/pending.hpp"
#include "engine_module/queries.hpp"
#include "protocol/limits.hpp"
#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/pyref.hpp"
#include "python/unlocked.hpp"

namespace pelmora::py {

namespace {

using engine::Batch;
using engine::Query;
using engine::QueryKind;

struct PoolObject {
    static constexpr const char* type_name = "Pool";
    PyObject_HEAD std::unique_ptr<engine::Pool> pool;
};

using PoolCall = Bound<PoolObject>;

// The pool of a call, or null with ValueError raised once it is closed.
engine::Pool* live_pool(PoolCall& call) {
    engine::Pool* p = call.object().pool.get();
    if (!p || p->closed()) {
        invalid_argument("the pool is closed");
        return nullptr;
    }
    return p;
}

std::chrono::nanoseconds seconds_arg(double s) {
    return std::chrono::nanoseconds(int64_t(s * 1e9));
}

struct NewPool {
    static constexpr const char* doc =
        "Pool(servers, connections=8, timeout=10.0, connect_timeout=5.0, attempts=4, "
        "cooldown=30.0)\n--\n\nConnections to literal 'ip:port' servers, served by worker "
        "threads that run without the interpreter lock.";
    PyObject* operator()(PyTypeObject* type, const std::vector<std::string>& servers,
                         unsigned connections, double timeout, double connect_timeout,
                         unsigned attempts, double cooldown) const {
        if (!(timeout > 0 && connect_timeout > 0 && cooldown >= 0 && timeout < 1e6 &&
              connect_timeout < 1e6 && cooldown < 1e9) ||
            attempts == 0)
            return invalid_argument(
                "timeouts must be positive, cooldown not negative, attempts at least 1");
        engine::PoolOptions options;
        options.connections = connections;
        options.timeout = seconds_arg(timeout);
        options.connect_timeout = seconds_arg(connect_timeout);
        options.attempts = int(attempts);
        options.cooldown = seconds_arg(cooldown);

        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* p = reinterpret_cast<PoolObject*>(self.get());
        new (&p->pool) std::unique_ptr<engine::Pool>();
        const Status st =
            without_lock([&] { return engine::Pool::create(servers, options, p->pool); });
        if (!check(st)) return nullptr;
        return self.release();
    }
};

void close_pool(PoolObject* p) {
    if (p->pool) without_lock([&] { p->pool->close(); });
}

void pool_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<PoolObject*>(self);
    close_pool(p);
    p->pool.~unique_ptr();
    Py_TYPE(self)->tp_free(self);
}

std::vector<Query> bar_queries(std::vector<BarQuery>& given) {
    std::vector<Query> queries;
    queries.reserve(given.size());
    for (BarQuery& q : given) queries.push_back(std::move(q.query));
    return queries;
}

// The queries of Pool.table and Pool.submit_table; false with an exception set.
bool table_batch(QueryKind kind, const std::vector<PyObject*>& items,
                 const std::optional<std::vector<uint32_t>>& at_least, std::vector<Query>& out) {
    return table_queries(items, kind, out) && (!at_least || apply_at_least(*at_least, kind, out));
}

// Raises the first error of a batch; true when there is none.
// The one request that counts a market's securities; `at_least` as the engine's Query has it.
Query count_query(uint8_t market, uint32_t at_least) {
    Query q;
    q.kind = QueryKind::SecurityCount;
    q.market = market;
    q.at_least = at_least;
    return q;
}

bool all_succeeded(const Batch& batch) {
    for (const auto& e : batch.errors)
        if (e) return check(*e);
    return true;
}

struct SubmitBars {
    static constexpr const char* doc =
        "submit_bars($self, queries)\n--\n\nStarts bar requests (category, market, code, start, "
        "count, index) and returns at once: a Pending whose result() is the BarBatch.";
    PyObject* operator()(PoolCall& call, std::vector<BarQuery>& queries) const {
        engine::Pool* pool = live_pool(call);
        if (!pool) return nullptr;
        return submit_pending(*pool, QueryKind::Bars, bar_queries(queries));
    }
};

struct Bars {
    static constexpr const char* doc =
        "bars($self, queries, progress=None)\n--\n\nRuns bar requests (category, market, code, "
        "start, count, index) in parallel; returns a BarBatch, rows in request order.";
    PyObject* operator()(PoolCall& call, std::vector<BarQuery>& queries, Callback progress) const {
        PyRef pending = PyRef::steal(SubmitBars{}(call, queries));
        return pending ? pending_result(pending.get(), progress.object) : nullptr;
    }
};

struct SubmitTable {
    static constexpr const char* doc =
        "submit_table($self, kind, queries, at_least=None)\n--\n\nStarts requests of one kind "
        "as table() does and returns at once: a Pending whose result() is the TableBatch.";
    PyObject* operator()(PoolCall& call, QueryKind kind, const std::vector<PyObject*>& items,
                         const std::optional<std::vector<uint32_t>>& at_least) const {
        std::vector<Query> queries;
        if (!table_batch(kind, items, at_least, queries)) return nullptr;
        engine::Pool* pool = live_pool(call);
        if (!pool) return nullptr;
        return submit_pending(*pool, kind, std::move(queries));
    }
};

struct Table {
    static constexpr const char* doc =
        "table($self, kind, queries, progress=None, at_least=None)\n--\n\nRuns requests of one "
        "kind in parallel: securities, xdxr, finance, ticks, minutes take (market, code, start, "
        "count, date); quotes take a sequence of (market, code). Returns a TableBatch. at_least: "
        "for securities, xdxr and finance, one number per query: an answer of fewer rows is "
        "asked of another server, then once more on a fresh connection, before it is believed "
        "(with a warning when only one server gave it).";
    PyObject* operator()(PoolCall& call, QueryKind kind, const std::vector<PyObject*>& items,
                         Callback progress,
                         const std::optional<std::vector<uint32_t>>& at_least) const {
        PyRef pending = PyRef::steal(SubmitTable{}(call, kind, items, at_least));
        return pending ? pending_result(pending.get(), progress.object) : nullptr;
    }
};

struct SecurityCount {
    static constexpr const char* doc =
        "security_count($self, market, at_least=0)\n--\n\nThe number of securities of a market. "
        "A count below at_least is asked of another server, then once more on a fresh "
        "connection, before it is believed (with a warning when only one server gave it).";
    PyObject* operator()(PoolCall& call, uint8_t market, uint32_t at_least) const {
        engine::Pool* pool = live_pool(call);
        if (!pool) return nullptr;
        auto batch = run(*pool, {count_query(market, at_least)}, nullptr);
        if (!batch) return nullptr;
        if (batch->errors[0]) return raise(*batch->errors[0]);
        return PyLong_FromUnsignedLong(batch->rows[0]);
    }
};

struct SecurityCodes {
    static constexpr const char* doc =
        "security_codes($self, market, progress=None, at_least=0)\n--\n\nThe codes of a "
        "market's security list, every page fetched in parallel. at_least applies to the count "
        "as in security_count; each page is then checked against nine tenths of the rows the "
        "count leaves for it.";
    PyObject* operator()(PoolCall& call, uint8_t market, Callback progress,
                         uint32_t at_least) const {
        engine::Pool* pool = live_pool(call);
        if (!pool) return nullptr;
        auto counted = run(*pool, {count_query(market, at_least)}, nullptr);
        if (!counted || !all_succeeded(*counted)) return nullptr;
        const unsigned total = counted->rows[0];
        constexpr unsigned kPage = proto::kListPage;
        std::vector<Query> pages;
        for (unsigned start = 0; start < total; start += kPage) {
            Query q;
            q.kind = QueryKind::SecurityList;
            q.market = market;
            q.start = uint16_t(start);
            // Once the count is confirmed, a page short of nine tenths of its rows is checked too.
            if (at_least > 0) q.at_least = std::min(kPage, total - start) * 9 / 10;
            pages.push_back(q);
        }
        auto listed = run(*pool, std::move(pages), progress.object);
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
};

struct SetAside {
    static constexpr const char* doc =
        "set_aside($self, server, reason)\n--\n\nSets the server ('ip:port', as servers() "
        "names it) aside for the pool's life: its requests go to the others, and servers() "
        "shows it 'set aside' with the reason. ValueError for a server not in the pool.";
    PyObject* operator()(PoolCall& call, const std::string& server,
                         const std::string& reason) const {
        engine::Pool* pool = live_pool(call);
        if (!pool) return nullptr;
        if (!check(pool->set_aside(server, reason))) return nullptr;
        Py_RETURN_NONE;
    }
};

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
    engine::Pool* pool = reinterpret_cast<PoolObject*>(self)->pool.get();
    if (!pool || pool->closed()) return invalid_argument("the pool is closed");
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

PyMethodDef pool_methods[] = {
    method_def<Table>(),
    method_def<SubmitTable>(),
    method_def<SecurityCount>(),
    method_def<Bars>(),
    method_def<SubmitBars>(),
    method_def<SecurityCodes>(),
    method_def<SetAside>(),
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
        static_type("pelmora._engine.Pool", sizeof(PoolObject), Py_TPFLAGS_DEFAULT, NewPool::doc);
    t.tp_new = new_entry<NewPool>;
    t.tp_dealloc = pool_dealloc;
    t.tp_methods = pool_methods;
    t.tp_getset = pool_getset;
    return t;
}();

}  // namespace pelmora::py
