// Engines, dispatchers and handles, timers, cookies and blocks of hostkit's
// socket context, and the context's table itself.
#include "glue_internal.h"

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>

namespace hostkit {

namespace {

std::mutex g_engines_mu;
std::list<EngineCore *> g_engines;  // oldest first
std::atomic<intptr_t> g_next_cookie{ASYNC_COOKIE_MIN};
thread_local bool t_engine_thread = false;

// A block is a head followed by the caller's bytes; the head keeps what
// completion needs.
struct BlockHead {
    async_glue_fn callback;
    void *arg;
    async_glue_event_fn event;
    size_t size;
};
constexpr size_t kHeadRoom =
    (sizeof(BlockHead) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

BlockHead *head_of(void *payload)
{
    return reinterpret_cast<BlockHead *>(static_cast<unsigned char *>(payload) - kHeadRoom);
}

void free_block(void *payload)
{
    if (payload)
        std::free(static_cast<unsigned char *>(payload) - kHeadRoom);
}

// Owns a block that has left its dispatcher's list until the closure that
// completes it has run, or is destroyed unrun with its engine.
struct BlockOwner {
    void *payload = nullptr;
    explicit BlockOwner(void *p) : payload(p) {}
    BlockOwner(BlockOwner &&o) noexcept : payload(o.payload) { o.payload = nullptr; }
    BlockOwner(const BlockOwner &) = delete;
    ~BlockOwner() { free_block(payload); }
};

void forget_cookies_locked(Disp &d, void *payload)
{
    for (auto it = d.cookie_owner.begin(); it != d.cookie_owner.end();) {
        if (it->second == payload)
            it = d.cookie_owner.erase(it);
        else
            ++it;
    }
}

bool user_slot(void *payload)
{
    return head_of(payload)->size == ASYNC_USER_SLOT_SIZE;
}

// Takes every block off a dispatcher that is going away and tells each
// owner why, on the calling thread: the owner may be freeing the very record
// the event function writes to.
void drain_blocks(Disp &d, intptr_t why)
{
    std::vector<void *> blocks;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        blocks.swap(d.blocks);
        d.cookie_owner.clear();
    }
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        BlockHead *h = head_of(*it);
        if (h->event)
            h->event(*it, why);
        free_block(*it);
    }
    d.idle.notify_all();
}

std::shared_ptr<Disp> make_disp(EngineCore *e)
{
    auto d = std::make_shared<Disp>();
    d->engine = e;
    std::lock_guard<std::mutex> lock(e->mu);
    if (e->dead)
        return nullptr;
    d->strand.emplace(asio::make_strand(e->io));
    d->timer.emplace(e->io);
    e->disps.push_back(d);
    // Drop registry entries of dispatchers already gone, so that a long-lived
    // engine making many handles does not grow without bound.
    if (e->disps.size() > 64 && e->disps.size() % 64 == 0)
        e->disps.erase(std::remove_if(e->disps.begin(), e->disps.end(),
                                      [](const std::weak_ptr<Disp> &w) { return w.expired(); }),
                       e->disps.end());
    return d;
}

GDisp *new_gdisp(async_engine *engine)
{
    if (!engine || !engine->core)
        return nullptr;
    std::shared_ptr<Disp> d = make_disp(engine->core.get());
    if (!d)
        return nullptr;
    auto *g = new (std::nothrow) GDisp{d};
    if (g)
        d->handle = g;
    return g;
}

// ---- slots ----

async_engine *disp_engine(GDisp *disp)
{
    if (!disp)
        return nullptr;
    std::lock_guard<std::mutex> lock(disp->d->mu);
    return disp->d->engine ? disp->d->engine->handle : nullptr;
}

void handle_release(GDisp *handle)
{
    if (!handle)
        return;
    std::shared_ptr<Disp> d = handle->d;
    {
        std::lock_guard<std::mutex> lock(d->mu);
        d->released = true;
        d->timer_armed = false;
        ++d->timer_gen;
        if (d->timer)
            d->timer->cancel();
    }
    drain_blocks(*d, ASYNC_EVENT_RELEASED);
    delete handle;
}

int schedule(GDisp *disp, async_glue_fn fn, void *arg)
{
    if (!disp || !fn)
        return -1;
    std::shared_ptr<Disp> t = disp->d->target();
    // The function belongs to `disp`: it is dropped when `disp` goes, even if
    // it runs on the dispatcher `disp` is attached to.
    std::shared_ptr<Disp> owner = disp->d;
    return t->post([owner, fn, arg](bool run) {
        if (run && owner->alive())
            fn(arg);
    }) ? 0 : -1;
}

int timer(GDisp *handle, int32_t ms, async_glue_fn fn, void *arg)
{
    if (!handle || !fn || ms < 0)
        return -1;
    std::shared_ptr<Disp> h = handle->d;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->released || h->dead || !h->timer)
        return -1;
    uint64_t gen = ++h->timer_gen;
    h->timer_armed = true;
    h->timer->expires_after(std::chrono::milliseconds(ms));
    h->timer->async_wait([h, gen, fn, arg](const asio::error_code &ec) {
        if (ec)
            return;  // cancelled or re-armed; the generation says which
        std::shared_ptr<Disp> t = h->target();
        t->post([h, t, gen, fn, arg](bool run) {
            {
                std::lock_guard<std::mutex> l(h->mu);
                if (!run || h->released || h->timer_gen != gen || !h->timer_armed)
                    return;
                h->timer_armed = false;
            }
            // Connects on this dispatcher lose the race against the timer:
            // their status is already 1 when the timer's function looks.
            t->abandon_connects();
            fn(arg);
        });
    });
    return 0;
}

