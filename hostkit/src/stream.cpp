// Streams of hostkit's socket context: asynchronous connect, reads and
// writes on a dispatcher, synchronous reads and writes with the stream's
// time-outs, and TLS.
//
// A stream owns a plain non-blocking socket and does its own I/O (with
// OpenSSL on top once TLS started); Asio only waits for readiness. That keeps
// one code path for the synchronous slots, which poll, and the asynchronous
// ones, which wait on the engine.
#include "glue_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace hostkit {

struct StreamCore : std::enable_shared_from_this<StreamCore> {
    std::mutex mu;
    int fd = -1;
    SSL *ssl = nullptr;
    SSL_CTX *tls = nullptr;  // one reference, from the engine it first worked on
    bool verify = true;
    int read_ms = 0;
    int write_ms = 0;
    std::atomic<int> last_error{0};
    // Bumped by every close: operations of an older generation are abandoned.
    uint64_t gen = 0;
    EngineCore *engine = nullptr;  // where `waiter` lives
    std::optional<asio::posix::stream_descriptor> waiter;
    std::weak_ptr<ConnectOp> connecting;

    ~StreamCore()
    {
        drop_connection_locked();
        if (tls)
            SSL_CTX_free(tls);
    }

    void drop_waiter_locked()
    {
        if (waiter) {
            asio::error_code ec;
            waiter->cancel(ec);
            waiter->release();
            waiter.reset();
        }
        engine = nullptr;
    }

    void drop_connection_locked()
    {
        drop_waiter_locked();
        if (ssl) {
            // A polite close_notify when the socket takes it at once; never wait.
            SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
            ERR_clear_error();
        }
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void use_tls_of(EngineCore *e)
    {
        if (!e || (tls == e->tls))
            return;
        SSL_CTX_up_ref(e->tls);
        if (tls)
            SSL_CTX_free(tls);
        tls = e->tls;
        verify = e->verify;
    }
};

void detach_stream(StreamCore &s)
{
    std::lock_guard<std::mutex> lock(s.mu);
    s.drop_waiter_locked();
}

namespace {

enum { kWouldBlock = -1, kFailed = -2 };

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// One non-blocking transfer: bytes moved (> 0), 0 at the end of a read
// stream, kWouldBlock with *want_write telling which readiness to await, or
// kFailed with *err set. REQUIRES: s.mu held.
int transfer_locked(StreamCore &s, bool write, char *buf, int n, bool *want_write, int *err)
{
    if (s.fd < 0) {
        *err = HOSTKIT_ENOTCONN;
        return kFailed;
    }
    if (s.ssl) {
        ERR_clear_error();
        int r = write ? SSL_write(s.ssl, buf, n) : SSL_read(s.ssl, buf, n);
        if (r > 0)
            return r;
        int e = SSL_get_error(s.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            *want_write = e == SSL_ERROR_WANT_WRITE;
            return kWouldBlock;
        }
        if (e == SSL_ERROR_ZERO_RETURN && !write)
            return 0;
        *err = (e == SSL_ERROR_SYSCALL && errno != 0) ? errno : HOSTKIT_ETLS;
        ERR_clear_error();
        return kFailed;
    }
    for (;;) {
        ssize_t r = write ? ::send(s.fd, buf, size_t(n), MSG_NOSIGNAL) : ::recv(s.fd, buf, size_t(n), 0);
        if (r >= 0)
            return int(r);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *want_write = write;
            return kWouldBlock;
        }
        *err = errno;
        return kFailed;
    }
}

using Clock = std::chrono::steady_clock;

// Waits for readiness until `deadline` (none when ms was 0): 1 ready,
// 0 timed out, -1 failed.
int wait_fd(int fd, bool write, bool limited, Clock::time_point deadline)
{
    for (;;) {
        int ms = -1;
        if (limited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return 0;
            ms = left > 0x7fffffff ? 0x7fffffff : int(left);
        }
        pollfd p{fd, short(write ? POLLOUT : POLLIN), 0};
        int r = ::poll(&p, 1, ms);
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int lookup_error(const asio::error_code &ec)
{
    if (ec == asio::error::host_not_found || ec == asio::error::no_data)
        return ASYNC_ELOOKUP_NOTFOUND;
    if (ec == asio::error::host_not_found_try_again)
        return ASYNC_ELOOKUP_TIMEDOUT;
    if (ec == asio::error::no_recovery)
        return ASYNC_ELOOKUP_CONFIG;
    return ASYNC_ELOOKUP_BADNAME;
}

// Copies what the dispatcher needs to start work on it: its strand and the
// engine whose objects the work may create. False when it cannot take work.
bool start_on(Disp &d, std::optional<Strand> &strand, EngineCore *&engine)
{
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.released || d.dead || !d.strand || !d.engine)
        return false;
    strand = *d.strand;
    engine = d.engine;
    return true;
}

}  // namespace

// ---- connect ----

struct ConnectOp : std::enable_shared_from_this<ConnectOp> {
    std::shared_ptr<StreamCore> s;
    std::shared_ptr<Disp> d;
    Strand strand;
    uint64_t gen;
    std::string host;
    int port;
    int *status;
    async_glue_fn fn;
    void *arg;
    std::optional<WorkToken> work;
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket sock;
    asio::steady_timer deadline;
    bool done = false;

