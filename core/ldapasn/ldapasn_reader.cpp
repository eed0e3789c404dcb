// BER reader for LDAP responses: walks the receive buffer in place.
#include "vexcore/ldapasn.h"

#include <cstdint>

namespace {

constexpr int TAG_SEQUENCE = 0x30;
constexpr int TAG_INTEGER = 0x02;
constexpr int TAG_ENUMERATED = 0x0A;
constexpr int TAG_OCTETSTRING = 0x04;

const char TEXT_LENGTH[] = "ASN.1 length incorrect";
const char TEXT_LENGTH2[] = "ASN.1 length incorrect (2)";
const char TEXT_INNER[] = "ASN.1 inner length exceeds outer length";
const char TEXT_INDEFINITE[] = "ASN.1 indefinite length not permitted in LDAP";
const char TEXT_LENGTH_LENGTH[] = "ASN.1 unsupported length length";
const char TEXT_TYPE[] = "ASN.1 unexpected type";
const char TEXT_DEEP[] = "ASN.1 nested too deep";

// Records a failure; a null cell keeps the code private, so it is only returned.
int fail(ldapasn_ctx *ctx, int *err, int code, const char *text)
{
    if (err)
        *err = code;
    ctx->errmsg = text;
    return code;
}

// Every byte read belongs to the current level and to all levels around it.
// Straight-line code: a loop costs more than the few levels it walks.
inline void consume(ldapasn_ctx *ctx, int32_t level, uint32_t n)
{
    uint32_t *r = ctx->remain;
    switch (level) {
    case 8: r[8] -= n; [[fallthrough]];
    case 7: r[7] -= n; [[fallthrough]];
    case 6: r[6] -= n; [[fallthrough]];
    case 5: r[5] -= n; [[fallthrough]];
    case 4: r[4] -= n; [[fallthrough]];
    case 3: r[3] -= n; [[fallthrough]];
    case 2: r[2] -= n; [[fallthrough]];
    case 1: r[1] -= n; [[fallthrough]];
    default: r[0] -= n;
    }
}

struct Header {
    int tag = -1;  // -1 until the tag byte has been read
    uint32_t len = 0;
    int hdr = 0;
};

// The long length form, off the hot path. p points at the length byte and
// `left` counts the level's bytes from the tag byte on.
[[gnu::noinline]] int long_length(const unsigned char *p, uint32_t left, Header &h, const char **text)
{
    unsigned lb = p[0];
    if (lb == 0x80) {
        *text = TEXT_INDEFINITE;
        return -2;
    }
    unsigned n = lb & 0x7F;
    if (static_cast<uint64_t>(n) + 2 > left) {
        *text = TEXT_LENGTH2;
        return -1;
    }
    if (n == 0 || n > 4) {
        *text = TEXT_LENGTH_LENGTH;
        return -3;
    }
    uint32_t v = 0;
    for (unsigned i = 1; i <= n; ++i)
        v = (v << 8) | p[i];
    h.len = v;
    h.hdr = static_cast<int>(n) + 2;
    return 0;
}

// Decodes the header at p. Works on copies of the context's fields so that
// the caller's out-pointers, which could alias anything, cost no reloads.
inline int read_header(const unsigned char *p, uint32_t left, int expect, Header &h, const char **text)
{
    if (left < 2) [[unlikely]] {
        *text = TEXT_LENGTH;
        return -1;
    }
    h.tag = p[0];
    if (expect != 0 && h.tag != expect) [[unlikely]] {
        *text = TEXT_TYPE;
        return -4;
    }
    unsigned lb = p[1];
    if (lb < 0x80) [[likely]] {
        h.len = lb;
        h.hdr = 2;
        return 0;
    }
    return long_length(p + 1, left, h, text);
}

}  // namespace

extern "C" VEXCORE_API void ldapasn_init(ldapasn_ctx *ctx, const void *buffer, uint32_t length)
{
    ctx->cur = static_cast<const unsigned char *>(buffer);
    ctx->level = 0;
    ctx->remain[0] = length;
}

extern "C" VEXCORE_API int ldapasn_TLpeek(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                                          int *hdrsize, int *err)
{
    if (err && *err)
        return *err;
    if (hdrsize)
        *hdrsize = 0;
    Header h;
    const char *text = nullptr;
    int rc = read_header(ctx->cur, ctx->remain[ctx->level], tag, h, &text);
    if (tagout && h.tag >= 0)
        *tagout = h.tag;
    if (rc)
        return fail(ctx, err, rc, text);
    if (length)
        *length = h.len;
    if (hdrsize)
        *hdrsize = h.hdr;
    return 0;
}

namespace {

// The general case of ldapasn_TLV: long lengths and every failure.
[[gnu::noinline]] int tlv_general(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                                  const unsigned char **value, int *err)
{
    const unsigned char *p = ctx->cur;
    const int32_t level = ctx->level;
    const uint32_t left = ctx->remain[level];
    Header h;
    const char *text = nullptr;
    int rc = read_header(p, left, tag, h, &text);
    if (tagout && h.tag >= 0)
        *tagout = h.tag;
    if (rc)
        return fail(ctx, err, rc, text);
    if (length)
        *length = h.len;
    if (value)
        *value = p + h.hdr;
    // 64-bit sum: a length near 2^32 must not wrap around into "fits".
    uint64_t need = static_cast<uint64_t>(h.hdr) + h.len;
    if (need > left)
        return fail(ctx, err, -1, TEXT_INNER);
    if (!(h.tag & 0x20)) {
        ctx->cur = p + need;
        consume(ctx, level, static_cast<uint32_t>(need));
        return 0;
    }
    if (level >= LDAPASN_MAXLEVEL)
        return fail(ctx, err, -3, TEXT_DEEP);
    ctx->cur = p + h.hdr;
    consume(ctx, level, static_cast<uint32_t>(h.hdr));
    ctx->level = level + 1;
    ctx->remain[level + 1] = h.len;
    return 0;
}

}  // namespace

