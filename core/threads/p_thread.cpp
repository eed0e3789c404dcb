// Threads, thread keys, once and the global lock, over p_thread_platform.h.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "p_thread_internal.h"
#include "p_thread_platform.h"
#include "vex_assert.h"

namespace plat = p_thread_plat;

namespace {

constexpr uint32_t attr_valid = 0x8675309;
constexpr size_t initial_keys = 256;
constexpr size_t initial_slots = 32;

struct key_record {
    void (*destructor)(void *);
    void **values;       // one per slot, guarded by mutex
    size_t nvalues;
    p_thread_mutex_t mutex;
    key_record *next;    // towards older keys
    key_record *prev;
    uint64_t serial;     // creation order, so an interrupted walk can resume
};

struct start_record {
    p_thread_obj *thread;
    void *(*start)(void *);
    void *arg;
};

std::atomic<int> setup_entry{0};
uint32_t layer_ready;  // 1 once set up; read and written atomically
std::atomic<unsigned> thread_numbers{0};

p_thread_lock_store key_lock;    // key table, key list
p_thread_lock_store slot_lock;   // slot table
p_thread_lock_store global_lock; // p_thread_lock_global_np

key_record **key_table;
std::atomic<size_t> key_capacity{0};
key_record *key_list;  // newest first
uint64_t key_serial;

bool *slot_used;
std::atomic<size_t> slot_capacity{0};

void setup_layer()
{
    key_table = static_cast<key_record **>(std::calloc(initial_keys, sizeof *key_table));
    slot_used = static_cast<bool *>(std::calloc(initial_slots, sizeof *slot_used));
    VEX_ASSERT(key_table != nullptr && slot_used != nullptr, "p_thread_win32");
    key_capacity.store(initial_keys, std::memory_order_relaxed);
    slot_capacity.store(initial_slots, std::memory_order_relaxed);
    plat::tls_setup();
    plat::lock_init(&key_lock);
    plat::lock_init(&slot_lock);
    plat::lock_init(&global_lock);
}

// The caller's slot, taken on first use; SIZE_MAX when memory ran out.
size_t own_slot()
{
    uintptr_t held = plat::tls_get(plat::TLS_SLOT);
    if (held != 0)
        return held - 1;
    plat::lock_enter(&slot_lock);
    size_t cap = slot_capacity.load(std::memory_order_relaxed);
    size_t slot = 0;
    while (slot < cap && slot_used[slot])
        ++slot;
    if (slot == cap) {
        auto *grown = static_cast<bool *>(std::realloc(slot_used, 2 * cap * sizeof *slot_used));
        if (!grown) {
            plat::lock_leave(&slot_lock);
            return SIZE_MAX;
        }
        std::memset(grown + cap, 0, cap * sizeof *grown);
        slot_used = grown;
        slot_capacity.store(2 * cap, std::memory_order_relaxed);
    }
    slot_used[slot] = true;
    plat::lock_leave(&slot_lock);
    plat::tls_set(plat::TLS_SLOT, slot + 1);
    return slot;
}

// Looks the key up and returns it with its mutex held, or null. The table
// lock is held while the key's mutex is taken, so p_thread_key_delete can
// wait out every user of the record before freeing it.
key_record *lock_key(p_thread_key_t key)
{
    plat::lock_enter(&key_lock);
    key_record *rec = nullptr;
    if (key >= 0 && static_cast<size_t>(key) < key_capacity.load(std::memory_order_relaxed))
        rec = key_table[key];
    if (rec)
        p_thread_mutex_lock(&rec->mutex);
    plat::lock_leave(&key_lock);
    return rec;
}

// Takes the slot's value out of the key. Called with the key's mutex held.
void *take_value(key_record *rec, size_t slot)
{
    if (slot >= rec->nvalues)
        return nullptr;
    void *value = rec->values[slot];
    rec->values[slot] = nullptr;
    return value;
}

// End-of-thread work: destructors newest key first, each at most once, then
// the slot goes back.
void release_slot()
{
    uintptr_t held = plat::tls_get(plat::TLS_SLOT);
    if (held == 0)
        return;
    size_t slot = held - 1;
    plat::lock_enter(&key_lock);
    // Keys are visited in falling serial order. A destructor runs without the
    // table lock and may create or delete keys, so after each one the walk
    // starts over from the head and skips what it has already passed (and the
    // keys created meanwhile, which are newer).
    uint64_t below = UINT64_MAX;
    for (key_record *rec = key_list; rec;) {
        if (rec->serial >= below) {
            rec = rec->next;
            continue;
        }
        below = rec->serial;
        p_thread_mutex_lock(&rec->mutex);
        void *value = take_value(rec, slot);
        p_thread_mutex_unlock(&rec->mutex);
        if (value && rec->destructor) {
            void (*destructor)(void *) = rec->destructor;
            plat::lock_leave(&key_lock);
            destructor(value);
            plat::lock_enter(&key_lock);
            rec = key_list;
            continue;
        }
        rec = rec->next;
    }
    // Values that destructors stored again are dropped, not destroyed: the
    // next thread to take this slot must not find them.
    for (key_record *rec = key_list; rec; rec = rec->next) {
        p_thread_mutex_lock(&rec->mutex);
        take_value(rec, slot);
        p_thread_mutex_unlock(&rec->mutex);
    }
    plat::lock_leave(&key_lock);

    plat::lock_enter(&slot_lock);
    slot_used[slot] = false;
    plat::lock_leave(&slot_lock);
    plat::tls_set(plat::TLS_SLOT, 0);
}

void end_thread(void *value)
{
    p_thread_init();
    release_slot();
    auto *self = reinterpret_cast<p_thread_obj *>(plat::tls_get(plat::TLS_SELF));
    if (!self)
        return;
    plat::tls_set(plat::TLS_SELF, 0);
    self->value = value;
    // After this the object belongs to whoever joins or detaches; a thread
    // that was detached already frees it itself.
    uint32_t old = std::atomic_ref<uint32_t>(self->state).fetch_or(P_THREAD_EXITED, std::memory_order_acq_rel);
    if (old & P_THREAD_DETACHED)
        std::free(self);
}

bool attr_ok(const p_thread_attr_t *attr) { return attr && attr->valid == attr_valid; }

}  // namespace

