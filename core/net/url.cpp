// LDAP URL parsing. Untidy URLs are accepted with warning bits; the parts
// are delivered either as copies in one block or decoded in the caller's
// own text.
#include "vexcore/url.h"

#include "vexcore/ascii.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char url_deffilter[] = "(objectclass=*)";
constexpr char url_empty[] = "";

// The library's ASCII tables, never the locale: URLs are protocol text.
unsigned char url_byte(char c) { return static_cast<unsigned char>(c); }
bool url_alpha(char c) { return (ascii_ctype_mask_table[url_byte(c)] & ASCII_CTYPE_ALPHA) != 0; }
bool url_digit(char c) { return (ascii_ctype_mask_table[url_byte(c)] & ASCII_CTYPE_DIGIT) != 0; }
bool url_alnum(char c) { return (ascii_ctype_mask_table[url_byte(c)] & ASCII_CTYPE_ALNUM) != 0; }
bool url_mark(char c) { return c != '\0' && std::strchr("!$&'()*+,-.=_~", c) != nullptr; }

int url_hex(char c)
{
    unsigned char v = ascii_decode_base_table[url_byte(c)];
    return v < 16 ? v : -1;
}

char url_lower(char c) { return static_cast<char>(ascii_convert_to_lowercase[url_byte(c)]); }

bool url_iequal(const char *a, const char *b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (url_lower(a[i]) != url_lower(b[i]))
            return false;
    return true;
}

bool url_is_one_of(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Where a host (and its port) may end.
bool url_host_end(const char *p, const char *e) { return p == e || url_is_one_of(*p, ":#/?"); }

char *url_find(char *p, char *e, char c)
{
    while (p < e && *p != c)
        ++p;
    return p;
}

char *url_find_any(char *p, char *e, const char *set)
{
    while (p < e && !url_is_one_of(*p, set))
        ++p;
    return p;
}

// Four decimal numbers of at most 255 joined by dots. On success *pp is past
// the last number and *last its start; on failure *pp is the start of the
// number that failed.
bool url_read_ipv4(char **pp, char *e, unsigned char out[4], char **last)
{
    char *p = *pp;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == e || *p != '.') {
                *pp = p;
                return false;
            }
            ++p;
        }
        char *start = p;
        unsigned v = 0;
        while (p < e && url_digit(*p) && v * 10 + static_cast<unsigned>(*p - '0') <= 255)
            v = v * 10 + static_cast<unsigned>(*p++ - '0');
        if (p == start || (p < e && url_digit(*p))) {
            *pp = start;
            return false;
        }
        out[i] = static_cast<unsigned char>(v);
        if (last)
            *last = start;
    }
    *pp = p;
    return true;
}

// Labels of letters, digits and '-' (with spaces: also ' ' and %20) joined by
// single dots. Valid when the last label begins with a letter and the name
// ends where a host may end.
bool url_read_hostname(char **pp, char *e, bool spaces)
{
    char *p = *pp;
    char *label;
    for (;;) {
        label = p;
        while (p < e) {
            if (url_alnum(*p) || *p == '-' || (spaces && *p == ' '))
                ++p;
            else if (spaces && e - p >= 3 && p[0] == '%' && p[1] == '2' && p[2] == '0')
                p += 3;
            else
                break;
        }
        if (e - p >= 2 && p[0] == '.' && url_alnum(p[1])) {
            ++p;
            continue;
        }
        break;
    }
    *pp = p;
    return url_alpha(*label) && url_host_end(p, e);
}

