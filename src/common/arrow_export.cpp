#include "common/arrow_export.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "common/error.hpp"

namespace pelmora::arrow {

namespace {

// Structs are value-initialised (release null) before they are filled, so that a parent whose
// construction throws half-way releases only the children already made.

// What an exported schema owns: its strings and its children's structs. A child a consumer
// moved out has release null and is only freed; the others are released first, as the
// interface asks of a parent.
struct SchemaNode {
    std::string format;
    std::string name;
    std::vector<std::unique_ptr<ArrowSchema>> owned;
    std::vector<ArrowSchema*> children;
    std::unique_ptr<ArrowSchema> dictionary;

    ~SchemaNode() {
        for (auto& child : owned)
            if (child->release) child->release(child.get());
        if (dictionary && dictionary->release) dictionary->release(dictionary.get());
    }
};

void release_schema(ArrowSchema* schema) {
    if (!schema->release) return;
    delete static_cast<SchemaNode*>(schema->private_data);
    schema->release = nullptr;
}

// Fills `out` from `node`, which it then owns.
void fill_schema(std::unique_ptr<SchemaNode> node, int64_t flags, ArrowSchema* out) {
    SchemaNode* n = node.release();
    *out = ArrowSchema{n->format.c_str(),
                       n->name.c_str(),
                       nullptr,
                       flags,
                       int64_t(n->children.size()),
                       n->children.empty() ? nullptr : n->children.data(),
                       n->dictionary.get(),
                       release_schema,
                       n};
}

void export_field(const Column& column, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->format = column.values.format;
    node->name = column.name;
    if (column.dictionary) {
        auto values = std::make_unique<SchemaNode>();
        values->format = column.dictionary->format;
        node->dictionary = std::make_unique<ArrowSchema>();
        fill_schema(std::move(values), kFlagNullable, node->dictionary.get());
    }
    fill_schema(std::move(node), kFlagNullable, out);
}

// What an exported array owns: its buffer list, its children's structs and a share of the
// Table whose buffers it points into.
struct ArrayNode {
    SharedTable table;
    const void* buffers[3] = {};
    std::vector<std::unique_ptr<ArrowArray>> owned;
    std::vector<ArrowArray*> children;
    std::unique_ptr<ArrowArray> dictionary;

