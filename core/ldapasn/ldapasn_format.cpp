// Request formatter: a printf-like language that encodes one LDAP request in
// BER. The first pass flattens the format into a fixed element table and adds
// up the lengths; the second writes the bytes, and only when they all fit.
#include "vexcore/ldapasn.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

constexpr int MAX_ENTRIES = 80;  // entry 0 is the root
constexpr int MAX_OPEN = 7;
constexpr uint64_t MAX_CONTENT = 0xFFFFFF;  // the longest length field we write is 0x83 + 3

enum Kind : uint8_t { KIND_CONSTRUCTED, KIND_RAW, KIND_PERCENT, KIND_BACKSLASH, KIND_INTEGER };

struct Entry {
    uint8_t tag;
    Kind kind;
    uint64_t len;  // content length; for coded texts, after decoding
    const char *src;
    int32_t ival;
};

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ishex(char c) { return hexval(c) >= 0; }

bool filter_special(char c) { return c == '\\' || c == '*' || c == '(' || c == ')'; }

// Width of the escape starting at a backslash: 2 or 3, or 0 when malformed.
int backslash_escape(const char *p)
{
    if (filter_special(p[1]))
        return 2;
    if (ishex(p[1]) && ishex(p[2]))
        return 3;
    return 0;
}

int int_size(int32_t v)
{
    if (v >= -128 && v <= 127)
        return 1;
    if (v >= -32768 && v <= 32767)
        return 2;
    if (v >= -8388608 && v <= 8388607)
        return 3;
    return 4;
}

int length_field_size(uint64_t len)
{
    if (len <= 127)
        return 1;
    if (len <= 255)
        return 2;
    if (len <= 65535)
        return 3;
    return 4;
}

class Builder {
public:
    Builder() { table_[0] = Entry{0, KIND_CONSTRUCTED, 0, nullptr, 0}; }

    bool failed() const { return failed_; }
    bool balanced() const { return depth_ == 0; }
    uint64_t total() const { return table_[0].len; }
    int depth() const { return depth_; }

    bool open(uint8_t tag)
    {
        if (depth_ >= MAX_OPEN)
            return fail();
        int idx = add(Entry{tag, KIND_CONSTRUCTED, 0, nullptr, 0});
        if (idx < 0)
            return false;
        stack_[depth_++] = idx;
        return true;
    }

    bool close()
    {
        if (depth_ == 0)
            return fail();
        int idx = stack_[--depth_];
        return finish(idx);
    }

    bool primitive(uint8_t tag, Kind kind, uint64_t len, const char *src, int32_t ival = 0)
    {
        int idx = add(Entry{tag, kind, len, src, ival});
        return idx >= 0 && finish(idx);
    }

    bool integer(uint8_t tag, int32_t v)
    {
        return primitive(tag, KIND_INTEGER, static_cast<uint64_t>(int_size(v)), nullptr, v);
    }

    // "A" wants a SEQUENCE of texts without spending a place on the stack.
    bool text_array(const char *const *texts)
    {
        int seq = add(Entry{0x30, KIND_CONSTRUCTED, 0, nullptr, 0});
        if (seq < 0)
            return false;
        for (; *texts; ++texts) {
            uint64_t len = std::strlen(*texts);
            if (len > MAX_CONTENT)
                return fail();
            if (add(Entry{0x04, KIND_RAW, len, *texts, 0}) < 0)
                return false;
            table_[seq].len += 1 + length_field_size(len) + len;
        }
        return finish(seq);
    }

    bool fail()
    {
        failed_ = true;
        return false;
    }

    void write(unsigned char *out) const;

private:
    int add(const Entry &e)
    {
        if (failed_)
            return -1;
        if (count_ >= MAX_ENTRIES) {
            fail();
            return -1;
        }
        table_[count_] = e;
        return count_++;
    }

    // The element's content is final: charge its encoded size to its parent.
    bool finish(int idx)
    {
        uint64_t len = table_[idx].len;
        if (len > MAX_CONTENT)
            return fail();
        int parent = depth_ ? stack_[depth_ - 1] : 0;
        table_[parent].len += 1 + length_field_size(len) + len;
        return true;
    }

    Entry table_[MAX_ENTRIES];
    int count_ = 1;
    int stack_[MAX_OPEN];
    int depth_ = 0;
    bool failed_ = false;
};