// An IPv6 literal from its '[' to its ']', with the RFC 4291 "::" gap and a
// trailing dotted IPv4 part.
bool url_read_ipv6(char **pp, char *e, unsigned char out[16])
{
    char *p = *pp + 1;
    unsigned char b[16] = {};
    int filled = 0;
    int gap = -1;
    bool closed = false;
    if (e - p >= 2 && p[0] == ':' && p[1] == ':') {
        gap = 0;
        p += 2;
        if (p < e && *p == ']') {
            ++p;
            closed = true;
        }
    }
    while (!closed && filled < 15) {
        char *group = p;
        unsigned v = 0;
        while (p < e && url_hex(*p) >= 0) {
            v = v * 16 + static_cast<unsigned>(url_hex(*p++));
            if (v > 0xFFFF)
                return false;
        }
        if (p == group || p == e)
            return false;
        if (*p == '.' && (filled == 12 || (gap >= 0 && filled < 12))) {
            char *q = group;
            if (!url_read_ipv4(&q, e, b + filled, nullptr) || q == e || *q != ']')
                return false;
            filled += 4;
            p = q + 1;
            closed = true;
            break;
        }
        b[filled++] = static_cast<unsigned char>(v >> 8);
        b[filled++] = static_cast<unsigned char>(v);
        if (*p == ']') {
            if (filled != 16 && gap < 0)
                return false;
            ++p;
            closed = true;
        } else if (*p != ':') {
            return false;
        } else if (e - p >= 2 && p[1] == ':') {
            if (gap >= 0)
                return false;
            gap = filled;
            p += 2;
            if (p < e && *p == ']') {
                ++p;
                closed = true;
            }
        } else {
            ++p;
        }
    }
    if (!closed)
        return false;
    if (gap < 0) {
        if (filled != 16)
            return false;
    } else {
        if (filled > 15)
            return false;
        int tail = filled - gap;
        std::memmove(b + 16 - tail, b + gap, static_cast<std::size_t>(tail));
        std::memset(b + gap, 0, static_cast<std::size_t>(16 - tail - gap));
    }
    std::memcpy(out, b, 16);
    *pp = p;
    return true;
}

struct url_part {
    char *p = nullptr;
    std::size_t len = 0;
};

std::size_t url_room(const url_part &part) { return part.p && part.len ? part.len + 1 : 0; }

// Decoded length of a span: each %XX counts once.
std::size_t url_decoded_len(const char *p, std::size_t len)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; ++n)
        i += p[i] == '%' && len - i >= 3 && url_hex(p[i + 1]) >= 0 && url_hex(p[i + 2]) >= 0 ? 3 : 1;
    return n;
}

// Where delivered parts go. In allocate mode `cur`..`end` is the block. In
// place there is no area until a part has been decoded; then it is the rest
// of the caller's text after that part, and later parts move down into it.
struct url_out {
    bool alloc = false;
    char *cur = nullptr;
    char *end = nullptr;
    char *text = nullptr;   // the caller's text
    char *limit = nullptr;  // in place: no byte at or past this is written
    bool nul = false;
    uint32_t *warnings = nullptr;

    bool in_text(const char *p) const { return p >= text && p < limit; }
};

