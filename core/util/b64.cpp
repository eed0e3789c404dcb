// Base64 without SIMD. The plain 3-byte/4-character loops below are the
// reference behaviour; on little-endian hosts a wide path in front of each
// takes 6 bytes (encode) or 8 characters (decode) per step through larger
// tables and hands over to the plain loop at the first group it cannot take
// whole, so both paths always agree on where coding stops.
#include "vexcore/b64.h"

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kNotB64 = 0x7F;

constexpr std::array<unsigned char, 256> make_inverse()
{
    std::array<unsigned char, 256> t{};
    for (auto &v : t)
        v = kNotB64;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    return t;
}
constexpr auto kInverse = make_inverse();

constexpr bool kLittle = std::endian::native == std::endian::little;

// Two characters for every 12-bit value, first character in the low byte.
constexpr std::array<uint16_t, 4096> make_pairs()
{
    std::array<uint16_t, 4096> t{};
    for (int i = 0; i < 4096; ++i)
        t[i] = static_cast<uint16_t>(static_cast<unsigned char>(kAlphabet[i >> 6]) |
                                     static_cast<unsigned char>(kAlphabet[i & 63]) << 8);
    return t;
}
constexpr auto kPairs = make_pairs();

// Decoding by position in the group: each table yields its character's bits
// already placed in the three output bytes as a little-endian word, so one
// group is four look-ups or-ed together. A character outside the alphabet
// sets the top byte, which no valid character touches.
constexpr uint32_t kBad = 0xFF000000u;
enum Position { P0, P1, P2, P3 };
constexpr std::array<uint32_t, 256> make_decode(Position pos)
{
    std::array<uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        uint32_t v = kInverse[c];
        if (v == kNotB64) {
            t[c] = kBad;
            continue;
        }
        switch (pos) {
        case P0: t[c] = v << 2; break;
        case P1: t[c] = (v >> 4) | ((v & 15) << 12); break;
        case P2: t[c] = ((v >> 2) << 8) | ((v & 3) << 22); break;
        case P3: t[c] = v << 16; break;
        }
    }
    return t;
}
constexpr auto kD0 = make_decode(P0);
constexpr auto kD1 = make_decode(P1);
constexpr auto kD2 = make_decode(P2);
constexpr auto kD3 = make_decode(P3);

inline uint64_t load_be64(const unsigned char *p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

}  // namespace

extern "C" int b64_encode(const void *in_arg, int inlen, char *out, size_t outsize, int *outlen)
{
    const unsigned char *in = static_cast<const unsigned char *>(in_arg);
    size_t n = inlen < 0 ? std::strlen(reinterpret_cast<const char *>(in)) : static_cast<size_t>(inlen);
    size_t full = (n + 2) / 3 * 4;
    if (full > INT_MAX) {
        // Neither the length nor the text can be reported through an int.
        if (outlen)
            *outlen = -1;
        return -1;
    }
    if (outlen)
        *outlen = static_cast<int>(full);
    if (!out || outsize == 0)
        return -1;

    const unsigned char *p = in;
    bool in_place = static_cast<const void *>(in) == static_cast<const void *>(out) && n > 0;
    if (in_place) {
        if (outsize <= full)
            return -1;
        // Move the input to the end of the text's room, so the characters
        // written from the front never reach bytes not yet read.
        std::memmove(out + (full - n), in, n);
        p = reinterpret_cast<const unsigned char *>(out + (full - n));
    }

    char *o = out;
    size_t room = outsize;
    size_t rem = n;

    if constexpr (kLittle) {
        // Six bytes per step through an eight-byte load, so at least eight
        // must remain; in place, the eight characters stored must also stay
        // clear of the next step's input.
        while (rem >= 8 && room >= 9 &&
               (!in_place || reinterpret_cast<const char *>(p) - o >= 2)) {
            uint64_t v = load_be64(p);
            uint64_t w = uint64_t{kPairs[(v >> 52) & 0xFFF]} | uint64_t{kPairs[(v >> 40) & 0xFFF]} << 16 |
                         uint64_t{kPairs[(v >> 28) & 0xFFF]} << 32 | uint64_t{kPairs[(v >> 16) & 0xFFF]} << 48;
            std::memcpy(o, &w, 8);
            p += 6;
            rem -= 6;
            o += 8;
            room -= 8;
        }
    }

    // Four characters need five bytes of room: the terminator always fits.
    while (rem >= 3 && room >= 5) {
        uint32_t v = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = kAlphabet[(v >> 6) & 63];
        o[3] = kAlphabet[v & 63];
        p += 3;
        rem -= 3;
        o += 4;
        room -= 4;
    }
    if (rem == 2 && room >= 5) {
        uint32_t v = uint32_t{p[0]} << 8 | p[1];
        o[0] = kAlphabet[v >> 10];
        o[1] = kAlphabet[(v >> 4) & 63];
        o[2] = kAlphabet[(v << 2) & 63];
        o[3] = '=';
        o += 4;
        rem = 0;
    } else if (rem == 1 && room >= 5) {
        uint32_t v = p[0];
        o[0] = kAlphabet[v >> 2];
        o[1] = kAlphabet[(v << 4) & 63];
        o[2] = '=';
        o[3] = '=';
        o += 4;
        rem = 0;
    }
    *o = '\0';
    if (outlen)
        *outlen = static_cast<int>(o - out);
    return rem == 0 ? 0 : -1;
}