int last_error(GDisp *disp)
{
    if (!disp)
        return 0;
    std::lock_guard<std::mutex> lock(disp->d->mu);
    return disp->d->last_error;
}

void *block(GDisp *disp, size_t size, async_glue_fn callback, void *arg, async_glue_event_fn event)
{
    if (!disp || size == 0 || size > (size_t(1) << 30))
        return nullptr;
    // A user slot of four bytes must still hold a pointer on 64-bit hosts.
    size_t room = std::max(size, sizeof(void *));
    auto *raw = static_cast<unsigned char *>(std::calloc(1, kHeadRoom + room));
    if (!raw)
        return nullptr;
    auto *h = reinterpret_cast<BlockHead *>(raw);
    h->callback = callback;
    h->arg = arg;
    h->event = event;
    h->size = size;
    void *payload = raw + kHeadRoom;
    std::lock_guard<std::mutex> lock(disp->d->mu);
    if (disp->d->released || disp->d->dead) {
        std::free(raw);
        return nullptr;
    }
    disp->d->blocks.push_back(payload);
    return payload;
}

int complete_block(GDisp *disp, bool dispose)
{
    if (!disp)
        return -1;
    std::shared_ptr<Disp> d = disp->d;
    void *payload;
    {
        std::lock_guard<std::mutex> lock(d->mu);
        if (d->blocks.empty())
            return -1;
        payload = d->blocks.back();
        d->blocks.pop_back();
        forget_cookies_locked(*d, payload);
    }
    // Committed completions run even if the dispatcher is released before
    // they get their turn: the owner already counts on its callback.
    bool posted = d->target()->post(
        [d, owner = BlockOwner(payload), dispose](bool) mutable {
            BlockHead *h = head_of(owner.payload);
            if (h->callback)
                h->callback(h->arg);
            if (dispose && h->event)
                h->event(owner.payload, ASYNC_EVENT_DISPOSE);
        },
        true);
    d->idle.notify_all();
    return posted ? 0 : -1;
}

int complete(GDisp *disp)
{
    return complete_block(disp, false);
}

int complete_dispose(GDisp *disp)
{
    return complete_block(disp, true);
}

int cookie(GDisp *target, intptr_t value)
{
    if (!target)
        return -1;
    std::shared_ptr<Disp> d = target->d;
    void *owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(d->mu);
        if (d->timer_armed) {
            d->timer_armed = false;
            ++d->timer_gen;
            d->timer->cancel();
            return 0;
        }
        auto it = d->cookie_owner.find(value);
        if (it != d->cookie_owner.end())
            owner = it->second;
    }
    return d->target()->post([d, owner, value](bool run) {
        if (!run)
            return;
        async_glue_event_fn event = nullptr;
        void *to = nullptr;
        {
            std::lock_guard<std::mutex> l(d->mu);
            if (d->released)
                return;
            if (owner) {
                if (std::find(d->blocks.begin(), d->blocks.end(), owner) == d->blocks.end())
                    return;  // its block completed meanwhile
                to = owner;
            } else {
                for (auto it = d->blocks.rbegin(); it != d->blocks.rend(); ++it)
                    if (head_of(*it)->event && !user_slot(*it)) {
                        to = *it;
                        break;
                    }
            }
            if (to)
                event = head_of(to)->event;
        }
        if (event)
            event(to, value);
    }) ? 0 : -1;
}

