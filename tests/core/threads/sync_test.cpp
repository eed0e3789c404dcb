// Mutexes, condition variables, read-write locks and the global lock across
// threads. Threads are ordered by handshakes under the mutex under test; every
// wait is bounded, and a thread left blocked by a broken layer is detached
// with its state kept alive, so a failure ends the test instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "vex_clock.h"
#include "vexcore/p_thread.h"
#include "wait_util.h"

using vextest::eventually;
using vextest::stays_false;

namespace {

// Threads that are joined when they finished and abandoned when they did not.
class Crew {
public:
    template <class F>
    void start(F f) { threads_.emplace_back(std::move(f)); }
    // True when every thread finished in time.
    bool finish()
    {
        if (threads_.empty())
            return true;
        bool all = eventually([&] { return done->load() == static_cast<int>(threads_.size()); });
        for (auto &t : threads_) {
            if (all)
                t.join();
            else
                t.detach();
        }
        threads_.clear();
        done->store(0);
        return all;
    }
    ~Crew() { finish(); }
    // Each thread counts itself done here as its last act.
    std::shared_ptr<std::atomic<int>> done = std::make_shared<std::atomic<int>>(0);

private:
    std::vector<std::thread> threads_;
};

// State shared with waiting threads; heap-held so an abandoned thread never
// touches a dead stack frame.
struct Shared {
    p_thread_mutex_t mutex{};
    p_thread_cond_t cond{};
    int queued = 0;            // waiters that went to sleep (guarded by mutex)
    std::vector<int> woken;    // ids in wake order (guarded by mutex)
    int token = 0;             // guarded by mutex

    ~Shared()
    {
        if (cond.valid != 0)
            p_thread_cond_destroy(&cond);
        p_thread_mutex_destroy(&mutex);
    }

    int count_queued()
    {
        p_thread_mutex_lock(&mutex);
        int n = queued;
        p_thread_mutex_unlock(&mutex);
        return n;
    }
    std::vector<int> wake_order()
    {
        p_thread_mutex_lock(&mutex);
        std::vector<int> w = woken;
        p_thread_mutex_unlock(&mutex);
        return w;
    }
};

// A waiter that counts itself queued under the mutex: the wait puts it in the
// queue before letting the mutex go, so once the mutex is had again after
// `queued` went up, the waiter is in the queue.
void wait_once(std::shared_ptr<Shared> s, std::shared_ptr<std::atomic<int>> done, int id, const p_thread_timespec_t *deadline = nullptr,
               int *result = nullptr, int *token_seen = nullptr)
{
    p_thread_mutex_lock(&s->mutex);
    ++s->queued;
    int rc = deadline ? p_thread_cond_timedwait(&s->cond, &s->mutex, deadline)
                      : p_thread_cond_wait(&s->cond, &s->mutex);
    s->woken.push_back(id);
    if (result)
        *result = rc;
    if (token_seen)
        *token_seen = s->token;
    p_thread_mutex_unlock(&s->mutex);
    ++*done;
}

p_thread_timespec_t seconds_from_now(int64_t s) { return p_thread_timespec_t{vex_clock_now() + s, 0}; }

}  // namespace

// ---- mutexes ----

// Static storage never initialised, and a mutex after destroy, are both
// fresh mutexes: locked, unlocked and locked again, recursively too.
TEST(MutexTest, NeverInitialisedAndDestroyedStorageAreUsable)
{
    static p_thread_mutex_t never_initialised;
    p_thread_mutex_t destroyed{};
    ASSERT_EQ(p_thread_mutex_init(&destroyed, nullptr), 0);
    ASSERT_EQ(p_thread_mutex_destroy(&destroyed), 0);
    for (p_thread_mutex_t *m : {&never_initialised, &destroyed}) {
        EXPECT_EQ(p_thread_mutex_lock(m), 0);
        EXPECT_EQ(p_thread_mutex_unlock(m), 0);
        EXPECT_EQ(p_thread_mutex_lock(m), 0);
        EXPECT_EQ(p_thread_mutex_trylock(m), 0);
        EXPECT_EQ(p_thread_mutex_unlock(m), 0);
        EXPECT_EQ(p_thread_mutex_unlock(m), 0);
        EXPECT_EQ(p_thread_mutex_destroy(m), 0);
    }
}

