// Condition variables and read-write locks, over p_thread_platform.h.
//
// A condition variable is a queue of waiter records, each with an event of
// its own: signal takes the head of the queue and sets its event, so waiters
// wake in the order they arrived and only when a signal chose them.
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "p_thread_platform.h"
#include "vex_clock.h"

namespace plat = p_thread_plat;

struct p_thread_waiter {
    p_thread_waiter *next;
    plat::event *event;
    bool queued;  // in the wait queue; cleared by the signal that takes it out
};

namespace {

constexpr uint32_t cond_valid = 0xbb1fe89;
// Deadlines further out than this wait this long (about 68 years).
constexpr int64_t max_wait_ms = int64_t{INT32_MAX} * 1000;

std::atomic<int> cond_setup_entry{0};

std::atomic_ref<uint32_t> mark(p_thread_cond_t *cond) { return std::atomic_ref<uint32_t>(cond->valid); }

p_thread_waiter *new_waiter()
{
    auto *w = static_cast<p_thread_waiter *>(std::calloc(1, sizeof(p_thread_waiter)));
    if (!w)
        return nullptr;
    w->event = plat::event_create();
    if (!w->event) {
        std::free(w);
        return nullptr;
    }
    return w;
}

void setup_cond(p_thread_cond_t *cond)
{
    plat::lock_init(&cond->queue_lock);
    cond->head = cond->tail = nullptr;
    cond->records_out = 0;
    // Without a first record the first wait makes one, or reports the shortage.
    cond->free_list = new_waiter();
}

// 0 when the condition variable is ready for use, else -1 with errno 22.
int ready(p_thread_cond_t *cond)
{
    if (!cond) {
        errno = 22;
        return -1;
    }
    uint32_t m = mark(cond).load(std::memory_order_acquire);
    if (m == cond_valid)
        return 0;
    if (m != 0) {
        errno = 22;
        return -1;
    }
    p_thread_init_once(cond_setup_entry, cond->valid, cond_valid, [cond] { setup_cond(cond); });
    return 0;
}

void unqueue(p_thread_cond_t *cond, p_thread_waiter *w)
{
    p_thread_waiter *prev = nullptr;
    for (p_thread_waiter *at = cond->head; at; prev = at, at = at->next) {
        if (at != w)
            continue;
        if (prev)
            prev->next = w->next;
        else
            cond->head = w->next;
        if (cond->tail == w)
            cond->tail = prev;
        break;
    }
    w->queued = false;
}

// ms < 0: no limit. Returns 0, 60 (time ran out) or -1 with errno.
int wait_on(p_thread_cond_t *cond, p_thread_mutex_t *mutex, int64_t ms)
{
    plat::lock_enter(&cond->queue_lock);
    p_thread_waiter *w = cond->free_list;
    if (w) {
        cond->free_list = w->next;
    } else if (!(w = new_waiter())) {
        plat::lock_leave(&cond->queue_lock);
        errno = 12;
        return -1;
    }
    ++cond->records_out;
    w->next = nullptr;
    w->queued = true;
    if (cond->tail)
        cond->tail->next = w;
    else
        cond->head = w;
    cond->tail = w;
    plat::lock_leave(&cond->queue_lock);
    // Queued before the mutex is let go: a signal sent by whoever takes the
    // mutex next finds this waiter. (Let go after the queue lock, which then
    // is not held across the mutex's wake-up of a thread waiting for it.)
    p_thread_mutex_unlock(mutex);

    bool woken = plat::event_wait(w->event, ms);

    // The record is given back before the mutex is taken again, so a thread
    // that destroys the condition variable while holding the mutex never
    // waits on us.
    plat::lock_enter(&cond->queue_lock);
    if (w->queued) {
        unqueue(cond, w);
    } else if (!woken) {
        // A signal chose us as the time ran out. Its set is on its way (it is
        // sent after the queue lock is let go); take it, so the record goes
        // back clean and the wake-up is not lost.
        plat::event_wait(w->event, -1);
        woken = true;
    }
    plat::event_reset(w->event);
    w->next = cond->free_list;
    cond->free_list = w;
    --cond->records_out;
    plat::lock_leave(&cond->queue_lock);

    p_thread_mutex_lock(mutex);
    return woken ? 0 : 60;
}

}  // namespace

