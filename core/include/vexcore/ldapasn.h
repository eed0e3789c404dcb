/* ldapasn: the LDAP message codec -- a BER reader for responses, a request
 * formatter and a message dump.
 *
 * Conventions of the family:
 * - Nothing here allocates or copies. The reader hands out pointers into the
 *   caller's buffer (not NUL-terminated: use them with their lengths, and
 *   keep the buffer alive); the formatter writes into the caller's buffer.
 * - Reader operations share a sticky error cell `err`: 0 means "no error so
 *   far". An operation that finds *err non-zero does nothing and returns it
 *   (ldapasn_TLavail and ldapasn_TLcount return 0 instead); one that fails
 *   stores its code in *err, points ctx->errmsg at a static text and returns
 *   the code. A null `err` keeps the code private, so it is only returned.
 *   Codes: -1 length/framing, -2 encoding not allowed, -3 unsupported size
 *   or depth, -4 wrong tag or level. A failing step leaves the context where
 *   it was (ldapasn_int excepted, see there).
 * - Every out-pointer may be null.
 * - A context belongs to one thread at a time; the functions keep no state
 *   of their own. */
#ifndef VEXCORE_LDAPASN_H
#define VEXCORE_LDAPASN_H

#include <stddef.h>
#include <stdint.h>

#include "vexcore/logcx.h"
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Deepest nesting of constructed elements the reader keeps open. */
#define LDAPASN_MAXLEVEL 8

/* The reader's context; the caller owns the storage (a stack variable is
 * fine) and ldapasn_init fills it. */
typedef struct ldapasn_ctx {
    const unsigned char *cur;              /* tag byte of the next element */
    int32_t level;                         /* open constructed elements; 0 = top */
    uint32_t remain[LDAPASN_MAXLEVEL + 1]; /* unread bytes of each open level */
    const char *errmsg;                    /* static text of the last failure */
} ldapasn_ctx;

/* Starts reading `length` bytes at `buffer`. Does not clear errmsg. */
VEXCORE_API void ldapasn_init(ldapasn_ctx *ctx, const void *buffer, uint32_t length);

/* Decodes the header at ctx->cur without moving. `tag` 0 accepts any tag.
 * Returns 0 or an error code. */
VEXCORE_API int ldapasn_TLpeek(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                               int *hdrsize, int *err);

/* Steps over one primitive element (value points at its content) or enters
 * one constructed element (value points at its first child). `tag` 0
 * accepts any tag. At most LDAPASN_MAXLEVEL constructed elements can be
 * open. Returns 0 or an error code. */
VEXCORE_API int ldapasn_TLV(ldapasn_ctx *ctx, int tag, int *tagout, uint32_t *length,
                            const unsigned char **value, int *err);

/* Leaves the current constructed element, which must have been read to its
 * last byte. Returns 0 or an error code. */
VEXCORE_API int ldapasn_uplevel(ldapasn_ctx *ctx, int *err);

/* 1 when no error is recorded and at least 2 bytes (room for another
 * element) remain at the current level, else 0. */
VEXCORE_API int ldapasn_TLavail(ldapasn_ctx *ctx, int *err);

/* Counts the elements left at the current level without entering them;
 * `total` receives the sum of their content lengths. With `consume` set
 * they are also stepped over. Returns the count, 0 when *err was already
 * set, or a negative code (nothing consumed). */
VEXCORE_API int ldapasn_TLcount(ldapasn_ctx *ctx, uint32_t *total, int consume, int *err);

/* Reads an INTEGER (tag 2) or ENUMERATED (tag 10) of 1 to 4 content octets
 * in shortest form. The element is consumed even when its length or its
 * redundant leading octet is refused; in the latter case *value is set.
 * Returns 0 or an error code. */
VEXCORE_API int ldapasn_int(ldapasn_ctx *ctx, int tag, int32_t *value, int *err);

/* Reads the head every LDAP response shares: LDAPMessage, messageID, the
 * protocolOp, resultCode, matchedDN and diagnosticMessage. With `optagout`
 * non-null any protocolOp is entered and its tag stored; when it is not
 * `optag` the call returns 0 at once, positioned at the op's first child.
 * A referral and controls after the diagnostic message are left unread.
 * Returns *err at the end (0 on success). */
VEXCORE_API int ldapasn_result(ldapasn_ctx *ctx, int optag, int32_t *msgid, int *optagout,
                               int32_t *resultcode, uint32_t *diaglen, const char **diag,
                               int *err);

/* One change record of a modify ("m") or add ("M") request; an array of them
 * ends with a record whose type is null. */
typedef struct ldapasn_mod {
    int32_t op;                     /* 0 add, 1 delete, 2 replace; unused by "M" */
    const char *type;               /* terminated attribute type */
    const char *const *values;      /* null-terminated array, or null for none */
    const uint32_t *lengths;        /* parallel to values, or null: texts */
} ldapasn_mod;

/* Encodes one LDAP request into `buffer` as described by `format`:
 *   ( [tag ) ]  open a SEQUENCE / a constructed element with that tag; close
 *   s text   S tag,text   d int   e int   D tag,int   b int
 *   A texts (null-terminated array)   a attribute-list text   u URL text
 *   f filter text   m changes (ldapasn_mod *)   M attributes (ldapasn_mod *)
 * Nothing is written unless the whole encoding fits. *length is the encoded
 * size whenever the format and arguments are valid, even when the call
 * fails because `buffer` is null or `size` too small; else 0.
 * Returns 0 or -1. */
VEXCORE_API int ldapasn_format(void *buffer, size_t size, size_t *length, const char *format, ...);

/* Logs the BER message in `buffer` as an indented tree, one line per
 * element, each line starting with `mark` (">" sent, "<" received), at
 * priority `level` through `log` (null: standard error). Malformed input
 * ends the dump with one line saying what is wrong. */
VEXCORE_API void ldapasn_dump(logcx *log, int level, int mark, const void *buffer, size_t length);

VEXCORE_END_DECLS

#endif