TEST(MutexTest, RecursiveHolderKeepsOthersOutUntilTheLastUnlock)
{
    p_thread_mutex_t m{};
    ASSERT_EQ(p_thread_mutex_init(&m, nullptr), 0);
    auto other_trylock = [&m] {
        int rc = -1;
        std::thread t([&] {
            rc = p_thread_mutex_trylock(&m);
            if (rc == 0)
                p_thread_mutex_unlock(&m);
        });
        t.join();
        return rc;
    };
    ASSERT_EQ(p_thread_mutex_lock(&m), 0);
    ASSERT_EQ(p_thread_mutex_lock(&m), 0);  // would deadlock if not recursive
    EXPECT_EQ(other_trylock(), 16);
    ASSERT_EQ(p_thread_mutex_unlock(&m), 0);
    EXPECT_EQ(other_trylock(), 16);
    ASSERT_EQ(p_thread_mutex_unlock(&m), 0);
    EXPECT_EQ(other_trylock(), 0);
    EXPECT_EQ(p_thread_mutex_destroy(&m), 0);
}

TEST(MutexTest, UnlockByANonHolderIsRefusedAndChangesNothing)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the wrong-thread unlock this test makes on purpose";
#endif
    p_thread_mutex_t m{};
    EXPECT_EQ(p_thread_mutex_unlock(&m), 1);  // never locked
    ASSERT_EQ(p_thread_mutex_lock(&m), 0);
    int rc_unlock = -1, rc_try = -1;
    std::thread([&] {
        rc_unlock = p_thread_mutex_unlock(&m);
        rc_try = p_thread_mutex_trylock(&m);
    }).join();
    EXPECT_EQ(rc_unlock, 1);
    EXPECT_EQ(rc_try, 16);
    EXPECT_EQ(p_thread_mutex_unlock(&m), 0);
    EXPECT_EQ(p_thread_mutex_destroy(&m), 0);
}

TEST(MutexTest, NullIsRefused)
{
    EXPECT_EQ(p_thread_mutex_init(nullptr, nullptr), 22);
    EXPECT_EQ(p_thread_mutex_lock(nullptr), 22);
    EXPECT_EQ(p_thread_mutex_trylock(nullptr), 22);
    EXPECT_EQ(p_thread_mutex_unlock(nullptr), 22);
    EXPECT_EQ(p_thread_mutex_destroy(nullptr), 22);
}

// Zero-filled mutexes reached first by several threads at once: each must be
// initialised once, or two threads would hold "it" together and lose updates.
TEST(MutexTest, ConcurrentFirstUseOfZeroStorageInitialisesOnce)
{
    constexpr int threads = 4, rounds = 40, per_thread = 500;
    for (int round = 0; round < rounds; ++round) {
        auto m = std::make_unique<p_thread_mutex_t>();
        long counter = 0;
        std::atomic<int> ready{0};
        std::vector<std::thread> crew;
        for (int t = 0; t < threads; ++t) {
            crew.emplace_back([&] {
                ++ready;
                while (ready.load() < threads) {
                }
                for (int i = 0; i < per_thread; ++i) {
                    p_thread_mutex_lock(m.get());
                    ++counter;
                    p_thread_mutex_unlock(m.get());
                }
            });
        }
        for (auto &t : crew)
            t.join();
        ASSERT_EQ(counter, long{threads} * per_thread) << "round " << round;
        ASSERT_EQ(m->initialized, 1u);
        p_thread_mutex_destroy(m.get());
    }
}