extern "C" int p_thread_cond_init(p_thread_cond_t *cond, const void *)
{
    p_thread_init();
    if (!cond) {
        errno = 22;
        return -1;
    }
    setup_cond(cond);
    mark(cond).store(cond_valid, std::memory_order_release);
    return 0;
}

extern "C" int p_thread_cond_destroy(p_thread_cond_t *cond)
{
    p_thread_init();
    if (!cond || mark(cond).load(std::memory_order_acquire) != cond_valid) {
        errno = 22;
        return -1;
    }
    for (;;) {
        plat::lock_enter(&cond->queue_lock);
        if (cond->head) {
            plat::lock_leave(&cond->queue_lock);
            errno = 16;
            return -1;
        }
        // Threads already woken still hand their records back; that needs
        // only the queue lock, so this wait is short.
        if (cond->records_out == 0)
            break;
        plat::lock_leave(&cond->queue_lock);
        plat::yield();
    }
    while (p_thread_waiter *w = cond->free_list) {
        cond->free_list = w->next;
        plat::event_destroy(w->event);
        std::free(w);
    }
    plat::lock_leave(&cond->queue_lock);
    plat::lock_destroy(&cond->queue_lock);
    mark(cond).store(0, std::memory_order_release);
    return 0;
}

extern "C" int p_thread_cond_signal(p_thread_cond_t *cond)
{
    p_thread_init();
    if (ready(cond) != 0)
        return -1;
    plat::lock_enter(&cond->queue_lock);
    p_thread_waiter *w = cond->head;
    if (w) {
        cond->head = w->next;
        if (!cond->head)
            cond->tail = nullptr;
        w->queued = false;
    }
    plat::lock_leave(&cond->queue_lock);
    // Set outside the queue lock, so the woken thread does not run into it.
    // The record stays ours until then: its owner cannot give it back before
    // the set arrives.
    if (w)
        plat::event_set(w->event);
    return 0;
}

extern "C" int p_thread_cond_broadcast(p_thread_cond_t *cond)
{
    p_thread_init();
    if (ready(cond) != 0)
        return -1;
    plat::lock_enter(&cond->queue_lock);
    p_thread_waiter *w = cond->head;
    for (p_thread_waiter *at = w; at; at = at->next)
        at->queued = false;
    cond->head = cond->tail = nullptr;
    plat::lock_leave(&cond->queue_lock);
    while (w) {
        // Read before the set: once woken, the owner reuses the link.
        p_thread_waiter *next = w->next;
        plat::event_set(w->event);
        w = next;
    }
    return 0;
}

extern "C" int p_thread_cond_wait(p_thread_cond_t *cond, p_thread_mutex_t *mutex)
{
    p_thread_init();
    if (ready(cond) != 0)
        return -1;
    if (!mutex) {
        errno = 22;
        return -1;
    }
    return wait_on(cond, mutex, -1);
}

extern "C" int p_thread_cond_timedwait(p_thread_cond_t *cond, p_thread_mutex_t *mutex,
                                       const p_thread_timespec_t *deadline)
{
    p_thread_init();
    if (ready(cond) != 0)
        return -1;
    if (!mutex || !deadline) {
        errno = 22;
        return -1;
    }
    // Whole seconds on both sides: a deadline expires between its exact time
    // and one second later, and at once when its second has come.
    int64_t now = vex_clock_now();
    int64_t ms = 0;
    if (deadline->tv_sec > now) {
        int64_t seconds = deadline->tv_sec - now;
        ms = seconds > max_wait_ms / 1000 ? max_wait_ms : seconds * 1000;
    }
    return wait_on(cond, mutex, ms);
}

