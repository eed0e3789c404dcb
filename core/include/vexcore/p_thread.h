/* p_thread: libvexcore's portable threads layer, shaped after POSIX threads.
 *
 * Error conventions (two, by function):
 * - Threads, attributes, keys, mutexes and read-write locks return 0 or an
 *   error number: 22 invalid argument or object, 16 busy, 48 unsupported,
 *   12 out of memory, 11 when the platform cannot start a thread.
 * - p_thread_join, w_p_thread_detach and the condition-variable functions
 *   return 0 or -1 and then leave the error number (22, 16, 12) in errno;
 *   p_thread_cond_timedwait returns 60 when its deadline passed.
 *
 * Objects: all-zero storage is a usable, unlocked mutex and a usable
 * condition variable; both initialise themselves exactly once on first use,
 * even when several threads reach them at the same moment. Mutexes are
 * recursive. Condition variables wake waiters in the order they began to
 * wait and never return without a signal, a broadcast or (timed wait) the
 * deadline. Deadlines are absolute calendar seconds; nanoseconds are ignored.
 * Read-write locks prefer writers: a waiting writer keeps new readers out.
 *
 * Ownership: a p_thread_t belongs to the layer; it is freed by p_thread_join
 * (joinable thread) or by the thread itself when it ends (detached thread).
 * Thread-specific values are the caller's; a key's destructor runs at most
 * once per thread, newest key first, when the thread ends through
 * p_thread_exit or by returning from its start routine.
 *
 * Threading: every function may be called from any thread at any time; the
 * layer sets itself up on first use. */
#ifndef VEXCORE_P_THREAD_H
#define VEXCORE_P_THREAD_H

#include <stddef.h>
#include <stdint.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

#if defined(__GNUC__)
#  define P_THREAD_NORETURN __attribute__((noreturn))
#else
#  define P_THREAD_NORETURN
#endif

/* A thread object, owned by the layer. */
typedef struct p_thread_obj *p_thread_t;

/* Thread attributes; the first word is 0x8675309 while initialised. */
typedef struct p_thread_attr {
    uint32_t valid;
    int32_t detachstate;  /* 0 joinable, anything else detached */
    int32_t inheritsched; /* kept and returned, no other effect */
    int32_t priority;     /* relative platform priority, 0 = normal */
    size_t stacksize;     /* bytes; 0 = the platform's default */
} p_thread_attr_t;

struct p_thread_sched_param {
    int sched_priority;
};

/* Seconds and nanoseconds; laid out as struct timespec on the supported targets. */
typedef struct p_thread_timespec {
    int64_t tv_sec;
    long tv_nsec;
} p_thread_timespec_t;

typedef int p_thread_key_t;  /* index in the layer's key table */
typedef int p_thread_once_t; /* 0 before the routine ran, 1 after */

/* Room for the platform's own lock (critical section or pthread mutex). */
typedef struct p_thread_lock_store {
    union {
        void *align_pointer;
        long long align_word;
        unsigned char bytes[40];
    } u;
} p_thread_lock_store;

/* A recursive mutex; all-zero storage is a valid, unlocked mutex. */
typedef struct p_thread_mutex {
    p_thread_lock_store lock;
    uint32_t initialized; /* 0 not yet, 1 initialised */
} p_thread_mutex_t;

typedef struct p_thread_waiter p_thread_waiter;

/* A FIFO condition variable; all-zero storage is a valid one. */
typedef struct p_thread_cond {
    uint32_t valid;            /* 0xbb1fe89 while initialised, else 0 */
    p_thread_waiter *free_list; /* waiter records not in use */
    p_thread_waiter *head;      /* longest-waiting thread */
    p_thread_waiter *tail;
    p_thread_lock_store queue_lock;
    uint32_t records_out; /* records taken by waiters and not yet given back */
} p_thread_cond_t;

typedef struct p_thread_rwlock {
    p_thread_mutex_t mutex;
    p_thread_cond_t readers_cond;
    p_thread_cond_t writers_cond;
    unsigned readers; /* threads holding it for reading */
    unsigned writers; /* threads holding or waiting for it for writing */
    int mode;         /* 0 free, 1 read, 2 write */
} p_thread_rwlock_t;

/* ---- set-up and identity ---- */

/* Sets the layer up once per process and numbers the calling thread. */
VEXCORE_API void p_thread_init(void);
/* The caller's thread object; null for a thread not made by p_thread_create. */
VEXCORE_API p_thread_t p_thread_self(void);
/* The caller's number: 1, 2, 3... in the order threads first entered the layer. */
VEXCORE_API unsigned p_thread_self_id_np(void);

/* ---- attributes: 0, or 22 for an attribute object not initialised ---- */

VEXCORE_API int p_thread_attr_init(p_thread_attr_t *attr);
VEXCORE_API int p_thread_attr_destroy(p_thread_attr_t *attr);
VEXCORE_API int p_thread_attr_setstacksize(p_thread_attr_t *attr, size_t size);
VEXCORE_API int p_thread_attr_getstacksize(const p_thread_attr_t *attr, size_t *size);
VEXCORE_API int p_thread_attr_setdetachstate(p_thread_attr_t *attr, int state);
VEXCORE_API int p_thread_attr_getdetachstate(const p_thread_attr_t *attr, int *state);
VEXCORE_API int p_thread_attr_setinheritsched(p_thread_attr_t *attr, int value);
VEXCORE_API int p_thread_attr_getinheritsched(const p_thread_attr_t *attr, int *value);
VEXCORE_API int p_thread_attr_setschedparam(p_thread_attr_t *attr, const struct p_thread_sched_param *param);
VEXCORE_API int p_thread_attr_getschedparam(const p_thread_attr_t *attr, struct p_thread_sched_param *param);
/* Scheduling policies are not supported: both always return 48. */
VEXCORE_API int p_thread_attr_setschedpolicy(p_thread_attr_t *attr, int policy);
VEXCORE_API int p_thread_attr_getschedpolicy(const p_thread_attr_t *attr, int *policy);

