// url_parse over arbitrary text, in both modes, with every flag combination.
// Byte 0: parse flags (low 7 bits) and whether "ldap" is the expected scheme
// (high bit). Byte 1: bit 0 terminated text (length -1) or explicit length;
// bit 1 pass a base. The rest is the URL, held in a block of exactly its
// size so that any write past the text is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vexcore/url.h"

namespace {

[[noreturn]] void fail() { std::abort(); }

// A delivered part must lie wholly in one of the places it may come from.
void check_part(const char *p, uint32_t len, const char *text, std::size_t text_room,
                const url_record &rec, const char *scheme)
{
    if (!p) {
        if (len != 0)
            fail();
        return;
    }
    auto inside = [&](const char *b, std::size_t size) { return p >= b && p + len <= b + size; };
    const char *def = url_ldap_get_deffilter();
    if (inside(text, text_room) || inside(def, std::strlen(def)))
        return;
    if (rec.buffer && p >= static_cast<const char *>(rec.buffer))
        return;  // the block's size is not visible here; ASan guards its bounds
    if (scheme && p == scheme && len == std::strlen(scheme))
        return;
    if (len == 0 && *p == '\0')
        return;
    fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint32_t flags = data[0] & 0x7f;
    const char *scheme = (data[0] & 0x80) ? "ldap" : nullptr;
    bool terminated = data[1] & 1;
    const char *base = (data[1] & 2) ? "ldap://base/" : nullptr;
    std::size_t n = size - 2;
    std::size_t room = terminated ? n + 1 : n;
    char *text = static_cast<char *>(std::malloc(room ? room : 1));
    if (n)
        std::memcpy(text, data + 2, n);
    if (terminated)
        text[n] = '\0';
    std::vector<char> original(text, text + room);
    original.push_back(0);  // keeps data() valid and strlen bounded

    url_record rec;
    int rc = url_parse(&rec, text, terminated ? -1 : static_cast<ptrdiff_t>(n), scheme, base, flags);
    if (rc != 0 && rc != -1)
        fail();
    if (rc == 0) {
        std::size_t text_room = terminated ? std::strlen(original.data()) + 1 : n;
        check_part(rec.scheme, rec.scheme_len, text, text_room, rec, scheme);
        check_part(rec.user, rec.user_len, text, text_room, rec, scheme);
        check_part(rec.password, rec.password_len, text, text_room, rec, scheme);
        check_part(rec.auth, rec.auth_len, text, text_room, rec, scheme);
        check_part(rec.host, rec.host_len, text, text_room, rec, scheme);
        check_part(rec.dn, rec.dn_len, text, text_room, rec, scheme);
        check_part(rec.attrs, rec.attrs_len, text, text_room, rec, scheme);
        check_part(rec.filter, rec.filter_len, text, text_room, rec, scheme);
        check_part(rec.exts, rec.exts_len, text, text_room, rec, scheme);
        if (!rec.filter || rec.scope < 0 || rec.scope > 2 || rec.port > 65535)
            fail();
        // Touch every byte of every part so ASan sees any stale pointer.
        volatile char sink = 0;
        for (const char *p = rec.filter; p < rec.filter + rec.filter_len; ++p)
            sink = static_cast<char>(sink ^ *p);
        for (const char *p = rec.dn; p && p < rec.dn + rec.dn_len; ++p)
            sink = static_cast<char>(sink ^ *p);
        for (const char *p = rec.host; p && p < rec.host + rec.host_len; ++p)
            sink = static_cast<char>(sink ^ *p);
    }
    // Allocate mode copies; it must never write the caller's text.
    if ((flags & URL_PARSE_ALLOC) && room && std::memcmp(original.data(), text, room) != 0)
        fail();
    url_cleanup(&rec);
    std::free(text);
    return 0;
}