// ---- condition variables ----

TEST(CondTest, ThreeWaitersWakeInTheOrderTheyBeganToWait)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    for (int id = 1; id <= 3; ++id) {
        crew.start([s, d = crew.done, id] { wait_once(s, d, id); });
        ASSERT_TRUE(eventually([&] { return s->count_queued() == id; }));
    }
    for (size_t n = 1; n <= 3; ++n) {
        p_thread_mutex_lock(&s->mutex);
        EXPECT_EQ(p_thread_cond_signal(&s->cond), 0);
        p_thread_mutex_unlock(&s->mutex);
        ASSERT_TRUE(eventually([&] { return s->wake_order().size() >= n; })) << "signal " << n << " woke nobody";
        // No more than one thread per signal.
        EXPECT_TRUE(stays_false([&] { return s->wake_order().size() > n; }));
    }
    EXPECT_EQ(s->wake_order(), (std::vector<int>{1, 2, 3}));
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), 0);
}

TEST(CondTest, ASignalWithNoWaiterIsLost)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    EXPECT_EQ(p_thread_cond_signal(&s->cond), 0);
    EXPECT_EQ(p_thread_cond_broadcast(&s->cond), 0);
    auto seen = std::make_shared<int>(-1);
    crew.start([s, d = crew.done, seen] { wait_once(s, d, 1, nullptr, nullptr, seen.get()); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    EXPECT_TRUE(stays_false([&] { return !s->wake_order().empty(); })) << "woke without a signal";
    p_thread_mutex_lock(&s->mutex);
    s->token = 1;
    p_thread_cond_signal(&s->cond);
    p_thread_mutex_unlock(&s->mutex);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(*seen, 1) << "returned before the signal that was meant for it";
}

TEST(CondTest, BroadcastWakesEveryoneWaitingAndNobodyLater)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    for (int id = 1; id <= 3; ++id)
        crew.start([s, d = crew.done, id] { wait_once(s, d, id); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 3; }));
    p_thread_mutex_lock(&s->mutex);
    EXPECT_EQ(p_thread_cond_broadcast(&s->cond), 0);
    p_thread_mutex_unlock(&s->mutex);
    ASSERT_TRUE(eventually([&] { return s->wake_order().size() == 3; }));

    crew.start([s, d = crew.done] { wait_once(s, d, 4); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 4; }));
    EXPECT_TRUE(stays_false([&] { return s->wake_order().size() > 3; }));
    p_thread_cond_signal(&s->cond);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(s->wake_order().back(), 4);
}

TEST(CondTest, DeadlineAtOrBeforeTheCurrentSecondExpiresAtOnceWithTheMutexHeld)
{
    auto s = std::make_shared<Shared>();
    const int64_t now = vex_clock_now();
    for (int64_t sec : {now, now - 1, int64_t{0}, int64_t{INT64_MIN}}) {
        SCOPED_TRACE(sec);
        p_thread_timespec_t deadline{sec, 999999999};
        ASSERT_EQ(p_thread_mutex_lock(&s->mutex), 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(p_thread_cond_timedwait(&s->cond, &s->mutex, &deadline), 60);
        // Generous: only a wait for the deadline's next second (or longer) fails it.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        int other = -1;
        std::thread([&] { other = p_thread_mutex_trylock(&s->mutex); }).join();
        EXPECT_EQ(other, 16) << "the mutex was not taken again";
        EXPECT_EQ(p_thread_mutex_unlock(&s->mutex), 0);
    }
    // Nothing stays queued behind a time-out.
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), 0);
}