void Builder::write(unsigned char *out) const
{
    for (int i = 1; i < count_; ++i) {
        const Entry &e = table_[i];
        *out++ = e.tag;
        uint32_t len = static_cast<uint32_t>(e.len);
        int lsize = length_field_size(len);
        if (lsize == 1) {
            *out++ = static_cast<unsigned char>(len);
        } else {
            *out++ = static_cast<unsigned char>(0x80 + lsize - 1);
            for (int b = lsize - 2; b >= 0; --b)
                *out++ = static_cast<unsigned char>(len >> (8 * b));
        }
        const char *s = e.src;
        switch (e.kind) {
        case KIND_CONSTRUCTED:
            break;
        case KIND_RAW:
            if (len)
                std::memcpy(out, s, len);
            out += len;
            break;
        case KIND_INTEGER:
            for (int b = static_cast<int>(len) - 1; b >= 0; --b)
                *out++ = static_cast<unsigned char>(static_cast<uint32_t>(e.ival) >> (8 * b));
            break;
        case KIND_PERCENT:
            // Escapes were checked in the first pass.
            for (uint32_t k = 0; k < len; ++k) {
                if (*s == '%') {
                    *out++ = static_cast<unsigned char>(hexval(s[1]) * 16 + hexval(s[2]));
                    s += 3;
                } else {
                    *out++ = static_cast<unsigned char>(*s++);
                }
            }
            break;
        case KIND_BACKSLASH:
            for (uint32_t k = 0; k < len; ++k) {
                if (*s != '\\') {
                    *out++ = static_cast<unsigned char>(*s++);
                } else if (filter_special(s[1])) {
                    *out++ = static_cast<unsigned char>(s[1]);
                    s += 2;
                } else {
                    *out++ = static_cast<unsigned char>(hexval(s[1]) * 16 + hexval(s[2]));
                    s += 3;
                }
            }
            break;
        }
    }
}

// Decoded length of the percent-coded span [s, e); false for a "%" without
// two hexadecimal digits.
bool percent_length(const char *s, const char *e, uint64_t *len)
{
    uint64_t n = 0;
    while (s < e) {
        if (*s == '%') {
            if (!ishex(s[1]) || !ishex(s[2]))
                return false;
            s += 3;
        } else {
            ++s;
        }
        ++n;
    }
    *len = n;
    return true;
}

bool add_percent(Builder &b, const char *s, const char *e)
{
    uint64_t len;
    if (!percent_length(s, e, &len))
        return b.fail();
    return b.primitive(0x04, KIND_PERCENT, len, s);
}

bool is_comma_escape(const char *p) { return p[0] == '%' && p[1] == '2' && (p[2] == 'C' || p[2] == 'c'); }

bool attribute_list(Builder &b, const char *text)
{
    if (!b.open(0x30))
        return false;
    if (*text && *text != '?') {
        const char *seg = text, *p = text;
        for (;;) {
            if (*p == '\0' || *p == '?') {
                if (!add_percent(b, seg, p))
                    return false;
                break;
            }
            if (*p == ',' || is_comma_escape(p)) {
                if (!add_percent(b, seg, p))
                    return false;
                p += *p == ',' ? 1 : 3;
                seg = p;
                continue;
            }
            if (*p == '%' && (!ishex(p[1]) || !ishex(p[2])))
                return b.fail();
            p += *p == '%' ? 3 : 1;
        }
    }
    return b.close();
}

bool url_component(Builder &b, const char *text)
{
    const char *e = std::strchr(text, '?');
    if (!e)
        e = text + std::strlen(text);
    return add_percent(b, text, e);
}

// Decoded length of a filter value span whose escapes are already checked.
uint64_t backslash_length(const char *s, const char *e)
{
    uint64_t n = 0;
    while (s < e) {
        s += *s == '\\' ? backslash_escape(s) : 1;
        ++n;
    }
    return n;
}

bool add_backslash(Builder &b, uint8_t tag, const char *s, const char *e)
{
    return b.primitive(tag, KIND_BACKSLASH, backslash_length(s, e), s);
}

// Scans a value up to its closing ")"; null when it holds "(" or a bad
// escape or runs to the end of the text.
const char *scan_value(const char *p, bool *star)
{
    *star = false;
    while (*p != ')') {
        if (*p == '\0' || *p == '(')
            return nullptr;
        if (*p == '\\') {
            int w = backslash_escape(p);
            if (!w)
                return nullptr;
            p += w;
            continue;
        }
        if (*p == '*')
            *star = true;
        ++p;
    }
    return p;
}

bool attr_char(char c)
{
    return c != '\0' && !std::strchr("()*\\:<>~=", c);
}

