// The one way libvexcore stops the process on a broken calling contract or
// internal invariant: the condition text, the source name and the line go to
// standard error, then abort().
#pragma once

extern "C" [[noreturn]] void vex_assert_fail(const char *condition, const char *source, int line);

// VEX_ASSERT(cond, "tsock") names the line it stands on; VEX_ASSERT_AT names a
// fixed line for the contracts whose reported line callers already know.
#define VEX_ASSERT(cond, source) \
    ((cond) ? (void)0 : vex_assert_fail(#cond, (source), __LINE__))
#define VEX_ASSERT_TEXT(cond, text, source) \
    ((cond) ? (void)0 : vex_assert_fail((text), (source), __LINE__))
#define VEX_ASSERT_AT(cond, text, source, line) \
    ((cond) ? (void)0 : vex_assert_fail((text), (source), (line)))
