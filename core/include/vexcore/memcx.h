/* memcx: the memory context through which the pool, its results and the
 * certificate mapper allocate.
 *
 * A host may pass its own record; its first member is the reallocation
 * function: realloc(cx, old, size) returns the new block; size 0 frees `old`
 * and returns null; `old` null allocates. A block is always given back
 * through the context it came from. Passing a null context means the
 * library's default: the run-time allocator, and the run-time's abort. */
#ifndef VEXCORE_MEMCX_H
#define VEXCORE_MEMCX_H

#include <stddef.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

typedef struct memcx memcx;

struct memcx {
    void *(*realloc)(memcx *cx, void *old, size_t size);
    void (*abort)(void);
};

VEXCORE_END_DECLS

#endif
