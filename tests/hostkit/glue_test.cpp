// hostkit's socket context through its slots, as libvexcore drives it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_server.h"
#include "hostkit/hostkit.h"
#include "slapd_fixture.h"

namespace {

const async_glue &G = *hostkit_glue();

// Counts events and lets the test wait for them instead of sleeping.
struct Events {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    std::vector<intptr_t> values;
    std::thread::id thread;

    void hit(intptr_t v = 0)
    {
        std::lock_guard<std::mutex> l(m);
        ++count;
        values.push_back(v);
        thread = std::this_thread::get_id();
        cv.notify_all();
    }
    bool wait(int n, int ms = 5000)
    {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return count >= n; });
    }
    int seen()
    {
        std::lock_guard<std::mutex> l(m);
        return count;
    }
};

void hit(void *arg)
{
    static_cast<Events *>(arg)->hit();
}

struct Engine {
    async_engine *engine;
    GDisp *disp;
    explicit Engine(int threads = 2, const char *ca_file = nullptr, int no_verify = 0)
    {
        hostkit_engine_config cfg{};
        cfg.threads = threads;
        cfg.ca_file = ca_file;
        cfg.no_verify = no_verify;
        engine = hostkit_engine_new(&cfg);
        disp = engine ? hostkit_dispatcher_new(engine) : nullptr;
    }
    ~Engine()
    {
        if (disp) {
            hostkit_dispatcher_wait(disp, 5000);
            hostkit_dispatcher_release(disp);
        }
        if (engine)
            hostkit_engine_destroy(engine);
    }
};

TEST(GlueTable, LabelAndSlotsFilled)
{
    EXPECT_EQ(G.label, ASYNC_SOCKETCTX_LABEL_COMPAT);
    EXPECT_GE(G.label, ASYNC_SOCKETCTX_LABEL_ERRTEXT);
    EXPECT_EQ(reinterpret_cast<const void *const *>(&G)[44], reinterpret_cast<const void *>(G.error_text));
    const void *const *slot = reinterpret_cast<const void *const *>(&G);
    for (int n : {1, 2, 3, 5, 6, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18, 19, 20, 24, 28, 29, 30, 31, 36, 41, 42, 43, 44})
        EXPECT_NE(slot[n], nullptr) << "slot " << n;
    EXPECT_STREQ(G.error_text(nullptr, ASYNC_ELOOKUP_NOTFOUND), "Domain name not found");
    EXPECT_STREQ(G.error_text(nullptr, HOSTKIT_ETLS_VERIFY), "Server certificate did not verify");
    EXPECT_STREQ(G.error_text(nullptr, -77), "Unknown error");
}

TEST(GlueEngine, BadCaFileRefusesEngine)
{
    hostkit_engine_config cfg{};
    cfg.ca_file = "/nonexistent/ca.pem";
    EXPECT_EQ(hostkit_engine_new(&cfg), nullptr);
}

TEST(GlueTimer, FiresOnTheAttachedDispatcher)
{
    Engine e;
    ASSERT_NE(e.disp, nullptr);
    GDisp *h = G.handle_new(G.disp_engine(e.disp));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(G.attach(e.disp, h), 0);
    Events ev;
    ASSERT_EQ(G.timer(h, 10, hit, &ev), 0);
    ASSERT_TRUE(ev.wait(1));
    EXPECT_NE(ev.thread, std::this_thread::get_id());
    G.handle_release(h);
}

TEST(GlueTimer, CancelledAndReplacedTimersDoNotRun)
{
    Engine e;
    GDisp *h = G.handle_new(G.disp_engine(e.disp));
    GDisp *sentinel = G.handle_new(G.disp_engine(e.disp));
    Events cancelled, first, second, done;
    // Cancelled through slot 12 on the handle.
    ASSERT_EQ(G.timer(h, 30, hit, &cancelled), 0);
    ASSERT_EQ(G.cookie(h, G.cookie_new(e.disp)), 0);
    // Re-arming replaces: only the second function runs.
    GDisp *h2 = G.handle_new(G.disp_engine(e.disp));
    ASSERT_EQ(G.timer(h2, 20, hit, &first), 0);
    ASSERT_EQ(G.timer(h2, 40, hit, &second), 0);
    // Timers of one engine expire in order: once the later sentinel ran, the
    // earlier ones would have.
    ASSERT_EQ(G.timer(sentinel, 150, hit, &done), 0);
    ASSERT_TRUE(done.wait(1));
    ASSERT_TRUE(second.wait(1));
    EXPECT_EQ(cancelled.seen(), 0);
    EXPECT_EQ(first.seen(), 0);
    G.handle_release(h);
    G.handle_release(h2);
    G.handle_release(sentinel);
}