// ---- internal ----

p_thread_t w_p_thread_self()
{
    return reinterpret_cast<p_thread_t>(plat::tls_get(plat::TLS_SELF));
}

size_t p_thread_key_capacity_np()
{
    p_thread_init();
    return key_capacity.load(std::memory_order_relaxed);
}

uint64_t p_thread_delay_ms(p_thread_timespec_t delay)
{
    if (delay.tv_sec < 0 || delay.tv_nsec < 0)
        return 0;
    uint64_t ns_ms = static_cast<uint64_t>(delay.tv_nsec) / 1000000u;
    uint64_t sec = static_cast<uint64_t>(delay.tv_sec);
    // Far-future delays saturate rather than wrap to a short sleep.
    if (sec > (UINT64_MAX - ns_ms) / 1000u)
        return UINT64_MAX;
    return sec * 1000u + ns_ms;
}

void p_thread_run(void *start_record_ptr)
{
    auto *rec = static_cast<start_record *>(start_record_ptr);
    p_thread_obj *self = rec->thread;
    void *(*start)(void *) = rec->start;
    void *arg = rec->arg;
    std::free(rec);
    plat::tls_set(plat::TLS_SELF, reinterpret_cast<uintptr_t>(self));
    end_thread(start(arg));
}

// ---- set-up and identity ----