TEST(CondTest, DeadlinesFollowTheLibraryClock)
{
    auto s = std::make_shared<Shared>();
    // An hour ahead of the library clock, a deadline ten real seconds away has passed.
    p_thread_timespec_t deadline{static_cast<int64_t>(std::time(nullptr)) + 10, 0};
    vex_clock_advance(3600);
    p_thread_mutex_lock(&s->mutex);
    auto start = std::chrono::steady_clock::now();
    int rc = p_thread_cond_timedwait(&s->cond, &s->mutex, &deadline);
    auto took = std::chrono::steady_clock::now() - start;
    p_thread_mutex_unlock(&s->mutex);
    vex_clock_advance(-3600);
    EXPECT_EQ(rc, 60);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(CondTest, TimedWaitWokenBeforeItsDeadlineReturnsZero)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    auto rc = std::make_shared<int>(-1);
    auto deadline = std::make_shared<p_thread_timespec_t>(seconds_from_now(60));
    crew.start([s, d = crew.done, rc, deadline] { wait_once(s, d, 1, deadline.get(), rc.get()); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    p_thread_cond_signal(&s->cond);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(*rc, 0);
}

// A timed waiter between two untimed ones times out and leaves from the middle
// of the queue; the others stay queued in their order.
TEST(CondTest, ATimedOutWaiterLeavesTheOthersQueued)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    auto rc = std::make_shared<int>(-1);
    auto deadline = std::make_shared<p_thread_timespec_t>();
    crew.start([s, d = crew.done] { wait_once(s, d, 1); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    // One to two seconds away: long enough for the third waiter to queue behind it.
    *deadline = seconds_from_now(2);
    crew.start([s, d = crew.done, rc, deadline] { wait_once(s, d, 2, deadline.get(), rc.get()); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 2; }));
    crew.start([s, d = crew.done] { wait_once(s, d, 3); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 3; }));

    ASSERT_TRUE(eventually([&] { return s->wake_order().size() == 1; })) << "timed wait never expired";
    EXPECT_EQ(s->wake_order(), (std::vector<int>{2}));
    p_thread_mutex_lock(&s->mutex);
    EXPECT_EQ(*rc, 60);
    p_thread_mutex_unlock(&s->mutex);

    for (size_t n = 2; n <= 3; ++n) {
        p_thread_cond_signal(&s->cond);
        ASSERT_TRUE(eventually([&] { return s->wake_order().size() == n; }));
    }
    EXPECT_EQ(s->wake_order(), (std::vector<int>{2, 1, 3}));
    ASSERT_TRUE(crew.finish());
}

TEST(CondTest, DestroyWhileWaitedOnIsBusyAndLeavesItUsable)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    crew.start([s, d = crew.done] { wait_once(s, d, 1); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    errno = 0;
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), -1);
    EXPECT_EQ(errno, 16);
    p_thread_cond_signal(&s->cond);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), 0);
    EXPECT_EQ(s->cond.valid, 0u);
}

// Signalling and destroying at once, with the mutex held, is allowed: the
// woken thread must not touch the destroyed object afterwards.
TEST(CondTest, DestroyRightAfterSignalWaitsForTheWokenThread)
{
    auto s = std::make_shared<Shared>();
    Crew crew;
    crew.start([s, d = crew.done] { wait_once(s, d, 1); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    p_thread_mutex_lock(&s->mutex);
    EXPECT_EQ(p_thread_cond_signal(&s->cond), 0);
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), 0);
    p_thread_mutex_unlock(&s->mutex);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(s->wake_order(), (std::vector<int>{1}));
    // Nothing was handed back into the destroyed object.
    EXPECT_EQ(s->cond.valid, 0u);
    EXPECT_EQ(s->cond.free_list, nullptr);
}

