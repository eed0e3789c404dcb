// BER reader for LDAP responses: walks the receive buffer in place.
#include "vexcore/ldapasn.h"

#include <cstdint>

namespace {

constexpr int TAG_SEQUENCE = 0x30;
constexpr int TAG_INTEGER = 0x02;
constexpr int TAG_ENUMERATED = 0x0A;
constexpr int TAG_OCTETSTRING = 0x04;

int fail(ldapasn_ctx *ctx, int *err, int code, const char *text)
{
    *err = code;
    ctx->errmsg = text;
    return code;
}

// Every byte read belongs to the current level and to all levels around it.
void consume(ldapasn_ctx *ctx, uint32_t n)
{
    for (int32_t i = 0; i <= ctx->level; ++i)
        ctx->remain[i] -= n;
}

// Decodes a length at p (the length byte), with `left` bytes of the level
// counted from the tag byte. Shared by the peek and by TLcount.
int decode_length(ldapasn_ctx *ctx, const unsigned char *p, uint32_t left, uint32_t *len,
                  int *hdr, int *err)
{
    unsigned lb = p[0];
    if (lb == 0x80)
        return fail(ctx, err, -2, "ASN.1 indefinite length not permitted in LDAP");
    if (lb < 0x80) {
        *len = lb;
        *hdr = 2;
        return 0;
    }
    unsigned n = lb & 0x7F;
    if (static_cast<uint64_t>(n) + 2 > left)
        return fail(ctx, err, -1, "ASN.1 length incorrect (2)");
    if (n == 0 || n > 4)
        return fail(ctx, err, -3, "ASN.1 unsupported length length");
    uint32_t v = 0;
    for (unsigned i = 1; i <= n; ++i)
        v = (v << 8) | p[i];
    *len = v;
    *hdr = static_cast<int>(n) + 2;
    return 0;
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
    int err_private = 0, tag_private, hdr_private;
    uint32_t len_private;
    if (!err)
        err = &err_private;
    if (!tagout)
        tagout = &tag_private;
    if (!length)
        length = &len_private;
    if (!hdrsize)
        hdrsize = &hdr_private;
    if (*err)
        return *err;
    *hdrsize = 0;
    uint32_t left = ctx->remain[ctx->level];
    if (left < 2)
        return fail(ctx, err, -1, "ASN.1 length incorrect");
    *tagout = ctx->cur[0];
    if (tag != 0 && *tagout != tag)
        return fail(ctx, err, -4, "ASN.1 unexpected type");
    return decode_length(ctx, ctx->cur + 1, left, length, hdrsize, err);
}

extern "C" VEXCORE_API int ldapasn_TLV(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                                       const unsigned char **value, int *err)
{
    int err_private = 0, tag_private, hdr;
    uint32_t len;
    const unsigned char *value_private;
    if (!err)
        err = &err_private;
    if (!tagout)
        tagout = &tag_private;
    if (!value)
        value = &value_private;
    int rc = ldapasn_TLpeek(ctx, tag, tagout, &len, &hdr, err);
    if (rc)
        return rc;
    if (length)
        *length = len;
    *value = ctx->cur + hdr;
    // 64-bit sum: a length near 2^32 must not wrap around into "fits".
    uint64_t need = static_cast<uint64_t>(hdr) + len;
    if (need > ctx->remain[ctx->level])
        return fail(ctx, err, -1, "ASN.1 inner length exceeds outer length");
    if (!(*tagout & 0x20)) {
        ctx->cur += need;
        consume(ctx, static_cast<uint32_t>(need));
        return 0;
    }
    if (ctx->level >= LDAPASN_MAXLEVEL)
        return fail(ctx, err, -3, "ASN.1 nested too deep");
    ctx->cur += hdr;
    consume(ctx, static_cast<uint32_t>(hdr));
    ctx->level++;
    ctx->remain[ctx->level] = len;
    return 0;
}

extern "C" VEXCORE_API int ldapasn_uplevel(ldapasn_ctx *ctx, int *err)
{
    int err_private = 0;
    if (!err)
        err = &err_private;
    if (*err)
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
    int err_private = 0;
    uint32_t total_private;
    if (!err)
        err = &err_private;
    if (!total)
        total = &total_private;
    if (*err)
        return 0;
    *total = 0;
    const unsigned char *p = ctx->cur;
    uint32_t left = ctx->remain[ctx->level];
    int count = 0;
    while (left >= 2) {
        uint32_t len;
        int hdr;
        int rc = decode_length(ctx, p + 1, left, &len, &hdr, err);
        if (rc)
            return rc;
        uint64_t step = static_cast<uint64_t>(hdr) + len;
        if (step > left)
            return fail(ctx, err, -1, "ASN.1 inner length exceeds outer length");
        ++count;
        *total += len;
        p += step;
        left -= static_cast<uint32_t>(step);
    }
    if (consume_flag) {
        consume(ctx, static_cast<uint32_t>(p - ctx->cur));
        ctx->cur = p;
    }
    return count;
}

extern "C" VEXCORE_API int ldapasn_int(ldapasn_ctx *ctx, int tag, int32_t *value, int *err)
{
    int err_private = 0;
    int32_t value_private;
    if (!err)
        err = &err_private;
    if (!value)
        value = &value_private;
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
