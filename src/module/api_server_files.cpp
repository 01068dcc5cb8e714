#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/server_files.hpp"

namespace pelmora::py {

namespace {

PyObject* chunk_bytes(const Bytes& body, const proto::FileChunk& chunk) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data()) + chunk.data_offset,
                                     Py_ssize_t(chunk.data_size));
}

}  // namespace

PyObject* client_get_block_info_meta(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_block_info_meta()", {"block_file"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::string_view block_file;
        if (!arg_text(call[0], "block_file", block_file)) return nullptr;
        Bytes body;
        if (!call.fetch(proto::block_info_meta_request(block_file), body)) return nullptr;
        proto::BlockMeta meta;
        if (!check(proto::decode_block_info_meta(body, meta))) return nullptr;

        static const RecordShape shape{"size", "hash_value"};
        return shape.build([&](RecordWriter& w) {
            return w.add(PyLong_FromUnsignedLong(meta.size)) && w.add(utf8_str(meta.hash_value));
        });
    });
}

PyObject* client_get_block_info(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_block_info()", {"block_file", "start", "size"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::string_view block_file;
        uint32_t start, size;
        if (!arg_text(call[0], "block_file", block_file) || !arg_uint(call[1], "start", start) ||
            !arg_uint(call[2], "size", size))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::block_info_request(block_file, start, size), body)) return nullptr;
        return chunk_bytes(body, proto::decode_file_chunk(body));
    });
}

PyObject* client_get_report_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_report_file()", {"filename", "offset"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::string_view filename;
        uint32_t offset;
        if (!arg_text(call[0], "filename", filename) || !arg_uint(call[1], "offset", offset))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::report_file_request(filename, offset), body)) return nullptr;
        const proto::FileChunk chunk = proto::decode_file_chunk(body);
        PyRef head = PyRef::steal(PyLong_FromUnsignedLong(chunk.head));
        if (!head) return nullptr;
        PyRef data = PyRef::steal(chunk_bytes(body, chunk));
        if (!data) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(pair, 0, head.release());
        PyTuple_SET_ITEM(pair, 1, data.release());
        return pair;
    });
}

}  // namespace pelmora::py