    ConnectOp(std::shared_ptr<StreamCore> s_, std::shared_ptr<Disp> d_, Strand strand_, EngineCore *e)
        : s(std::move(s_)), d(std::move(d_)), strand(std::move(strand_)), resolver(e->io), sock(e->io),
          deadline(e->io)
    {
    }

    void cancel_all()
    {
        asio::error_code ec;
        resolver.cancel();
        sock.close(ec);
        deadline.cancel();
    }

    bool current()
    {
        std::lock_guard<std::mutex> lock(s->mu);
        return s->gen == gen;
    }

    // Ends the connect; the continuation runs unless `silent`.
    void finish(int st, int err, bool silent)
    {
        if (done)
            return;
        done = true;
        cancel_all();
        bool live = current() && d->alive();
        if (live) {
            *status = st;
            s->last_error = err;
            d->set_error(err);
        }
        std::shared_ptr<ConnectOp> keep = shared_from_this();
        {
            std::lock_guard<std::mutex> lock(d->mu);
            auto &v = d->connects;
            for (auto it = v.begin(); it != v.end();)
                it = (it->expired() || it->lock() == keep) ? v.erase(it) : it + 1;
        }
        if (live && !silent)
            fn(arg);
        work.reset();
    }

    void start(int write_ms)
    {
        if (!current() || !d->alive()) {
            done = true;
            work.reset();
            return;
        }
        auto self = shared_from_this();
        if (write_ms > 0) {
            deadline.expires_after(std::chrono::milliseconds(write_ms));
            deadline.async_wait(asio::bind_executor(strand, [self](const asio::error_code &ec) {
                if (!ec)
                    self->finish(ASYNC_CONNECT_CANCELLED, ETIMEDOUT, false);
            }));
        }
        resolver.async_resolve(host, std::to_string(port), asio::ip::resolver_base::numeric_service,
                               asio::bind_executor(strand, [self](const asio::error_code &ec,
                                                                  asio::ip::tcp::resolver::results_type r) {
                                   self->resolved(ec, std::move(r));
                               }));
    }

    void resolved(const asio::error_code &ec, asio::ip::tcp::resolver::results_type results)
    {
        if (done)
            return;
        if (ec || results.empty()) {
            finish(ASYNC_CONNECT_LOOKUP_FAILED, ec ? lookup_error(ec) : ASYNC_ELOOKUP_NOTFOUND, false);
            return;
        }
        auto self = shared_from_this();
        asio::async_connect(sock, results,
                            asio::bind_executor(strand, [self](const asio::error_code &e, const auto &) {
                                self->connected(e);
                            }));
    }

