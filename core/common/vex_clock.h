// The library's one clock: whole seconds since the epoch. Everything that
// expires (connection lifetimes, cache entries, deadlines) reads it here, so
// tests can move time forward with vex_clock_advance instead of sleeping.
#pragma once

#include <cstdint>

extern "C" int64_t vex_clock_now(void);

// Test hook: shifts every later vex_clock_now() by `seconds` (may be negative).
extern "C" void vex_clock_advance(int64_t seconds);
