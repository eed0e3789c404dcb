/* url: LDAP URLs (ldap://user@host:port/dn?attrs?scope?filter?exts).
 *
 * Conventions of the family:
 * - url_parse never fails on a merely untidy URL: it delivers what it can
 *   and records each irregularity as a bit of `warnings`. It fails (-1) only
 *   for a missing or unusable scheme, a scheme other than ldap/ldaps (or the
 *   expected one), something other than '/' after the authority, or a failed
 *   allocation.
 * - Every part is a pointer and a length; the length is authoritative. An
 *   absent part is null with length 0; a present but empty part points to a
 *   constant empty text. The filter is always set: without one in the URL it
 *   is url_ldap_get_deffilter().
 * - Allocate mode (URL_PARSE_ALLOC): the parts are copies in one block held
 *   in `buffer`. In-place mode: the parts are decoded and terminated inside
 *   the caller's text, which must outlive the record; the parse rewrites
 *   only bytes of that text (and, when `len` is negative, its terminator).
 * - The caller owns the record and always empties it with url_cleanup, also
 *   after a failed parse. No shared state: safe from any thread. */
#ifndef VEXCORE_URL_H
#define VEXCORE_URL_H

#include <stddef.h>
#include <stdint.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Parse flags. */
#define URL_PARSE_ALLOC 0x01          /* copy the parts into one allocated block */
#define URL_PARSE_NUL 0x02            /* terminate decoded parts; leave the scheme where it is */
#define URL_PARSE_SECURE_VARIANT 0x04 /* accept the expected scheme + "s" as its secure variant */
#define URL_PARSE_HOST_SPACES 0x08    /* allow spaces and %20 in host names */
#define URL_PARSE_PASSWORD 0x10       /* split the userinfo into user and password at its last ':' */
#define URL_PARSE_AUTH 0x20           /* recognise ";auth=" in the userinfo */
#define URL_PARSE_HOSTPORT 0x40       /* host_len covers ":port" too */

/* Bits of url_record.flags. */
#define URL_FLAG_IPV4 0x01     /* the host is an IPv4 literal */
#define URL_FLAG_IPV6 0x02     /* the host is an IPv6 literal */
#define URL_FLAG_SECURE 0x08   /* ldaps, or the expected scheme with an "s" */
#define URL_FLAG_ENCLOSED 0x20 /* the URL was enclosed in '<' '>' */

/* Bits of url_record.warnings. */
#define URL_WARN_SCHEME 0x00001     /* a character not allowed in a scheme */
#define URL_WARN_RELPATH 0x00002    /* reserved for relative references; never set */
#define URL_WARN_USER 0x00004       /* a character not allowed in the userinfo */
#define URL_WARN_PASSWORD 0x00008   /* more than one ':' in the userinfo */
#define URL_WARN_HOST 0x00010       /* neither IPv4, host name nor IPv6 literal */
#define URL_WARN_PORT 0x00020       /* not all digits, or above 65535 (port is then 0) */
#define URL_WARN_BADHEX 0x00040     /* '%' without two hexadecimal digits (kept as is) */
#define URL_WARN_OVERFLOW 0x00080   /* the output room ran out; a part was cut */
#define URL_WARN_LDAP_SCOPE 0x10000 /* scope other than base, one or sub */

/* Values of url_record.scope. */
#define URL_SCOPE_BASE 0
#define URL_SCOPE_ONELEVEL 1
#define URL_SCOPE_SUBTREE 2

typedef struct url_record {
    const char *scheme;
    const char *user;
    const char *password;
    const char *auth;
    const char *host;   /* as written; an IPv6 literal with its brackets */
    void *buffer;       /* the block of allocate mode, else null */
    uint32_t port;      /* 0 when absent or invalid */
    uint32_t flags;     /* URL_FLAG_* */
    uint32_t warnings;  /* URL_WARN_* */
    uint32_t scheme_len;
    uint32_t user_len;
    uint32_t password_len;
    uint32_t auth_len;
    uint32_t host_len;
    unsigned char addr[16]; /* literal host, network order: IPv4 in 0-3, IPv6 in all */
    const char *dn;
    const char *attrs;  /* comma-separated, not split */
    const char *filter;
    const char *exts;   /* everything after the fourth '?', not split */
    int32_t scope;      /* URL_SCOPE_* */
    uint32_t dn_len;
    uint32_t attrs_len;
    uint32_t filter_len;
    uint32_t exts_len;
} url_record;

/* Parses `url` into `rec`. `len` is the text's length, or negative for a
 * terminated text. `scheme` is an optional expected scheme (e.g. "ldap"),
 * `base` an optional base for relative references (which are not supported:
 * a relative URL gives -1). `flags` are URL_PARSE_*. Without URL_PARSE_ALLOC
 * the text at `url` is rewritten. Returns 0 or -1; either way release the
 * record with url_cleanup. */
VEXCORE_API int url_parse(url_record *rec, char *url, ptrdiff_t len, const char *scheme,
                          const char *base, uint32_t flags);

/* Frees the record's block, if any, and zeroes the record. Returns 0. */
VEXCORE_API int url_cleanup(url_record *rec);

/* The constant default filter "(objectclass=*)": a parsed `filter` equal to
 * this pointer means that the URL named none (in-place mode). */
VEXCORE_API const char *url_ldap_get_deffilter(void);

VEXCORE_END_DECLS

#endif
