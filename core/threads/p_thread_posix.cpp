// The threads layer over POSIX threads: recursive pthread mutexes, one
// semaphore per waiter, thread_local words.
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>

#include "p_thread_platform.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(p_thread_lock_store), "pthread_mutex_t does not fit");
static_assert(alignof(pthread_mutex_t) <= alignof(p_thread_lock_store), "pthread_mutex_t alignment");

namespace {

pthread_mutex_t *native(p_thread_lock_store *store) { return reinterpret_cast<pthread_mutex_t *>(store->u.bytes); }

std::atomic<int> mutex_setup_entry{0};

std::atomic_ref<uint32_t> flag(p_thread_mutex_t *mutex) { return std::atomic_ref<uint32_t>(mutex->initialized); }

void init_recursive(p_thread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(native(&mutex->lock), &attr);
    pthread_mutexattr_destroy(&attr);
}

[[gnu::noinline]] void first_use(p_thread_mutex_t *mutex)
{
    p_thread_init_once(mutex_setup_entry, mutex->initialized, 1, [mutex] { init_recursive(mutex); });
}

thread_local uintptr_t tls_words[p_thread_plat::TLS_WORDS];

struct thread_gate {
    sem_t go;
    void *start_record;
};

void *thread_main(void *gate_ptr)
{
    auto *gate = static_cast<thread_gate *>(gate_ptr);
    while (sem_wait(&gate->go) != 0) {
    }
    void *rec = gate->start_record;
    sem_destroy(&gate->go);
    std::free(gate);
    p_thread_run(rec);
    return nullptr;
}

}  // namespace

// ---- mutexes ----

extern "C" int p_thread_mutex_init(p_thread_mutex_t *mutex, const void *)
{
    p_thread_init();
    if (!mutex)
        return 22;
    init_recursive(mutex);
    flag(mutex).store(1, std::memory_order_release);
    return 0;
}

extern "C" int p_thread_mutex_destroy(p_thread_mutex_t *mutex)
{
    p_thread_init();
    if (!mutex)
        return 22;
    if (flag(mutex).load(std::memory_order_acquire) != 0)
        pthread_mutex_destroy(native(&mutex->lock));
    // A destroyed mutex is fresh storage again rather than a trap.
    flag(mutex).store(0, std::memory_order_release);
    return 0;
}

extern "C" int p_thread_mutex_lock(p_thread_mutex_t *mutex)
{
    if (__builtin_expect(!mutex, 0))
        return 22;
    if (__builtin_expect(flag(mutex).load(std::memory_order_acquire) == 0, 0))
        first_use(mutex);
    return pthread_mutex_lock(native(&mutex->lock));
}

extern "C" int p_thread_mutex_unlock(p_thread_mutex_t *mutex)
{
    if (__builtin_expect(!mutex, 0))
        return 22;
    if (__builtin_expect(flag(mutex).load(std::memory_order_acquire) == 0, 0))
        return 1;  // never locked by anyone
    // A recursive pthread mutex refuses a thread that does not hold it with
    // EPERM, which is 1.
    static_assert(EPERM == 1);
    return pthread_mutex_unlock(native(&mutex->lock));
}

extern "C" int p_thread_mutex_trylock(p_thread_mutex_t *mutex)
{
    if (__builtin_expect(!mutex, 0))
        return 22;
    if (__builtin_expect(flag(mutex).load(std::memory_order_acquire) == 0, 0))
        first_use(mutex);
    return pthread_mutex_trylock(native(&mutex->lock)) == 0 ? 0 : 16;
}

namespace p_thread_plat {

// Internal locks guard a few pointer moves: spinning briefly before sleeping
// beats a futex round trip when two threads meet there.
void lock_init(p_thread_lock_store *lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(native(lock), &attr);
    pthread_mutexattr_destroy(&attr);
}
void lock_destroy(p_thread_lock_store *lock) { pthread_mutex_destroy(native(lock)); }
void lock_enter(p_thread_lock_store *lock) { pthread_mutex_lock(native(lock)); }
void lock_leave(p_thread_lock_store *lock) { pthread_mutex_unlock(native(lock)); }

// Only one set is ever outstanding per wait (the signaller takes the record
// out of the queue), so a semaphore is an event whose reset drains it.
struct event {
    sem_t sem;
};

event *event_create()
{
    auto *ev = static_cast<event *>(std::malloc(sizeof(event)));
    if (ev && sem_init(&ev->sem, 0, 0) != 0) {
        std::free(ev);
        ev = nullptr;
    }
    return ev;
}

void event_destroy(event *ev)
{
    sem_destroy(&ev->sem);
    std::free(ev);
}

void event_set(event *ev) { sem_post(&ev->sem); }

void event_reset(event *ev)
{
    while (sem_trywait(&ev->sem) == 0) {
    }
}

bool event_wait(event *ev, int64_t ms)
{
    if (ms < 0) {
        while (sem_wait(&ev->sem) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    // sem_timedwait takes calendar time, like the deadlines it serves.
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_timedwait(&ev->sem, &until) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void tls_setup() {}
uintptr_t tls_get(tls_word word) { return tls_words[word]; }
void tls_set(tls_word word, uintptr_t value) { tls_words[word] = value; }

bool thread_start(uintptr_t *handle, size_t stack_size, bool, int, bool detached, void *start_record)
{
    // Linux's default scheduler has no relative thread priorities; the
    // attribute's priority is kept but has no effect here.
    auto *gate = static_cast<thread_gate *>(std::malloc(sizeof(thread_gate)));
    if (!gate)
        return false;
    sem_init(&gate->go, 0, 0);
    gate->start_record = start_record;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_size != 0)
        pthread_attr_setstacksize(&attr, stack_size);
    if (detached)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, thread_main, gate);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        sem_destroy(&gate->go);
        std::free(gate);
        return false;
    }
    *handle = detached ? 0 : static_cast<uintptr_t>(thread);
    sem_post(&gate->go);
    return true;
}

void thread_join(uintptr_t handle) { pthread_join(static_cast<pthread_t>(handle), nullptr); }

void thread_release(uintptr_t handle) { pthread_detach(static_cast<pthread_t>(handle)); }

void thread_exit(void *value) { pthread_exit(value); }

void yield() { sched_yield(); }

void sleep_ms(uint64_t ms)
{
    timespec left{};
    uint64_t max_sec = static_cast<uint64_t>(INT32_MAX);
    left.tv_sec = static_cast<time_t>(ms / 1000 > max_sec ? max_sec : ms / 1000);
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace p_thread_plat
