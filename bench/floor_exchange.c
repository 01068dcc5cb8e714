/* The exchange floor of the download benchmark: the CPU that the bare request/answer traffic
 * costs a client, with nothing inflated or decoded. Each of `connections` connections sends a
 * request, reads its whole answer (16-byte header, then the announced body) and takes the next
 * request from the shared list, as the engine's workers do.
 *
 * exchange_cpu(port, requests, connections, loop) -> CPU seconds of this process from the first
 * request to the last answer (connecting excluded), the interpreter lock released throughout.
 * loop=False: a blocking thread per connection (the engine's design); loop=True: one thread
 * waiting on all the connections with epoll, which sleeps once for every answer that arrived
 * during its work. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_CONN 64
#define FRAME (16 + 65536)

typedef struct {
    const char** data;
    Py_ssize_t* size;
    Py_ssize_t count;
    atomic_long next;
    pthread_barrier_t start;
    atomic_int failed;
} Job;

typedef struct {
    int fd;
    size_t got, want;
    unsigned char buf[FRAME];
} Conn;

static double cpu_now(void) {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

static int dial(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons(port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&sa, sizeof sa) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* Sends the next request on `c`; 0 when none is left, -1 on failure. */
static int ask_next(Job* job, Conn* c) {
    long i = atomic_fetch_add(&job->next, 1);
    if (i >= job->count) return 0;
    c->got = 0;
    c->want = 16;
    return send(c->fd, job->data[i], job->size[i], MSG_NOSIGNAL) == job->size[i] ? 1 : -1;
}

/* Reads what has arrived: 1 once the answer is whole, 0 if more is due, 2 if nothing more has
 * arrived (non-blocking), -1 on failure. */
static int take(Conn* c) {
    ssize_t n = recv(c->fd, c->buf + c->got, FRAME - c->got, 0);
    if (n <= 0) return n < 0 && errno == EAGAIN ? 2 : -1;
    c->got += (size_t)n;
    if (c->got >= 16) c->want = 16 + (c->buf[12] | (size_t)c->buf[13] << 8);
    return c->got >= c->want;
}

typedef struct {
    Job* job;
    Conn* conn;
} Worker;

static void* run_blocking(void* arg) {
    Worker* w = arg;
    pthread_barrier_wait(&w->job->start);
    int r;
    while ((r = ask_next(w->job, w->conn)) > 0) {
        while ((r = take(w->conn)) == 0) {
        }
        if (r < 0) break;
    }
    if (r < 0) atomic_store(&w->job->failed, 1);
    return NULL;
}

static double run_threads(Job* job, Conn* conns, int n) {
    pthread_t threads[MAX_CONN];
    Worker workers[MAX_CONN];
    pthread_barrier_init(&job->start, NULL, n + 1);
    for (int i = 0; i < n; i++) {
        workers[i] = (Worker){job, &conns[i]};
        pthread_create(&threads[i], NULL, run_blocking, &workers[i]);
    }
    double cpu0 = cpu_now();
    pthread_barrier_wait(&job->start);
    for (int i = 0; i < n; i++) pthread_join(threads[i], NULL);
    pthread_barrier_destroy(&job->start);
    return cpu_now() - cpu0;
}

static double run_loop(Job* job, Conn* conns, int n) {
    int ep = epoll_create1(EPOLL_CLOEXEC), active = 0;
    double cpu0 = cpu_now();
    for (int i = 0; i < n; i++) {
        fcntl(conns[i].fd, F_SETFL, O_NONBLOCK);
        struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)i};
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
        int r = ask_next(job, &conns[i]);
        if (r < 0) atomic_store(&job->failed, 1);
        active += r > 0;
    }
    while (active > 0 && !atomic_load(&job->failed)) {
        struct epoll_event evs[MAX_CONN];
        int ready = epoll_wait(ep, evs, MAX_CONN, -1);
        for (int k = 0; k < ready; k++) {
            Conn* c = &conns[evs[k].data.u32];
            int r;
            while ((r = take(c)) == 0) {
            }
            if (r == 1) r = ask_next(job, c), active -= r == 0;
            if (r < 0) atomic_store(&job->failed, 1);
        }
    }
    double spent = cpu_now() - cpu0;
    close(ep);
    return spent;
}

static PyObject* exchange_cpu(PyObject* self, PyObject* args) {
    int port, n, loop;
    PyObject* requests;
    if (!PyArg_ParseTuple(args, "iO!ip", &port, &PyList_Type, &requests, &n, &loop)) return NULL;
    if (n < 1 || n > MAX_CONN)
        return PyErr_Format(PyExc_ValueError, "1 to %d connections", MAX_CONN);
    Py_ssize_t count = PyList_GET_SIZE(requests);
    Job job = {.count = count};
    job.data = PyMem_Calloc(count ? count : 1, sizeof *job.data);
    job.size = PyMem_Calloc(count ? count : 1, sizeof *job.size);
    Conn* conns = PyMem_Calloc(n, sizeof *conns);
    double spent = -1;
    if (!job.data || !job.size || !conns) {
        PyErr_NoMemory();
        goto done;
    }
    for (Py_ssize_t i = 0; i < count; i++)
        if (PyBytes_AsStringAndSize(PyList_GET_ITEM(requests, i), (char**)&job.data[i],
                                    &job.size[i]) != 0)
            goto done;
    PyThreadState* saved = PyEval_SaveThread();
    int opened = 0;
    while (opened < n && (conns[opened].fd = dial(port)) >= 0) opened++;
    if (opened == n) spent = loop ? run_loop(&job, conns, n) : run_threads(&job, conns, n);
    for (int i = 0; i < opened; i++) close(conns[i].fd);
    PyEval_RestoreThread(saved);
    if (spent < 0 || atomic_load(&job.failed)) {
        PyErr_SetString(PyExc_ConnectionError, "an exchange failed");
        spent = -1;
    }
done:
    PyMem_Free(job.data);
    PyMem_Free(job.size);
    PyMem_Free(conns);
    return spent < 0 ? NULL : PyFloat_FromDouble(spent);
}

static PyMethodDef methods[] = {
    {"exchange_cpu", exchange_cpu, METH_VARARGS, "CPU seconds of bare exchanges."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_exchange", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floor_exchange(void) {
    return PyModule_Create(&module);
}