extern "C" void p_thread_init(void)
{
    if (std::atomic_ref<uint32_t>(layer_ready).load(std::memory_order_acquire) == 0)
        p_thread_init_once(setup_entry, layer_ready, 1, setup_layer);
    if (plat::tls_get(plat::TLS_NUMBER) == 0)
        plat::tls_set(plat::TLS_NUMBER, thread_numbers.fetch_add(1, std::memory_order_relaxed) + 1);
}

extern "C" p_thread_t p_thread_self(void)
{
    p_thread_init();
    return w_p_thread_self();
}

extern "C" unsigned p_thread_self_id_np(void)
{
    p_thread_init();
    return static_cast<unsigned>(plat::tls_get(plat::TLS_NUMBER));
}

// ---- attributes ----

extern "C" int p_thread_attr_init(p_thread_attr_t *attr)
{
    p_thread_init();
    if (!attr)
        return 22;
    attr->valid = attr_valid;
    attr->detachstate = 0;
    attr->inheritsched = 1;
    attr->priority = 0;
    attr->stacksize = 0;
    return 0;
}

extern "C" int p_thread_attr_destroy(p_thread_attr_t *attr)
{
    p_thread_init();
    if (!attr_ok(attr))
        return 22;
    attr->valid = 0;
    return 0;
}

extern "C" int p_thread_attr_setstacksize(p_thread_attr_t *attr, size_t size)
{
    p_thread_init();
    if (!attr_ok(attr))
        return 22;
    attr->stacksize = size;
    return 0;
}

extern "C" int p_thread_attr_getstacksize(const p_thread_attr_t *attr, size_t *size)
{
    p_thread_init();
    if (!attr_ok(attr) || !size)
        return 22;
    *size = attr->stacksize;
    return 0;
}

extern "C" int p_thread_attr_setdetachstate(p_thread_attr_t *attr, int state)
{
    p_thread_init();
    if (!attr_ok(attr))
        return 22;
    attr->detachstate = state;
    return 0;
}

extern "C" int p_thread_attr_getdetachstate(const p_thread_attr_t *attr, int *state)
{
    p_thread_init();
    if (!attr_ok(attr) || !state)
        return 22;
    *state = attr->detachstate;
    return 0;
}

extern "C" int p_thread_attr_setinheritsched(p_thread_attr_t *attr, int value)
{
    p_thread_init();
    if (!attr_ok(attr))
        return 22;
    attr->inheritsched = value;
    return 0;
}

extern "C" int p_thread_attr_getinheritsched(const p_thread_attr_t *attr, int *value)
{
    p_thread_init();
    if (!attr_ok(attr) || !value)
        return 22;
    *value = attr->inheritsched;
    return 0;
}

extern "C" int p_thread_attr_setschedparam(p_thread_attr_t *attr, const struct p_thread_sched_param *param)
{
    p_thread_init();
    if (!attr_ok(attr) || !param)
        return 22;
    attr->priority = param->sched_priority;
    return 0;
}

extern "C" int p_thread_attr_getschedparam(const p_thread_attr_t *attr, struct p_thread_sched_param *param)
{
    p_thread_init();
    if (!attr_ok(attr) || !param)
        return 22;
    param->sched_priority = attr->priority;
    return 0;
}

extern "C" int p_thread_attr_setschedpolicy(p_thread_attr_t *, int)
{
    p_thread_init();
    return 48;
}

extern "C" int p_thread_attr_getschedpolicy(const p_thread_attr_t *, int *)
{
    p_thread_init();
    return 48;
}

// ---- threads ----