TEST(GlueTimer, ReleasingTheHandleCancelsItsTimer)
{
    Engine e;
    GDisp *h = G.handle_new(G.disp_engine(e.disp));
    GDisp *sentinel = G.handle_new(G.disp_engine(e.disp));
    Events fired, done;
    ASSERT_EQ(G.timer(h, 20, hit, &fired), 0);
    G.handle_release(h);
    ASSERT_EQ(G.timer(sentinel, 100, hit, &done), 0);
    ASSERT_TRUE(done.wait(1));
    EXPECT_EQ(fired.seen(), 0);
    G.handle_release(sentinel);
}

struct EventLog {
    Events ev;
    std::vector<std::pair<void *, intptr_t>> calls;
};
EventLog *g_log = nullptr;

int log_event(void *block, intptr_t value)
{
    g_log->calls.emplace_back(block, value);
    g_log->ev.hit(value);
    return 1;
}

TEST(GlueCookie, DeliveredToTheEventFunctionOfItsBlock)
{
    Engine e;
    EventLog log;
    g_log = &log;
    Events callback;
    void *block = G.block(e.disp, 64, hit, &callback, log_event);
    ASSERT_NE(block, nullptr);
    intptr_t c = G.cookie_new(e.disp);
    EXPECT_GE(c, ASYNC_COOKIE_MIN);
    EXPECT_NE(G.cookie_new(e.disp), c);
    ASSERT_EQ(G.cookie(e.disp, c), 0);
    ASSERT_TRUE(log.ev.wait(1));
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, block);
    EXPECT_EQ(log.calls[0].second, c);
    EXPECT_EQ(callback.seen(), 0);
    // Slot 11: callback, then the dispose event, then the block is gone.
    ASSERT_EQ(G.complete_dispose(e.disp), 0);
    ASSERT_TRUE(log.ev.wait(2));
    EXPECT_EQ(callback.seen(), 1);
    EXPECT_EQ(log.calls[1].second, ASYNC_EVENT_DISPOSE);
    // A cookie of a completed block is dropped.
    ASSERT_EQ(G.cookie(e.disp, c), 0);
    ASSERT_EQ(hostkit_dispatcher_wait(e.disp, 5000), 0);
    EXPECT_EQ(log.calls.size(), 2u);
    g_log = nullptr;
}

TEST(GlueBlock, BlocksNestAndCompleteNewestFirst)
{
    Engine e;
    EventLog log;
    g_log = &log;
    Events outer, inner;
    auto *a = static_cast<unsigned char *>(G.block(e.disp, 100, hit, &outer, nullptr));
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(a[i], 0) << "blocks are zero-filled";
    void *b = G.block(e.disp, 32, hit, &inner, log_event);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(G.complete(e.disp), 0);  // slot 10: the newer one, no event
    ASSERT_TRUE(inner.wait(1));
    EXPECT_EQ(outer.seen(), 0);
    ASSERT_EQ(G.complete(e.disp), 0);
    ASSERT_TRUE(outer.wait(1));
    EXPECT_EQ(G.complete(e.disp), -1);  // nothing left
    ASSERT_EQ(hostkit_dispatcher_wait(e.disp, 5000), 0);
    EXPECT_TRUE(log.calls.empty());
    g_log = nullptr;
}

