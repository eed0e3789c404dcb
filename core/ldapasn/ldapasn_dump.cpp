// Message dump: one log line per BER element, indented by depth. It must
// never give up on bad input silently: it prints what it can and ends with a
// line naming the fault, since it is what an operator reads when a response
// fails to decode.
#include "vexcore/ldapasn.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vex_log.h"

namespace {

constexpr int MAX_DEPTH = 7;  // elements at depths 0 to 6 are printed

struct Control {
    const char *oid;
    const char *name;
};

constexpr Control controls[] = {
    {"2.16.840.1.113730.3.4.2", "namedref ManageDsaIT"},
    {"2.16.840.1.113730.3.4.3", "Persistant Search"},
    {"2.16.840.1.113730.3.4.9", "Virtual List View"},
    {"1.2.840.113556.1.4.473", "Server Side Sorting  RFC 2891"},
    {"1.2.840.113556.1.4.474", "Sort Response  RFC 2891"},
    {"1.2.840.113556.1.4.319", "Simple Paged Results"},
    {"1.3.6.1.4.1.1466.20037", "Start TLS  RFC 2830"},
    {"1.3.6.1.4.1.1466.29539.1", "Attribute SizeLimit"},
    {"1.3.6.1.4.1.1466.29539.2", "No Copy"},
    {"1.3.6.1.4.1.1466.29539.3", "Partial Copy"},
    {"1.3.6.1.4.1.1466.29539.5", "No Chaining"},
    {"1.3.6.1.4.1.1466.29539.7", "Alias on Update"},
    {"1.3.6.1.4.1.1466.29539.10", "Trigger"},
    {"1.3.6.1.4.1.1466.29539.11", "Matched Values Only"},
    {"1.3.6.1.4.1.1466.29539.12", "Chain Server"},
    {"1.3.6.1.4.1.4203.1.5.1", "All Op Attrs  RFC 3673"},
    {"1.3.6.1.4.1.4203.1.10.1", "Subentries  RFC 3672"},
    {"1.3.6.1.4.1.4203.1.11.1", "Modify Password  RFC 3062"},
    {"1.3.6.1.4.1.1446.101.119.1", "Dynamic Refresh  RFC 2589"},
    {"2.16.840.1.113730.3.4.4", "Halvern Password Expired"},
    {"2.16.840.1.113730.3.4.5", "Halvern Password Expiring"},
};

const char *operation_name(unsigned tag)
{
    switch (tag) {
    case 0x4A: return "LDAP-DELETE ";
    case 0x50: return "LDAP-ABANDON-REQUEST ";
    case 0x60: return "LDAP-BIND ";
    case 0x61: return "LDAP-BIND-RESULT ";
    case 0x63: return "LDAP-SEARCH ";
    case 0x64: return "LDAP-SEARCH-RESULT-ENTRY ";
    case 0x65: return "LDAP-SEARCH-RESULT-DONE ";
    case 0x66: return "LDAP-MODIFY ";
    case 0x67: return "LDAP-MODIFY-RESULT ";
    case 0x68: return "LDAP-ADD ";
    case 0x69: return "LDAP-ADD-RESULT ";
    case 0x6B: return "LDAP-DELETE-RESULT ";
    case 0x73: return "LDAP-SEARCH-RESULT-REFERENCE ";
    default: return nullptr;
    }
}

const char *universal_name(unsigned number)
{
    switch (number) {
    case 1: return "BOOLEAN ";
    case 2: return "INTEGER ";
    case 4: return "OCTET-STRING ";
    case 10: return "ENUMERATED ";
    case 16: return "SEQUENCE ";
    case 17: return "SET ";
    default: return nullptr;
    }
}

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// One output line. A plain text goes in only whole; formatted text that
// overflows fills the line and closes it, so a long value is cut, not lost
// in the middle of a word of the type name.
class Line {
public:
    const char *c_str() const { return buf_; }

    void text(const char *s)
    {
        size_t n = std::strlen(s);
        if (closed_ || used_ + n >= sizeof buf_)
            return;
        std::memcpy(buf_ + used_, s, n + 1);
        used_ += n;
    }

#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void format(const char *fmt, ...)
    {
        if (closed_)
            return;
        size_t room = sizeof buf_ - used_;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf_ + used_, room, fmt, ap);
        va_end(ap);
        if (n < 0) {
            buf_[used_] = '\0';
            closed_ = true;
        } else if (static_cast<size_t>(n) >= room) {
            used_ = sizeof buf_ - 1;
            closed_ = true;
        } else {
            used_ += static_cast<size_t>(n);
        }
    }

private:
    char buf_[1024] = {0};
    size_t used_ = 0;
    bool closed_ = false;
};