extern "C" int b64_decode(const char *in_arg, int inlen, void *out_arg, int outsize, int *outlen)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in_arg);
    unsigned char *out = static_cast<unsigned char *>(out_arg);
    size_t n = inlen < 0 ? std::strlen(in_arg) : static_cast<size_t>(inlen);
    if (n > INT_MAX)
        return -1;
    int64_t r = outsize;
    if (outsize < 0) {
        if (static_cast<const void *>(in_arg) != out_arg)
            return -1;
        // In place the output never overtakes the input, so the input's own
        // length is room enough.
        r = static_cast<int64_t>(n);
    }
    const unsigned char *end = p + n;
    unsigned char *o = out;

    if constexpr (kLittle) {
        // Two whole groups per step; each stores four bytes (three and a
        // zero), which room for the group and its successor or terminator
        // covers. Stores trail the loads, so this is safe in place too.
        while (end - p >= 8 && r >= 7) {
            uint32_t a = kD0[p[0]] | kD1[p[1]] | kD2[p[2]] | kD3[p[3]];
            uint32_t b = kD0[p[4]] | kD1[p[5]] | kD2[p[6]] | kD3[p[7]];
            if ((a | b) & kBad)
                break;
            std::memcpy(o, &a, 4);
            std::memcpy(o + 3, &b, 4);
            p += 8;
            o += 6;
            r -= 6;
        }
    }

    for (;;) {
        ptrdiff_t left = end - p;
        if (left == 0)
            break;
        if (left == 1)
            return -1;
        unsigned a = kInverse[p[0]], b = kInverse[p[1]];
        if (a == kNotB64 || b == kNotB64)
            return -1;
        if (r < 2)
            return -1;
        *o++ = static_cast<unsigned char>(a << 2 | b >> 4);
        if (left == 2 || kInverse[p[2]] == kNotB64)
            break;
        unsigned c = kInverse[p[2]];
        if (r < 3)
            return -1;
        *o++ = static_cast<unsigned char>((b << 4 | c >> 2) & 0xFF);
        if (left == 3 || kInverse[p[3]] == kNotB64)
            break;
        unsigned d = kInverse[p[3]];
        if (r < 4)
            return -1;
        *o++ = static_cast<unsigned char>((c << 6 | d) & 0xFF);
        r -= 3;
        p += 4;
    }
    if (r < 1)
        return -1;
    *o = '\0';
    if (outlen)
        *outlen = static_cast<int>(o - out);
    return 0;
}