bool substrings(Builder &b, const char *a0, const char *a1, const char *v, const char *e)
{
    if (!b.open(0xA4) || !b.primitive(0x04, KIND_RAW, static_cast<uint64_t>(a1 - a0), a0) ||
        !b.open(0x30))
        return false;
    const char *seg = v;
    bool first = true, any_part = false;
    for (const char *p = v; p < e;) {
        if (*p == '\\') {
            p += backslash_escape(p);
            continue;
        }
        if (*p == '*') {
            if (p > seg && !add_backslash(b, first ? 0x80 : 0x81, seg, p))
                return false;
            any_part = any_part || p > seg;
            first = false;
            seg = p + 1;
        }
        ++p;
    }
    if (e > seg && !add_backslash(b, 0x82, seg, e))
        return false;
    // Stars alone would send a substrings element with no part, which the
    // protocol does not allow (and "=*" alone is the present filter).
    if (!any_part && e == seg)
        return b.fail();
    return b.close() && b.close();
}

// Extensible match; p is at the ":" after the (possibly empty) attribute.
// Returns the position of the closing ")" or null.
const char *extensible(Builder &b, const char *a0, const char *a1, const char *p)
{
    bool dn = false;
    const char *rule = nullptr, *rule_end = nullptr;
    if ((p[1] == 'd' || p[1] == 'D') && (p[2] == 'n' || p[2] == 'N') && p[3] == ':') {
        dn = true;
        p += 3;
    }
    if (p[1] == '=') {
        p += 2;
    } else {
        rule = p + 1;
        const char *q = rule;
        for (; *q != ':'; ++q)
            if (*q == '\0' || *q == '*' || *q == '\\' || *q == ')' || *q == '=')
                return nullptr;
        if (q == rule || q[1] != '=')
            return nullptr;
        rule_end = q;
        p = q + 2;
    }
    if (!rule && a0 == a1)
        return nullptr;
    bool star;
    const char *e = scan_value(p, &star);
    if (!e)
        return nullptr;
    if (!b.open(0xA9))
        return nullptr;
    if (rule && !b.primitive(0x81, KIND_RAW, static_cast<uint64_t>(rule_end - rule), rule))
        return nullptr;
    if (a1 > a0 && !b.primitive(0x82, KIND_RAW, static_cast<uint64_t>(a1 - a0), a0))
        return nullptr;
    if (!add_backslash(b, 0x83, p, e))
        return nullptr;
    static const char true_octet[] = "\x01";
    if (dn && !b.primitive(0x84, KIND_RAW, 1, true_octet))
        return nullptr;
    if (!b.close())
        return nullptr;
    return e;
}

// One filter item after its "(": attribute, operator and value. Returns the
// position of the ")" that closes it, or null.
const char *filter_item(Builder &b, const char *p)
{
    const char *a0 = p;
    while (attr_char(*p))
        ++p;
    const char *a1 = p;
    if (*p == ':')
        return extensible(b, a0, a1, p);
    if (a0 == a1)
        return nullptr;
    uint8_t tag;
    switch (*p) {
    case '=':
        if (p[1] == '*' && p[2] == ')') {
            if (!b.primitive(0x87, KIND_RAW, static_cast<uint64_t>(a1 - a0), a0))
                return nullptr;
            return p + 2;
        }
        tag = 0xA3;
        p += 1;
        break;
    case '>':
        tag = 0xA5;
        break;
    case '<':
        tag = 0xA6;
        break;
    case '~':
        tag = 0xA8;
        break;
    default:
        return nullptr;
    }
    if (tag != 0xA3) {
        if (p[1] != '=')
            return nullptr;
        p += 2;
    }
    bool star;
    const char *e = scan_value(p, &star);
    if (!e)
        return nullptr;
    if (tag == 0xA3 && star)
        return substrings(b, a0, a1, p, e) ? e : nullptr;
    if (!b.open(tag) || !b.primitive(0x04, KIND_RAW, static_cast<uint64_t>(a1 - a0), a0) ||
        !add_backslash(b, 0x04, p, e) || !b.close())
        return nullptr;
    return e;
}

