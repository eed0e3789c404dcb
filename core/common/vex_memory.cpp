#include "vex_memory.h"

#include <cstdlib>

namespace {

void *default_realloc(memcx *, void *old, std::size_t size)
{
    if (size == 0) {
        std::free(old);
        return nullptr;
    }
    return std::realloc(old, size);
}

memcx default_context = {default_realloc, std::abort};

}  // namespace

extern "C" memcx *vex_memcx_default(void) { return &default_context; }
