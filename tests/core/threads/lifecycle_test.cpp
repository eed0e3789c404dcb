// Threads made by the layer: exit values, join and detach, and the
// end-of-thread destructors of thread-specific values.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "threads/p_thread_platform.h"
#include "vexcore/p_thread.h"
#include "wait_util.h"

using vextest::eventually;

namespace {

// Above 32 bits, so a value squeezed through a Windows exit code shows.
void *const big_value = reinterpret_cast<void *>(uintptr_t{0x7123456789abcdef} & UINTPTR_MAX);

// Ends the thread from below its start routine.
[[gnu::noinline]] void *exit_from_callee()
{
    p_thread_exit(big_value);
}

bool has_exited(p_thread_t t)
{
    return std::atomic_ref<uint32_t>(t->state).load() & P_THREAD_EXITED;
}

}  // namespace

TEST(ThreadLifecycleTest, JoinDeliversTheExitValue)
{
    struct Case {
        const char *how;
        void *(*start)(void *);
    };
    const Case cases[] = {
        {"returned", [](void *) -> void * { return big_value; }},
        {"p_thread_exit", [](void *) -> void * { return exit_from_callee(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        p_thread_t t = nullptr;
        ASSERT_EQ(p_thread_create(&t, nullptr, c.start, nullptr), 0);
        ASSERT_NE(t, nullptr);
        void *value = nullptr;
        EXPECT_EQ(p_thread_join(t, &value), 0);
        EXPECT_EQ(value, big_value);
    }
    p_thread_t t = nullptr;
    ASSERT_EQ(p_thread_create(&t, nullptr, [](void *arg) { return arg; }, nullptr), 0);
    EXPECT_EQ(p_thread_join(t, nullptr), 0);  // the value may be ignored
}

TEST(ThreadLifecycleTest, SelfIsTheCreatedObjectAndTheArgumentArrives)
{
    struct Seen {
        std::atomic<p_thread_t> self{nullptr};
        int arg = 0;
    };
    Seen seen;
    seen.arg = 42;
    p_thread_t t = nullptr;
    ASSERT_EQ(p_thread_create(&t, nullptr,
                              [](void *p) -> void * {
                                  auto *s = static_cast<Seen *>(p);
                                  s->self = p_thread_self();
                                  return reinterpret_cast<void *>(static_cast<intptr_t>(s->arg));
                              },
                              &seen),
              0);
    void *value = nullptr;
    ASSERT_EQ(p_thread_join(t, &value), 0);
    EXPECT_EQ(seen.self.load(), t);
    EXPECT_EQ(value, reinterpret_cast<void *>(42));
}

// The stack size is honoured: the thread uses more stack than a Windows
// program's threads get by default.
TEST(ThreadLifecycleTest, AttributesAreHonoured)
{
    p_thread_attr_t attr;
    ASSERT_EQ(p_thread_attr_init(&attr), 0);
    ASSERT_EQ(p_thread_attr_setstacksize(&attr, 8u << 20), 0);
    p_thread_sched_param param{1};
    ASSERT_EQ(p_thread_attr_setschedparam(&attr, &param), 0);
    p_thread_t t = nullptr;
    ASSERT_EQ(p_thread_create(&t, &attr,
                              [](void *) -> void * {
                                  volatile char block[3u << 20];
                                  block[0] = 1;
                                  block[sizeof block - 1] = 2;
                                  return reinterpret_cast<void *>(block[0] + block[sizeof block - 1]);
                              },
                              nullptr),
              0);
    void *value = nullptr;
    ASSERT_EQ(p_thread_join(t, &value), 0);
    EXPECT_EQ(value, reinterpret_cast<void *>(3));
}

TEST(ThreadLifecycleTest, DetachedThreadsRefuseJoinAndASecondDetach)
{
    static std::atomic<bool> go;
    go = false;
    p_thread_attr_t attr;
    ASSERT_EQ(p_thread_attr_init(&attr), 0);
    ASSERT_EQ(p_thread_attr_setdetachstate(&attr, 1), 0);
    auto waits_for_go = [](void *) -> void * {
        // Kept alive until the refusals are done: its object is freed when it ends.
        eventually([] { return go.load(); });
        return nullptr;
    };
    p_thread_t detached = nullptr, joinable = nullptr;
    ASSERT_EQ(p_thread_create(&detached, &attr, waits_for_go, nullptr), 0);
    ASSERT_EQ(p_thread_create(&joinable, nullptr, waits_for_go, nullptr), 0);

    errno = 0;
    EXPECT_EQ(p_thread_join(detached, nullptr), -1);
    EXPECT_EQ(errno, 22);
    errno = 0;
    EXPECT_EQ(w_p_thread_detach(detached), -1);
    EXPECT_EQ(errno, 22);

    EXPECT_EQ(w_p_thread_detach(joinable), 0);
    errno = 0;
    EXPECT_EQ(w_p_thread_detach(joinable), -1);
    EXPECT_EQ(errno, 22);
    errno = 0;
    EXPECT_EQ(p_thread_join(joinable, nullptr), -1);
    EXPECT_EQ(errno, 22);

    errno = 0;
    EXPECT_EQ(p_thread_join(nullptr, nullptr), -1);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(w_p_thread_detach(nullptr), -1);
    go = true;
}

// Detaching a thread that has already ended frees its object at once; the
// leak checker watches that nothing is lost or freed twice.
TEST(ThreadLifecycleTest, DetachAfterTheThreadEndedFreesItsObject)
{
    p_thread_t t = nullptr;
    ASSERT_EQ(p_thread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return has_exited(t); }));
    EXPECT_EQ(w_p_thread_detach(t), 0);
}

// ---- thread-specific values and their destructors ----

namespace {

struct KeyLog {
    std::mutex m;
    std::vector<std::string> calls;
    void add(std::string what)
    {
        std::lock_guard<std::mutex> g(m);
        calls.push_back(std::move(what));
    }
};

KeyLog *key_log;
p_thread_key_t key_a, key_b;

void destroy_a(void *v) { key_log->add(std::string("A:") + static_cast<const char *>(v)); }
void destroy_b(void *v) { key_log->add(std::string("B:") + static_cast<const char *>(v)); }

// Stores a value again from inside the destructor: it must not be destroyed.
void destroy_and_store_again(void *v)
{
    key_log->add(std::string("again:") + static_cast<const char *>(v));
    p_thread_setspecific(key_a, "restored");
}

// Deletes the other key while the end-of-thread walk is under way.
void destroy_and_delete_a(void *v)
{
    key_log->add(std::string("B:") + static_cast<const char *>(v));
    p_thread_key_delete(key_a);
}

void *run(void *fn)
{
    reinterpret_cast<void (*)()>(fn)();
    return nullptr;
}

void in_thread(void (*fn)())
{
    p_thread_t t = nullptr;
    ASSERT_EQ(p_thread_create(&t, nullptr, run, reinterpret_cast<void *>(fn)), 0);
    ASSERT_EQ(p_thread_join(t, nullptr), 0);
}

class KeyDestructorTest : public testing::Test {
protected:
    void SetUp() override { key_log = &log; }
    void TearDown() override { key_log = nullptr; }
    KeyLog log;
};

}  // namespace

TEST_F(KeyDestructorTest, NewestKeyFirstEachOnceAtThreadEnd)
{
    in_thread([] {
        ASSERT_EQ(p_thread_key_create(&key_a, destroy_a), 0);
        ASSERT_EQ(p_thread_key_create(&key_b, destroy_b), 0);
        p_thread_setspecific(key_a, "a");
        p_thread_setspecific(key_b, "b");
    });
    EXPECT_EQ(log.calls, (std::vector<std::string>{"B:b", "A:a"}));
    // Values of other threads are not touched; a thread with no value gets no call.
    in_thread([] { p_thread_setspecific(key_b, "only-b"); });
    EXPECT_EQ(log.calls, (std::vector<std::string>{"B:b", "A:a", "B:only-b"}));
    EXPECT_EQ(p_thread_key_delete(key_a), 0);
    EXPECT_EQ(p_thread_key_delete(key_b), 0);
}

TEST_F(KeyDestructorTest, AValueStoredAgainByADestructorIsDroppedNotDestroyed)
{
    in_thread([] {
        ASSERT_EQ(p_thread_key_create(&key_a, destroy_and_store_again), 0);
        p_thread_setspecific(key_a, "first");
    });
    EXPECT_EQ(log.calls, (std::vector<std::string>{"again:first"}));
    // The next thread (very likely on the same slot) starts without it.
    static std::atomic<void *> seen;
    seen = reinterpret_cast<void *>(1);
    in_thread([] { seen = p_thread_getspecific(key_a); });
    EXPECT_EQ(seen.load(), nullptr);
    EXPECT_EQ(p_thread_key_delete(key_a), 0);
}

TEST_F(KeyDestructorTest, ADestructorMayDeleteAnOlderKey)
{
    in_thread([] {
        ASSERT_EQ(p_thread_key_create(&key_a, destroy_a), 0);
        ASSERT_EQ(p_thread_key_create(&key_b, destroy_and_delete_a), 0);
        p_thread_setspecific(key_a, "a");
        p_thread_setspecific(key_b, "b");
    });
    // A was deleted before its turn: deleting discards values without destructors.
    EXPECT_EQ(log.calls, (std::vector<std::string>{"B:b"}));
    EXPECT_EQ(p_thread_key_delete(key_b), 0);
}

// More threads holding slots at once than the initial slot table has; each
// sees only its own value, also for a key created before the table grew.
TEST_F(KeyDestructorTest, ManyThreadsKeepTheirOwnValues)
{
    constexpr int threads = 40;
    static p_thread_key_t key;
    ASSERT_EQ(p_thread_key_create(&key, nullptr), 0);
    struct Arg {
        int id;
        std::atomic<int> *ready;
        std::atomic<int> *ok;
    };
    std::atomic<int> ready{0}, ok{0};
    std::vector<Arg> args(threads);
    std::vector<p_thread_t> crew(threads);
    for (int i = 0; i < threads; ++i) {
        args[i] = Arg{i, &ready, &ok};
        ASSERT_EQ(p_thread_create(&crew[i], nullptr,
                                  [](void *p) -> void * {
                                      auto *a = static_cast<Arg *>(p);
                                      p_thread_setspecific(key, &a->id);
                                      ++*a->ready;
                                      // Everyone holds a slot at the same time.
                                      eventually([&] { return a->ready->load() == threads; });
                                      if (p_thread_getspecific(key) == &a->id)
                                          ++*a->ok;
                                      return nullptr;
                                  },
                                  &args[i]),
                  0);
    }
    for (p_thread_t t : crew)
        ASSERT_EQ(p_thread_join(t, nullptr), 0);
    EXPECT_EQ(ok.load(), threads);
    EXPECT_EQ(p_thread_getspecific(key), nullptr);
    EXPECT_EQ(p_thread_key_delete(key), 0);
}
