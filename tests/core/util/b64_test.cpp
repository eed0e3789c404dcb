#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vexcore/b64.h"

namespace {

struct Vector {
    const char *plain;
    const char *text;
};

// RFC 4648, section 10.
const Vector kRfc4648[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

std::string encode(const std::string &in)
{
    std::vector<char> out(in.size() / 3 * 4 + 8, '#');
    int len = -2;
    EXPECT_EQ(b64_encode(in.data(), static_cast<int>(in.size()), out.data(), out.size(), &len), 0);
    return std::string(out.data(), static_cast<size_t>(len));
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(rng());
    return s;
}

}  // namespace

TEST(B64Encode, Rfc4648Vectors)
{
    for (const Vector &v : kRfc4648) {
        SCOPED_TRACE(v.plain);
        char out[16];
        int len = -2;
        EXPECT_EQ(b64_encode(v.plain, -1, out, sizeof out, &len), 0);
        EXPECT_STREQ(out, v.text);
        EXPECT_EQ(len, static_cast<int>(std::strlen(v.text)));
    }
}

TEST(B64Decode, Rfc4648Vectors)
{
    for (const Vector &v : kRfc4648) {
        SCOPED_TRACE(v.text);
        char out[16];
        std::memset(out, '#', sizeof out);
        int len = -2;
        EXPECT_EQ(b64_decode(v.text, -1, out, sizeof out, &len), 0);
        EXPECT_EQ(len, static_cast<int>(std::strlen(v.plain)));
        EXPECT_STREQ(out, v.plain);  // terminated after the bytes
    }
}

TEST(B64Encode, SizingCallReportsTheFullLengthAndFails)
{
    const struct {
        int inlen;
        int full;
    } cases[] = {{0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {300, 400}};
    for (auto c : cases) {
        SCOPED_TRACE(c.inlen);
        std::string in(static_cast<size_t>(c.inlen), 'x');
        int len = -2;
        EXPECT_EQ(b64_encode(in.data(), c.inlen, nullptr, 100, &len), -1);
        EXPECT_EQ(len, c.full);
        char out[4] = {'#', '#', '#', '#'};
        len = -2;
        EXPECT_EQ(b64_encode(in.data(), c.inlen, out, 0, &len), -1);
        EXPECT_EQ(len, c.full);
        EXPECT_EQ(out[0], '#');
    }
}

TEST(B64Encode, ShortOfRoomKeepsWholeGroupsOnly)
{
    // "foobar!" needs 12 characters and a terminator.
    const struct {
        size_t outsize;
        int result;
        const char *text;
    } cases[] = {
        {1, -1, ""},         {4, -1, ""},         {5, -1, "Zm9v"},     {8, -1, "Zm9v"},
        {9, -1, "Zm9vYmFy"}, {12, -1, "Zm9vYmFy"}, {13, 0, "Zm9vYmFyIQ=="},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.outsize);
        char out[32];
        std::memset(out, '#', sizeof out);
        int len = -2;
        EXPECT_EQ(b64_encode("foobar!", 7, out, c.outsize, &len), c.result);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(len, static_cast<int>(std::strlen(c.text)));
        EXPECT_EQ(out[c.outsize], '#');
    }
}

TEST(B64Encode, EmptyInputGivesAnEmptyText)
{
    char out[1] = {'#'};
    int len = -2;
    EXPECT_EQ(b64_encode("", 0, out, sizeof out, &len), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(len, 0);
}

TEST(B64Encode, LongInputsMatchTheGroupwiseCoding)
{
    // Lengths around the six-byte steps of the wide path, against an encoding
    // made three bytes at a time from the front.
    for (size_t n = 0; n < 70; ++n) {
        SCOPED_TRACE(n);
        std::string in = random_bytes(n, static_cast<unsigned>(n));
        std::string expect;
        for (size_t i = 0; i < n; i += 3) {
            char group[8];
            ASSERT_EQ(b64_encode(in.data() + i, static_cast<int>(std::min<size_t>(3, n - i)), group, sizeof group,
                                 nullptr),
                      0);
            expect += group;
        }
        EXPECT_EQ(encode(in), expect);
    }
}

TEST(B64Encode, InPlaceNeedsRoomForTextAndTerminator)
{
    for (size_t n = 1; n < 70; ++n) {
        SCOPED_TRACE(n);
        const std::string in = random_bytes(n, static_cast<unsigned>(100 + n));
        const std::string expect = encode(in);
        const size_t full = expect.size();

        std::vector<char> tight(full, '#');
        std::memcpy(tight.data(), in.data(), n);
        int len = -2;
        EXPECT_EQ(b64_encode(tight.data(), static_cast<int>(n), tight.data(), tight.size(), &len), -1);
        EXPECT_EQ(len, static_cast<int>(full));
        EXPECT_EQ(std::string(tight.data(), n), in);  // nothing written

        std::vector<char> room(full + 1, '#');
        std::memcpy(room.data(), in.data(), n);
        EXPECT_EQ(b64_encode(room.data(), static_cast<int>(n), room.data(), room.size(), &len), 0);
        EXPECT_EQ(len, static_cast<int>(full));
        EXPECT_EQ(std::string(room.data()), expect);
    }
}

namespace {

struct DecodeCase {
    const char *text;
    int outsize;
    int result;
    const char *plain;  // when result is 0
};

const DecodeCase kDecodeCases[] = {
    {"Zm9v", 10, 0, "foo"},
    {"Zm8", 10, 0, "fo"},           // pads are optional
    {"Zm8=", 10, 0, "fo"},
    {"Zg", 10, 0, "f"},
    {"Zg=", 10, 0, "f"},
    {"Zg==", 10, 0, "f"},
    {"Zg==Zm9v", 10, 0, "f"},       // everything after a pad is ignored
    {"Zm8=junk!", 10, 0, "fo"},
    {"Zm 9", 10, 0, "f"},           // any non-alphabet third character ends the text
    {"Zm9vYg", 10, 0, "foob"},
    {"", 1, 0, ""},
    {"Z", 10, -1, nullptr},         // a lone character
    {"Zm9vY", 10, -1, nullptr},     // a lone character after whole groups
    {"Zm9v\n", 10, -1, nullptr},    // a trailing line break is one
    {"Zm9v\r\n", 10, -1, nullptr},  // and CR LF starts a group with a non-alphabet character
    {"Zm9v\nYmFy", 10, -1, nullptr},
    {"=m9v", 10, -1, nullptr},
    {"Z=9v", 10, -1, nullptr},
    {"Zm9v YmFy", 10, -1, nullptr},
    {"Z\xC3" "9v", 10, -1, nullptr},
    // room for the bytes and a terminator
    {"", 0, -1, nullptr},
    {"Zg", 1, -1, nullptr},
    {"Zg", 2, 0, "f"},
    {"Zm8", 2, -1, nullptr},
    {"Zm8", 3, 0, "fo"},
    {"Zm9v", 3, -1, nullptr},
    {"Zm9v", 4, 0, "foo"},
    {"Zm9vYmFy", 6, -1, nullptr},
    {"Zm9vYmFy", 7, 0, "foobar"},
};

}  // namespace

TEST(B64Decode, CasesOfSyntaxAndRoom)
{
    for (const DecodeCase &c : kDecodeCases) {
        SCOPED_TRACE(std::string(c.text) + " room " + std::to_string(c.outsize));
        char out[32];
        std::memset(out, '#', sizeof out);
        int len = -2;
        EXPECT_EQ(b64_decode(c.text, -1, out, c.outsize, &len), c.result);
        if (c.result == 0) {
            EXPECT_EQ(len, static_cast<int>(std::strlen(c.plain)));
            EXPECT_STREQ(out, c.plain);
        } else {
            EXPECT_EQ(len, -2);  // untouched on failure
        }
        EXPECT_EQ(out[c.outsize], '#');  // never past the room given
    }
}

TEST(B64Decode, NegativeRoomIsOnlyForInPlace)
{
    char text[] = "Zm9vYmE=";
    char other[16];
    EXPECT_EQ(b64_decode(text, -1, other, -1, nullptr), -1);
    int len = -2;
    EXPECT_EQ(b64_decode(text, -1, text, -1, &len), 0);
    EXPECT_EQ(len, 5);
    EXPECT_STREQ(text, "fooba");
}

TEST(B64Decode, InPlaceMatchesOutOfPlace)
{
    for (size_t n = 0; n < 70; ++n) {
        SCOPED_TRACE(n);
        const std::string plain = random_bytes(n, static_cast<unsigned>(200 + n));
        std::string text = encode(plain);
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        int len = -2;
        ASSERT_EQ(b64_decode(buf.data(), static_cast<int>(text.size()), buf.data(), -1, &len), n ? 0 : -1);
        if (n) {
            EXPECT_EQ(len, static_cast<int>(n));
            EXPECT_EQ(std::string(buf.data(), n), plain);
            EXPECT_EQ(buf[n], '\0');
        }
    }
}

TEST(B64Decode, BadCharacterAnywhereInALongText)
{
    // A long text runs the wide path; a character outside the alphabet at each
    // place of a group must give the same answer as at the start of a text.
    const std::string plain = random_bytes(96, 7);
    const std::string text = encode(plain);  // 128 characters, no pads
    for (size_t pos = 0; pos < text.size(); ++pos) {
        SCOPED_TRACE(pos);
        std::string bad = text;
        bad[pos] = '\n';
        std::vector<char> out(200, '#');
        int len = -2;
        int rc = b64_decode(bad.data(), static_cast<int>(bad.size()), out.data(), static_cast<int>(out.size()),
                            &len);
        const size_t group = pos / 4, place = pos % 4;
        if (place < 2) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(len, -2);
        } else {
            ASSERT_EQ(rc, 0);
            const size_t bytes = group * 3 + place - 1;
            EXPECT_EQ(len, static_cast<int>(bytes));
            EXPECT_EQ(std::string(out.data(), bytes), plain.substr(0, bytes));
            EXPECT_EQ(out[bytes], '\0');
        }
    }
}

TEST(B64Decode, LongTextNeedsExactlyOneByteMoreThanItsBytes)
{
    for (size_t n : {3u, 6u, 9u, 30u, 300u, 301u, 302u}) {
        SCOPED_TRACE(n);
        const std::string plain = random_bytes(n, static_cast<unsigned>(n));
        const std::string text = encode(plain);
        std::vector<char> out(n + 8, '#');
        int len = -2;
        EXPECT_EQ(b64_decode(text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(n), &len), -1);
        EXPECT_EQ(out[n], '#');
        EXPECT_EQ(b64_decode(text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(n + 1), &len),
                  0);
        EXPECT_EQ(len, static_cast<int>(n));
        EXPECT_EQ(std::string(out.data(), n), plain);
        EXPECT_EQ(out[n + 1], '#');
    }
}
