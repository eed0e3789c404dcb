// What the threads layer needs of the platform. p_thread_posix.cpp and
// p_thread_win32.cpp each implement all of it (and the mutex functions, whose
// fast path must stay a single platform call); everything else of the layer
// is written once above this interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vexcore/p_thread.h"

// The layer's thread object (p_thread_t).
struct p_thread_obj {
    uintptr_t handle;      // platform handle; 0 once released
    uint32_t state;        // P_THREAD_DETACHED | P_THREAD_EXITED, changed atomically
    void *value;           // exit value, read by p_thread_join
};
enum : uint32_t { P_THREAD_DETACHED = 1, P_THREAD_EXITED = 2 };

// Runs a new thread's start record; the platform's thread procedure calls it.
void p_thread_run(void *start_record);

namespace p_thread_plat {

// A plain (non-recursive) lock in a p_thread_lock_store.
void lock_init(p_thread_lock_store *lock);
void lock_destroy(p_thread_lock_store *lock);
void lock_enter(p_thread_lock_store *lock);
void lock_leave(p_thread_lock_store *lock);

// One waiter's wake-up: set by one signaller, waited on by one thread.
struct event;
event *event_create();  // null when the platform has no resources left
void event_destroy(event *ev);
void event_set(event *ev);
// Back to not set, also when a set raced with a time-out.
void event_reset(event *ev);
// ms < 0 waits without limit. True when set, false when the time ran out.
bool event_wait(event *ev, int64_t ms);

// Per-thread words.
enum tls_word { TLS_SELF, TLS_NUMBER, TLS_SLOT, TLS_DEPTH, TLS_WORDS };
void tls_setup();  // once, during the layer's set-up
uintptr_t tls_get(tls_word word);
void tls_set(tls_word word, uintptr_t value);

// Starts a thread that runs p_thread_run(start_record). The thread does not
// begin before *handle is stored and the priority applied; for a detached
// thread the creator's handle is released and *handle is 0. False when the
// platform cannot start a thread.
bool thread_start(uintptr_t *handle, size_t stack_size, bool set_priority, int priority,
                  bool detached, void *start_record);
void thread_join(uintptr_t handle);     // waits, then releases the handle
void thread_release(uintptr_t handle);  // the thread will not be joined
[[noreturn]] void thread_exit(void *value);
void yield();
void sleep_ms(uint64_t ms);

}  // namespace p_thread_plat

// Brings an object from "not initialised" to `ready` exactly once, also when
// several threads reach it at the same moment: the thread that takes the
// kind's entry counter from 0 initialises, the others yield until the mark
// says it is done. The mark is looked at again after winning the counter,
// since another thread may have finished the work in between.
template <class Init>
void p_thread_init_once(std::atomic<int> &entry, uint32_t &mark_word, uint32_t ready, Init init)
{
    std::atomic_ref<uint32_t> mark(mark_word);
    for (;;) {
        if (entry.fetch_add(1, std::memory_order_acq_rel) == 0) {
            if (mark.load(std::memory_order_acquire) != ready) {
                init();
                mark.store(ready, std::memory_order_release);
            }
            entry.fetch_sub(1, std::memory_order_acq_rel);
            return;
        }
        entry.fetch_sub(1, std::memory_order_acq_rel);
        if (mark.load(std::memory_order_acquire) == ready)
            return;
        p_thread_plat::yield();
    }
}