extern "C" VEXCORE_API int ldapasn_TLV(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                                       const unsigned char **value, int *err)
{
    if (err && *err)
        return *err;
    // Almost every element of a response has a short length and the expected
    // tag, and fits: that case is kept free of everything else.
    const unsigned char *p = ctx->cur;
    const int32_t level = ctx->level;
    const uint32_t left = ctx->remain[level];
    if (left >= 2 && p[1] < 0x80 && (tag == 0 || tag == p[0]) && p[1] + 2u <= left &&
        (!(p[0] & 0x20) || level < LDAPASN_MAXLEVEL)) [[likely]] {
        const int t = p[0];
        const uint32_t len = p[1];
        if (tagout)
            *tagout = t;
        if (length)
            *length = len;
        if (value)
            *value = p + 2;
        if (!(t & 0x20)) {
            ctx->cur = p + 2 + len;
            consume(ctx, level, len + 2);
        } else {
            ctx->cur = p + 2;
            consume(ctx, level, 2);
            ctx->level = level + 1;
            ctx->remain[level + 1] = len;
        }
        return 0;
    }
    return tlv_general(ctx, tag, tagout, length, value, err);
}

extern "C" VEXCORE_API int ldapasn_uplevel(ldapasn_ctx *ctx, int *err)
{
    if (err && *err)
        return *err;
    if (ctx->remain[ctx->level] != 0)
        return fail(ctx, err, -1, "ASN.1 excess data found");
    if (ctx->level == 0)
        return fail(ctx, err, -4, "ASN.1 can't go above top level");
    ctx->level--;
    return 0;
}

extern "C" VEXCORE_API int ldapasn_TLavail(ldapasn_ctx *ctx, int *err)
{
    if (err && *err)
        return 0;
    return ctx->remain[ctx->level] >= 2 ? 1 : 0;
}

extern "C" VEXCORE_API int ldapasn_TLcount(ldapasn_ctx *ctx, uint32_t *total, int consume_flag,
                                           int *err)
{
    if (err && *err)
        return 0;
    if (total)
        *total = 0;
    const unsigned char *p = ctx->cur;
    const int32_t level = ctx->level;
    uint32_t left = ctx->remain[level];
    uint32_t sum = 0;
    int count = 0;  // at most (2^32 - 1) / 2 elements fit: no overflow
    while (left >= 2) {
        Header h;
        if (p[1] < 0x80) {
            h.len = p[1];
            h.hdr = 2;
        } else {
            const char *text = nullptr;
            int rc = long_length(p + 1, left, h, &text);
            if (rc)
                return fail(ctx, err, rc, text);
        }
        uint64_t step = static_cast<uint64_t>(h.hdr) + h.len;
        if (step > left)
            return fail(ctx, err, -1, TEXT_INNER);
        ++count;
        sum += h.len;
        p += step;
        left -= static_cast<uint32_t>(step);
    }
    if (total)
        *total = sum;
    if (consume_flag) {
        consume(ctx, level, static_cast<uint32_t>(p - ctx->cur));
        ctx->cur = p;
    }
    return count;
}

extern "C" VEXCORE_API int ldapasn_int(ldapasn_ctx *ctx, int tag, int32_t *value, int *err)
{
    uint32_t len;
    const unsigned char *p;
    int rc = ldapasn_TLV(ctx, tag, nullptr, &len, &p, err);
    if (rc)
        return rc;
    if (len < 1 || len > 4)
        return fail(ctx, err, -3, "ASN.1 integer length unsupported");
    // Sign-extend from the first octet, then shift the rest in.
    uint32_t v = (p[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (uint32_t i = 0; i < len; ++i)
        v = (v << 8) | p[i];
    if (value)
        *value = static_cast<int32_t>(v);
    if (len > 1 && ((p[0] == 0x00 && !(p[1] & 0x80)) || (p[0] == 0xFF && (p[1] & 0x80))))
        return fail(ctx, err, -2, "ASN.1 integer encoding too long");
    return 0;
}

extern "C" VEXCORE_API int ldapasn_result(ldapasn_ctx *ctx, int optag, int32_t *msgid, int *optagout,
                                          int32_t *resultcode, uint32_t *diaglen, const char **diag,
                                          int *err)
{
    int err_private = 0;
    if (!err)
        err = &err_private;
    ldapasn_TLV(ctx, TAG_SEQUENCE, nullptr, nullptr, nullptr, err);
    ldapasn_int(ctx, TAG_INTEGER, msgid, err);
    if (optagout) {
        ldapasn_TLV(ctx, 0, optagout, nullptr, nullptr, err);
        if (*err == 0 && *optagout != optag)
            return 0;
    } else {
        ldapasn_TLV(ctx, optag, nullptr, nullptr, nullptr, err);
    }
    ldapasn_int(ctx, TAG_ENUMERATED, resultcode, err);
    ldapasn_TLV(ctx, TAG_OCTETSTRING, nullptr, nullptr, nullptr, err);
    const unsigned char *text = nullptr;
    ldapasn_TLV(ctx, TAG_OCTETSTRING, nullptr, diaglen, &text, err);
    if (diag && *err == 0)
        *diag = reinterpret_cast<const char *>(text);
    return *err;
}
