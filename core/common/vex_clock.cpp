#include "vex_clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<int64_t> clock_offset{0};
}

extern "C" int64_t vex_clock_now(void)
{
    return static_cast<int64_t>(std::time(nullptr)) + clock_offset.load(std::memory_order_relaxed);
}

extern "C" void vex_clock_advance(int64_t seconds)
{
    clock_offset.fetch_add(seconds, std::memory_order_relaxed);
}
