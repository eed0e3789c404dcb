#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "vex_assert.h"
#include "vex_clock.h"
#include "vex_log.h"
#include "vex_memory.h"

TEST(CommonTest, DefaultMemoryContextAllocatesGrowsAndFrees)
{
    memcx *cx = vex_memcx_default();
    ASSERT_NE(cx, nullptr);
    char *p = static_cast<char *>(vex_alloc(nullptr, 8));
    ASSERT_NE(p, nullptr);
    std::snprintf(p, 8, "abcdefg");
    p = static_cast<char *>(vex_realloc(nullptr, p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abcdefg");
    // Size 0 frees and answers null, as the contract says.
    EXPECT_EQ(cx->realloc(cx, p, 0), nullptr);
}

namespace {
struct CapturingLog {
    logcx base;
    int level = -1;
    std::string text;
};

void capture(logcx *cx, int level, const char *format, va_list args)
{
    auto *self = reinterpret_cast<CapturingLog *>(cx);
    char line[256];
    std::vsnprintf(line, sizeof line, format, args);
    self->level = level;
    self->text = line;
}
}  // namespace

TEST(CommonTest, LogGoesThroughTheCallersContext)
{
    CapturingLog log;
    log.base.log = capture;
    vex_log(&log.base, LOGCX_WARNING, "value %d of %s", 7, "x");
    EXPECT_EQ(log.level, 4);
    EXPECT_EQ(log.text, "value 7 of x");
}

TEST(CommonTest, ClockHookMovesTimeForward)
{
    int64_t before = vex_clock_now();
    vex_clock_advance(3600);
    int64_t after = vex_clock_now();
    vex_clock_advance(-3600);
    EXPECT_GE(after - before, 3600);
    EXPECT_LE(after - before, 3602);
}

TEST(CommonDeathTest, AssertionNamesConditionSourceAndLine)
{
    EXPECT_DEATH(VEX_ASSERT_AT(1 == 2, "optf->valid != 0", "optfile", 81),
                 "optf->valid != 0.*optfile.*line 81");
}