extern "C" int p_thread_create(p_thread_t *thread, const p_thread_attr_t *attr,
                               void *(*start)(void *), void *arg)
{
    p_thread_init();
    if (!thread || !start || (attr && !attr_ok(attr)))
        return 22;
    *thread = nullptr;
    auto *obj = static_cast<p_thread_obj *>(std::calloc(1, sizeof(p_thread_obj)));
    auto *rec = static_cast<start_record *>(std::malloc(sizeof(start_record)));
    if (!obj || !rec) {
        std::free(obj);
        std::free(rec);
        return 11;
    }
    rec->thread = obj;
    rec->start = start;
    rec->arg = arg;
    bool detached = attr && attr->detachstate != 0;
    obj->state = detached ? uint32_t{P_THREAD_DETACHED} : uint32_t{0};
    // The platform stores the handle before the thread runs, so a detached
    // thread that ends at once cannot free the object under us.
    if (!plat::thread_start(&obj->handle, attr ? attr->stacksize : 0, attr != nullptr,
                            attr ? attr->priority : 0, detached, rec)) {
        std::free(obj);
        std::free(rec);
        return 11;
    }
    *thread = obj;
    return 0;
}

extern "C" int p_thread_join(p_thread_t thread, void **value)
{
    p_thread_init();
    if (!thread ||
        (std::atomic_ref<uint32_t>(thread->state).load(std::memory_order_acquire) & P_THREAD_DETACHED)) {
        errno = 22;
        return -1;
    }
    plat::thread_join(thread->handle);
    if (value)
        *value = thread->value;
    std::free(thread);
    return 0;
}

extern "C" int w_p_thread_detach(p_thread_t thread)
{
    if (!thread) {
        errno = 22;
        return -1;
    }
    uint32_t old = std::atomic_ref<uint32_t>(thread->state).fetch_or(P_THREAD_DETACHED, std::memory_order_acq_rel);
    if (old & P_THREAD_DETACHED) {
        errno = 22;
        return -1;
    }
    plat::thread_release(thread->handle);
    // A thread that already passed its end no longer looks at its object.
    if (old & P_THREAD_EXITED)
        std::free(thread);
    return 0;
}

extern "C" void p_thread_exit(void *value)
{
    end_thread(value);
    plat::thread_exit(value);
}

extern "C" int p_thread_cancel(p_thread_t)
{
    p_thread_init();
    return 0;
}

extern "C" void p_thread_yield(void) { plat::yield(); }

extern "C" int p_thread_delay_np(p_thread_timespec_t delay)
{
    plat::sleep_ms(p_thread_delay_ms(delay));
    return 0;
}

// ---- thread-specific data ----

extern "C" int p_thread_key_create(p_thread_key_t *key, void (*destructor)(void *))
{
    p_thread_init();
    // Destructors run only through p_thread_exit, which threads of other
    // origins never pass; their values would silently leak.
    VEX_ASSERT(!destructor || w_p_thread_self() != 0, "p_thread_win32");
    if (!key)
        return 22;
    if (own_slot() == SIZE_MAX)
        return 12;
    auto *rec = static_cast<key_record *>(std::calloc(1, sizeof(key_record)));
    if (!rec)
        return 12;
    plat::lock_enter(&key_lock);
    size_t nvalues = slot_capacity.load(std::memory_order_relaxed);
    rec->values = static_cast<void **>(std::calloc(nvalues, sizeof(void *)));
    size_t cap = key_capacity.load(std::memory_order_relaxed);
    size_t index = 0;
    while (index < cap && key_table[index])
        ++index;
    if (index == cap && rec->values) {
        auto *grown = static_cast<key_record **>(std::realloc(key_table, 2 * cap * sizeof *key_table));
        if (grown) {
            std::memset(grown + cap, 0, cap * sizeof *grown);
            key_table = grown;
            key_capacity.store(2 * cap, std::memory_order_relaxed);
        } else {
            std::free(rec->values);
            rec->values = nullptr;
        }
    }
    if (!rec->values) {
        plat::lock_leave(&key_lock);
        std::free(rec);
        return 12;
    }
    rec->nvalues = nvalues;
    rec->destructor = destructor;
    p_thread_mutex_init(&rec->mutex, nullptr);
    rec->serial = ++key_serial;
    rec->next = key_list;
    if (key_list)
        key_list->prev = rec;
    key_list = rec;
    key_table[index] = rec;
    *key = static_cast<p_thread_key_t>(index);
    plat::lock_leave(&key_lock);
    return 0;
}

