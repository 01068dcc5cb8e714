// The pool's exchange for the table kinds: build the kind's request, decode the answer into
// the request's own table.
#include "engine/pool.hpp"
#include "engine/table_queries.hpp"

namespace pelmora::engine {

Status Pool::ask_table(Worker& w, const Query& q, Batch& b, size_t i) {
    Bytes request;
    if (Status s = table_request(q, request); !s) return s;
    BodyView body;
    if (Status s = fetch(w, request, body); !s) return s;
    Status s = decode_table(q, body.data, body.size, b.tables[i]);
    b.rows[i] = uint32_t(b.tables[i].rows());
    return s;
}

}  // namespace pelmora::engine
