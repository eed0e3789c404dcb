#include <gtest/gtest.h>

#include <string>

#include "vexcore/ascii.h"
#include "vexcore/strl.h"

namespace {

// A destination of `size` bytes inside a larger canary-filled buffer, so a
// write past `size` shows.
struct Guarded {
    static constexpr char kCanary = '#';
    char bytes[64];
    explicit Guarded(const char *initial = nullptr)
    {
        std::fill(std::begin(bytes), std::end(bytes), kCanary);
        if (initial)
            std::copy(initial, initial + std::char_traits<char>::length(initial) + 1, bytes);
    }
    bool untouched_from(size_t from) const
    {
        for (size_t i = from; i < sizeof bytes; ++i)
            if (bytes[i] != kCanary)
                return false;
        return true;
    }
};

struct CopyCase {
    const char *src;
    size_t size;
    const char *expect;  // null: destination untouched
    size_t result;
};

const CopyCase kCopyCases[] = {
    {"abc", 10, "abc", 3},
    {"abc", 4, "abc", 3},      // exactly size - 1 long: copied whole
    {"abcd", 4, "abc", 4},     // one longer: cut, result == size
    {"abcdefgh", 3, "ab", 8},
    {"abc", 2, "a", 3},
    {"abc", 1, "", 3},
    {"", 1, "", 0},
    {"abc", 0, nullptr, 3},
};

}  // namespace

// Runs a table of bounded-copy cases through `copy` (strlcpy or its
// lower-casing sibling): result, text, and nothing written past it.
template <typename Case, size_t N, typename Copy>
void expect_copies(const Case (&cases)[N], Copy copy)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.src) + " into " + std::to_string(c.size));
        Guarded dst;
        EXPECT_EQ(copy(dst.bytes, c.src, c.size), c.result);
        if (c.expect) {
            EXPECT_STREQ(dst.bytes, c.expect);
        }
        EXPECT_TRUE(dst.untouched_from(c.expect ? std::char_traits<char>::length(c.expect) + 1 : 0));
    }
}

TEST(Strlcpy, CopiesCutsAndReportsTheSourceLength)
{
    expect_copies(kCopyCases, strlcpy);
}

TEST(Strlcpy, SizingCallsWithoutADestination)
{
    EXPECT_EQ(strlcpy(nullptr, "abcdef", 0), 6u);
    EXPECT_EQ(strlcpy(nullptr, "abcdef", 1), 6u);
}

namespace {

struct CatCase {
    const char *initial;
    const char *src;
    size_t size;
    const char *expect;
    size_t result;
};

const CatCase kCatCases[] = {
    {"ab", "cd", 10, "abcd", 4},
    {"ab", "cd", 5, "abcd", 4},   // d + n == size - 1: fits
    {"ab", "cde", 5, "abcd", 5},  // cut to size - 1
    {"", "xyz", 3, "xy", 3},
    {"abc", "xyz", 4, "abc", 6},  // already full: unchanged, sum of lengths
    {"abc", "", 4, "abc", 3},
    {"abc", "x", 0, "abc", 1},    // no room at all: untouched, nothing looked at in dst
};

}  // namespace

TEST(Strlcat, AppendsCutsAndReportsTheSumOfLengths)
{
    for (const CatCase &c : kCatCases) {
        SCOPED_TRACE(std::string(c.initial) + " + " + c.src + " in " + std::to_string(c.size));
        Guarded dst(c.initial);
        EXPECT_EQ(strlcat(dst.bytes, c.src, c.size), c.result);
        EXPECT_STREQ(dst.bytes, c.expect);
        EXPECT_TRUE(dst.untouched_from(std::char_traits<char>::length(c.expect) + 1));
    }
}

TEST(Strlcat, DestinationWithoutTerminatorIsNotReadPastItsSize)
{
    // Four bytes of letters and no terminator within the four: nothing is
    // appended and the result says the buffer was already full.
    char dst[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strlcat(dst, "xy", sizeof dst), 6u);
    EXPECT_EQ(std::string(dst, 4), "abcd");
}

TEST(AsciiTables, ClassBitsFollowTheAsciiRules)
{
    const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::string lower = "abcdefghijklmnopqrstuvwxyz";
    const std::string digits = "0123456789";
    const std::string hex = "0123456789ABCDEFabcdef";
    const std::string punct = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
    const std::string space = " \t\n\v\f\r";
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        const char ch = static_cast<char>(c);
        auto has = [&](const std::string &set) { return c < 128 && set.find(ch) != std::string::npos; };
        unsigned expect = 0;
        expect |= has(upper) ? 0x01 : 0;
        expect |= has(lower) ? 0x02 : 0;
        expect |= has(digits) ? 0x04 : 0;
        expect |= has(space) ? 0x08 : 0;
        expect |= has(punct) ? 0x10 : 0;
        expect |= (c < 32 || c == 127) ? 0x20 : 0;
        expect |= c == ' ' ? 0x40 : 0;
        expect |= has(hex) ? 0x80 : 0;
        EXPECT_EQ(ascii_ctype_mask_table[c], expect);
    }
    EXPECT_EQ(ascii_ctype_mask_table[' '], 0x48);
    EXPECT_EQ(ascii_ctype_mask_table['\t'], 0x28);
    EXPECT_EQ(ascii_ctype_mask_table['7'], 0x84);
    EXPECT_EQ(ascii_ctype_mask_table['B'], 0x81);
    EXPECT_EQ(ascii_ctype_mask_table['g'], 0x02);
    EXPECT_EQ(ascii_ctype_mask_table[127], 0x20);
}

TEST(AsciiTables, CaseAndDigitTablesTouchOnlyAsciiLettersAndDigits)
{
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        const bool up = c >= 'A' && c <= 'Z', low = c >= 'a' && c <= 'z', dig = c >= '0' && c <= '9';
        EXPECT_EQ(ascii_convert_to_lowercase[c], up ? c + 32 : c);
        EXPECT_EQ(ascii_convert_to_uppercase[c], low ? c - 32 : c);
        const int value = dig ? c - '0' : up ? c - 'A' + 10 : low ? c - 'a' + 10 : 0x7F;
        EXPECT_EQ(ascii_decode_base_table[c], value);
    }
}

TEST(AsciiCase, ConvertsInPlaceAndLeavesOtherBytes)
{
    char s[] = "MiXeD 09_\x80\xC4\xE4z";
    EXPECT_EQ(ascii_lcase(s), s);
    EXPECT_STREQ(s, "mixed 09_\x80\xC4\xE4z");
    EXPECT_EQ(ascii_ucase(s), s);
    EXPECT_STREQ(s, "MIXED 09_\x80\xC4\xE4Z");
}

namespace {

struct LowerCopyCase {
    const char *src;
    int size;
    const char *expect;  // null: destination untouched
    int result;
};

const LowerCopyCase kLowerCopyCases[] = {
    {"HeLLo", 10, "hello", 5},
    {"HeLLo", 6, "hello", 5},
    {"HeLLo", 5, "hell", 5},
    {"HeLLo", 1, "", 5},
    {"HeLLo", 0, nullptr, 5},
    {"HeLLo", -3, nullptr, 5},
    {"A\xC4-1_\xFFZ", 20, "a\xC4-1_\xFFz", 7},
};

}  // namespace

TEST(AsciiLstrlcpy, CopiesLowerCasedWithTheStrlcpyRules)
{
    expect_copies(kLowerCopyCases, ascii_lstrlcpy);
}
