/* ldap_client: the host program's LDAP client, through which the domain map,
 * certificate mapping and administrator recognition reach the directory when
 * no pool is configured.
 *
 * The host hands the library a handle whose first member points to an
 * `ldap_client_ops` table (`struct ldap_client` is that common head; a host
 * puts it first in its own record). Positions count from 0; position n of the
 * table is its n-th function pointer, and positions the library never calls
 * are padding so that the numbers hold.
 *
 * Every operation receives the handle first, then what its position lists.
 * Every operation except the error text returns 0 or an LDAP result code.
 * Ownership: a result from a search is freed with position 36 (also when the
 * search failed but stored one), value lists with 34 or 35, DN texts with 37;
 * entries live inside their result. Error texts are constants.
 * Threading: as the host's client allows; hostkit's client may be shared by
 * threads. */
#ifndef VEXCORE_LDAP_CLIENT_H
#define VEXCORE_LDAP_CLIENT_H

#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Search scopes, as LDAP numbers them. */
enum {
    LDAP_CLIENT_SCOPE_BASE = 0,
    LDAP_CLIENT_SCOPE_ONELEVEL = 1,
    LDAP_CLIENT_SCOPE_SUBTREE = 2
};

typedef struct ldap_client ldap_client;
typedef struct ldap_client_ops ldap_client_ops;
/* A search result or one entry inside it; opaque. */
typedef struct ldap_client_message ldap_client_message;

/* One value with its length; values may hold any bytes. */
typedef struct ldap_client_value {
    unsigned long len;
    char *data;
} ldap_client_value;

/* A search time limit; seconds and microseconds both 0 means none. */
typedef struct ldap_client_timeout {
    long seconds;
    long microseconds;
} ldap_client_timeout;

struct ldap_client {
    const ldap_client_ops *ops;
};

/* 1: searches with a time limit. `attrs` is a null-terminated list of
 * attribute names or null for all. Stores the result in *result (possibly
 * also on failure). Returns the code; 32 when the base does not exist. */
typedef int (*ldap_client_search_st_fn)(ldap_client *ld, const char *base, int scope, const char *filter,
                                        char **attrs, int attrsonly, const ldap_client_timeout *limit,
                                        ldap_client_message **result);
/* 19: the entry's DN in *dn (free with 37), or null. */
typedef int (*ldap_client_get_dn_fn)(ldap_client *ld, ldap_client_message *entry, char **dn);
/* 20, 21: the first entry of a result / the entry after `entry`; 0 with the
 * entry, anything else (and null) when there is none. */
typedef int (*ldap_client_entry_fn)(ldap_client *ld, ldap_client_message *from,
                                    ldap_client_message **entry);
/* 22: the number of entries of a result in *count. */
typedef int (*ldap_client_count_fn)(ldap_client *ld, ldap_client_message *result, int *count);
/* 26: the values of `attr` as a null-terminated list of terminated texts
 * (free with 34); non-zero and null when the entry has none. */
typedef int (*ldap_client_get_values_fn)(ldap_client *ld, ldap_client_message *entry, const char *attr,
                                         char ***values);
/* 27: the values of `attr` as a null-terminated list of value records (free
 * with 35); non-zero and null when the entry has none. */
typedef int (*ldap_client_get_values_len_fn)(ldap_client *ld, ldap_client_message *entry,
                                             const char *attr, ldap_client_value ***values);
/* 34, 35, 36, 37: free a value list, a value-record list, a result, a text.
 * Null is accepted. */
typedef int (*ldap_client_free_values_fn)(ldap_client *ld, char **values);
typedef int (*ldap_client_free_values_len_fn)(ldap_client *ld, ldap_client_value **values);
typedef int (*ldap_client_free_result_fn)(ldap_client *ld, ldap_client_message *result);
typedef int (*ldap_client_free_text_fn)(ldap_client *ld, char *text);
/* 44: the constant text of an LDAP result code. */
typedef const char *(*ldap_client_err2string_fn)(ldap_client *ld, int code);
/* 45: as 1 without a time limit. */
typedef int (*ldap_client_search_s_fn)(ldap_client *ld, const char *base, int scope, const char *filter,
                                       char **attrs, int attrsonly, ldap_client_message **result);
/* Padding for positions no caller uses. */
typedef void (*ldap_client_unused_fn)(void);

struct ldap_client_ops {
    ldap_client_unused_fn unused0;                  /* 0 */
    ldap_client_search_st_fn search_st;             /* 1 */
    ldap_client_unused_fn unused2;                  /* 2 */
    ldap_client_unused_fn unused3;                  /* 3 */
    ldap_client_unused_fn unused4;                  /* 4 */
    ldap_client_unused_fn unused5;                  /* 5 */
    ldap_client_unused_fn unused6;                  /* 6 */
    ldap_client_unused_fn unused7;                  /* 7 */
    ldap_client_unused_fn unused8;                  /* 8 */
    ldap_client_unused_fn unused9;                  /* 9 */
    ldap_client_unused_fn unused10;                 /* 10 */
    ldap_client_unused_fn unused11;                 /* 11 */
    ldap_client_unused_fn unused12;                 /* 12 */
    ldap_client_unused_fn unused13;                 /* 13 */
    ldap_client_unused_fn unused14;                 /* 14 */
    ldap_client_unused_fn unused15;                 /* 15 */
    ldap_client_unused_fn unused16;                 /* 16 */
    ldap_client_unused_fn unused17;                 /* 17 */
    ldap_client_unused_fn unused18;                 /* 18 */
    ldap_client_get_dn_fn get_dn;                   /* 19 */
    ldap_client_entry_fn first_entry;               /* 20 */
    ldap_client_entry_fn next_entry;                /* 21 */
    ldap_client_count_fn count_entries;             /* 22 */
    ldap_client_unused_fn unused23;                 /* 23 */
    ldap_client_unused_fn unused24;                 /* 24 */
    ldap_client_unused_fn unused25;                 /* 25 */
    ldap_client_get_values_fn get_values;           /* 26 */
    ldap_client_get_values_len_fn get_values_len;   /* 27 */
    ldap_client_unused_fn unused28;                 /* 28 */
    ldap_client_unused_fn unused29;                 /* 29 */
    ldap_client_unused_fn unused30;                 /* 30 */
    ldap_client_unused_fn unused31;                 /* 31 */
    ldap_client_unused_fn unused32;                 /* 32 */
    ldap_client_unused_fn unused33;                 /* 33 */
    ldap_client_free_values_fn free_values;         /* 34 */
    ldap_client_free_values_len_fn free_values_len; /* 35 */
    ldap_client_free_result_fn free_result;         /* 36 */
    ldap_client_free_text_fn free_text;             /* 37 */
    ldap_client_unused_fn unused38;                 /* 38 */
    ldap_client_unused_fn unused39;                 /* 39 */
    ldap_client_unused_fn unused40;                 /* 40 */
    ldap_client_unused_fn unused41;                 /* 41 */
    ldap_client_unused_fn unused42;                 /* 42 */
    ldap_client_unused_fn unused43;                 /* 43 */
    ldap_client_err2string_fn err2string;           /* 44 */
    ldap_client_search_s_fn search_s;               /* 45 */
};

VEXCORE_END_DECLS

#endif