TEST(GlueBlock, UserSlotHearsItsHandleGo)
{
    EventLog log;
    g_log = &log;
    void *slot_released;
    void *slot_shutdown;
    {
        Engine e;
        GDisp *h = G.handle_new(G.disp_engine(e.disp));
        slot_released = G.block(h, ASYNC_USER_SLOT_SIZE, nullptr, nullptr, log_event);
        ASSERT_NE(slot_released, nullptr);
        // The slot holds a pointer even though it asked for four bytes.
        *static_cast<void **>(slot_released) = &log;
        G.handle_release(h);
        ASSERT_EQ(log.calls.size(), 1u);
        EXPECT_EQ(log.calls[0].first, slot_released);
        EXPECT_EQ(log.calls[0].second, ASYNC_EVENT_RELEASED);

        GDisp *h2 = G.handle_new(G.disp_engine(e.disp));
        slot_shutdown = G.block(h2, ASYNC_USER_SLOT_SIZE, nullptr, nullptr, log_event);
        hostkit_engine_destroy(e.engine);  // the engine goes first here
        e.engine = nullptr;
        ASSERT_EQ(log.calls.size(), 2u);
        EXPECT_EQ(log.calls[1].first, slot_shutdown);
        EXPECT_EQ(log.calls[1].second, ASYNC_EVENT_SHUTDOWN);
        EXPECT_EQ(G.block(h2, 16, nullptr, nullptr, nullptr), nullptr);
        G.handle_release(h2);
    }
    g_log = nullptr;
}

TEST(GlueSchedule, FromAForeignThreadRunsOnTheEngine)
{
    Engine e;
    Events ev;
    std::thread foreign([&] { EXPECT_EQ(G.schedule(e.disp, hit, &ev), 0); });
    foreign.join();
    ASSERT_TRUE(ev.wait(1));
    EXPECT_NE(ev.thread, foreign.get_id());
    EXPECT_NE(ev.thread, std::this_thread::get_id());
    EXPECT_EQ(hostkit_dispatcher_wait(e.disp, 5000), 0);
}

struct Exclusive {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> runs{0};
};

void exclusive_fn(void *arg)
{
    auto *x = static_cast<Exclusive *>(arg);
    if (x->inside.fetch_add(1) != 0)
        ++x->overlaps;
    for (int i = 0; i < 200; ++i) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    x->inside.fetch_sub(1);
    ++x->runs;
}

TEST(GlueDispatcher, CallbacksOfOneDispatcherNeverOverlap)
{
    Engine e(4);
    GDisp *second = hostkit_dispatcher_new(e.engine);
    ASSERT_NE(second, nullptr);
    Exclusive x1, x2;
    constexpr int kEach = 2000;
    std::vector<std::thread> feeders;
    for (int t = 0; t < 2; ++t)
        feeders.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                G.schedule(e.disp, exclusive_fn, &x1);
                G.schedule(second, exclusive_fn, &x2);
            }
        });
    for (auto &t : feeders)
        t.join();
    ASSERT_EQ(hostkit_dispatcher_wait(e.disp, 20000), 0);
    ASSERT_EQ(hostkit_dispatcher_wait(second, 20000), 0);
    EXPECT_EQ(x1.runs.load(), 2 * kEach);
    EXPECT_EQ(x2.runs.load(), 2 * kEach);
    EXPECT_EQ(x1.overlaps.load(), 0);
    EXPECT_EQ(x2.overlaps.load(), 0);
    hostkit_dispatcher_release(second);
}

TEST(GlueDispatcher, WaitFromAnEngineThreadRefuses)
{
    Engine e;
    struct Ctx {
        GDisp *d;
        int result = 0;
        Events ev;
    } ctx{e.disp, 0, {}};
    ASSERT_EQ(G.schedule(e.disp,
                         [](void *p) {
                             auto *c = static_cast<Ctx *>(p);
                             c->result = hostkit_dispatcher_wait(c->d, 1000);
                             c->ev.hit();
                         },
                         &ctx),
              0);
    ASSERT_TRUE(ctx.ev.wait(1));
    EXPECT_EQ(ctx.result, -1);
}

// ---- connect ----

struct ConnectCtx {
    int status = -99;
    int status_seen_by_timer = -99;
    Events done;
    Events timer;
};

void connect_done(void *arg)
{
    static_cast<ConnectCtx *>(arg)->done.hit();
}

int refused_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);  // bound, never listened: nothing answers there
    return ntohs(a.sin_port);
}