    ~ArrayNode() {
        for (auto& child : owned)
            if (child->release) child->release(child.get());
        if (dictionary && dictionary->release) dictionary->release(dictionary.get());
    }
};

void release_array(ArrowArray* array) {
    if (!array->release) return;
    delete static_cast<ArrayNode*>(array->private_data);
    array->release = nullptr;
}

void fill_array(std::unique_ptr<ArrayNode> node, int64_t n_buffers, int64_t offset, int64_t length,
                ArrowArray* out) {
    ArrayNode* n = node.release();
    // With a validity bitmap, the nulls of a slice are left for the consumer to count.
    *out = ArrowArray{length,
                      n->buffers[0] ? -1 : 0,
                      offset,
                      n_buffers,
                      int64_t(n->children.size()),
                      n->buffers,
                      n->children.empty() ? nullptr : n->children.data(),
                      n->dictionary.get(),
                      release_array,
                      n};
}

std::unique_ptr<ArrayNode> layout_node(const SharedTable& table, const Layout& layout) {
    auto node = std::make_unique<ArrayNode>();
    node->table = table;
    for (int i = 0; i < 3; ++i) node->buffers[i] = layout.buffers[i];
    return node;
}

void export_column(const SharedTable& table, const Column& column, int64_t offset, int64_t length,
                   ArrowArray* out) {
    std::unique_ptr<ArrayNode> node = layout_node(table, column.values);
    if (column.dictionary) {
        // The dictionary is whole in every batch; only the indices are sliced.
        node->dictionary = std::make_unique<ArrowArray>();
        fill_array(layout_node(table, *column.dictionary), column.dictionary->n_buffers, 0,
                   column.dictionary_length, node->dictionary.get());
    }
    fill_array(std::move(node), column.values.n_buffers, offset, length, out);
}

// A stream's state: the batch it gives next and the message of its last failure.
struct StreamNode {
    SharedTable table;
    int64_t next = 0;
    std::string error;
};

StreamNode& stream_node(ArrowArrayStream* stream) {
    return *static_cast<StreamNode*>(stream->private_data);
}

// Runs `body` for a callback of the stream: no C++ exception may reach the consumer, so a
// failure becomes an errno and get_last_error's message.
template <class F>
int stream_call(ArrowArrayStream* stream, F&& body) {
    const Status status = contained([&]() -> Status {
        body(stream_node(stream));
        return {};
    });
    if (status) return 0;
    stream_node(stream).error = status.error().message;
    return status.error().kind == ErrorKind::NoMemory ? ENOMEM : EIO;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return stream_call(stream, [&](StreamNode& s) { export_schema(*s.table, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    return stream_call(stream, [&](StreamNode& s) {
        const Table& t = *s.table;
        if (s.next >= t.num_chunks()) {
            *out = ArrowArray{};  // released: the end of the stream
            return;
        }
        const int64_t size = t.chunk_rows > 0 ? t.chunk_rows : t.rows;
        const int64_t offset = s.next * size;
        export_rows(s.table, offset, std::min(size, t.rows - offset), out);
        ++s.next;
    });
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    const std::string& error = stream_node(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    if (!stream->release) return;
    delete static_cast<StreamNode*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

std::vector<uint8_t> time_validity(const void* times, int64_t rows) {
    const char* bytes = static_cast<const char*>(times);
    auto time = [bytes](int64_t i) {
        int64_t t;
        std::memcpy(&t, bytes + i * int64_t(sizeof t), sizeof t);
        return t;
    };
    // Whether any is missing first, in blocks of a fixed size, a loop the compiler vectorizes:
    // most columns have none, and no bitmap.
    constexpr int64_t kBlock = 256;
    bool missing = false;
    int64_t i = 0;
    for (; i + kBlock <= rows && !missing; i += kBlock) {
        int64_t block[kBlock];
        std::memcpy(block, bytes + i * int64_t(sizeof(int64_t)), sizeof block);
        int64_t least = INT64_MAX;
        for (int64_t t : block) least = std::min(least, t);
        missing = least == kNotATime;
    }
    for (; i < rows && !missing; ++i) missing = time(i) == kNotATime;
    if (!missing) return {};
    std::vector<uint8_t> bits(size_t((rows + 7) / 8), 0);
    for (int64_t r = 0; r < rows; ++r)
        if (time(r) != kNotATime) bits[size_t(r / 8)] |= uint8_t(1u << (r % 8));
    return bits;
}

int64_t Table::num_chunks() const {
    if (chunk_rows <= 0 || rows == 0) return 1;
    return (rows + chunk_rows - 1) / chunk_rows;
}

void export_schema(const Table& table, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->format = "+s";
    node->owned.reserve(table.columns.size());
    for (const Column& column : table.columns) {
        node->owned.push_back(std::make_unique<ArrowSchema>());
        export_field(column, node->owned.back().get());
        node->children.push_back(node->owned.back().get());
    }
    fill_schema(std::move(node), 0, out);
}

void export_rows(const SharedTable& table, int64_t offset, int64_t length, ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->table = table;
    node->owned.reserve(table->columns.size());
    for (const Column& column : table->columns) {
        node->owned.push_back(std::make_unique<ArrowArray>());
        export_column(table, column, offset, length, node->owned.back().get());
        node->children.push_back(node->owned.back().get());
    }
    // A struct array has only its validity buffer; its children carry the offset.
    fill_array(std::move(node), 1, 0, length, out);
}

void export_stream(const SharedTable& table, ArrowArrayStream* out) {
    auto node = std::make_unique<StreamNode>();
    node->table = table;
    *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error,
                            release_stream, node.release()};
}

}  // namespace pelmora::arrow
