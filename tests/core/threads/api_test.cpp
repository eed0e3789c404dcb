// The single-threaded contract of the threads layer: attributes, keys, once,
// the global lock's nesting and the delay.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "threads/p_thread_internal.h"
#include "vexcore/p_thread.h"

TEST(ThreadAttrTest, InitGivesTheDocumentedDefaults)
{
    p_thread_attr_t attr;
    ASSERT_EQ(p_thread_attr_init(&attr), 0);
    size_t stack = 99;
    int detach = 99, inherit = 99;
    p_thread_sched_param param{99};
    EXPECT_EQ(p_thread_attr_getstacksize(&attr, &stack), 0);
    EXPECT_EQ(p_thread_attr_getdetachstate(&attr, &detach), 0);
    EXPECT_EQ(p_thread_attr_getinheritsched(&attr, &inherit), 0);
    EXPECT_EQ(p_thread_attr_getschedparam(&attr, &param), 0);
    EXPECT_EQ(attr.valid, 0x8675309u);
    EXPECT_EQ(stack, 0u);
    EXPECT_EQ(detach, 0);
    EXPECT_EQ(inherit, 1);
    EXPECT_EQ(param.sched_priority, 0);
}

TEST(ThreadAttrTest, SettersAreReadBack)
{
    p_thread_attr_t attr;
    ASSERT_EQ(p_thread_attr_init(&attr), 0);
    p_thread_sched_param in{2}, out{0};
    size_t stack = 0;
    int detach = 0, inherit = 0;
    EXPECT_EQ(p_thread_attr_setstacksize(&attr, 256 * 1024), 0);
    EXPECT_EQ(p_thread_attr_setdetachstate(&attr, 1), 0);
    EXPECT_EQ(p_thread_attr_setinheritsched(&attr, 0), 0);
    EXPECT_EQ(p_thread_attr_setschedparam(&attr, &in), 0);
    EXPECT_EQ(p_thread_attr_getstacksize(&attr, &stack), 0);
    EXPECT_EQ(p_thread_attr_getdetachstate(&attr, &detach), 0);
    EXPECT_EQ(p_thread_attr_getinheritsched(&attr, &inherit), 0);
    EXPECT_EQ(p_thread_attr_getschedparam(&attr, &out), 0);
    EXPECT_EQ(stack, 256u * 1024u);
    EXPECT_EQ(detach, 1);
    EXPECT_EQ(inherit, 0);
    EXPECT_EQ(out.sched_priority, 2);
}

TEST(ThreadAttrTest, EveryFunctionRefusesADestroyedOrUninitialisedObject)
{
    p_thread_attr_t destroyed;
    ASSERT_EQ(p_thread_attr_init(&destroyed), 0);
    ASSERT_EQ(p_thread_attr_destroy(&destroyed), 0);
    EXPECT_EQ(destroyed.valid, 0u);
    p_thread_attr_t garbage;
    std::memset(&garbage, 0x5a, sizeof garbage);

    for (p_thread_attr_t *attr : {&destroyed, &garbage, static_cast<p_thread_attr_t *>(nullptr)}) {
        size_t stack;
        int v;
        p_thread_sched_param param{1};
        EXPECT_EQ(p_thread_attr_destroy(attr), 22);
        EXPECT_EQ(p_thread_attr_setstacksize(attr, 1), 22);
        EXPECT_EQ(p_thread_attr_getstacksize(attr, &stack), 22);
        EXPECT_EQ(p_thread_attr_setdetachstate(attr, 1), 22);
        EXPECT_EQ(p_thread_attr_getdetachstate(attr, &v), 22);
        EXPECT_EQ(p_thread_attr_setinheritsched(attr, 1), 22);
        EXPECT_EQ(p_thread_attr_getinheritsched(attr, &v), 22);
        EXPECT_EQ(p_thread_attr_setschedparam(attr, &param), 22);
        EXPECT_EQ(p_thread_attr_getschedparam(attr, &param), 22);
    }
    p_thread_t thread = nullptr;
    EXPECT_EQ(p_thread_create(&thread, &destroyed, [](void *) -> void * { return nullptr; }, nullptr), 22);
    EXPECT_EQ(thread, nullptr);
}