TEST(CondTest, InvalidObjectsAreRefused)
{
    p_thread_cond_t zero{};
    p_thread_mutex_t m{};
    errno = 0;
    EXPECT_EQ(p_thread_cond_destroy(&zero), -1);
    EXPECT_EQ(errno, 22);

    p_thread_cond_t garbage{};
    garbage.valid = 0x12345678;
    p_thread_timespec_t deadline{0, 0};
    struct Call {
        const char *name;
        int (*call)(p_thread_cond_t *, p_thread_mutex_t *, p_thread_timespec_t *);
    };
    const Call calls[] = {
        {"signal", [](p_thread_cond_t *c, p_thread_mutex_t *, p_thread_timespec_t *) { return p_thread_cond_signal(c); }},
        {"broadcast", [](p_thread_cond_t *c, p_thread_mutex_t *, p_thread_timespec_t *) { return p_thread_cond_broadcast(c); }},
        {"wait", [](p_thread_cond_t *c, p_thread_mutex_t *mx, p_thread_timespec_t *) { return p_thread_cond_wait(c, mx); }},
        {"timedwait", [](p_thread_cond_t *c, p_thread_mutex_t *mx, p_thread_timespec_t *d) { return p_thread_cond_timedwait(c, mx, d); }},
        {"destroy", [](p_thread_cond_t *c, p_thread_mutex_t *, p_thread_timespec_t *) { return p_thread_cond_destroy(c); }},
    };
    for (const Call &c : calls) {
        SCOPED_TRACE(c.name);
        errno = 0;
        p_thread_mutex_lock(&m);
        EXPECT_EQ(c.call(&garbage, &m, &deadline), -1);
        EXPECT_EQ(errno, 22);
        p_thread_mutex_unlock(&m);
        errno = 0;
        EXPECT_EQ(c.call(nullptr, &m, &deadline), -1);
        EXPECT_EQ(errno, 22);
    }
    EXPECT_EQ(garbage.valid, 0x12345678u);
}

TEST(CondTest, ADestroyedConditionVariableWorksAgainOnNextUse)
{
    auto s = std::make_shared<Shared>();
    ASSERT_EQ(p_thread_cond_init(&s->cond, nullptr), 0);
    ASSERT_EQ(p_thread_cond_destroy(&s->cond), 0);
    Crew crew;
    crew.start([s, d = crew.done] { wait_once(s, d, 1); });
    ASSERT_TRUE(eventually([&] { return s->count_queued() == 1; }));
    EXPECT_EQ(s->cond.valid, 0xbb1fe89u);
    p_thread_cond_signal(&s->cond);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(p_thread_cond_destroy(&s->cond), 0);
}

// Zero-filled condition variables reached first by several threads at once;
// a second initialisation would leak the first one's waiter record.
TEST(CondTest, ConcurrentFirstUseOfZeroStorageInitialisesOnce)
{
    constexpr int threads = 4;
    for (int round = 0; round < 40; ++round) {
        auto c = std::make_unique<p_thread_cond_t>();
        std::atomic<int> ready{0};
        std::vector<std::thread> crew;
        for (int t = 0; t < threads; ++t) {
            crew.emplace_back([&] {
                ++ready;
                while (ready.load() < threads) {
                }
                for (int i = 0; i < 50; ++i)
                    p_thread_cond_signal(c.get());
            });
        }
        for (auto &t : crew)
            t.join();
        ASSERT_EQ(c->valid, 0xbb1fe89u);
        ASSERT_EQ(p_thread_cond_destroy(c.get()), 0);
    }
}