    void connected(const asio::error_code &ec)
    {
        if (done)
            return;
        if (ec) {
            finish(ASYNC_CONNECT_SOCKET_FAILED, ec.value(), false);
            return;
        }
        asio::error_code e;
        sock.set_option(asio::ip::tcp::no_delay(true), e);
        int fd = sock.release(e);
        if (e || fd < 0) {
            finish(ASYNC_CONNECT_SOCKET_FAILED, e ? e.value() : EBADF, false);
            return;
        }
        set_nonblocking(fd);
        {
            std::lock_guard<std::mutex> lock(s->mu);
            if (s->gen != gen) {
                ::close(fd);
                fd = -1;
            } else {
                s->drop_connection_locked();
                s->fd = fd;
            }
        }
        finish(ASYNC_CONNECT_OK, 0, false);
    }
};

void Disp::abandon_connects()
{
    std::vector<std::shared_ptr<ConnectOp>> ops;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto &w : connects)
            if (auto op = w.lock())
                ops.push_back(op);
    }
    // On this dispatcher's strand, like every handler of these connects.
    for (auto &op : ops)
        if (op->strand == *strand)
            op->finish(ASYNC_CONNECT_CANCELLED, ETIMEDOUT, true);
}

// ---- reads and writes on a dispatcher ----

namespace {

struct IoOp : std::enable_shared_from_this<IoOp> {
    std::shared_ptr<StreamCore> s;
    std::shared_ptr<Disp> d;
    Strand strand;
    uint64_t gen = 0;
    bool write = false;
    char *buf = nullptr;
    int len = 0;      // bytes to write, or room to read into
    int minimum = 0;  // reads: return once this many are in
    int got = 0;
    int *result = nullptr;
    async_glue_fn fn = nullptr;
    void *arg = nullptr;
    std::optional<WorkToken> work;
    std::optional<asio::steady_timer> deadline;
    bool done = false;
    bool timed_out = false;

    IoOp(Strand st) : strand(std::move(st)) {}

    void finish(int value, int err)
    {
        if (done)
            return;
        done = true;
        if (deadline)
            deadline->cancel();
        bool live;
        {
            std::lock_guard<std::mutex> lock(s->mu);
            live = s->gen == gen;
            if (live && err)
                s->last_error = err;
        }
        live = live && d->alive();
        if (live) {
            if (err)
                d->set_error(err);
            *result = value;
            fn(arg);
        }
        work.reset();
    }

    void abandon()
    {
        done = true;
        if (deadline)
            deadline->cancel();
        work.reset();
    }

    void step()
    {
        if (done)
            return;
        for (;;) {
            bool want_write = write;
            int err = 0;
            int r;
            {
                std::lock_guard<std::mutex> lock(s->mu);
                if (s->gen != gen) {
                    abandon();
                    return;
                }
                r = transfer_locked(*s, write, buf + got, len - got, &want_write, &err);
                if (r == kWouldBlock) {
                    if (!s->waiter) {
                        err = HOSTKIT_ENOTCONN;
                        r = kFailed;
                    } else {
                        auto self = shared_from_this();
                        s->waiter->async_wait(want_write ? asio::posix::descriptor_base::wait_write
                                                         : asio::posix::descriptor_base::wait_read,
                                              asio::bind_executor(strand, [self](const asio::error_code &ec) {
                                                  self->ready(ec);
                                              }));
                        return;
                    }
                }
            }
            if (r == kFailed) {
                finish(ASYNC_IO_FAILED, err);
                return;
            }
            if (r == 0) {  // end of stream (reads only: writes of 0 bytes never get here)
                if (got > 0)
                    finish(got, 0);
                else
                    finish(ASYNC_IO_CLOSED, 0);
                return;
            }
            got += r;
            if ((write && got >= len) || (!write && got >= minimum)) {
                finish(got, 0);
                return;
            }
        }
    }