intptr_t cookie_new(GDisp *disp)
{
    intptr_t c = g_next_cookie.fetch_add(1);
    if (!disp)
        return c;
    std::lock_guard<std::mutex> lock(disp->d->mu);
    for (auto it = disp->d->blocks.rbegin(); it != disp->d->blocks.rend(); ++it)
        if (head_of(*it)->event && !user_slot(*it)) {
            disp->d->cookie_owner[c] = *it;
            break;
        }
    return c;
}

int attach(GDisp *disp, GDisp *handle)
{
    if (!disp || !handle)
        return -1;
    std::lock_guard<std::mutex> lock(handle->d->mu);
    if (handle->d->released)
        return -1;
    if (disp == handle)
        handle->d->attached.reset();
    else
        handle->d->attached = disp->d;
    return 0;
}

GDisp *handle_new(async_engine *engine)
{
    return new_gdisp(engine);
}

const async_glue g_glue = {
    ASYNC_SOCKETCTX_LABEL_COMPAT,
    disp_engine,            // 1
    handle_new,             // 2
    handle_release,         // 3
    nullptr,                // 4
    schedule,               // 5
    timer,                  // 6
    nullptr,                // 7
    last_error,             // 8
    block,                  // 9
    complete,               // 10
    complete_dispose,       // 11
    cookie,                 // 12
    cookie_new,             // 13
    attach,                 // 14
    nullptr,                // 15
    stream_new,             // 16
    stream_wrap,            // 17
    stream_close,           // 18
    stream_read_timeout,    // 19
    stream_write_timeout,   // 20
    nullptr,                // 21
    nullptr,                // 22
    nullptr,                // 23
    stream_connect,         // 24
    nullptr,                // 25
    nullptr,                // 26
    nullptr,                // 27
    stream_write_async,     // 28
    stream_read_async,      // 29
    stream_write,           // 30
    stream_read,            // 31
    nullptr,                // 32
    nullptr,                // 33
    nullptr,                // 34
    nullptr,                // 35
    stream_hook,            // 36
    nullptr,                // 37
    nullptr,                // 38
    nullptr,                // 39
    nullptr,                // 40
    stream_tls_start,       // 41
    stream_hook,            // 42
    stream_error,           // 43
    error_text,             // 44
};

}  // namespace

WorkToken::WorkToken(std::shared_ptr<Disp> d) : d_(std::move(d))
{
    // Taken under the dispatcher's lock by Disp::post; other users take it
    // themselves.
    ++d_->pending;
}

WorkToken WorkToken::acquire(std::shared_ptr<Disp> d)
{
    std::lock_guard<std::mutex> lock(d->mu);
    return WorkToken(d);
}

WorkToken::~WorkToken()
{
    if (!d_)
        return;
    {
        std::lock_guard<std::mutex> lock(d_->mu);
        --d_->pending;
    }
    d_->idle.notify_all();
}

std::shared_ptr<Disp> Disp::target()
{
    std::lock_guard<std::mutex> lock(mu);
    if (std::shared_ptr<Disp> t = attached.lock()) {
        std::lock_guard<std::mutex> l(t->mu);
        if (!t->released && !t->dead)
            return t;
    }
    return shared_from_this();
}

SSL_CTX *default_tls(bool *verify)
{
    std::lock_guard<std::mutex> lock(g_engines_mu);
    if (g_engines.empty())
        return nullptr;
    EngineCore *e = g_engines.front();
    SSL_CTX_up_ref(e->tls);
    *verify = e->verify;
    return e->tls;
}

bool register_stream(EngineCore *e, const std::shared_ptr<StreamCore> &s)
{
    std::lock_guard<std::mutex> lock(e->mu);
    if (e->dead)
        return false;
    e->streams.push_back(s);
    if (e->streams.size() > 64 && e->streams.size() % 64 == 0)
        e->streams.erase(std::remove_if(e->streams.begin(), e->streams.end(),
                                        [](const std::weak_ptr<StreamCore> &w) { return w.expired(); }),
                         e->streams.end());
    return true;
}

