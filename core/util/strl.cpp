// No system string header here: a C library that declares (or, fortified,
// defines inline) its own strlcpy/strlcat must not meet these definitions.
#include "vexcore/strl.h"

namespace {

size_t length_of(const char *s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

void copy_bytes(char *dst, const char *src, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i];
}

}  // namespace

extern "C" size_t strlcpy(char *dst, const char *src, size_t size) noexcept
{
    size_t n = length_of(src);
    if (n < size) {
        copy_bytes(dst, src, n + 1);
    } else if (size >= 2) {
        copy_bytes(dst, src, size - 1);
        dst[size - 1] = '\0';
    } else if (size == 1 && dst) {
        dst[0] = '\0';
    }
    return n;
}

extern "C" size_t strlcat(char *dst, const char *src, size_t size) noexcept
{
    // The existing length is looked for within the buffer only: a destination
    // without a terminator in its `size` bytes is never read beyond them.
    size_t d = 0;
    while (d < size && dst[d])
        ++d;
    size_t n = length_of(src);
    if (d == size)
        return size + n;
    if (d + n < size) {
        copy_bytes(dst + d, src, n + 1);
    } else if (size - d > 1) {
        copy_bytes(dst + d, src, size - d - 1);
        dst[size - 1] = '\0';
    }
    return d + n;
}