void url_deliver(url_out &o, url_part &part)
{
    if (!part.p)
        return;
    if (part.len == 0) {
        part.p = const_cast<char *>(url_empty);
        return;
    }
    // In place, texts that are not the caller's (the default filter) stay
    // where they are.
    if (!o.alloc && !o.in_text(part.p))
        return;
    char *src = part.p;
    char *pct = static_cast<char *>(std::memchr(src, '%', part.len));
    if (!pct) {
        if (o.cur && o.cur != src) {
            std::size_t room = static_cast<std::size_t>(o.end - o.cur);
            if (room == 0) {
                *o.warnings |= URL_WARN_OVERFLOW;
                return;
            }
            if (room <= part.len) {
                *o.warnings |= URL_WARN_OVERFLOW;
                part.len = room - 1;
            }
            std::memmove(o.cur, src, part.len);
            o.cur[part.len] = '\0';
            part.p = o.cur;
            o.cur += part.len + 1;
        } else if (!o.alloc) {
            // The delimiter after the part becomes its terminator; the end
            // of an explicitly sized text is not ours to write.
            char *t = src + part.len;
            if (t < o.limit)
                *t = '\0';
            if (o.cur)
                o.cur = t < o.limit ? t + 1 : t;
        }
        return;
    }

    std::size_t prefix = static_cast<std::size_t>(pct - src);
    char *start;
    char *w;
    char *wend;
    if (o.cur) {
        if (prefix > static_cast<std::size_t>(o.end - o.cur)) {
            *o.warnings |= URL_WARN_OVERFLOW;
            return;
        }
        std::memmove(o.cur, src, prefix);
        start = o.cur;
        w = o.cur + prefix;
        wend = o.end;
    } else {
        start = src;
        w = pct;
        wend = o.limit;
    }
    const char *r = pct;
    const char *rend = src + part.len;
    while (r < rend && w < wend) {
        int hi, lo;
        if (*r == '%' && rend - r >= 3 && (hi = url_hex(r[1])) >= 0 && (lo = url_hex(r[2])) >= 0) {
            *w++ = static_cast<char>(hi * 16 + lo);
            r += 3;
        } else {
            if (*r == '%')
                *o.warnings |= URL_WARN_BADHEX;
            *w++ = *r++;
        }
    }
    if (r < rend)
        *o.warnings |= URL_WARN_OVERFLOW;
    char *next = w;
    if (o.nul) {
        if (w < wend) {
            *w = '\0';
            next = w + 1;
        } else {
            if (w > start)
                *--w = '\0';
            *o.warnings |= URL_WARN_OVERFLOW;
            next = wend;
        }
    }
    part.p = start;
    part.len = static_cast<std::size_t>(w - start);
    o.cur = next;
    if (!o.alloc)
        o.end = o.limit;
}

void url_store(const char **field, uint32_t *len, const url_part &part)
{
    *field = part.p;
    *len = static_cast<uint32_t>(part.len);
}

}  // namespace

extern "C" VEXCORE_API const char *url_ldap_get_deffilter(void) { return url_deffilter; }

extern "C" VEXCORE_API int url_cleanup(url_record *rec)
{
    if (rec) {
        std::free(rec->buffer);
        std::memset(rec, 0, sizeof *rec);
    }
    return 0;
}