TEST(GlueConnect, StatusesOfFinishedConnects)
{
    vextest::FaultServer server;
    ASSERT_TRUE(server.ok());
    server.add(vextest::FaultScript().close());
    struct Case {
        const char *name;
        std::string host;
        int port;
        int status;
        int error;  // expected last error, or 0 to skip
    } cases[] = {
        {"connected", "127.0.0.1", server.port(), ASYNC_CONNECT_OK, 0},
        {"connected by name", "localhost", server.port(), ASYNC_CONNECT_OK, 0},
        {"refused", "127.0.0.1", refused_port(), ASYNC_CONNECT_SOCKET_FAILED, ECONNREFUSED},
        {"unresolvable", "no-such-host.invalid", 389, ASYNC_CONNECT_LOOKUP_FAILED, ASYNC_ELOOKUP_NOTFOUND},
        {"empty name", "", 389, ASYNC_CONNECT_LOOKUP_FAILED, ASYNC_ELOOKUP_BADNAME},
    };
    Engine e;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        async_stream *s = G.stream_new();
        ASSERT_NE(s, nullptr);
        ConnectCtx ctx;
        ASSERT_EQ(G.connect(s, c.host.data(), int(c.host.size()), c.port, &ctx.status, e.disp, connect_done, &ctx), 0);
        ASSERT_TRUE(ctx.done.wait(1, 10000));
        EXPECT_EQ(ctx.status, c.status);
        if (c.error) {
            EXPECT_EQ(G.last_error(e.disp), c.error);
            EXPECT_EQ(G.stream_error(s), c.error);
        }
        G.stream_close(s, 1);
    }
}

TEST(GlueConnect, BadArgumentsStartNothing)
{
    Engine e;
    async_stream *s = G.stream_new();
    int status;
    ConnectCtx ctx;
    EXPECT_EQ(G.connect(s, "x", 1, 0, &status, e.disp, connect_done, &ctx), -1);
    EXPECT_EQ(G.connect(s, "x", 1, 70000, &status, e.disp, connect_done, &ctx), -1);
    EXPECT_EQ(G.connect(s, "x", 1, 389, nullptr, e.disp, connect_done, &ctx), -1);
    EXPECT_EQ(G.connect(s, "x", 1, 389, &status, e.disp, nullptr, &ctx), -1);
    G.stream_close(s, 1);
}

// A listener whose accept queue is full: further SYNs are dropped, so a
// connect to it neither succeeds nor fails.
struct BlackHole {
    int listener = -1;
    int filler = -1;
    int port = 0;
    BlackHole()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener, 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        filler = socket(AF_INET, SOCK_STREAM, 0);
        connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ~BlackHole()
    {
        close(filler);
        close(listener);
    }
};

TEST(GlueConnect, HandleTimerAbandonsAPendingConnect)
{
    BlackHole hole;
    Engine e;
    GDisp *h = G.handle_new(G.disp_engine(e.disp));
    ASSERT_EQ(G.attach(e.disp, h), 0);
    async_stream *s = G.stream_new();
    ConnectCtx ctx;
    static ConnectCtx *current;
    current = &ctx;
    ASSERT_EQ(G.timer(h, 150,
                      [](void *) {
                          current->status_seen_by_timer = current->status;
                          current->timer.hit();
                      },
                      nullptr),
              0);
    ASSERT_EQ(G.connect(s, "127.0.0.1", 9, hole.port, &ctx.status, e.disp, connect_done, &ctx), 0);
    ASSERT_TRUE(ctx.timer.wait(1));
    EXPECT_EQ(ctx.status_seen_by_timer, ASYNC_CONNECT_CANCELLED);
    ASSERT_EQ(hostkit_dispatcher_wait(e.disp, 5000), 0);
    EXPECT_EQ(ctx.done.seen(), 0) << "the continuation of an abandoned connect must not run";
    G.stream_close(s, 1);
    G.handle_release(h);
}

TEST(GlueConnect, StreamTimeOutEndsAConnectWithStatus1)
{
    BlackHole hole;
    Engine e;
    async_stream *s = G.stream_new();
    ASSERT_EQ(G.write_timeout(s, 100), 0);
    ConnectCtx ctx;
    ASSERT_EQ(G.connect(s, "127.0.0.1", 9, hole.port, &ctx.status, e.disp, connect_done, &ctx), 0);
    ASSERT_TRUE(ctx.done.wait(1));
    EXPECT_EQ(ctx.status, ASYNC_CONNECT_CANCELLED);
    EXPECT_EQ(G.last_error(e.disp), ETIMEDOUT);
    G.stream_close(s, 1);
}

TEST(GlueConnect, ClosingTheStreamAbandonsItsConnect)
{
    BlackHole hole;
    Engine e;
    async_stream *s = G.stream_new();
    ConnectCtx ctx;
    ASSERT_EQ(G.connect(s, "127.0.0.1", 9, hole.port, &ctx.status, e.disp, connect_done, &ctx), 0);
    G.stream_close(s, 1);
    ASSERT_EQ(hostkit_dispatcher_wait(e.disp, 5000), 0);
    EXPECT_EQ(ctx.done.seen(), 0);
    EXPECT_EQ(ctx.status, -99);
}