void type_name(Line &line, unsigned tag)
{
    if (tag & 0xC0) {
        if (tag & 0x40)
            line.text("APPLICATION ");
        if (tag & 0x80)
            line.text("CONTEXT ");
        if (const char *name = operation_name(tag))
            line.text(name);
        else
            line.format("[%d] ", static_cast<int>(tag & 0x1F));
    } else if (const char *name = universal_name(tag & 0x1F)) {
        line.text(name);
    } else {
        line.format("UNKNOWN-%d ", static_cast<int>(tag & 0x1F));
    }
}

// Returns false when the integer is malformed and the dump must stop.
bool print_integer(logcx *log, int level, Line &line, const unsigned char *v, uint32_t len)
{
    if (len < 1 || len > 4) {
        vex_log(log, level, "%sinvalid integer length\n", line.c_str());
        return false;
    }
    if (len > 1 && ((v[0] == 0x00 && v[1] < 0x80) || (v[0] == 0xFF && v[1] >= 0x80))) {
        vex_log(log, level, "%sASN.1 integer is not shortest form\n", line.c_str());
        return false;
    }
    line.text("0x");
    uint32_t u = (v[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (uint32_t i = 0; i < len; ++i) {
        line.format("%02x", v[i]);
        u = (u << 8) | v[i];
    }
    line.text(" ");
    vex_log(log, level, "%s%d\n", line.c_str(), static_cast<int>(static_cast<int32_t>(u)));
    return true;
}

void print_octets(logcx *log, int level, Line &line, const unsigned char *v, uint32_t len)
{
    bool all_printable = true;
    for (uint32_t i = 0; i < len; ++i)
        all_printable = all_printable && printable(v[i]);
    if (!all_printable) {
        for (uint32_t i = 0; i < len; ++i)
            line.format("%02x", v[i]);
        line.text(" ");
    }
    for (uint32_t i = 0; i < len; ++i) {
        if (printable(v[i]))
            line.format("%c", v[i]);
        else
            line.text(".");
    }
    for (const Control &c : controls) {
        if (std::strlen(c.oid) == len && std::memcmp(c.oid, v, len) == 0)
            line.format(" (%s)", c.name);
    }
    vex_log(log, level, "%s\n", line.c_str());
}

}  // namespace

extern "C" VEXCORE_API void ldapasn_dump(logcx *log, int level, int mark, const void *buffer, size_t length)
{
    static const char blanks[] = "                   ";  // 19: deeper than MAX_DEPTH needs
    if (!buffer || length < 1)
        return;
    const unsigned char *p = static_cast<const unsigned char *>(buffer);
    size_t remain[MAX_DEPTH + 1];
    int depth = 0;
    remain[0] = length;
    auto consume = [&](size_t n) {
        for (int i = 0; i <= depth; ++i)
            remain[i] -= n;
    };
    for (;;) {
        Line line;
        line.format("%c %.*s", mark, depth, blanks);
        unsigned tag = p[0];
        type_name(line, tag);
        if (remain[depth] == 1) {
            vex_log(log, level, "%sinvalid length (1)\n", line.c_str());
            return;
        }
        if (depth == MAX_DEPTH) {
            vex_log(log, level, "%sASN.1 nested too deep\n", line.c_str());
            return;
        }
        unsigned lb = p[1];
        uint32_t len;
        size_t hdr;
        if (lb == 0x80) {
            vex_log(log, level, "%sindefinite length not permitted\n", line.c_str());
            return;
        }
        if (lb < 0x80) {
            len = lb;
            hdr = 2;
        } else {
            size_t n = lb & 0x7F;
            if (remain[depth] < n + 2) {
                vex_log(log, level, "%sinvalid length: outer %d, need %d\n", line.c_str(),
                        static_cast<int>(remain[depth]), static_cast<int>(n + 2));
                return;
            }
            if (n > 4) {
                vex_log(log, level, "%sinvalid length length\n", line.c_str());
                return;
            }
            len = 0;
            for (size_t i = 1; i <= n; ++i)
                len = (len << 8) | p[1 + i];
            hdr = n + 2;
        }
        line.format("{%d} ", static_cast<int>(len));
        p += hdr;
        consume(hdr);
        if (len > remain[depth]) {
            vex_log(log, level, "%sinner length %d exceeds outer length %d\n", line.c_str(),
                    static_cast<int>(len), static_cast<int>(remain[depth]));
            return;
        }
        if ((tag & 0x20) && len > 0) {
            vex_log(log, level, "%s\n", line.c_str());
            ++depth;
            remain[depth] = len;
            continue;
        }
        bool universal = (tag & 0xC0) == 0;
        unsigned number = tag & 0x1F;
        if (universal && number == 1 && len > 0) {
            // An empty BOOLEAN has no octet to judge; it prints as an empty value.
            vex_log(log, level, "%s%s\n", line.c_str(), p[0] ? "TRUE" : "FALSE");
        } else if (universal && (number == 2 || number == 10)) {
            if (!print_integer(log, level, line, p, len))
                return;
        } else {
            print_octets(log, level, line, p, len);
        }
        p += len;
        consume(len);
        while (depth > 0 && remain[depth] == 0)
            --depth;
        if (remain[0] == 0)
            return;
    }
}