bool filter(Builder &b, const char *p)
{
    if (*p == '\0')
        return true;
    int open_sets = 0;  // and / or / not elements of this filter still open
    for (;;) {
        if (*p != '(')
            return b.fail();
        ++p;
        if (*p == '&' || *p == '|' || *p == '!') {
            static constexpr uint8_t set_tags[] = {0xA0, 0xA1, 0xA2};
            if (!b.open(set_tags[*p == '&' ? 0 : *p == '|' ? 1 : 2]))
                return false;
            ++open_sets;
            ++p;
            if (*p != '(')
                return b.fail();  // and, or, not need at least one inner filter
            continue;
        }
        p = filter_item(b, p);
        if (!p)
            return b.fail();
        ++p;  // the item's own ")"
        while (*p == ')') {
            if (open_sets == 0)
                return b.fail();
            if (!b.close())
                return false;
            --open_sets;
            ++p;
        }
        if (open_sets == 0)
            return *p == '\0' ? true : b.fail();
    }
}

bool changes(Builder &b, const ldapasn_mod *mods, bool with_op)
{
    for (; mods->type; ++mods) {
        if (with_op && (!b.open(0x30) || !b.integer(0x0A, mods->op)))
            return false;
        if (!b.open(0x30) || !b.primitive(0x04, KIND_RAW, std::strlen(mods->type), mods->type) ||
            !b.open(0x31))
            return false;
        if (mods->values) {
            for (int i = 0; mods->values[i]; ++i) {
                uint64_t len = mods->lengths ? mods->lengths[i] : std::strlen(mods->values[i]);
                if (!b.primitive(0x04, KIND_RAW, len, mods->values[i]))
                    return false;
            }
        }
        if (!b.close() || !b.close())
            return false;
        if (with_op && !b.close())
            return false;
    }
    return true;
}

bool first_pass(Builder &b, const char *format, va_list ap)
{
    for (const char *f = format; *f; ++f) {
        bool ok;
        switch (*f) {
        case '(':
            ok = b.open(0x30);
            break;
        case '[':
            ok = b.open(static_cast<uint8_t>(va_arg(ap, int) | 0x20));
            break;
        case ')':
        case ']':
            ok = b.close();
            break;
        case 's': {
            const char *t = va_arg(ap, const char *);
            ok = t ? b.primitive(0x04, KIND_RAW, std::strlen(t), t) : b.fail();
            break;
        }
        case 'S': {
            int tag = va_arg(ap, int);
            const char *t = va_arg(ap, const char *);
            ok = (t && !(tag & 0x20)) ? b.primitive(static_cast<uint8_t>(tag), KIND_RAW, std::strlen(t), t)
                                      : b.fail();
            break;
        }
        case 'd':
            ok = b.integer(0x02, va_arg(ap, int));
            break;
        case 'e':
            ok = b.integer(0x0A, va_arg(ap, int));
            break;
        case 'D': {
            int tag = va_arg(ap, int);
            int v = va_arg(ap, int);
            ok = !(tag & 0x20) ? b.integer(static_cast<uint8_t>(tag), v) : b.fail();
            break;
        }
        case 'b': {
            static const char octets[] = {'\x00', '\x01'};
            ok = b.primitive(0x01, KIND_RAW, 1, &octets[va_arg(ap, int) ? 1 : 0]);
            break;
        }
        case 'A': {
            const char *const *texts = va_arg(ap, const char *const *);
            ok = texts ? b.text_array(texts) : b.fail();
            break;
        }
        case 'a': {
            const char *t = va_arg(ap, const char *);
            ok = t ? attribute_list(b, t) : b.fail();
            break;
        }
        case 'u': {
            const char *t = va_arg(ap, const char *);
            ok = t ? url_component(b, t) : b.fail();
            break;
        }
        case 'f': {
            const char *t = va_arg(ap, const char *);
            ok = t ? filter(b, t) : b.fail();
            break;
        }
        case 'm':
        case 'M': {
            const ldapasn_mod *mods = va_arg(ap, const ldapasn_mod *);
            ok = mods ? changes(b, mods, *f == 'm') : b.fail();
            break;
        }
        default:
            ok = b.fail();
            break;
        }
        if (!ok || b.failed())
            return false;
    }
    return b.balanced();
}

}  // namespace

extern "C" VEXCORE_API int ldapasn_format(void *buffer, size_t size, size_t *length, const char *format, ...)
{
    size_t length_private;
    if (!length)
        length = &length_private;
    *length = 0;
    if (!format)
        return -1;
    Builder b;
    va_list ap;
    va_start(ap, format);
    bool ok = first_pass(b, format, ap);
    va_end(ap);
    if (!ok)
        return -1;
    *length = static_cast<size_t>(b.total());
    if (!buffer || b.total() > size)
        return -1;
    b.write(static_cast<unsigned char *>(buffer));
    return 0;
}
