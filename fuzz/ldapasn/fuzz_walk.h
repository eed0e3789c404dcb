// Shared by the codec's fuzz targets: walks whatever the reader accepts to
// the end, checking the context's invariants after every step.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "vexcore/ldapasn.h"

namespace ldapasn_fuzz {

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The cursor and every level's count must stay inside the buffer, and each
// level inside the one around it.
inline void check_ctx(const ldapasn_ctx &ctx, const unsigned char *begin, size_t size)
{
    check(ctx.level >= 0 && ctx.level <= LDAPASN_MAXLEVEL);
    check(ctx.cur >= begin && ctx.cur <= begin + size);
    check(static_cast<size_t>(ctx.cur - begin) + ctx.remain[0] == size);
    for (int i = 1; i <= ctx.level; ++i)
        check(ctx.remain[i] <= ctx.remain[i - 1]);
}

// Walks every element from the context's position; returns the error code.
inline int walk(ldapasn_ctx &ctx, const unsigned char *begin, size_t size, int err)
{
    int steps = 0;
    while (err == 0 && ++steps < 100000) {
        if (!ldapasn_TLavail(&ctx, &err)) {
            if (ctx.level == 0)
                break;
            // Count what is left (a stray byte, at most) and climb.
            ldapasn_ctx probe = ctx;
            int perr = 0;
            check(ldapasn_TLcount(&probe, nullptr, 1, &perr) == 0 || perr != 0);
            if (ldapasn_uplevel(&ctx, &err) != 0)
                break;
            check_ctx(ctx, begin, size);
            continue;
        }
        // Counting the siblings must agree with stepping over them.
        if (steps % 7 == 0) {
            ldapasn_ctx probe = ctx;
            int perr = 0;
            uint32_t total = 0;
            int n = ldapasn_TLcount(&probe, &total, 1, &perr);
            check_ctx(probe, begin, size);
            if (perr == 0)
                check(n >= 1 && probe.remain[probe.level] < 2);
        }
        int tag = 0;
        uint32_t len = 0;
        int hdr = 0;
        if (ldapasn_TLpeek(&ctx, 0, &tag, &len, &hdr, &err) != 0)
            break;
        const unsigned char *before = ctx.cur;
        if ((tag == 0x02 || tag == 0x0A) && len <= 4) {
            int32_t v;
            ldapasn_int(&ctx, tag, &v, &err);
        } else {
            const unsigned char *value = nullptr;
            uint32_t vlen = 0;
            if (ldapasn_TLV(&ctx, 0, nullptr, &vlen, &value, &err) == 0) {
                check(value >= begin && value + (tag & 0x20 ? 0 : vlen) <= begin + size);
                if (!(tag & 0x20) && vlen) {
                    // Touch both ends of the value so a sanitizer sees any overrun.
                    volatile unsigned char edge = value[0];
                    edge = value[vlen - 1];
                    (void)edge;
                }
            }
        }
        if (err != 0 && err != -2 && err != -3)
            check(ctx.cur == before);
        check_ctx(ctx, begin, size);
    }
    return err;
}

}  // namespace ldapasn_fuzz
