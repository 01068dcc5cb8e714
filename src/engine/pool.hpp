// The pool: N worker threads, each with one connection to one of the servers, taking requests
// from one queue. Every wait of a worker runs without the interpreter; the caller waits for a
// batch in short slices (see the module layer).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "engine/batch.hpp"
#include "engine/server_health.hpp"

namespace pelmora::engine {

inline constexpr size_t kMaxConnections = 256;  // of one pool
inline constexpr size_t kMaxServers = 64;

struct PoolOptions {
    size_t connections = 8;
    Clock::duration timeout = std::chrono::seconds(10);  // one whole exchange
    Clock::duration connect_timeout = std::chrono::seconds(5);
    int attempts = 4;  // per request, over every connection and server
    Clock::duration cooldown = std::chrono::seconds(30);
};

struct ServerReport {
    std::string name;
    ServerState state;
    std::string reason;
};

class Pool {
public:
    // `servers` are literal "ip:port" texts; fails with ErrorKind::Value for one that is not.
    static Status create(const std::vector<std::string>& servers, const PoolOptions& options,
                         std::unique_ptr<Pool>& out);
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool();

    // Queues every request of the batch; a closed pool fails them at once.
    void submit(const std::shared_ptr<Batch>& batch);
    // Stops the workers (ending their waits), joins them, closes every descriptor and fails
    // the requests still queued. Idempotent.
    void close();
    bool closed() const;

    std::vector<std::string> take_warnings();
    std::vector<ServerReport> servers() const;
    // Sets the server named "ip:port" aside for the pool's life, its requests going to the
    // others, as the caller found it wrong; fails with ErrorKind::Value for a name not in the
    // pool.
    Status set_aside(const std::string& server, const std::string& reason);
    size_t connections() const { return options_.connections; }

private:
    struct Job {
        std::shared_ptr<Batch> batch;
        size_t index = 0;
        int attempts = 0;
        uint64_t asked = 0;      // servers that failed it or answered it short
        uint64_t short_by = 0;   // servers that answered it short of the rows wanted
        uint64_t empty_by = 0;   // those of them that answered it empty
        bool refreshed = false;  // asked once more on a fresh connection
    };
    struct Worker;
    struct Choice {
        enum { Use, Wait, None } kind;
        size_t server;
        Clock::time_point until;
    };

    explicit Pool(const PoolOptions& options);
    Status start();
    void run_worker(size_t slot);
    void serve(Worker& w, Job& job);
    void fail(Batch& b, size_t i, size_t server, Error e);
    Choice choose(const Worker& w, const Job& job);
    bool believed(Worker& w, Job& job, size_t server);
    Status attach(Worker& w, size_t server);
    void detach(Worker& w);
    Status verify(Worker& w);
    Status ask(Worker& w, const Query& q, Batch& b, size_t i);
    Status ask_table(Worker& w, const Query& q, Batch& b, size_t i);
    struct BodyView {
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    Status fetch(Worker& w, const Bytes& request, BodyView& body);
    static bool admit(Worker& w, const Query& q, size_t rows);
    void record_failure(size_t server, const Error& e, bool malformed);
    void record_success(size_t server);
    void set_aside(size_t server, const std::string& reason, bool forever);
    bool other_candidate(const Job& job, size_t server);
    void sleep_until(Clock::time_point t);
    std::string no_server_text() const;

    PoolOptions options_;
    std::vector<ServerHealth> servers_;
    UniqueFd stop_fd_;  // eventfd, readable once the pool stops
    std::vector<std::thread> threads_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<Job> queue_;
    std::vector<WireConnection*> conns_;  // of the running workers, interrupted by close()
    std::vector<std::string> warnings_;
    bool stopping_ = false;
    std::mutex close_m_;
};

}  // namespace pelmora::engine