bool on_engine_thread()
{
    return t_engine_thread;
}

}  // namespace hostkit

using namespace hostkit;

extern "C" {

const async_glue *hostkit_glue(void)
{
    return &g_glue;
}

async_engine *hostkit_engine_new(const hostkit_engine_config *config)
{
    hostkit_engine_config cfg{};
    if (config)
        cfg = *config;
    int threads = cfg.threads > 0 ? cfg.threads : 1;
    if (threads > 256)
        return nullptr;

    SSL_CTX *tls = SSL_CTX_new(TLS_client_method());
    if (!tls)
        return nullptr;
    SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION);
    // A peer that drops the connection without close_notify is an ordinary
    // end of stream for a directory client.
    SSL_CTX_set_options(tls, SSL_OP_IGNORE_UNEXPECTED_EOF);
    int loaded = (cfg.ca_file || cfg.ca_dir) ? SSL_CTX_load_verify_locations(tls, cfg.ca_file, cfg.ca_dir)
                                             : SSL_CTX_set_default_verify_paths(tls);
    if (loaded != 1) {
        ERR_clear_error();
        SSL_CTX_free(tls);
        return nullptr;
    }

    auto *engine = new (std::nothrow) async_engine;
    if (!engine) {
        SSL_CTX_free(tls);
        return nullptr;
    }
    engine->core = std::make_unique<EngineCore>();
    EngineCore *e = engine->core.get();
    e->tls = tls;
    e->verify = cfg.no_verify == 0;
    e->handle = engine;
    e->guard.emplace(asio::make_work_guard(e->io));
    for (int i = 0; i < threads; ++i)
        e->threads.emplace_back([e] {
            t_engine_thread = true;
            e->io.run();
        });
    std::lock_guard<std::mutex> lock(g_engines_mu);
    g_engines.push_back(e);
    return engine;
}

void hostkit_engine_destroy(async_engine *engine)
{
    if (!engine)
        return;
    EngineCore *e = engine->core.get();
    {
        std::lock_guard<std::mutex> lock(g_engines_mu);
        g_engines.remove(e);
    }
    e->guard.reset();
    e->io.stop();
    for (auto &t : e->threads)
        t.join();

    std::vector<std::shared_ptr<Disp>> disps;
    std::vector<std::shared_ptr<StreamCore>> streams;
    {
        std::lock_guard<std::mutex> lock(e->mu);
        e->dead = true;
        for (auto &w : e->disps)
            if (auto d = w.lock())
                disps.push_back(d);
        for (auto &w : e->streams)
            if (auto s = w.lock())
                streams.push_back(s);
    }
    // Asio objects must go before their io_context does.
    for (auto &d : disps) {
        std::lock_guard<std::mutex> lock(d->mu);
        d->dead = true;
        d->engine = nullptr;
        d->timer_armed = false;
        d->timer.reset();
        d->strand.reset();
    }
    for (auto &s : streams)
        detach_stream(*s);
    for (auto &d : disps)
        drain_blocks(*d, ASYNC_EVENT_SHUTDOWN);
    disps.clear();
    streams.clear();
    SSL_CTX_free(e->tls);
    // Destroying the io_context destroys the handlers still queued, and with
    // them their references to dispatchers, streams and operations.
    delete engine;
}

GDisp *hostkit_dispatcher_new(async_engine *engine)
{
    return new_gdisp(engine);
}

void hostkit_dispatcher_release(GDisp *disp)
{
    handle_release(disp);
}

int hostkit_dispatcher_wait(GDisp *disp, int timeout_ms)
{
    if (!disp || on_engine_thread())
        return -1;
    std::shared_ptr<Disp> d = disp->d;
    std::unique_lock<std::mutex> lock(d->mu);
    auto idle = [&] { return d->dead || (d->blocks.empty() && d->pending == 0); };
    if (timeout_ms < 0) {
        d->idle.wait(lock, idle);
        return 0;
    }
    return d->idle.wait_for(lock, std::chrono::milliseconds(timeout_ms), idle) ? 0 : -1;
}

}  // extern "C"