// ---- read-write locks ----

extern "C" int p_thread_rwlock_init(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    rw->readers = rw->writers = 0;
    rw->mode = 0;
    int rc = p_thread_mutex_init(&rw->mutex, nullptr);
    if (rc != 0)
        return rc;
    if ((rc = p_thread_cond_init(&rw->readers_cond, nullptr)) != 0) {
        p_thread_mutex_destroy(&rw->mutex);
        return rc;
    }
    if ((rc = p_thread_cond_init(&rw->writers_cond, nullptr)) != 0) {
        p_thread_cond_destroy(&rw->readers_cond);
        p_thread_mutex_destroy(&rw->mutex);
        return rc;
    }
    return 0;
}

extern "C" int p_thread_rwlock_destroy(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    int rc = p_thread_mutex_destroy(&rw->mutex);
    int rc_readers = p_thread_cond_destroy(&rw->readers_cond);
    int rc_writers = p_thread_cond_destroy(&rw->writers_cond);
    rw->readers = rw->writers = 0;
    rw->mode = 0;
    if (rc == 0)
        rc = rc_readers;
    if (rc == 0)
        rc = rc_writers;
    return rc;
}

extern "C" int p_thread_rwlock_rdlock(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    p_thread_mutex_lock(&rw->mutex);
    while (rw->writers > 0) {
        int rc = p_thread_cond_wait(&rw->readers_cond, &rw->mutex);
        if (rc != 0) {
            p_thread_mutex_unlock(&rw->mutex);
            return rc;
        }
    }
    ++rw->readers;
    rw->mode = 1;
    p_thread_mutex_unlock(&rw->mutex);
    return 0;
}

extern "C" int p_thread_rwlock_wrlock(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    p_thread_mutex_lock(&rw->mutex);
    ++rw->writers;
    while (rw->readers > 0 || rw->mode == 2) {
        int rc = p_thread_cond_wait(&rw->writers_cond, &rw->mutex);
        if (rc != 0) {
            // No longer waiting: readers must not stay shut out by us.
            --rw->writers;
            p_thread_mutex_unlock(&rw->mutex);
            return rc;
        }
    }
    rw->mode = 2;
    p_thread_mutex_unlock(&rw->mutex);
    return 0;
}

extern "C" int p_thread_rwlock_tryrdlock(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    int rc = p_thread_mutex_trylock(&rw->mutex);
    if (rc != 0)
        return rc;
    if (rw->writers > 0) {
        rc = 16;
    } else {
        ++rw->readers;
        rw->mode = 1;
    }
    p_thread_mutex_unlock(&rw->mutex);
    return rc;
}

extern "C" int p_thread_rwlock_trywrlock(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    int rc = p_thread_mutex_trylock(&rw->mutex);
    if (rc != 0)
        return rc;
    if (rw->writers > 0 || rw->readers > 0) {
        rc = 16;
    } else {
        rw->mode = 2;
        rw->writers = 1;
    }
    p_thread_mutex_unlock(&rw->mutex);
    return rc;
}

extern "C" int p_thread_rwlock_unlock(p_thread_rwlock_t *rw)
{
    if (!rw)
        return 22;
    p_thread_mutex_lock(&rw->mutex);
    enum { none, one_writer, all_readers } wake = none;
    if (rw->mode == 1) {
        if (rw->readers > 0 && --rw->readers == 0) {
            rw->mode = 0;
            wake = one_writer;
        }
    } else if (rw->mode == 2) {
        if (rw->writers > 0)
            --rw->writers;
        rw->mode = 0;
        wake = rw->writers > 0 ? one_writer : all_readers;
    }
    p_thread_mutex_unlock(&rw->mutex);
    if (wake == one_writer)
        return p_thread_cond_signal(&rw->writers_cond);
    if (wake == all_readers)
        return p_thread_cond_broadcast(&rw->readers_cond);
    return 0;
}