extern "C" VEXCORE_API int url_parse(url_record *rec, char *url, ptrdiff_t len, const char *scheme,
                                     const char *base, uint32_t flags)
{
    if (!rec || !url)
        return -1;
    std::size_t n = len < 0 ? std::strlen(url) : static_cast<std::size_t>(len);
    std::memset(rec, 0, sizeof *rec);
    // Every length is reported in 32 bits.
    if (n > 0xFFFFFFFEu)
        return -1;
    uint32_t warnings = 0;
    char *s = url;
    char *e = url + n;

    if (n >= 2 && s[0] == '<' && e[-1] == '>') {
        ++s;
        --e;
        rec->flags |= URL_FLAG_ENCLOSED;
    }
    if (e - s > 4 && url_iequal(s, "URL:", 4))
        s += 4;

    // Scheme. Relative references (no scheme) are not supported, with or
    // without a base.
    char *p = s;
    if (p == e || !url_alpha(*p))
        return -1;
    while (p < e && (url_alnum(*p) || *p == '+' || *p == '-' || *p == '.'))
        ++p;
    if (p < e && *p != ':' && !base) {
        warnings |= URL_WARN_SCHEME;
        p = url_find(p, e, ':');
    }
    if (p == s || p == e || *p != ':')
        return -1;
    url_part sch{s, static_cast<std::size_t>(p - s)};
    if (scheme) {
        std::size_t xn = std::strlen(scheme);
        if (sch.len == xn && url_iequal(s, scheme, xn)) {
        } else if ((flags & URL_PARSE_SECURE_VARIANT) && sch.len == xn + 1 &&
                   url_iequal(s, scheme, xn) && url_lower(s[xn]) == 's') {
            rec->flags |= URL_FLAG_SECURE;
        } else {
            return -1;
        }
        sch = url_part{const_cast<char *>(scheme), xn};
    }
    ++p;

    url_part user, password, auth, host;
    if (e - p >= 2 && p[0] == '/' && p[1] == '/') {
        p += 2;
        char *at = url_find_any(p, e, "@#/?");
        if (at < e && *at == '@') {
            char *colon = nullptr;
            char *semi = nullptr;
            for (char *c = p; c < at; ++c) {
                if (*c == ':') {
                    if (colon)
                        warnings |= URL_WARN_PASSWORD;
                    colon = c;
                } else if (*c == ';') {
                    if (!colon && at - c >= 7 && url_iequal(c + 1, "auth=", 5))
                        semi = c;
                } else if (*c == '%') {
                    if (!(at - c >= 3 && url_hex(c[1]) >= 0 && url_hex(c[2]) >= 0))
                        warnings |= URL_WARN_USER;
                } else if (!url_alnum(*c) && !url_mark(*c)) {
                    warnings |= URL_WARN_USER;
                }
            }
            user = url_part{p, static_cast<std::size_t>(at - p)};
            if ((flags & URL_PARSE_PASSWORD) && colon) {
                user.len = static_cast<std::size_t>(colon - p);
                password = url_part{colon + 1, static_cast<std::size_t>(at - colon - 1)};
            } else {
                warnings &= ~static_cast<uint32_t>(URL_WARN_PASSWORD);
            }
            if ((flags & URL_PARSE_AUTH) && semi) {
                user.len = static_cast<std::size_t>(semi - p);
                auth = url_part{semi + 6, static_cast<std::size_t>(at - semi - 6)};
            }
            p = at + 1;
        }

        char *h = p;
        bool valid = false;
        if (p < e && url_digit(*p)) {
            char *q = p;
            char *last = p;
            if (url_read_ipv4(&q, e, rec->addr, &last)) {
                if (url_host_end(q, e)) {
                    valid = true;
                    rec->flags |= URL_FLAG_IPV4;
                    p = q;
                } else {
                    p = last;
                }
            } else {
                p = q;
            }
            if (!valid)
                std::memset(rec->addr, 0, sizeof rec->addr);
        }
        if (!valid && p < e && url_alnum(*p))
            valid = url_read_hostname(&p, e, (flags & URL_PARSE_HOST_SPACES) != 0);
        if (!valid && p == h && p < e && *p == '[') {
            char *q = p;
            if (url_read_ipv6(&q, e, rec->addr) && url_host_end(q, e)) {
                valid = true;
                rec->flags |= URL_FLAG_IPV6;
                p = q;
            } else {
                std::memset(rec->addr, 0, sizeof rec->addr);
            }
        }
        if (!valid) {
            warnings |= URL_WARN_HOST;
            p = url_find_any(p, e, ":#/?");
        }
        host = url_part{h, static_cast<std::size_t>(p - h)};

        if (p < e && *p == ':') {
            ++p;
            uint32_t port = 0;
            while (p < e && url_digit(*p) && port * 10 + static_cast<uint32_t>(*p - '0') <= 65535)
                port = port * 10 + static_cast<uint32_t>(*p++ - '0');
            rec->port = port;
            if (flags & URL_PARSE_HOSTPORT)
                host.len = static_cast<std::size_t>(p - h);
            if (p < e && !url_is_one_of(*p, "#/?")) {
                warnings |= URL_WARN_PORT;
                rec->port = 0;
                p = url_find_any(p, e, "#/?");
            }
        }
    }

    if (sch.len == 4 && url_iequal(sch.p, "ldap", 4)) {
    } else if (sch.len == 5 && url_iequal(sch.p, "ldaps", 5)) {
        rec->flags |= URL_FLAG_SECURE;
    } else {
        rec->warnings = warnings;
        return -1;
    }

    url_part dn, attrs, exts;
    url_part filter{const_cast<char *>(url_deffilter), sizeof url_deffilter - 1};
    if (p < e) {
        if (*p != '/') {
            rec->warnings = warnings;
            return -1;
        }
        ++p;
    }
    if (p < e) {
        char *q = url_find(p, e, '?');
        dn = url_part{p, static_cast<std::size_t>(q - p)};
        p = q;
    }
    if (p < e) {
        ++p;
        if (p < e && *p != '?') {
            char *q = url_find(p, e, '?');
            attrs = url_part{p, static_cast<std::size_t>(q - p)};
            p = q;
        }
    }
    if (p < e) {
        ++p;
        char *q = url_find(p, e, '?');
        std::size_t sl = static_cast<std::size_t>(q - p);
        if (sl == 3 && url_iequal(p, "one", 3))
            rec->scope = URL_SCOPE_ONELEVEL;
        else if (sl == 3 && url_iequal(p, "sub", 3))
            rec->scope = URL_SCOPE_SUBTREE;
        else if (!(sl == 4 && url_iequal(p, "base", 4)))
            warnings |= URL_WARN_LDAP_SCOPE;
        p = q;
    }
    if (p < e) {
        ++p;
        if (p < e && *p != '?') {
            char *q = url_find(p, e, '?');
            filter = url_part{p, static_cast<std::size_t>(q - p)};
            p = q;
        }
    }
    if (p < e) {
        ++p;
        exts = url_part{p, static_cast<std::size_t>(e - p)};
    }

    std::size_t total = url_room(sch) + url_room(user) + url_room(password) + url_room(auth) +
                        url_room(host) + url_room(dn) + url_room(attrs) + url_room(filter) +
                        url_room(exts);

    url_out o;
    o.text = url;
    // A text given with its terminator may have that terminator rewritten;
    // an explicitly sized one ends where its size says.
    o.limit = len < 0 ? url + n + 1 : url + n;
    o.nul = (flags & URL_PARSE_NUL) != 0;
    o.warnings = &warnings;
    if (flags & URL_PARSE_ALLOC) {
        o.alloc = true;
        if (total != 0) {
            rec->buffer = std::malloc(total);
            if (!rec->buffer) {
                rec->warnings = warnings;
                return -1;
            }
            o.cur = static_cast<char *>(rec->buffer);
            o.end = o.cur + total;
        }
        if (sch.p[sch.len] != '\0' && !o.nul && sch.len)
            url_deliver(o, sch);
    }

    url_deliver(o, user);
    if (password.p && auth.p) {
        // The password is the tail of the auth value (both run to the '@'):
        // deliver the auth value once and point the password into it, so
        // that neither delivery overwrites the other's source.
        std::size_t off = url_decoded_len(auth.p, static_cast<std::size_t>(password.p - auth.p));
        url_deliver(o, auth);
        if (off < auth.len) {
            password.p = auth.p + off;
            password.len = auth.len - off;
        } else {
            password.p = const_cast<char *>(url_empty);
            password.len = 0;
        }
    } else {
        url_deliver(o, password);
        url_deliver(o, auth);
    }
    url_deliver(o, host);
    url_deliver(o, dn);
    url_deliver(o, attrs);
    url_deliver(o, filter);
    url_deliver(o, exts);

    url_store(&rec->scheme, &rec->scheme_len, sch);
    url_store(&rec->user, &rec->user_len, user);
    url_store(&rec->password, &rec->password_len, password);
    url_store(&rec->auth, &rec->auth_len, auth);
    url_store(&rec->host, &rec->host_len, host);
    url_store(&rec->dn, &rec->dn_len, dn);
    url_store(&rec->attrs, &rec->attrs_len, attrs);
    url_store(&rec->filter, &rec->filter_len, filter);
    url_store(&rec->exts, &rec->exts_len, exts);
    rec->warnings = warnings;
    return 0;
}