// ---- reads and writes ----

struct IoCtx {
    int result = -99;
    Events done;
};

void io_done(void *arg)
{
    static_cast<IoCtx *>(arg)->done.hit();
}

// Connects a stream to the fault server on e's dispatcher.
async_stream *connected(Engine &e, int port)
{
    async_stream *s = G.stream_new();
    ConnectCtx ctx;
    if (G.connect(s, "127.0.0.1", 9, port, &ctx.status, e.disp, connect_done, &ctx) != 0 || !ctx.done.wait(1) ||
        ctx.status != 0) {
        G.stream_close(s, 1);
        return nullptr;
    }
    return s;
}

TEST(GlueRead, MinimumIsCollectedAcrossSplitWrites)
{
    const std::string reply = "0123456789abcdefghij";
    vextest::FaultServer server;
    server.add(vextest::FaultScript().send_split(reply, {3, 5, 3}).hold());
    Engine e;
    async_stream *s = connected(e, server.port());
    ASSERT_NE(s, nullptr);
    char buf[64] = {};
    IoCtx io;
    ASSERT_EQ(G.read_async(s, buf, sizeof buf, 12, &io.result, e.disp, io_done, &io), 0);
    ASSERT_TRUE(io.done.wait(1));
    ASSERT_GE(io.result, 12);
    EXPECT_EQ(std::string(buf, size_t(io.result)), reply.substr(0, size_t(io.result)));
    G.stream_close(s, 1);
}

TEST(GlueRead, EndsOfStreamAndTimeOut)
{
    struct Case {
        const char *name;
        vextest::FaultScript script;
        int read_ms;
        int result;
        int error;
    } cases[] = {
        {"closed with nothing", vextest::FaultScript().read_bytes(1).close(), 0, ASYNC_IO_CLOSED, 0},
        {"closed short of the minimum", vextest::FaultScript().read_bytes(1).send("abc").close(), 0, 3, 0},
        {"nothing within the time-out", vextest::FaultScript().hold(), 100, ASYNC_IO_FAILED, ETIMEDOUT},
        // The reset waits for our byte, so that it cannot beat the connect.
        {"reset", vextest::FaultScript().read_bytes(1).reset(), 0, ASYNC_IO_FAILED, ECONNRESET},
    };
    Engine e;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        vextest::FaultServer server;
        server.add(c.script);
        async_stream *s = connected(e, server.port());
        ASSERT_NE(s, nullptr);
        G.read_timeout(s, c.read_ms);
        ASSERT_EQ(G.write(s, "!", 1), 1);
        char buf[64];
        IoCtx io;
        ASSERT_EQ(G.read_async(s, buf, sizeof buf, 12, &io.result, e.disp, io_done, &io), 0);
        ASSERT_TRUE(io.done.wait(1));
        EXPECT_EQ(io.result, c.result);
        if (c.error) {
            EXPECT_EQ(G.last_error(e.disp), c.error);
            EXPECT_EQ(G.stream_error(s), c.error);
        }
        G.stream_close(s, 1);
    }
}

TEST(GlueWrite, LargeWriteArrivesWhole)
{
    const int kSize = 4 << 20;  // far beyond the socket buffers
    vextest::FaultServer server;
    server.add(vextest::FaultScript().read_bytes(kSize).send("ok").hold());
    Engine e;
    async_stream *s = connected(e, server.port());
    ASSERT_NE(s, nullptr);
    std::string data(size_t(kSize), 'x');
    IoCtx w;
    ASSERT_EQ(G.write_async(s, data.data(), kSize, &w.result, e.disp, io_done, &w), 0);
    ASSERT_TRUE(w.done.wait(1, 20000));
    EXPECT_EQ(w.result, kSize);
    char buf[8];
    IoCtx r;
    ASSERT_EQ(G.read_async(s, buf, sizeof buf, 2, &r.result, e.disp, io_done, &r), 0);
    ASSERT_TRUE(r.done.wait(1));
    EXPECT_EQ(r.result, 2);
    G.stream_close(s, 1);
}

