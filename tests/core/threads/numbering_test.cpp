#include <gtest/gtest.h>

#include <atomic>

#include "vexcore/p_thread.h"
#include "wait_util.h"

namespace {

std::atomic<bool> release_first{false};
std::atomic<unsigned> first_number{0};
std::atomic<unsigned> second_number{0};
std::atomic<bool> third_entered{false};
std::atomic<bool> release_third{false};
std::atomic<unsigned> third_number{0};
p_thread_cond_t no_waiters;

void *first_thread(void *)
{
    // Makes no call into the layer until told, so the thread created after
    // it enters the layer first.
    while (!release_first.load())
        std::this_thread::yield();
    first_number = p_thread_self_id_np();
    return nullptr;
}

void *second_thread(void *)
{
    second_number = p_thread_self_id_np();
    return nullptr;
}

// Enters the layer through a condition variable, and asks its number later.
void *third_thread(void *)
{
    p_thread_cond_signal(&no_waiters);
    third_entered = true;
    while (!release_third.load())
        std::this_thread::yield();
    third_number = p_thread_self_id_np();
    return nullptr;
}

}  // namespace

TEST(ThreadNumberingTest, ThreadsAreNumberedInTheOrderTheyFirstEnterTheLayer)
{
    ASSERT_EQ(p_thread_self_id_np(), 1u);

    p_thread_t first = nullptr, second = nullptr;
    ASSERT_EQ(p_thread_create(&first, nullptr, first_thread, nullptr), 0);
    ASSERT_EQ(p_thread_create(&second, nullptr, second_thread, nullptr), 0);
    ASSERT_EQ(p_thread_join(second, nullptr), 0);
    EXPECT_EQ(second_number.load(), 2u) << "numbered when created instead of at its first call";

    p_thread_t third = nullptr;
    ASSERT_EQ(p_thread_create(&third, nullptr, third_thread, nullptr), 0);
    ASSERT_TRUE(vextest::eventually([] { return third_entered.load(); }));

    release_first = true;
    ASSERT_EQ(p_thread_join(first, nullptr), 0);
    EXPECT_EQ(first_number.load(), 4u);
    release_third = true;
    ASSERT_EQ(p_thread_join(third, nullptr), 0);
    EXPECT_EQ(third_number.load(), 3u) << "not numbered at its first call, a condition-variable call";
    EXPECT_EQ(p_thread_self_id_np(), 1u);
}
