// hostkit's host LDAP client: the positions of ldap_client_ops over
// OpenLDAP's libldap. Results and entries are libldap's own messages; value
// records share struct berval's layout, so lists pass through uncopied.
#include <ldap.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/time.h>

#include "hostkit/hostkit.h"

static_assert(sizeof(ldap_client_value) == sizeof(struct berval), "value record must match berval");
static_assert(offsetof(ldap_client_value, len) == offsetof(struct berval, bv_len), "value length");
static_assert(offsetof(ldap_client_value, data) == offsetof(struct berval, bv_val), "value data");
static_assert(sizeof(((ldap_client_value *)nullptr)->len) == sizeof(ber_len_t), "length width");

struct hostkit_ldap {
    ldap_client head;  // first: the library reaches the table through it
    LDAP *ld;
};

namespace {

LDAP *ld_of(ldap_client *client)
{
    return client ? reinterpret_cast<hostkit_ldap *>(client)->ld : nullptr;
}

LDAPMessage *msg(ldap_client_message *m)
{
    return reinterpret_cast<LDAPMessage *>(m);
}

int search(ldap_client *client, const char *base, int scope, const char *filter, char **attrs, int attrsonly,
           const ldap_client_timeout *limit, ldap_client_message **result)
{
    if (!result)
        return LDAP_PARAM_ERROR;
    *result = nullptr;
    LDAP *ld = ld_of(client);
    if (!ld || !base || !filter)
        return LDAP_PARAM_ERROR;
    timeval tv{};
    timeval *tvp = nullptr;
    if (limit && (limit->seconds > 0 || limit->microseconds > 0)) {
        if (limit->seconds < 0 || limit->microseconds < 0)
            return LDAP_PARAM_ERROR;
        tv.tv_sec = limit->seconds + limit->microseconds / 1000000;
        tv.tv_usec = limit->microseconds % 1000000;
        tvp = &tv;
    }
    LDAPMessage *res = nullptr;
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, attrsonly, nullptr, nullptr, tvp, 0, &res);
    *result = reinterpret_cast<ldap_client_message *>(res);
    return rc;
}

int search_st(ldap_client *client, const char *base, int scope, const char *filter, char **attrs, int attrsonly,
              const ldap_client_timeout *limit, ldap_client_message **result)
{
    return search(client, base, scope, filter, attrs, attrsonly, limit, result);
}

int search_s(ldap_client *client, const char *base, int scope, const char *filter, char **attrs, int attrsonly,
             ldap_client_message **result)
{
    return search(client, base, scope, filter, attrs, attrsonly, nullptr, result);
}

int get_dn(ldap_client *client, ldap_client_message *entry, char **dn)
{
    if (!dn)
        return LDAP_PARAM_ERROR;
    *dn = nullptr;
    LDAP *ld = ld_of(client);
    if (!ld || !entry)
        return LDAP_PARAM_ERROR;
    *dn = ldap_get_dn(ld, msg(entry));
    if (*dn)
        return LDAP_SUCCESS;
    int rc = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
    return rc != LDAP_SUCCESS ? rc : LDAP_OTHER;
}

int first_entry(ldap_client *client, ldap_client_message *result, ldap_client_message **entry)
{
    if (!entry)
        return LDAP_PARAM_ERROR;
    *entry = nullptr;
    LDAP *ld = ld_of(client);
    if (!ld || !result)
        return LDAP_PARAM_ERROR;
    LDAPMessage *e = ldap_first_entry(ld, msg(result));
    *entry = reinterpret_cast<ldap_client_message *>(e);
    return e ? LDAP_SUCCESS : LDAP_NO_RESULTS_RETURNED;
}

int next_entry(ldap_client *client, ldap_client_message *from, ldap_client_message **entry)
{
    if (!entry)
        return LDAP_PARAM_ERROR;
    *entry = nullptr;
    LDAP *ld = ld_of(client);
    if (!ld || !from)
        return LDAP_PARAM_ERROR;
    LDAPMessage *e = ldap_next_entry(ld, msg(from));
    *entry = reinterpret_cast<ldap_client_message *>(e);
    return e ? LDAP_SUCCESS : LDAP_NO_RESULTS_RETURNED;
}

int count_entries(ldap_client *client, ldap_client_message *result, int *count)
{
    if (!count)
        return LDAP_PARAM_ERROR;
    *count = 0;
    LDAP *ld = ld_of(client);
    if (!ld)
        return LDAP_PARAM_ERROR;
    if (!result)
        return LDAP_SUCCESS;
    int n = ldap_count_entries(ld, msg(result));
    if (n < 0)
        return LDAP_PARAM_ERROR;
    *count = n;
    return LDAP_SUCCESS;
}

