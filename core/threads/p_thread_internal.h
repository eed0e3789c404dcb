// Internal functions of the threads layer, reached by the rest of the library
// and by tests through the static library; not exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexcore/p_thread.h"

// The caller's thread object without entering the layer's set-up.
p_thread_t w_p_thread_self();

// The key table's current number of entries.
size_t p_thread_key_capacity_np();

// The milliseconds p_thread_delay_np sleeps for `delay`.
uint64_t p_thread_delay_ms(p_thread_timespec_t delay);
