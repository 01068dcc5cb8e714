#include "engine/pool.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <system_error>

#include "engine/answer_checks.hpp"
#include "engine/answer_log.hpp"
#include "engine/bar_columns_decoder.hpp"
#include "engine/fast_inflate.hpp"
#include "engine/table_queries.hpp"
#include "protocol/bars.hpp"
#include "protocol/security_list.hpp"

namespace pelmora::engine {

struct Pool::Worker {
    WireConnection conn;
    size_t home = 0;
    size_t server = SIZE_MAX;  // server of the open connection
    Bytes frame, plain;        // the last response whole, and its inflated body
    FastInflater inflater;
    AnswerLog answers;     // of the open connection
    AnswerDigest answer;   // of the last response
    uint64_t request = 0;  // digest of the request it answered
};

namespace {

uint64_t bit(size_t server) {
    return server < 64 ? uint64_t(1) << server : 0;
}

// Blocks every signal while the workers are created, so that they inherit a full mask and
// signals (Ctrl-C above all) go to the interpreter's threads.
class SignalMaskGuard {
public:
    SignalMaskGuard() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~SignalMaskGuard() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalMaskGuard(const SignalMaskGuard&) = delete;
    SignalMaskGuard& operator=(const SignalMaskGuard&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

Pool::Pool(const PoolOptions& options) : options_(options) {}

Status Pool::create(const std::vector<std::string>& servers, const PoolOptions& options,
                    std::unique_ptr<Pool>& out) {
    if (servers.empty() || servers.size() > kMaxServers)
        return Error{ErrorKind::Value,
                     "a pool needs 1 to " + std::to_string(kMaxServers) + " servers", 0};
    if (options.connections == 0 || options.connections > kMaxConnections)
        return Error{ErrorKind::Value,
                     "connections must be 1 to " + std::to_string(kMaxConnections), 0};
    std::unique_ptr<Pool> pool(new Pool(options));
    for (const std::string& text : servers) {
        auto addr = net::parse_socket_address(text);
        if (!addr)
            return Error{ErrorKind::Value,
                         "Invalid address '" + text + "': invalid socket address syntax", 0};
        ServerHealth h;
        h.address = *addr;
        h.name = text;
        pool->servers_.push_back(std::move(h));
    }
    if (Status s = pool->start(); !s) return s;
    out = std::move(pool);
    return {};
}

Status Pool::start() {
    stop_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_fd_.valid()) return os_error(ErrorKind::Os, "Cannot create eventfd: ", errno);
    SignalMaskGuard mask;
    try {
        for (size_t i = 0; i < options_.connections; ++i)
            threads_.emplace_back([this, i] { run_worker(i); });
    } catch (const std::system_error& e) {
        close();
        return Error{ErrorKind::Panic, std::string("failed to spawn thread: ") + e.what(), 0};
    }
    return {};
}

Pool::~Pool() {
    close();
}

bool Pool::closed() const {
    std::lock_guard lock(m_);
    return stopping_;
}

void Pool::close() {
    std::lock_guard closing(close_m_);
    std::deque<Job> left;
    {
        std::lock_guard lock(m_);
        stopping_ = true;
        left.swap(queue_);
    }
    cv_.notify_all();
    if (stop_fd_.valid()) {
        uint64_t one = 1;
        (void)!::write(stop_fd_.get(), &one, sizeof one);
    }
    {
        std::lock_guard lock(m_);
        for (WireConnection* c : conns_) c->interrupt();
    }
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    stop_fd_.reset();
    for (Job& job : left) job.batch->complete(job.index, stopped_error());
}

void Pool::submit(const std::shared_ptr<Batch>& batch) {
    {
        std::lock_guard lock(m_);
        if (!stopping_) {
            for (size_t i = 0; i < batch->size(); ++i) queue_.push_back(Job{batch, i});
            cv_.notify_all();
            return;
        }
    }
    for (size_t i = 0; i < batch->size(); ++i) batch->complete(i, stopped_error());
}

std::vector<std::string> Pool::take_warnings() {
    std::lock_guard lock(m_);
    return std::exchange(warnings_, {});
}

std::vector<ServerReport> Pool::servers() const {
    std::lock_guard lock(m_);
    std::vector<ServerReport> out;
    for (const ServerHealth& h : servers_) out.push_back({h.name, h.state, h.reason});
    return out;
}

Status Pool::set_aside(const std::string& server, const std::string& reason) {
    std::lock_guard lock(m_);
    for (ServerHealth& h : servers_) {
        if (h.name != server) continue;
        // One already cooling down stays out for good now, under the caller's reason.
        const bool warned = h.state == ServerState::SetAside && h.reason == reason;
        h.state = ServerState::SetAside;
        h.reason = reason;
        h.until = Clock::time_point::max();
        if (!warned) warnings_.push_back("server " + h.name + " set aside: " + reason);
        return {};
    }
    return Error{ErrorKind::Value, "no server " + server + " in this pool", 0};
}

void Pool::run_worker(size_t slot) {
    Worker w;
    w.home = slot % servers_.size();
    {
        std::lock_guard lock(m_);
        conns_.push_back(&w.conn);
    }
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) break;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        serve(w, job);
    }
    detach(w);
    std::lock_guard lock(m_);
    std::erase(conns_, &w.conn);
}

void Pool::sleep_until(Clock::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    if (left.count() <= 0) return;
    pollfd p{stop_fd_.get(), POLLIN, 0};
    ::poll(&p, 1, int(left.count()) + 1);
}

void Pool::serve(Worker& w, Job& job) {
    Batch& b = *job.batch;
    const size_t i = job.index;
    const Query& q = b.queries()[i];
    for (;;) {
        if (b.cancelled() || closed()) return b.complete(i, stopped_error());
        Choice c = choose(w, job);
        if (c.kind == Choice::None)
            return b.complete(i, Error{ErrorKind::Connection, no_server_text(), 0});
        if (c.kind == Choice::Wait) {
            sleep_until(c.until);
            continue;
        }
        const size_t s = c.server;
        if (!w.conn.open() || w.server != s) {
            if (Status st = attach(w, s); !st) {
                Error e = st.take_error();
                if (is_stopped(e)) return b.complete(i, std::move(e));
                // A server that answers no data is set aside in verify(); nothing counts
                // against this request then.
                if (e.kind == ErrorKind::Value) continue;
                job.asked |= bit(s);
                if (++job.attempts >= options_.attempts) return fail(b, i, s, std::move(e));
                continue;
            }
        }
        Status st = ask(w, q, b, i);
        if (st && !admit(w, q, b.rows[i]))
            st = out_of_step("the same answer as to an earlier request");
        if (!st) {
            Error e = st.take_error();
            if (is_stopped(e)) return b.complete(i, std::move(e));
            const bool malformed =
                e.kind == ErrorKind::Runtime || e.message == "corrupt deflate stream";
            detach(w);
            record_failure(s, e, malformed);
            job.asked |= bit(s);
            if (++job.attempts >= options_.attempts) return fail(b, i, s, std::move(e));
            continue;
        }
        record_success(s);
        if (!believed(w, job, s)) continue;
        return b.complete(i, std::nullopt);
    }
}

// A request failed for good: its error names the server of the last attempt, its kind (and so
// the Python exception) unchanged. Rows a wrong answer left in its slot are not its rows.
void Pool::fail(Batch& b, size_t i, size_t server, Error e) {
    {
        std::lock_guard lock(m_);
        e.message = servers_[server].name + ": " + e.message;
    }
    b.rows[i] = 0;
    b.complete(i, std::move(e));
}

Pool::Choice Pool::choose(const Worker& w, const Job& job) {
    std::lock_guard lock(m_);
    const auto now = Clock::now();
    bool any_usable = false;
    Clock::time_point earliest = Clock::time_point::max();
    auto usable = [&](size_t s) {
        ServerHealth& h = servers_[s];
        if (h.state == ServerState::SetAside && h.until <= now) {
            h.state = ServerState::Unverified;
            h.failures = 0;
            h.recent = 0;
        }
        return h.state != ServerState::SetAside;
    };
    auto ready = [&](size_t s) {
        if (w.conn.open() && w.server == s) return true;
        if (servers_[s].retry_after <= now) return true;
        if (servers_[s].retry_after < earliest) earliest = servers_[s].retry_after;
        return false;
    };
    for (int pass = 0; pass < 2; ++pass) {
        auto fits = [&](size_t s) {
            if (!usable(s)) return false;
            any_usable = true;
            return (pass == 1 || !(job.asked & bit(s))) && ready(s);
        };
        // Home first: a worker that failed over returns once its server's back-off is over,
        // so that load spreads again and a bad server keeps being found out.
        if (fits(w.home)) return {Choice::Use, w.home, {}};
        if (w.conn.open() && fits(w.server)) return {Choice::Use, w.server, {}};
        size_t best = SIZE_MAX;
        for (size_t s = 0; s < servers_.size(); ++s)
            if (fits(s) &&
                (best == SIZE_MAX || servers_[s].connections < servers_[best].connections))
                best = s;
        if (best != SIZE_MAX) return {Choice::Use, best, {}};
    }
    if (!any_usable) return {Choice::None, 0, {}};
    return {Choice::Wait, 0, earliest};
}

// Whether an answer that came in is believed; false when the request is to be asked again.
// An answer short of the rows wanted (rows_wanted) is asked of another usable server first: a
// server that stopped serving data answers empty, and one behind the others answers short. An
// empty first page is asked of one other server; a query's at_least of every other, and then
// once more on a fresh connection, after which the answer is believed, with a warning when
// only one server gave it. A server that answered nothing where another had rows is set aside.
bool Pool::believed(Worker& w, Job& job, size_t s) {
    const Query& q = job.batch->queries()[job.index];
    const uint32_t rows = job.batch->rows[job.index], want = rows_wanted(q);
    if (rows < want) {
        job.asked |= bit(s);
        job.short_by |= bit(s);
        if (rows == 0) job.empty_by |= bit(s);
        if ((job.short_by == bit(s) || q.at_least > 0) && other_candidate(job, s)) return false;
        if (q.at_least > 0 && !job.refreshed) {
            job.refreshed = true;
            detach(w);
            return false;
        }
        if (q.at_least > 0 && std::popcount(job.short_by) == 1) {
            std::lock_guard lock(m_);
            warnings_.push_back("only server " + servers_[s].name + " answered " + query_text(q) +
                                ": " + grouped(rows) + ", where at least " + grouped(q.at_least) +
                                " were expected; believed");
        }
    }
    if (rows > 0)
        for (size_t e = 0; e < servers_.size(); ++e)
            if (job.empty_by & bit(e))
                set_aside(e, "answered nothing for " + query_text(q) + ", which another server has",
                          true);
    return true;
}

bool Pool::other_candidate(const Job& job, size_t server) {
    std::lock_guard lock(m_);
    for (size_t s = 0; s < servers_.size(); ++s)
        if (s != server && !(job.asked & bit(s)) && servers_[s].state != ServerState::SetAside)
            return true;
    return false;
}

Status Pool::attach(Worker& w, size_t server) {
    detach(w);
    net::SocketAddress addr;
    {
        std::lock_guard lock(m_);
        addr = servers_[server].address;
    }
    Status st = w.conn.connect(addr, options_.connect_timeout, options_.timeout, stop_fd_.get());
    if (!st) {
        if (!is_stopped(st.error())) record_failure(server, st.error(), false);
        return st;
    }
    w.answers.clear();
    {
        std::lock_guard lock(m_);
        w.server = server;
        ++servers_[server].connections;
        if (servers_[server].state == ServerState::Verified) return {};
    }
    if (Status v = verify(w); !v) {
        Error e = v.take_error();
        if (e.kind != ErrorKind::Value && !is_stopped(e)) record_failure(server, e, false);
        detach(w);
        return e;
    }
    return {};
}

void Pool::detach(Worker& w) {
    w.conn.close();
    if (w.server == SIZE_MAX) return;
    std::lock_guard lock(m_);
    --servers_[w.server].connections;
    w.server = SIZE_MAX;
}

Status Pool::verify(Worker& w) {
    // One daily bar of the Shanghai composite index: every server that serves bars has it.
    BodyView body;
    if (Status s = fetch(w, proto::bars_request(9, 1, "000001", 0, 1), body); !s) return s;
    BarColumns one;
    if (!one.allocate(1, true)) throw std::bad_alloc();
    size_t rows = 0;
    if (Status s = decode_bar_columns(body.data, body.size, 9, true, {&one, 0, 1}, rows); !s)
        return s;
    if (rows == 1) {
        if (!w.answers.admit(w.answer, w.request))
            return out_of_step("the same answer as to an earlier request");
        std::lock_guard lock(m_);
        servers_[w.server].state = ServerState::Verified;
        return {};
    }
    std::string reason = "answered no bars for sh000001";
    if (fetch(w, proto::security_count_request(1), body)) {
        uint16_t count = 0;
        proto::decode_security_count(body.data, body.size, [&](uint16_t c) {
            count = c;
            return true;
        });
        if (count > 0) reason = "answers the security count but no bars (a quote-only server)";
    }
    set_aside(w.server, reason, true);
    return Error{ErrorKind::Value, reason, 0};
}

Status Pool::fetch(Worker& w, const Bytes& request, BodyView& body) {
    size_t size = 0;
    if (Status s = w.conn.exchange(request, options_.timeout, stop_fd_.get(), w.frame, size); !s)
        return s;
    const uint8_t* header = w.frame.data();
    // The compressed bytes are hashed, not the inflated body: a third of the bytes or less.
    w.answer = {digest64(header, size), uint32_t(size)};
    w.request = digest64(request.data(), request.size());
    const uint8_t* wire = header + kHeaderSize;
    const size_t wire_size = size - kHeaderSize;
    const size_t plain = load_u16(header + 14);
    if (wire_size == plain) {
        body = {wire, wire_size};
        return {};
    }
    if (Status s = w.inflater.inflate(wire, wire_size, plain, w.plain); !s) {
        w.conn.close();
        return s;
    }
    body = {w.plain.data(), w.plain.size()};
    return {};
}

Status Pool::ask(Worker& w, const Query& q, Batch& b, size_t i) {
    BodyView body;
    switch (q.kind) {
        case QueryKind::Bars: {
            Bytes request = proto::bars_request(q.category, q.market, q.code, q.start, q.count);
            if (Status s = fetch(w, request, body); !s) return s;
            size_t rows = 0;
            Status s = decode_bar_columns(body.data, body.size, q.category, q.index,
                                          {&b.columns, b.slot_first[i], q.count}, rows);
            b.rows[i] = uint32_t(rows);
            return s;
        }
        case QueryKind::SecurityCount: {
            if (Status s = fetch(w, proto::security_count_request(q.market), body); !s) return s;
            if (Status s = proto::check_security_count(body.size); !s) return s;
            proto::decode_security_count(body.data, body.size, [&](uint16_t count) {
                b.rows[i] = count;
                return true;
            });
            return {};
        }
        case QueryKind::SecurityList: {
            if (Status s = fetch(w, proto::security_list_request(q.market, q.start), body); !s)
                return s;
            if (Status s = check_security_list_answer(body.data, body.size); !s) return s;
            b.codes[i].clear();
            proto::decode_security_list(body.data, body.size, [&](const proto::SecurityRecord& r) {
                b.codes[i].push_back(r.code);
                return true;
            });
            b.rows[i] = uint32_t(b.codes[i].size());
            return {};
        }
        default:
            return ask_table(w, q, b, i);
    }
}

// An answer that holds records must not be one this connection received for another request.
// Only those are evidence: two requests may rightly get the same empty answer, and the same
// count (two markets of as many securities), which holds no records (see docs/design.md).
bool Pool::admit(Worker& w, const Query& q, size_t rows) {
    return rows == 0 || q.kind == QueryKind::SecurityCount || w.answers.admit(w.answer, w.request);
}

void Pool::record_failure(size_t server, const Error& e, bool malformed) {
    std::string reason;
    {
        std::lock_guard lock(m_);
        ServerHealth& h = servers_[server];
        if (h.state == ServerState::SetAside) return;
        ++h.failures;
        h.recent = uint8_t((h.recent << 1) | 1);
        h.retry_after = Clock::now() + backoff_after(h.failures);
        const int recent = std::popcount(h.recent);
        if (!malformed && recent < kFailureLimit) return;
        reason = malformed ? "sent a malformed answer: " + e.message
                           : std::to_string(recent) +
                                 " of its last 8 exchanges failed, the last: " + e.message;
    }
    set_aside(server, reason, false);
}

void Pool::record_success(size_t server) {
    std::lock_guard lock(m_);
    ServerHealth& h = servers_[server];
    h.failures = 0;
    h.recent = uint8_t(h.recent << 1);
}

void Pool::set_aside(size_t server, const std::string& reason, bool forever) {
    std::lock_guard lock(m_);
    ServerHealth& h = servers_[server];
    if (h.state == ServerState::SetAside) return;
    h.state = ServerState::SetAside;
    h.reason = reason;
    h.until = forever ? Clock::time_point::max() : Clock::now() + options_.cooldown;
    warnings_.push_back("server " + h.name + " set aside: " + reason);
}

std::string Pool::no_server_text() const {
    std::lock_guard lock(m_);
    std::string text = "No server serves data:";
    const char* sep = " ";
    for (const ServerHealth& h : servers_) {
        text += sep + h.name + " " + h.reason;
        sep = "; ";
    }
    return text;
}

}  // namespace pelmora::engine