    void ready(const asio::error_code &ec)
    {
        if (done)
            return;
        if (timed_out) {
            finish(ASYNC_IO_FAILED, ETIMEDOUT);
            return;
        }
        if (ec) {
            if (ec == asio::error::operation_aborted) {
                abandon();  // closed under us
                return;
            }
            finish(ASYNC_IO_FAILED, ec.value());
            return;
        }
        step();
    }

    void arm(int ms)
    {
        if (ms <= 0)
            return;
        auto self = shared_from_this();
        deadline->expires_after(std::chrono::milliseconds(ms));
        deadline->async_wait(asio::bind_executor(strand, [self](const asio::error_code &ec) {
            if (ec || self->done)
                return;
            self->timed_out = true;
            std::lock_guard<std::mutex> lock(self->s->mu);
            if (self->s->waiter) {
                asio::error_code e;
                self->s->waiter->cancel(e);
            }
        }));
    }
};

int start_io(async_stream *stream, bool write, void *buf, int len, int minimum, int *result, GDisp *disp,
             async_glue_fn fn, void *arg)
{
    if (!stream || !disp || !fn || !result || !buf || len < 0 || minimum < 0)
        return -1;
    std::shared_ptr<StreamCore> s = stream->s;
    std::shared_ptr<Disp> d = disp->d;
    std::optional<Strand> strand;
    EngineCore *e = nullptr;
    if (!start_on(*d, strand, e))
        return -1;
    auto op = std::make_shared<IoOp>(*strand);
    op->s = s;
    op->d = d;
    op->write = write;
    op->buf = static_cast<char *>(buf);
    op->len = len;
    op->minimum = minimum > len ? len : minimum;
    op->result = result;
    op->fn = fn;
    op->arg = arg;
    int ms;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->fd < 0)
            return -1;
        // Readiness is awaited on this dispatcher's engine.
        if (s->engine != e) {
            s->drop_waiter_locked();
            asio::error_code ec;
            s->waiter.emplace(e->io);
            s->waiter->assign(s->fd, ec);
            if (ec) {
                s->waiter.reset();
                return -1;
            }
            s->engine = e;
        }
        op->gen = s->gen;
        ms = write ? s->write_ms : s->read_ms;
    }
    if (!register_stream(e, s))
        return -1;
    op->deadline.emplace(e->io);
    op->work.emplace(WorkToken::acquire(d));
    // Started on the strand, so that every touch of the operation happens
    // there, whoever called.
    asio::post(*strand, [op, ms] {
        op->arm(ms);
        op->step();
    });
    return 0;
}

}  // namespace

// ---- slots ----

async_stream *stream_new()
{
    bool verify = true;
    SSL_CTX *tls = default_tls(&verify);
    if (!tls)
        return nullptr;
    auto *stream = new (std::nothrow) async_stream;
    if (!stream) {
        SSL_CTX_free(tls);
        return nullptr;
    }
    stream->s = std::make_shared<StreamCore>();
    stream->s->tls = tls;
    stream->s->verify = verify;
    return stream;
}

async_stream *stream_wrap(int sock)
{
    if (sock < 0)
        return nullptr;
    int type = 0;
    socklen_t tl = sizeof type;
    if (getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_STREAM)
        return nullptr;
    async_stream *stream = stream_new();
    if (!stream)
        return nullptr;
    set_nonblocking(sock);
    stream->s->fd = sock;
    return stream;
}

int stream_close(async_stream *stream, int free_it)
{
    if (!stream)
        return -1;
    std::shared_ptr<StreamCore> s = stream->s;
    std::shared_ptr<ConnectOp> op;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        ++s->gen;
        s->drop_connection_locked();
        op = s->connecting.lock();
        s->connecting.reset();
    }
    // The connect's own objects are touched only on its strand.
    if (op)
        asio::post(op->strand, [op] {
            if (!op->done) {
                op->done = true;
                op->cancel_all();
                op->work.reset();
            }
        });
    if (free_it)
        delete stream;
    return 0;
}

