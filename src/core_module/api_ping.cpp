#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "network/probe.hpp"
#include "python/command.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

// The interpreter lock stays held while the probes run: their threads never touch Python.
struct PingServers {
    static constexpr const char* doc =
        "ping_servers(servers)\n--\n\n"
        "Ping multiple TDX HQ servers concurrently and return their response latencies.\n"
        "Returns a list of tuples (ip, port, latency_ms). If a server fails, latency is "
        "returned as 9999.";
    PyObject* operator()(const std::vector<HostPort>& servers) const {
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
    }
};

}  // namespace

std::span<const PyMethodDef> ping_functions() {
    return method_defs<PingServers>();
}

}  // namespace pelmora::py
