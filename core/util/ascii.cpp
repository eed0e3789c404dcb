// The ASCII tables are generated at compile time from the class rules below,
// so each rule is written once and the exported arrays are constant data.
#include "vexcore/ascii.h"

namespace {

constexpr bool in(int c, int lo, int hi) { return c >= lo && c <= hi; }

constexpr unsigned char ctype_of(int c)
{
    unsigned bits = 0;
    if (in(c, 'A', 'Z'))
        bits |= ASCII_CTYPE_UPPER;
    if (in(c, 'a', 'z'))
        bits |= ASCII_CTYPE_LOWER;
    if (in(c, '0', '9'))
        bits |= ASCII_CTYPE_DIGIT;
    if (in(c, 9, 13) || c == ' ')
        bits |= ASCII_CTYPE_SPACE;
    if (in(c, 33, 47) || in(c, 58, 64) || in(c, 91, 96) || in(c, 123, 126))
        bits |= ASCII_CTYPE_PUNCT;
    if (in(c, 0, 31) || c == 127)
        bits |= ASCII_CTYPE_CNTRL;
    if (c == ' ')
        bits |= ASCII_CTYPE_BLANK;
    if (in(c, '0', '9') || in(c, 'A', 'F') || in(c, 'a', 'f'))
        bits |= ASCII_CTYPE_XDIGIT;
    return static_cast<unsigned char>(bits);
}

constexpr unsigned char lower_of(int c) { return static_cast<unsigned char>(in(c, 'A', 'Z') ? c + 32 : c); }
constexpr unsigned char upper_of(int c) { return static_cast<unsigned char>(in(c, 'a', 'z') ? c - 32 : c); }

constexpr unsigned char digit_of(int c)
{
    if (in(c, '0', '9'))
        return static_cast<unsigned char>(c - '0');
    if (in(c, 'A', 'Z'))
        return static_cast<unsigned char>(c - 'A' + 10);
    if (in(c, 'a', 'z'))
        return static_cast<unsigned char>(c - 'a' + 10);
    return ASCII_NO_DIGIT;
}

}  // namespace

#define VEX_R4(f, b) f((b) + 0), f((b) + 1), f((b) + 2), f((b) + 3)
#define VEX_R16(f, b) VEX_R4(f, b), VEX_R4(f, (b) + 4), VEX_R4(f, (b) + 8), VEX_R4(f, (b) + 12)
#define VEX_R64(f, b) VEX_R16(f, b), VEX_R16(f, (b) + 16), VEX_R16(f, (b) + 32), VEX_R16(f, (b) + 48)
#define VEX_R256(f) VEX_R64(f, 0), VEX_R64(f, 64), VEX_R64(f, 128), VEX_R64(f, 192)

extern "C" {
const unsigned char ascii_ctype_mask_table[256] = {VEX_R256(ctype_of)};
const unsigned char ascii_convert_to_lowercase[256] = {VEX_R256(lower_of)};
const unsigned char ascii_convert_to_uppercase[256] = {VEX_R256(upper_of)};
const unsigned char ascii_decode_base_table[256] = {VEX_R256(digit_of)};
}

namespace {

char *map_in_place(char *s, const unsigned char *table)
{
    for (unsigned char *p = reinterpret_cast<unsigned char *>(s); *p; ++p)
        *p = table[*p];
    return s;
}

}  // namespace

extern "C" char *ascii_lcase(char *s) { return map_in_place(s, ascii_convert_to_lowercase); }

extern "C" char *ascii_ucase(char *s) { return map_in_place(s, ascii_convert_to_uppercase); }

extern "C" int ascii_lstrlcpy(char *dst, const char *src, int size)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    int i = 0;
    if (size > 0) {
        for (; i < size - 1 && s[i]; ++i)
            dst[i] = static_cast<char>(ascii_convert_to_lowercase[s[i]]);
        dst[i] = '\0';
    }
    while (s[i])
        ++i;
    return i;
}