int stream_read_timeout(async_stream *stream, int32_t ms)
{
    if (!stream || ms < 0)
        return -1;
    std::lock_guard<std::mutex> lock(stream->s->mu);
    stream->s->read_ms = ms;
    return 0;
}

int stream_write_timeout(async_stream *stream, int32_t ms)
{
    if (!stream || ms < 0)
        return -1;
    std::lock_guard<std::mutex> lock(stream->s->mu);
    stream->s->write_ms = ms;
    return 0;
}

int stream_connect(async_stream *stream, const char *host, int hostlen, int port, int *status, GDisp *disp,
                   async_glue_fn fn, void *arg)
{
    if (!stream || !host || hostlen < 0 || port <= 0 || port > 65535 || !status || !disp || !fn)
        return -1;
    std::shared_ptr<StreamCore> s = stream->s;
    std::shared_ptr<Disp> d = disp->d;
    std::optional<Strand> strand;
    EngineCore *e = nullptr;
    if (!start_on(*d, strand, e))
        return -1;
    auto op = std::make_shared<ConnectOp>(s, d, *strand, e);
    op->host.assign(host, size_t(hostlen));
    op->port = port;
    op->status = status;
    op->fn = fn;
    op->arg = arg;
    int write_ms;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->use_tls_of(e);
        // A connect replaces whatever the stream held.
        ++s->gen;
        s->drop_connection_locked();
        op->gen = s->gen;
        s->connecting = op;
        write_ms = s->write_ms;
    }
    {
        std::lock_guard<std::mutex> lock(d->mu);
        d->connects.push_back(op);
        op->work.emplace(WorkToken(d));
    }
    bool bad_name = hostlen == 0 || hostlen > 255 || op->host.find_first_of(std::string(" \t\r\n\0", 5)) !=
                                                          std::string::npos;
    asio::post(op->strand, [op, write_ms, bad_name] {
        if (bad_name)
            op->finish(ASYNC_CONNECT_LOOKUP_FAILED, ASYNC_ELOOKUP_BADNAME, false);
        else
            op->start(write_ms);
    });
    return 0;
}

int stream_write_async(async_stream *stream, const void *buf, int len, int *result, GDisp *disp,
                       async_glue_fn fn, void *arg)
{
    return start_io(stream, true, const_cast<void *>(buf), len, len, result, disp, fn, arg);
}

int stream_read_async(async_stream *stream, void *buf, int room, int minimum, int *result, GDisp *disp,
                      async_glue_fn fn, void *arg)
{
    if (room <= 0)
        return -1;
    return start_io(stream, false, buf, room, minimum < 1 ? 1 : minimum, result, disp, fn, arg);
}

namespace {

// The synchronous transfer loop of slots 30 and 31.
int transfer_sync(async_stream *stream, bool write, char *buf, int len)
{
    if (!stream || !buf || len < 0)
        return ASYNC_IO_FAILED;
    StreamCore &s = *stream->s;
    int ms;
    int fd;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        ms = write ? s.write_ms : s.read_ms;
        fd = s.fd;
    }
    if (len == 0)
        return 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    int done = 0;
    for (;;) {
        bool want_write = write;
        int err = 0;
        int r;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            r = transfer_locked(s, write, buf + done, len - done, &want_write, &err);
        }
        if (r == kFailed) {
            s.last_error = err;
            return ASYNC_IO_FAILED;
        }
        if (r == 0 && !write)
            return ASYNC_IO_CLOSED;
        if (r > 0) {
            done += r;
            if (!write || done == len)
                return done;
            continue;
        }
        int w = wait_fd(fd, want_write, ms > 0, deadline);
        if (w <= 0) {
            s.last_error = w == 0 ? ETIMEDOUT : errno;
            return ASYNC_IO_FAILED;
        }
    }
}

}  // namespace

int stream_write(async_stream *stream, const void *buf, int len)
{
    return transfer_sync(stream, true, static_cast<char *>(const_cast<void *>(buf)), len);
}