/* ---- threads ---- */

/* Starts start(arg) on a new thread; attr may be null (joinable, defaults).
 * 0; 22 for a null argument or an attribute object not initialised; 11 (and
 * *thread null) when the platform cannot start a thread. */
VEXCORE_API int p_thread_create(p_thread_t *thread, const p_thread_attr_t *attr,
                                void *(*start)(void *), void *arg);
/* Waits for a joinable thread, stores its exit value (value may be null) and
 * frees the thread object. -1, errno 22 for a detached or null thread.
 * REQUIRES: the thread was not joined before. */
VEXCORE_API int p_thread_join(p_thread_t thread, void **value);
/* Makes a joinable thread free itself when it ends. -1, errno 22 when it is
 * already detached or null. */
VEXCORE_API int w_p_thread_detach(p_thread_t thread);
/* Runs the ending thread's key destructors and ends it; value goes to p_thread_join. */
VEXCORE_API P_THREAD_NORETURN void p_thread_exit(void *value);
/* Accepted and ignored: 0. */
VEXCORE_API int p_thread_cancel(p_thread_t thread);
VEXCORE_API void p_thread_yield(void);
/* Sleeps delay.tv_sec * 1000 + delay.tv_nsec / 1000000 milliseconds; 0. */
VEXCORE_API int p_thread_delay_np(p_thread_timespec_t delay);

/* ---- thread-specific data ---- */

/* 0; 22 for a null key; 12 when memory runs out. A destructor is allowed
 * only in threads made by p_thread_create (otherwise the process stops). */
VEXCORE_API int p_thread_key_create(p_thread_key_t *key, void (*destructor)(void *));
/* Frees the key without calling its destructor; its index is reused. 0, or 22 for no such key. */
VEXCORE_API int p_thread_key_delete(p_thread_key_t key);
/* 0; 22 for no such key; 12 when memory runs out. */
VEXCORE_API int p_thread_setspecific(p_thread_key_t key, const void *value);
/* The caller's value, or null (never set, or no such key). */
VEXCORE_API void *p_thread_getspecific(p_thread_key_t key);

/* ---- once and the process-wide global lock ---- */

/* Runs routine (may be null) once per once-word, under the global lock. */
VEXCORE_API void p_thread_once(p_thread_once_t *once, void (*routine)(void));
/* The global lock is recursive per thread. Unlock gives 22 to a thread not holding it. */
VEXCORE_API int p_thread_lock_global_np(void);
VEXCORE_API int p_thread_unlock_global_np(void);

/* ---- mutexes: 0; 22 for a null mutex ---- */

VEXCORE_API int p_thread_mutex_init(p_thread_mutex_t *mutex, const void *attr);
/* REQUIRES: not held. Afterwards the storage is a fresh, not yet initialised mutex. */
VEXCORE_API int p_thread_mutex_destroy(p_thread_mutex_t *mutex);
VEXCORE_API int p_thread_mutex_lock(p_thread_mutex_t *mutex);
/* 1 when the caller does not hold the mutex. */
VEXCORE_API int p_thread_mutex_unlock(p_thread_mutex_t *mutex);
/* 0 when the caller now holds it (also recursively), 16 when another thread does. */
VEXCORE_API int p_thread_mutex_trylock(p_thread_mutex_t *mutex);

/* ---- condition variables: 0 or -1 with errno ---- */

VEXCORE_API int p_thread_cond_init(p_thread_cond_t *cond, const void *attr);
/* -1/16 while a thread waits; -1/22 when not initialised. */
VEXCORE_API int p_thread_cond_destroy(p_thread_cond_t *cond);
/* Wakes the longest-waiting thread; with none waiting, nothing is remembered. */
VEXCORE_API int p_thread_cond_signal(p_thread_cond_t *cond);
/* Wakes every thread waiting now. */
VEXCORE_API int p_thread_cond_broadcast(p_thread_cond_t *cond);
/* REQUIRES: mutex held exactly once by the caller; it is held again on return. */
VEXCORE_API int p_thread_cond_wait(p_thread_cond_t *cond, p_thread_mutex_t *mutex);
/* As p_thread_cond_wait; 60 when the deadline's second came without a wake-up.
 * A deadline not later than the current second expires at once. */
VEXCORE_API int p_thread_cond_timedwait(p_thread_cond_t *cond, p_thread_mutex_t *mutex,
                                        const p_thread_timespec_t *deadline);

/* ---- read-write locks: 0, 22 for null, 16 from the try functions,
 *      otherwise the result of the mutex or condition step that failed ---- */

VEXCORE_API int p_thread_rwlock_init(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_destroy(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_rdlock(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_wrlock(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_tryrdlock(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_trywrlock(p_thread_rwlock_t *rwlock);
VEXCORE_API int p_thread_rwlock_unlock(p_thread_rwlock_t *rwlock);

VEXCORE_END_DECLS

#endif
