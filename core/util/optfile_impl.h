// Layout of an option file handle, shared with the tests that inspect it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexcore/optfile.h"

inline constexpr unsigned kOptfileBuckets = 61;

struct optfile_entry {
    optfile_entry *next;  // further entries of the bucket, allocated one by one
    const char *name;     // null while the bucket's own slot is unused
    const char *value;
    size_t value_len;
    unsigned line;
};

// One block: this header, then the file's text and its terminator.
struct optfile {
    uint32_t valid;
    optfile_entry buckets[kOptfileBuckets];
};

unsigned optfile_bucket_of(const char *name);