// A hand-off queue of the kind the pool runs: producers and consumers on one
// mutex and condition variable; every item arrives exactly once.
TEST(CondTest, HandOffLosesNothingUnderLoad)
{
    struct Queue {
        p_thread_mutex_t m{};
        p_thread_cond_t c{};
        std::vector<int> items;
        long sum = 0;
        int taken = 0;
    };
    auto q = std::make_shared<Queue>();
    constexpr int per_producer = 2000, producers = 2, consumers = 2;
    Crew crew;
    for (int p = 0; p < producers; ++p) {
        crew.start([q, d = crew.done] {
            for (int i = 1; i <= per_producer; ++i) {
                p_thread_mutex_lock(&q->m);
                q->items.push_back(i);
                p_thread_cond_signal(&q->c);
                p_thread_mutex_unlock(&q->m);
            }
            ++*d;
        });
    }
    for (int c = 0; c < consumers; ++c) {
        crew.start([q, d = crew.done] {
            p_thread_mutex_lock(&q->m);
            while (q->taken < producers * per_producer) {
                if (q->items.empty()) {
                    p_thread_timespec_t deadline{vex_clock_now() + 2, 0};
                    p_thread_cond_timedwait(&q->c, &q->m, &deadline);
                    continue;
                }
                q->sum += q->items.back();
                q->items.pop_back();
                ++q->taken;
            }
            p_thread_cond_broadcast(&q->c);
            p_thread_mutex_unlock(&q->m);
            ++*d;
        });
    }
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(q->taken, producers * per_producer);
    EXPECT_EQ(q->sum, long{producers} * per_producer * (per_producer + 1) / 2);
    EXPECT_EQ(p_thread_cond_destroy(&q->c), 0);
    p_thread_mutex_destroy(&q->m);
}

// ---- read-write locks ----

namespace {
struct RwShared {
    p_thread_rwlock_t rw{};
    std::atomic<int> events{0};
    std::atomic<int> writer_got{0}, writer_released{0}, reader_got{0};
    std::atomic<bool> writer_may_release{false};
    std::atomic<int> readers_holding{0};
    RwShared() { p_thread_rwlock_init(&rw); }
    ~RwShared()
    {
        if (rw.readers_cond.valid != 0)
            p_thread_rwlock_destroy(&rw);
    }
};
}  // namespace

TEST(RwLockTest, AReaderArrivingAfterAWaitingWriterWaitsForIt)
{
    auto s = std::make_shared<RwShared>();
    Crew crew;
    ASSERT_EQ(p_thread_rwlock_rdlock(&s->rw), 0);
    ASSERT_EQ(p_thread_rwlock_rdlock(&s->rw), 0);  // two readers
    crew.start([s, d = crew.done] {
        p_thread_rwlock_wrlock(&s->rw);
        s->writer_got = ++s->events;
        eventually([&] { return s->writer_may_release.load(); });
        s->writer_released = ++s->events;
        p_thread_rwlock_unlock(&s->rw);
        ++*d;
    });
    auto writers = [&] {
        p_thread_mutex_lock(&s->rw.mutex);
        unsigned w = s->rw.writers;
        p_thread_mutex_unlock(&s->rw.mutex);
        return w;
    };
    ASSERT_TRUE(eventually([&] { return writers() == 1; }));
    EXPECT_EQ(p_thread_rwlock_tryrdlock(&s->rw), 16) << "a new reader got past a waiting writer";
    crew.start([s, d = crew.done] {
        p_thread_rwlock_rdlock(&s->rw);
        s->reader_got = ++s->events;
        p_thread_rwlock_unlock(&s->rw);
        ++*d;
    });
    EXPECT_TRUE(stays_false([&] { return s->reader_got.load() != 0; }));
    EXPECT_EQ(s->writer_got.load(), 0);
    ASSERT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    EXPECT_TRUE(stays_false([&] { return s->writer_got.load() != 0; })) << "one reader still holds it";
    ASSERT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    ASSERT_TRUE(eventually([&] { return s->writer_got.load() != 0; }));
    s->writer_may_release = true;
    ASSERT_TRUE(crew.finish());
    EXPECT_LT(s->writer_released.load(), s->reader_got.load());
    EXPECT_EQ(p_thread_rwlock_destroy(&s->rw), 0);
}