extern "C" int p_thread_key_delete(p_thread_key_t key)
{
    p_thread_init();
    plat::lock_enter(&key_lock);
    key_record *rec = nullptr;
    if (key >= 0 && static_cast<size_t>(key) < key_capacity.load(std::memory_order_relaxed))
        rec = key_table[key];
    if (!rec) {
        plat::lock_leave(&key_lock);
        return 22;
    }
    key_table[key] = nullptr;
    if (rec->prev)
        rec->prev->next = rec->next;
    else
        key_list = rec->next;
    if (rec->next)
        rec->next->prev = rec->prev;
    // Whoever holds the key's mutex took it under the table lock we now hold;
    // once we have had it, nobody can be using the record any more.
    p_thread_mutex_lock(&rec->mutex);
    p_thread_mutex_unlock(&rec->mutex);
    plat::lock_leave(&key_lock);
    p_thread_mutex_destroy(&rec->mutex);
    std::free(rec->values);
    std::free(rec);
    return 0;
}

extern "C" int p_thread_setspecific(p_thread_key_t key, const void *value)
{
    p_thread_init();
    if (key < 0 || static_cast<size_t>(key) >= p_thread_key_capacity_np())
        return 22;
    size_t slot = own_slot();
    if (slot == SIZE_MAX)
        return 12;
    key_record *rec = lock_key(key);
    if (!rec)
        return 22;
    int rc = 0;
    if (slot >= rec->nvalues) {
        size_t want = slot_capacity.load(std::memory_order_relaxed);
        if (want <= slot)
            want = slot + 1;
        auto *grown = static_cast<void **>(std::realloc(rec->values, want * sizeof(void *)));
        if (grown) {
            std::memset(grown + rec->nvalues, 0, (want - rec->nvalues) * sizeof(void *));
            rec->values = grown;
            rec->nvalues = want;
        } else {
            rc = 12;
        }
    }
    if (rc == 0)
        rec->values[slot] = const_cast<void *>(value);
    p_thread_mutex_unlock(&rec->mutex);
    return rc;
}

extern "C" void *p_thread_getspecific(p_thread_key_t key)
{
    p_thread_init();
    size_t slot = own_slot();
    if (slot == SIZE_MAX)
        return nullptr;
    key_record *rec = lock_key(key);
    if (!rec)
        return nullptr;
    void *value = slot < rec->nvalues ? rec->values[slot] : nullptr;
    p_thread_mutex_unlock(&rec->mutex);
    return value;
}

// ---- once and the global lock ----

extern "C" void p_thread_once(p_thread_once_t *once, void (*routine)(void))
{
    p_thread_init();
    if (!once)
        return;
    std::atomic_ref<int> word(*once);
    if (word.load(std::memory_order_acquire) != 0)
        return;
    p_thread_lock_global_np();
    if (word.load(std::memory_order_relaxed) == 0) {
        if (routine)
            routine();
        word.store(1, std::memory_order_release);
    }
    p_thread_unlock_global_np();
}

extern "C" int p_thread_lock_global_np(void)
{
    p_thread_init();
    uintptr_t depth = plat::tls_get(plat::TLS_DEPTH);
    if (depth == 0)
        plat::lock_enter(&global_lock);
    plat::tls_set(plat::TLS_DEPTH, depth + 1);
    return 0;
}

extern "C" int p_thread_unlock_global_np(void)
{
    p_thread_init();
    uintptr_t depth = plat::tls_get(plat::TLS_DEPTH);
    if (depth == 0)
        return 22;  // releasing a lock held by another thread would break it for both
    plat::tls_set(plat::TLS_DEPTH, depth - 1);
    if (depth == 1)
        plat::lock_leave(&global_lock);
    return 0;
}