TEST(GlueSync, WrappedSocketReadsAndWrites)
{
    namespace L = vextest::ldap;
    vextest::FaultServer server;
    server.add(vextest::FaultScript().read_message().reply([](int id) {
        return L::message(id, L::bind_response(0));
    }).hold());
    Engine e;  // slot 17 needs a live engine for its TLS settings
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(server.port()));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    async_stream *s = G.stream_wrap(fd);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(G.wrapped(s, 1), 0);
    G.read_timeout(s, 2000);
    G.write_timeout(s, 2000);
    std::string bind = L::message(7, L::tlv(0x60, L::integer(0x02, 3) + L::octets("") + L::tlv(0x80, "")));
    EXPECT_EQ(G.write(s, bind.data(), int(bind.size())), int(bind.size()));
    char buf[64];
    int n = G.read(s, buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(L::message_id(std::string(buf, size_t(n))), 7);
    // The hold ends only when we go; a read now times out.
    G.read_timeout(s, 50);
    EXPECT_EQ(G.read(s, buf, sizeof buf), ASYNC_IO_FAILED);
    EXPECT_EQ(G.stream_error(s), ETIMEDOUT);
    G.stream_close(s, 1);  // closes fd too
}

TEST(GlueSync, NoEngineNoStream)
{
    EXPECT_EQ(G.stream_new(), nullptr);
    EXPECT_EQ(G.stream_wrap(0), nullptr);
}

// ---- TLS against the private slapd ----

class GlueTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        dir_ = vextest::Slapd::start({}, &why).release();
        if (!dir_)
            why_ = why;
        else
            std::printf("slapd with TLS started in %.3f s\n", dir_->start_seconds());
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    static vextest::Slapd *dir_;
    static std::string why_;
};
vextest::Slapd *GlueTls::dir_ = nullptr;
std::string GlueTls::why_;

TEST_F(GlueTls, VerificationAgainstTheGivenCa)
{
    ASSERT_NE(dir_, nullptr) << why_;
    struct Case {
        const char *name;
        std::string ca;
        int no_verify;
        const char *host;
        int ok;
        int error;
    } cases[] = {
        {"its own CA", dir_->ca_file(), 0, "localhost", 1, 0},
        {"by address", dir_->ca_file(), 0, "127.0.0.1", 1, 0},
        {"another CA", dir_->other_ca_file(), 0, "localhost", 0, HOSTKIT_ETLS_VERIFY},
        {"wrong host name", dir_->ca_file(), 0, "wrong.example", 0, HOSTKIT_ETLS_VERIFY},
        {"another CA, checks off", dir_->other_ca_file(), 1, "localhost", 1, 0},
    };
    namespace L = vextest::ldap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Engine e(1, c.ca.c_str(), c.no_verify);
        ASSERT_NE(e.disp, nullptr);
        async_stream *s = G.stream_new();
        G.read_timeout(s, 5000);
        G.write_timeout(s, 5000);
        ConnectCtx ctx;
        ASSERT_EQ(G.connect(s, "localhost", 9, dir_->tls_port(), &ctx.status, e.disp, connect_done, &ctx), 0);
        ASSERT_TRUE(ctx.done.wait(1));
        ASSERT_EQ(ctx.status, 0);
        EXPECT_EQ(G.tls_start(s, 0, c.host), c.ok);
        if (!c.ok) {
            EXPECT_EQ(G.stream_error(s), c.error);
        } else {
            EXPECT_EQ(G.tls_started(s, 0), 0);
            // An anonymous bind over the TLS stream, asynchronously.
            std::string bind = L::message(1, L::tlv(0x60, L::integer(0x02, 3) + L::octets("") + L::tlv(0x80, "")));
            IoCtx w, r;
            ASSERT_EQ(G.write_async(s, bind.data(), int(bind.size()), &w.result, e.disp, io_done, &w), 0);
            ASSERT_TRUE(w.done.wait(1));
            EXPECT_EQ(w.result, int(bind.size()));
            char buf[256];
            ASSERT_EQ(G.read_async(s, buf, sizeof buf, 14, &r.result, e.disp, io_done, &r), 0);
            ASSERT_TRUE(r.done.wait(1));
            ASSERT_GE(r.result, 14);
            std::string resp(buf, size_t(r.result));
            EXPECT_EQ(resp, L::message(1, L::bind_response(0)));
        }
        G.stream_close(s, 1);
    }
}

}  // namespace