TEST(ThreadAttrTest, SchedulingPoliciesAreUnsupportedWhateverTheyAreGiven)
{
    p_thread_attr_t attr;
    ASSERT_EQ(p_thread_attr_init(&attr), 0);
    int policy = 7;
    EXPECT_EQ(p_thread_attr_setschedpolicy(&attr, 1), 48);
    EXPECT_EQ(p_thread_attr_getschedpolicy(&attr, &policy), 48);
    EXPECT_EQ(p_thread_attr_getschedpolicy(nullptr, nullptr), 48);
    EXPECT_EQ(p_thread_attr_setschedpolicy(nullptr, 0), 48);
    EXPECT_EQ(policy, 7);
}

TEST(ThreadSelfTest, TheProcessFirstThreadHasNoThreadObject)
{
    EXPECT_EQ(p_thread_self(), nullptr);
    EXPECT_GE(p_thread_self_id_np(), 1u);
}

// ---- keys ----

TEST(ThreadKeyTest, ADeletedKeysIndexIsGivenToTheNextKey)
{
    p_thread_key_t a, b, again;
    ASSERT_EQ(p_thread_key_create(&a, nullptr), 0);
    ASSERT_EQ(p_thread_key_create(&b, nullptr), 0);
    EXPECT_NE(a, b);
    ASSERT_EQ(p_thread_key_delete(a), 0);
    ASSERT_EQ(p_thread_key_create(&again, nullptr), 0);
    EXPECT_EQ(again, a);
    EXPECT_EQ(p_thread_key_delete(again), 0);
    EXPECT_EQ(p_thread_key_delete(b), 0);
}

TEST(ThreadKeyTest, ValuesAreNullUntilSetAndGoneWithTheKey)
{
    p_thread_key_t key;
    ASSERT_EQ(p_thread_key_create(&key, nullptr), 0);
    EXPECT_EQ(p_thread_getspecific(key), nullptr);
    int value = 0;
    ASSERT_EQ(p_thread_setspecific(key, &value), 0);
    EXPECT_EQ(p_thread_getspecific(key), &value);
    ASSERT_EQ(p_thread_key_delete(key), 0);
    EXPECT_EQ(p_thread_getspecific(key), nullptr);
    // A new key on the same index starts empty, not with the old key's value.
    p_thread_key_t reused;
    ASSERT_EQ(p_thread_key_create(&reused, nullptr), 0);
    ASSERT_EQ(reused, key);
    EXPECT_EQ(p_thread_getspecific(reused), nullptr);
    EXPECT_EQ(p_thread_key_delete(reused), 0);
}

TEST(ThreadKeyTest, KeysOutsideTheTableAreRefused)
{
    size_t cap = p_thread_key_capacity_np();
    int value = 0;
    for (long key : {-1L, static_cast<long>(cap), static_cast<long>(cap) + 1000}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(p_thread_setspecific(static_cast<p_thread_key_t>(key), &value), 22);
        EXPECT_EQ(p_thread_getspecific(static_cast<p_thread_key_t>(key)), nullptr);
        EXPECT_EQ(p_thread_key_delete(static_cast<p_thread_key_t>(key)), 22);
    }
    // Inside the table but never created.
    EXPECT_EQ(p_thread_setspecific(static_cast<p_thread_key_t>(cap - 1), &value), 22);
    EXPECT_EQ(p_thread_key_delete(static_cast<p_thread_key_t>(cap - 1)), 22);
    EXPECT_EQ(p_thread_key_create(nullptr, nullptr), 22);
}