int get_values_len(ldap_client *client, ldap_client_message *entry, const char *attr,
                   ldap_client_value ***values)
{
    if (!values)
        return LDAP_PARAM_ERROR;
    *values = nullptr;
    LDAP *ld = ld_of(client);
    if (!ld || !entry || !attr)
        return LDAP_PARAM_ERROR;
    berval **v = ldap_get_values_len(ld, msg(entry), attr);
    if (!v)
        return LDAP_NO_SUCH_ATTRIBUTE;
    *values = reinterpret_cast<ldap_client_value **>(v);
    return LDAP_SUCCESS;
}

// Text lists are one allocation: the pointer array, then each value with a
// terminator, so that freeing is one call and values with NUL bytes cannot
// overrun anything (they just read shorter).
int get_values(ldap_client *client, ldap_client_message *entry, const char *attr, char ***values)
{
    if (!values)
        return LDAP_PARAM_ERROR;
    *values = nullptr;
    ldap_client_value **v = nullptr;
    int rc = get_values_len(client, entry, attr, &v);
    if (rc != LDAP_SUCCESS)
        return rc;
    size_t n = 0;
    size_t bytes = 0;
    for (; v[n]; ++n)
        bytes += v[n]->len + 1;
    auto *block = static_cast<char **>(std::malloc((n + 1) * sizeof(char *) + bytes));
    if (!block) {
        ber_bvecfree(reinterpret_cast<berval **>(v));
        return LDAP_NO_MEMORY;
    }
    char *text = reinterpret_cast<char *>(block + n + 1);
    for (size_t i = 0; i < n; ++i) {
        block[i] = text;
        if (v[i]->len)
            std::memcpy(text, v[i]->data, v[i]->len);
        text[v[i]->len] = '\0';
        text += v[i]->len + 1;
    }
    block[n] = nullptr;
    ber_bvecfree(reinterpret_cast<berval **>(v));
    *values = block;
    return LDAP_SUCCESS;
}

int free_values(ldap_client *, char **values)
{
    std::free(values);
    return LDAP_SUCCESS;
}

int free_values_len(ldap_client *, ldap_client_value **values)
{
    if (values)
        ber_bvecfree(reinterpret_cast<berval **>(values));
    return LDAP_SUCCESS;
}

int free_result(ldap_client *, ldap_client_message *result)
{
    if (result)
        ldap_msgfree(msg(result));
    return LDAP_SUCCESS;
}

int free_text(ldap_client *, char *text)
{
    if (text)
        ldap_memfree(text);
    return LDAP_SUCCESS;
}

const char *err2string(ldap_client *, int code)
{
    return ldap_err2string(code);
}

const ldap_client_ops g_ops = [] {
    ldap_client_ops ops{};
    ops.search_st = search_st;
    ops.get_dn = get_dn;
    ops.first_entry = first_entry;
    ops.next_entry = next_entry;
    ops.count_entries = count_entries;
    ops.get_values = get_values;
    ops.get_values_len = get_values_len;
    ops.free_values = free_values;
    ops.free_values_len = free_values_len;
    ops.free_result = free_result;
    ops.free_text = free_text;
    ops.err2string = err2string;
    ops.search_s = search_s;
    return ops;
}();

}  // namespace

extern "C" {

const ldap_client_ops *hostkit_ldap_ops(void)
{
    return &g_ops;
}

hostkit_ldap *hostkit_ldap_open(const char *url, const char *binddn, const char *password, const char *ca_file,
                                int *code)
{
    int dummy;
    int &rc = code ? *code : dummy;
    rc = LDAP_PARAM_ERROR;
    if (!url || (binddn && !password))
        return nullptr;
    LDAP *ld = nullptr;
    rc = ldap_initialize(&ld, url);
    if (rc != LDAP_SUCCESS)
        return nullptr;
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    // Never hang on a dead server while connecting.
    timeval net{10, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
    if (ca_file) {
        ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file);
        int require = LDAP_OPT_X_TLS_DEMAND;
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require);
        // Per-handle TLS options take effect only in a new context.
        int is_server = 0;
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server);
    }
    berval cred{};
    if (password) {
        cred.bv_val = const_cast<char *>(password);
        cred.bv_len = std::strlen(password);
    }
    rc = ldap_sasl_bind_s(ld, binddn ? binddn : "", LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    auto *client = new (std::nothrow) hostkit_ldap{{&g_ops}, ld};
    if (!client) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        rc = LDAP_NO_MEMORY;
        return nullptr;
    }
    return client;
}

ldap_client *hostkit_ldap_client(hostkit_ldap *client)
{
    return client ? &client->head : nullptr;
}

void hostkit_ldap_close(hostkit_ldap *client)
{
    if (!client)
        return;
    ldap_unbind_ext_s(client->ld, nullptr, nullptr);
    delete client;
}

}  // extern "C"
