#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "network/probe.hpp"

namespace pelmora::py {

// The interpreter lock stays held while the probes run: their threads never touch Python.
PyObject* ping_servers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("ping_servers()", {"servers"});
        PyObject* bound[1];
        if (!sig.bind(args, nargs, kwnames, bound)) return nullptr;
        std::vector<HostPort> servers;
        if (!arg_host_ports(bound[0], "servers", servers)) return nullptr;

        std::vector<net::ProbeResult> results;
        if (!check(net::probe_servers(servers, results))) return nullptr;

        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(results.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < results.size(); ++i) {
            const HostPort& server = servers[results[i].index];
            PyObject* entry = PyTuple_New(3);
            if (!entry) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), entry);
            // The tuple owns each field as soon as it is made, so a failure leaks nothing.
            PyObject* ip = utf8_str(server.first);
            if (!ip) return nullptr;
            PyTuple_SET_ITEM(entry, 0, ip);
            PyObject* port = PyLong_FromLong(server.second);
            if (!port) return nullptr;
            PyTuple_SET_ITEM(entry, 1, port);
            PyObject* latency = PyLong_FromUnsignedLongLong(results[i].latency_ms);
            if (!latency) return nullptr;
            PyTuple_SET_ITEM(entry, 2, latency);
        }
        return list.release();
    });
}

}  // namespace pelmora::py