TEST(ThreadKeyTest, The257thKeyDoublesTheTable)
{
    std::vector<p_thread_key_t> keys;
    ASSERT_EQ(p_thread_key_capacity_np(), 256u);
    // Fill every entry (earlier tests gave theirs back).
    for (int i = 0; i < 256; ++i) {
        p_thread_key_t k;
        ASSERT_EQ(p_thread_key_create(&k, nullptr), 0);
        keys.push_back(k);
    }
    EXPECT_EQ(p_thread_key_capacity_np(), 256u);
    p_thread_key_t extra;
    ASSERT_EQ(p_thread_key_create(&extra, nullptr), 0);
    EXPECT_EQ(extra, 256);
    EXPECT_EQ(p_thread_key_capacity_np(), 512u);
    // Every key still holds its own value after the table moved.
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(p_thread_setspecific(keys[i], &keys[i]), 0);
    ASSERT_EQ(p_thread_setspecific(extra, &extra), 0);
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(p_thread_getspecific(keys[i]), &keys[i]);
    EXPECT_EQ(p_thread_getspecific(extra), &extra);
    for (p_thread_key_t k : keys)
        ASSERT_EQ(p_thread_key_delete(k), 0);
    EXPECT_EQ(p_thread_key_delete(extra), 0);
}

TEST(ThreadKeyDeathTest, ADestructorOutsideTheLayersThreadsStopsTheProcess)
{
    EXPECT_DEATH(
        {
            p_thread_key_t key;
            p_thread_key_create(&key, [](void *) {});
        },
        "Assertion failed: !destructor .. w_p_thread_self.. != 0, file p_thread_win32, line ");
}

// ---- once and the global lock ----

namespace {
int once_runs;
p_thread_once_t inner_once;

void inner_routine() { ++once_runs; }

void outer_routine()
{
    ++once_runs;
    // Runs under the global lock: this thread holds it (a non-holder would
    // be refused), and may take it again and run other once-routines.
    EXPECT_EQ(p_thread_unlock_global_np(), 0);
    EXPECT_EQ(p_thread_lock_global_np(), 0);
    EXPECT_EQ(p_thread_lock_global_np(), 0);
    EXPECT_EQ(p_thread_unlock_global_np(), 0);
    p_thread_once(&inner_once, inner_routine);
}
}  // namespace

TEST(ThreadOnceTest, RoutineRunsOnceUnderTheGlobalLock)
{
    p_thread_once_t once = 0;
    once_runs = 0;
    p_thread_once(&once, outer_routine);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(inner_once, 1);
    EXPECT_EQ(once_runs, 2);
    p_thread_once(&once, outer_routine);
    EXPECT_EQ(once_runs, 2);
    // The global lock was given back: this thread does not hold it now.
    EXPECT_EQ(p_thread_unlock_global_np(), 22);
}

TEST(ThreadOnceTest, ANullRoutineStillMarksTheWord)
{
    p_thread_once_t once = 0;
    p_thread_once(&once, nullptr);
    EXPECT_EQ(once, 1);
    once_runs = 0;
    p_thread_once(&once, inner_routine);
    EXPECT_EQ(once_runs, 0);
}

TEST(ThreadGlobalLockTest, UnlockWithoutHoldingIsRefused)
{
    EXPECT_EQ(p_thread_unlock_global_np(), 22);
    EXPECT_EQ(p_thread_lock_global_np(), 0);
    EXPECT_EQ(p_thread_unlock_global_np(), 0);
    EXPECT_EQ(p_thread_unlock_global_np(), 22);
}

// ---- delay ----

TEST(ThreadDelayTest, SecondsAndWholeMillisecondsOfNanoseconds)
{
    struct Case {
        int64_t sec;
        long nsec;
        uint64_t ms;
    };
    const Case cases[] = {
        {1, 500000000, 1500}, {0, 999999, 0},  {0, 1000000, 1},    {2, 0, 2000},
        {0, 999999999, 999},  {-1, 0, 0},      {0, -5, 0},         {INT64_MAX, 0, UINT64_MAX},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sec << "s " << c.nsec << "ns");
        EXPECT_EQ(p_thread_delay_ms(p_thread_timespec_t{c.sec, c.nsec}), c.ms);
    }
}

TEST(ThreadDelayTest, SleepsAtLeastTheDelay)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p_thread_delay_np(p_thread_timespec_t{0, 300000000}), 0);
    auto slept = std::chrono::steady_clock::now() - start;
    // Windows timers may end a little early; nanoseconds taken as microseconds would not reach this.
    EXPECT_GE(slept, std::chrono::milliseconds(280));
}
