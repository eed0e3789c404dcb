// The threads layer over Windows threads: critical sections, one manual-reset
// event per waiter, TLS slots and interlocked counters.
#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "p_thread_platform.h"
#include "vex_assert.h"

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(p_thread_lock_store), "CRITICAL_SECTION does not fit");
static_assert(alignof(CRITICAL_SECTION) <= alignof(p_thread_lock_store), "CRITICAL_SECTION alignment");

namespace {

CRITICAL_SECTION *native(p_thread_lock_store *store) { return reinterpret_cast<CRITICAL_SECTION *>(store->u.bytes); }

std::atomic<int> mutex_setup_entry{0};

std::atomic_ref<uint32_t> flag(p_thread_mutex_t *mutex) { return std::atomic_ref<uint32_t>(mutex->initialized); }

__attribute__((noinline)) void first_use(p_thread_mutex_t *mutex)
{
    p_thread_init_once(mutex_setup_entry, mutex->initialized, 1,
                       [mutex] { InitializeCriticalSection(native(&mutex->lock)); });
}

DWORD tls_slots[p_thread_plat::TLS_WORDS];

DWORD WINAPI thread_main(LPVOID start_record)
{
    p_thread_run(start_record);
    return 0;
}

}  // namespace

// ---- mutexes ----

extern "C" int p_thread_mutex_init(p_thread_mutex_t *mutex, const void *)
{
    p_thread_init();
    if (!mutex)
        return 22;
    InitializeCriticalSection(native(&mutex->lock));
    flag(mutex).store(1, std::memory_order_release);
    return 0;
}

extern "C" int p_thread_mutex_destroy(p_thread_mutex_t *mutex)
{
    p_thread_init();
    if (!mutex)
        return 22;
    if (flag(mutex).load(std::memory_order_acquire) != 0)
        DeleteCriticalSection(native(&mutex->lock));
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
    EnterCriticalSection(native(&mutex->lock));
    return 0;
}

extern "C" int p_thread_mutex_unlock(p_thread_mutex_t *mutex)
{
    if (__builtin_expect(!mutex, 0))
        return 22;
    if (__builtin_expect(flag(mutex).load(std::memory_order_acquire) == 0, 0))
        return 1;  // never locked by anyone
    CRITICAL_SECTION *cs = native(&mutex->lock);
    // Leaving a critical section one does not own corrupts it for its owner.
    if (reinterpret_cast<uintptr_t>(cs->OwningThread) != GetCurrentThreadId())
        return 1;
    LeaveCriticalSection(cs);
    return 0;
}

extern "C" int p_thread_mutex_trylock(p_thread_mutex_t *mutex)
{
    if (__builtin_expect(!mutex, 0))
        return 22;
    if (__builtin_expect(flag(mutex).load(std::memory_order_acquire) == 0, 0))
        first_use(mutex);
    return TryEnterCriticalSection(native(&mutex->lock)) ? 0 : 16;
}

namespace p_thread_plat {

void lock_init(p_thread_lock_store *lock) { InitializeCriticalSection(native(lock)); }
void lock_destroy(p_thread_lock_store *lock) { DeleteCriticalSection(native(lock)); }
void lock_enter(p_thread_lock_store *lock) { EnterCriticalSection(native(lock)); }
void lock_leave(p_thread_lock_store *lock) { LeaveCriticalSection(native(lock)); }

struct event {
    HANDLE handle;
};

event *event_create()
{
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return nullptr;
    auto *ev = static_cast<event *>(std::malloc(sizeof(event)));
    if (!ev) {
        CloseHandle(h);
        return nullptr;
    }
    ev->handle = h;
    return ev;
}

void event_destroy(event *ev)
{
    CloseHandle(ev->handle);
    std::free(ev);
}

void event_set(event *ev) { SetEvent(ev->handle); }
void event_reset(event *ev) { ResetEvent(ev->handle); }

bool event_wait(event *ev, int64_t ms)
{
    if (ms < 0)
        return WaitForSingleObject(ev->handle, INFINITE) == WAIT_OBJECT_0;
    // WaitForSingleObject takes at most INFINITE - 1 milliseconds at a time.
    for (;;) {
        DWORD step = ms > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(ms);
        if (WaitForSingleObject(ev->handle, step) == WAIT_OBJECT_0)
            return true;
        ms -= step;
        if (ms <= 0)
            return false;
    }
}

void tls_setup()
{
    for (DWORD &slot : tls_slots) {
        slot = TlsAlloc();
        VEX_ASSERT(slot != TLS_OUT_OF_INDEXES, "p_thread_win32");
    }
}

uintptr_t tls_get(tls_word word) { return reinterpret_cast<uintptr_t>(TlsGetValue(tls_slots[word])); }
void tls_set(tls_word word, uintptr_t value) { TlsSetValue(tls_slots[word], reinterpret_cast<LPVOID>(value)); }

bool thread_start(uintptr_t *handle, size_t stack_size, bool set_priority, int priority, bool detached,
                  void *start_record)
{
    // Suspended until the creator is done with the handle: a detached thread
    // that ends at once frees its object, and must not do so under us.
    HANDLE h = CreateThread(nullptr, stack_size, thread_main, start_record, CREATE_SUSPENDED, nullptr);
    if (!h)
        return false;
    if (set_priority)
        SetThreadPriority(h, priority);
    *handle = detached ? 0 : reinterpret_cast<uintptr_t>(h);
    ResumeThread(h);
    if (detached)
        CloseHandle(h);
    return true;
}

void thread_join(uintptr_t handle)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

void thread_release(uintptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void thread_exit(void *value)
{
    // The exit code is only 32 bits wide; p_thread_join reads the full value
    // from the thread object instead.
    ExitThread(static_cast<DWORD>(reinterpret_cast<uintptr_t>(value)));
}

void yield() { Sleep(0); }

void sleep_ms(uint64_t ms)
{
    while (ms > 0) {
        DWORD step = ms > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(ms);
        Sleep(step);
        ms -= step;
    }
}

}  // namespace p_thread_plat

// The layer learns of a thread's end only through p_thread_exit; the loader's
// per-thread notifications would only cost every thread start and end.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(module);
    return TRUE;
}