TEST(RwLockTest, AWriterKeepsASecondWriterOutUntilItUnlocks)
{
    auto s = std::make_shared<RwShared>();
    Crew crew;
    ASSERT_EQ(p_thread_rwlock_wrlock(&s->rw), 0);
    EXPECT_EQ(p_thread_rwlock_trywrlock(&s->rw), 16);
    EXPECT_EQ(p_thread_rwlock_tryrdlock(&s->rw), 16);
    crew.start([s, d = crew.done] {
        p_thread_rwlock_wrlock(&s->rw);
        s->writer_got = 1;
        p_thread_rwlock_unlock(&s->rw);
        ++*d;
    });
    EXPECT_TRUE(stays_false([&] { return s->writer_got.load() != 0; }));
    ASSERT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(s->writer_got.load(), 1);
    // Free again: both try functions succeed.
    EXPECT_EQ(p_thread_rwlock_trywrlock(&s->rw), 0);
    EXPECT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    EXPECT_EQ(p_thread_rwlock_tryrdlock(&s->rw), 0);
    EXPECT_EQ(p_thread_rwlock_trywrlock(&s->rw), 16);
    EXPECT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    EXPECT_EQ(p_thread_rwlock_destroy(&s->rw), 0);
}

TEST(RwLockTest, TheLastWriterWakesAllWaitingReadersTogether)
{
    auto s = std::make_shared<RwShared>();
    Crew crew;
    ASSERT_EQ(p_thread_rwlock_wrlock(&s->rw), 0);
    auto together = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 3; ++i) {
        crew.start([s, d = crew.done, together] {
            p_thread_rwlock_rdlock(&s->rw);
            ++s->readers_holding;
            // All three hold the lock at the same time, or this times out.
            if (eventually([&] { return s->readers_holding.load() == 3; }))
                ++*together;
            p_thread_rwlock_unlock(&s->rw);
            ++*d;
        });
    }
    EXPECT_TRUE(stays_false([&] { return s->readers_holding.load() != 0; }));
    ASSERT_EQ(p_thread_rwlock_unlock(&s->rw), 0);
    ASSERT_TRUE(crew.finish());
    EXPECT_EQ(together->load(), 3);
    EXPECT_EQ(s->rw.mode, 0);
    EXPECT_EQ(s->rw.readers, 0u);
    EXPECT_EQ(p_thread_rwlock_destroy(&s->rw), 0);
}

TEST(RwLockTest, NullIsRefused)
{
    EXPECT_EQ(p_thread_rwlock_init(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_destroy(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_rdlock(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_wrlock(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_tryrdlock(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_trywrlock(nullptr), 22);
    EXPECT_EQ(p_thread_rwlock_unlock(nullptr), 22);
}

// ---- the global lock across threads ----

TEST(GlobalLockTest, NestedLocksHoldItUntilTheLastUnlock)
{
    auto got = std::make_shared<std::atomic<bool>>(false);
    Crew crew;
    ASSERT_EQ(p_thread_lock_global_np(), 0);
    ASSERT_EQ(p_thread_lock_global_np(), 0);
    ASSERT_EQ(p_thread_unlock_global_np(), 0);
    crew.start([got, d = crew.done] {
        p_thread_lock_global_np();
        *got = true;
        p_thread_unlock_global_np();
        ++*d;
    });
    EXPECT_TRUE(stays_false([&] { return got->load(); })) << "free after one of two unlocks";
    ASSERT_EQ(p_thread_unlock_global_np(), 0);
    ASSERT_TRUE(crew.finish());
    EXPECT_TRUE(got->load());
}

TEST(GlobalLockTest, ConcurrentOnceRunsTheRoutineOnceAndEveryoneSeesItDone)
{
    static std::atomic<int> runs;
    static p_thread_once_t once;
    runs = 0;
    once = 0;
    constexpr int threads = 6;
    std::atomic<int> ready{0}, saw_done{0};
    std::vector<std::thread> crew;
    for (int t = 0; t < threads; ++t) {
        crew.emplace_back([&] {
            ++ready;
            while (ready.load() < threads) {
            }
            p_thread_once(&once, [] {
                std::this_thread::yield();
                ++runs;
            });
            if (runs.load() == 1)
                ++saw_done;
        });
    }
    for (auto &t : crew)
        t.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(saw_done.load(), threads);
}