int stream_read(async_stream *stream, void *buf, int room)
{
    if (room <= 0)
        return ASYNC_IO_FAILED;
    return transfer_sync(stream, false, static_cast<char *>(buf), room);
}

int stream_hook(async_stream *, int)
{
    // Nothing to adjust: hostkit's streams are ready for use as soon as the
    // wrap or the handshake returns.
    return 0;
}

int stream_tls_start(async_stream *stream, int, const char *host)
{
    if (!stream || !host)
        return 0;
    StreamCore &s = *stream->s;
    int fd;
    int ms;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.fd < 0 || s.ssl || !s.tls) {
            s.last_error = s.ssl ? HOSTKIT_ETLS : HOSTKIT_ENOTCONN;
            return 0;
        }
        SSL *ssl = SSL_new(s.tls);
        if (!ssl) {
            s.last_error = ENOMEM;
            return 0;
        }
        bool ok = SSL_set_fd(ssl, s.fd) == 1;
        if (s.verify) {
            SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
            in6_addr a6;
            in_addr a4;
            bool literal = inet_pton(AF_INET, host, &a4) == 1 || inet_pton(AF_INET6, host, &a6) == 1;
            X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
            if (literal)
                ok = ok && X509_VERIFY_PARAM_set1_ip_asc(param, host) == 1;
            else
                ok = ok && SSL_set1_host(ssl, host) == 1;
        } else {
            SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        }
        // Server name indication for names only, as the standard asks.
        in_addr probe;
        if (ok && inet_pton(AF_INET, host, &probe) != 1 && std::strchr(host, ':') == nullptr)
            SSL_set_tlsext_host_name(ssl, host);
        if (!ok) {
            SSL_free(ssl);
            ERR_clear_error();
            s.last_error = HOSTKIT_ETLS;
            return 0;
        }
        s.ssl = ssl;
        fd = s.fd;
        ms = s.read_ms > s.write_ms ? s.read_ms : s.write_ms;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int err;
        bool want_write = false;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (!s.ssl)
                return 0;  // closed meanwhile
            ERR_clear_error();
            int r = SSL_connect(s.ssl);
            if (r == 1)
                return 1;
            int e = SSL_get_error(s.ssl, r);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                want_write = e == SSL_ERROR_WANT_WRITE;
                err = 0;
            } else {
                long v = SSL_get_verify_result(s.ssl);
                err = v != X509_V_OK ? HOSTKIT_ETLS_VERIFY : HOSTKIT_ETLS;
            }
            if (err) {
                SSL_free(s.ssl);
                s.ssl = nullptr;
                ERR_clear_error();
                s.last_error = err;
                return 0;
            }
        }
        int w = wait_fd(fd, want_write, ms > 0, deadline);
        if (w <= 0) {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.ssl) {
                SSL_free(s.ssl);
                s.ssl = nullptr;
            }
            s.last_error = w == 0 ? ETIMEDOUT : errno;
            return 0;
        }
    }
}

int stream_error(async_stream *stream)
{
    return stream ? stream->s->last_error.load() : 0;
}

const char *error_text(void *, int error)
{
    switch (error) {
    case 0:
        return "No error";
    case ASYNC_ELOOKUP_CONFIG:
        return "DNS configuration error";
    case ASYNC_ELOOKUP_TIMEDOUT:
        return "Domain name lookup timed out";
    case ASYNC_ELOOKUP_NOTFOUND:
        return "Domain name not found";
    case ASYNC_ELOOKUP_BADNAME:
        return "Bad domain name request";
    case HOSTKIT_ETLS:
        return "TLS failure";
    case HOSTKIT_ETLS_VERIFY:
        return "Server certificate did not verify";
    case HOSTKIT_ENOTCONN:
        return "Stream not connected";
    default:
        break;
    }
    if (error > 0) {
        // The description table is constant, unlike strerror's buffer.
        if (const char *t = strerrordesc_np(error))
            return t;
    }
    return "Unknown error";
}

}  // namespace hostkit
