#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/server_files.hpp"
#include "python/command.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

PyObject* chunk_bytes(const proto::FileChunk& chunk) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data),
                                     Py_ssize_t(chunk.data_size));
}

// The (head, data) pair of a report file chunk.
PyObject* chunk_pair(const proto::FileChunk& chunk) {
    PyRef head = PyRef::steal(PyLong_FromUnsignedLong(chunk.head));
    if (!head) return nullptr;
    PyRef data = PyRef::steal(chunk_bytes(chunk));
    if (!data) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, head.release());
    PyTuple_SET_ITEM(pair, 1, data.release());
    return pair;
}

// The one object a single-answer decoder's sink makes with `make`.
template <class Make, class Decode>
PyObject* decode_one(Make&& make, Decode&& decode) {
    PyObject* result = nullptr;
    decode([&](const auto& answer) {
        result = make(answer);
        return true;
    });
    return result;
}

struct GetBlockInfoMeta {
    static constexpr const char* doc =
        "get_block_info_meta($self, block_file)\n--\n\n"
        "Get block file metadata (size, hash).\n"
        "block_file: e.g. \"block_zs.dat\", \"block_gn.dat\", \"block_fg.dat\"";
    PyObject* operator()(MethodCall& call, std::string_view block_file) const {
        Bytes body;
        if (!call.fetch(proto::block_info_meta_request(block_file), body) ||
            !check(proto::check_block_info_meta(body.size())))
            return nullptr;
        using R = proto::BlockMeta;
        static const RecordShape shape(
            field("size", [](const R& m) { return PyLong_FromUnsignedLong(m.size); }),
            field("hash_value", [](const R& m) { return utf8_str(m.hash_value); }));
        return decode_one(shape, [&](auto&& sink) {
            return proto::decode_block_info_meta(body.data(), body.size(), sink);
        });
    }
};

struct GetBlockInfo {
    static constexpr const char* doc =
        "get_block_info($self, block_file, start, size)\n--\n\n"
        "Get block file data chunk.\n"
        "block_file: e.g. \"block_zs.dat\"\n"
        "start: byte offset\n"
        "size: file total size\n"
        "Returns raw bytes (skip first 4 bytes of response body).";
    PyObject* operator()(MethodCall& call, std::string_view block_file, uint32_t start,
                         uint32_t size) const {
        Bytes body;
        if (!call.fetch(proto::block_info_request(block_file, start, size), body)) return nullptr;
        return decode_one(chunk_bytes, [&](auto&& sink) {
            return proto::decode_file_chunk(body.data(), body.size(), sink);
        });
    }
};

struct GetReportFile {
    static constexpr const char* doc = "get_report_file($self, filename, offset)\n--\n\n";
    PyObject* operator()(MethodCall& call, std::string_view filename, uint32_t offset) const {
        Bytes body;
        if (!call.fetch(proto::report_file_request(filename, offset), body)) return nullptr;
        return decode_one(chunk_pair, [&](auto&& sink) {
            return proto::decode_file_chunk(body.data(), body.size(), sink);
        });
    }
};

}  // namespace

std::span<const PyMethodDef> server_file_methods() {
    return method_defs<GetBlockInfoMeta, GetBlockInfo, GetReportFile>();
}

}  // namespace pelmora::py
