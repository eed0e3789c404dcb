#include "vex_assert.h"

#include <cstdio>
#include <cstdlib>

extern "C" void vex_assert_fail(const char *condition, const char *source, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, source, line);
    std::fflush(stderr);
    std::abort();
}
