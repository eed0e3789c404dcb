// Internal records of hostkit's socket context. Engines own an io_context;
// dispatchers and handles (both `Disp`) own a strand and a timer; streams own
// a socket and, once TLS started, an SSL object.
//
// Lifetime: handlers queued in an engine capture shared pointers to what
// they touch, never the engine itself, so that destroying the io_context
// destroys them and breaks every cycle. Everything that owns an Asio object
// registers with its engine, which resets those objects before the
// io_context goes.
#pragma once

#include <asio.hpp>
#include <openssl/ssl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hostkit/hostkit.h"

namespace hostkit {

struct Disp;
struct StreamCore;
struct ConnectOp;

using Strand = asio::strand<asio::io_context::executor_type>;

struct EngineCore {
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
    std::vector<std::thread> threads;
    SSL_CTX *tls = nullptr;
    bool verify = true;
    async_engine *handle = nullptr;

    std::mutex mu;  // guards the registries and `dead`
    bool dead = false;
    std::vector<std::weak_ptr<Disp>> disps;
    std::vector<std::weak_ptr<StreamCore>> streams;
};

// Counts work that a dispatcher still owes (scheduled functions, operations
// in flight) for hostkit_dispatcher_wait; held by the handler that does it.
class WorkToken {
public:
    // REQUIRES: d->mu held (see acquire()).
    explicit WorkToken(std::shared_ptr<Disp> d);
    static WorkToken acquire(std::shared_ptr<Disp> d);
    WorkToken(WorkToken &&other) noexcept : d_(std::move(other.d_)) {}
    WorkToken(const WorkToken &) = delete;
    WorkToken &operator=(const WorkToken &) = delete;
    WorkToken &operator=(WorkToken &&) = delete;
    ~WorkToken();

private:
    std::shared_ptr<Disp> d_;
};

struct Disp : std::enable_shared_from_this<Disp> {
    EngineCore *engine = nullptr;  // null once the engine is gone
    GDisp *handle = nullptr;

    std::mutex mu;
    std::condition_variable idle;
    bool released = false;
    bool dead = false;  // the engine went away
    std::optional<Strand> strand;
    std::weak_ptr<Disp> attached;  // where this handle's functions run
    std::vector<void *> blocks;    // payloads, oldest first
    std::unordered_map<intptr_t, void *> cookie_owner;
    int last_error = 0;
    int pending = 0;

    std::optional<asio::steady_timer> timer;
    uint64_t timer_gen = 0;
    bool timer_armed = false;

    std::vector<std::weak_ptr<ConnectOp>> connects;

    // The dispatcher whose strand runs this one's functions.
    std::shared_ptr<Disp> target();
    // Posts f on this dispatcher's strand unless it is dead. f(bool run):
    // run is false when the dispatcher was released meanwhile and f must only
    // clean up. Returns false when nothing was posted.
    template <class F> bool post(F &&f, bool always = false);
    void set_error(int e)
    {
        std::lock_guard<std::mutex> lock(mu);
        last_error = e;
    }
    bool alive()
    {
        std::lock_guard<std::mutex> lock(mu);
        return !released && !dead;
    }
    void abandon_connects();  // on the strand: a timer expired first
};

template <class F> bool Disp::post(F &&f, bool always)
{
    std::shared_ptr<Disp> self = shared_from_this();
    std::lock_guard<std::mutex> lock(mu);
    if (dead || !strand || (released && !always))
        return false;
    asio::post(*strand, [self, tok = WorkToken(self), f = std::forward<F>(f), always]() mutable {
        bool run;
        {
            std::lock_guard<std::mutex> l(self->mu);
            run = always || !self->released;
        }
        f(run);
    });
    return true;
}

}  // namespace hostkit

struct GDisp {
    std::shared_ptr<hostkit::Disp> d;
};

struct async_engine {
    std::unique_ptr<hostkit::EngineCore> core;
};

struct async_stream {
    std::shared_ptr<hostkit::StreamCore> s;
};

namespace hostkit {

// Streams (stream.cpp), in slot order.
async_stream *stream_new();
async_stream *stream_wrap(int sock);
int stream_close(async_stream *stream, int free_it);
int stream_read_timeout(async_stream *stream, int32_t ms);
int stream_write_timeout(async_stream *stream, int32_t ms);
int stream_connect(async_stream *stream, const char *host, int hostlen, int port, int *status, GDisp *disp,
                   async_glue_fn fn, void *arg);
int stream_write_async(async_stream *stream, const void *buf, int len, int *result, GDisp *disp,
                       async_glue_fn fn, void *arg);
int stream_read_async(async_stream *stream, void *buf, int room, int minimum, int *result, GDisp *disp,
                      async_glue_fn fn, void *arg);
int stream_write(async_stream *stream, const void *buf, int len);
int stream_read(async_stream *stream, void *buf, int room);
int stream_hook(async_stream *stream, int what);
int stream_tls_start(async_stream *stream, int reserved, const char *host);
int stream_error(async_stream *stream);
const char *error_text(void *reserved, int error);

// Engines (engine.cpp).
// The TLS settings of the oldest live engine, for streams that have not yet
// worked on a dispatcher: a new reference to its SSL_CTX (null without an
// engine) and whether it verifies.
SSL_CTX *default_tls(bool *verify);
// Registers a stream whose waiter lives on `e`; false when `e` is gone.
bool register_stream(EngineCore *e, const std::shared_ptr<StreamCore> &s);
// Engine shutdown: drops the stream's Asio objects (it keeps its socket).
void detach_stream(StreamCore &s);
// True on one of any engine's own threads.
bool on_engine_thread();

}  // namespace hostkit
