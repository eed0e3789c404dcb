/* hostkit: a ready-made host layer for programs that use libvexcore: an
 * asynchronous socket context (`async_glue`) over Asio and OpenSSL, and a
 * host LDAP client (`ldap_client_ops`) over OpenLDAP's libldap.
 *
 * Conventions: opaque handles made by a _new/_open call and given back by the
 * matching _destroy/_release/_close; 0 for success and -1 (or an LDAP code
 * where stated) for failure; texts are terminated. Every function may be
 * called from any thread unless it says otherwise. */
#ifndef HOSTKIT_HOSTKIT_H
#define HOSTKIT_HOSTKIT_H

#include "vexcore/async_glue.h"
#include "vexcore/ldap_client.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- socket context ---- */

/* Error numbers of slots 8 and 43 besides the system's errno values and the
 * ASYNC_ELOOKUP_ codes; slot 44 gives their texts. */
enum {
    HOSTKIT_ETLS = 10001,        /* TLS handshake or record failure */
    HOSTKIT_ETLS_VERIFY = 10002, /* the server's certificate did not verify */
    HOSTKIT_ENOTCONN = 10003     /* the stream has no connection */
};

/* How an engine is made. Zero-fill, then set what differs. */
typedef struct hostkit_engine_config {
    int threads;          /* threads running the engine's event loop; 0 means 1 */
    const char *ca_file;  /* PEM file of trusted CAs for TLS, or null */
    const char *ca_dir;   /* hashed CA directory, or null; with neither, the system's */
    int no_verify;        /* 1 turns certificate checks off: for tests only */
} hostkit_engine_config;

/* The one socket context of this layer; label ASYNC_SOCKETCTX_LABEL_COMPAT,
 * all slots of async_glue.h filled. Lives for the whole process. */
const async_glue *hostkit_glue(void);

/* A new engine running its loop on config->threads threads (null config:
 * one thread, system CAs, verification on); null on failure, for example an
 * unreadable CA file.
 * Streams made by slots 16 and 17 take their TLS settings from the engine of
 * the dispatcher they first work on; until then, from the oldest live engine.
 * Without any live engine slots 16 and 17 return null. */
async_engine *hostkit_engine_new(const hostkit_engine_config *config);

/* Stops the engine's threads after the callbacks already running; what is
 * still queued is dropped, and the blocks still held by its dispatchers and
 * handles get ASYNC_EVENT_SHUTDOWN and are freed. Dispatchers and handles
 * must still be released afterwards. REQUIRES: not called from one of the
 * engine's own threads. */
void hostkit_engine_destroy(async_engine *engine);

/* A new dispatcher on `engine`, or null. */
GDisp *hostkit_dispatcher_new(async_engine *engine);

/* Releases a dispatcher or handle (the same as slot 3). */
void hostkit_dispatcher_release(GDisp *disp);

/* Waits until `disp` has no outstanding block and nothing scheduled, for at
 * most timeout_ms milliseconds (negative: no limit). 0 when idle, -1 on
 * time-out, or when called on one of the engine's own threads (which would
 * wait for itself). */
int hostkit_dispatcher_wait(GDisp *disp, int timeout_ms);

/* ---- host LDAP client ---- */

typedef struct hostkit_ldap hostkit_ldap;

/* Opens a client to `url` ("ldap://host:port" or "ldaps://..."), LDAP v3,
 * bound with `binddn` and `password` (both null: anonymous). ca_file is the
 * PEM file of trusted CAs for ldaps (null: the system's). On failure returns
 * null and stores the LDAP code (or -1) in *code when code is not null.
 * The handle converts to `ldap_client *`: its first member is the table. */
hostkit_ldap *hostkit_ldap_open(const char *url, const char *binddn, const char *password,
                                const char *ca_file, int *code);

/* The handle as the library takes it. */
ldap_client *hostkit_ldap_client(hostkit_ldap *client);

/* The operations table (positions of ldap_client.h filled over libldap). */
const ldap_client_ops *hostkit_ldap_ops(void);

/* Unbinds and frees. Results still held must have been freed first. */
void hostkit_ldap_close(hostkit_ldap *client);

#ifdef __cplusplus
}
#endif

#endif
