// Allocation through a memcx; a null context means the library's default.
#pragma once

#include <cstddef>

#include "vexcore/memcx.h"

extern "C" memcx *vex_memcx_default(void);

inline memcx *vex_memcx_or_default(memcx *cx) { return cx ? cx : vex_memcx_default(); }

// Null on failure; the caller decides whether that is a result or a stop.
inline void *vex_alloc(memcx *cx, std::size_t size)
{
    memcx *m = vex_memcx_or_default(cx);
    return m->realloc(m, nullptr, size ? size : 1);
}

inline void *vex_realloc(memcx *cx, void *old, std::size_t size)
{
    memcx *m = vex_memcx_or_default(cx);
    return m->realloc(m, old, size);
}

inline void vex_free(memcx *cx, void *block)
{
    if (block) {
        memcx *m = vex_memcx_or_default(cx);
        m->realloc(m, block, 0);
    }
}
