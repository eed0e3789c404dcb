// BER reader: headers, elements, integers, nesting, counting, the sticky
// error cell and the response head.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ldapasn_test_util.h"
#include "vexcore/ldapasn.h"

using ldapasn_test::Bytes;
using ldapasn_test::hex;

namespace {

constexpr const char *LEN = "ASN.1 length incorrect";
constexpr const char *LEN2 = "ASN.1 length incorrect (2)";
constexpr const char *INNER = "ASN.1 inner length exceeds outer length";
constexpr const char *EXCESS = "ASN.1 excess data found";
constexpr const char *INDEF = "ASN.1 indefinite length not permitted in LDAP";
constexpr const char *INTLONG = "ASN.1 integer encoding too long";
constexpr const char *LENLEN = "ASN.1 unsupported length length";
constexpr const char *DEEP = "ASN.1 nested too deep";
constexpr const char *INTLEN = "ASN.1 integer length unsupported";
constexpr const char *TYPE = "ASN.1 unexpected type";
constexpr const char *TOP = "ASN.1 can't go above top level";

struct Reader {
    Bytes bytes;
    ldapasn_ctx ctx{};
    int err = 0;

    explicit Reader(const std::string &h) : bytes(hex(h))
    {
        ldapasn_init(&ctx, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    size_t offset() const { return static_cast<size_t>(ctx.cur - bytes.data()); }
};

struct ElementCase {
    const char *name;
    const char *bytes;
    int expect_tag;  // argument: 0 = any
    int rc;
    const char *text;  // null on success
    int tag;
    uint32_t len;
    int hdr;
    size_t value_at;  // offset of the content on success
};

const ElementCase element_cases[] = {
    {"short_form", "04 03 61 62 63", 0, 0, nullptr, 0x04, 3, 2, 2},
    {"long_form_not_minimal", "04 81 03 61 62 63", 4, 0, nullptr, 0x04, 3, 3, 3},
    {"four_length_octets", "04 84 00 00 00 01 41", 4, 0, nullptr, 0x04, 1, 6, 6},
    {"empty_value", "05 00", 0, 0, nullptr, 0x05, 0, 2, 2},
    {"empty_buffer", "", 0, -1, LEN, 0, 0, 0, 0},
    {"one_byte_left", "04", 0, -1, LEN, 0, 0, 0, 0},
    {"wrong_tag", "04 01 41", 0x30, -4, TYPE, 0x04, 0, 0, 0},
    {"indefinite", "30 80 02 01 01 00 00", 0, -2, INDEF, 0x30, 0, 0, 0},
    {"length_length_5_room", "04 85 00 00 00 00 01 41", 0, -3, LENLEN, 0x04, 0, 0, 0},
    {"length_length_5_short", "04 85 00 00 00", 0, -1, LEN2, 0x04, 0, 0, 0},
    {"length_length_127_short", "04 FF 00", 0, -1, LEN2, 0x04, 0, 0, 0},
    {"long_form_cut", "04 82 01", 0, -1, LEN2, 0x04, 0, 0, 0},
    {"one_past_buffer", "04 04 61 62 63", 0, -1, INNER, 0x04, 4, 2, 0},
    {"constructed_past_buffer", "30 05 02 01 01 04", 0, -1, INNER, 0x30, 5, 2, 0},
    {"length_2_to_31", "04 84 80 00 00 00 41", 0, -1, INNER, 0x04, 0x80000000u, 6, 0},
    // 6 + 0xFFFFFFFA wraps to 0 in 32 bits; it must still be refused.
    {"length_wraps_32_bits", "04 84 FF FF FF FA 41", 0, -1, INNER, 0x04, 0xFFFFFFFAu, 6, 0},
};

class ElementTest : public testing::TestWithParam<ElementCase> {};

TEST_P(ElementTest, PeekAndReadAgree)
{
    const ElementCase &c = GetParam();
    Reader r(c.bytes);
    int tag = -1, hdr = -1;
    uint32_t len = 12345;
    int peek = ldapasn_TLpeek(&r.ctx, c.expect_tag, &tag, &len, &hdr, &r.err);
    // The peek leaves content-versus-room checks to the read.
    bool room_failure = c.text == INNER;
    EXPECT_EQ(peek, room_failure ? 0 : c.rc);
    EXPECT_EQ(r.offset(), 0u);
    if (c.rc == 0 || room_failure) {
        EXPECT_EQ(tag, c.tag);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(hdr, c.hdr);
    } else if (c.tag) {
        EXPECT_EQ(tag, c.tag);  // the tag is reported even when refused
    }

    Reader r2(c.bytes);
    const unsigned char *value = nullptr;
    tag = -1;
    int rc = ldapasn_TLV(&r2.ctx, c.expect_tag, &tag, &len, &value, &r2.err);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(r2.err, c.rc);
    if (c.rc == 0) {
        EXPECT_EQ(tag, c.tag);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(value, r2.bytes.data() + c.value_at);
        if (c.tag & 0x20) {
            EXPECT_EQ(r2.ctx.level, 1);
            EXPECT_EQ(r2.ctx.remain[1], c.len);
        } else {
            EXPECT_EQ(r2.offset(), c.value_at + c.len);
            EXPECT_EQ(r2.ctx.remain[0], r2.bytes.size() - r2.offset());
        }
    } else {
        EXPECT_STREQ(r2.ctx.errmsg, c.text);
        EXPECT_EQ(r2.offset(), 0u);
        EXPECT_EQ(r2.ctx.level, 0);
        EXPECT_EQ(r2.ctx.remain[0], r2.bytes.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, ElementTest, testing::ValuesIn(element_cases),
                         [](const auto &info) { return std::string(info.param.name); });

struct IntCase {
    const char *name;
    const char *bytes;
    int tag;
    int rc;
    const char *text;
    int32_t value;  // also checked for -2, which stores before refusing
};

const IntCase int_cases[] = {
    {"minus_one", "02 01 FF", 2, 0, nullptr, -1},
    {"zero", "02 01 00", 2, 0, nullptr, 0},
    {"minus_128", "02 01 80", 2, 0, nullptr, -128},
    {"plus_128", "02 02 00 80", 2, 0, nullptr, 128},
    {"minus_129", "02 02 FF 7F", 2, 0, nullptr, -129},
    {"minus_32769", "02 03 FF 7F FF", 2, 0, nullptr, -32769},
    {"max", "02 04 7F FF FF FF", 2, 0, nullptr, 2147483647},
    {"min", "02 04 80 00 00 00", 2, 0, nullptr, -2147483647 - 1},
    {"enumerated", "0A 01 20", 10, 0, nullptr, 32},
    {"redundant_zero", "02 02 00 05", 2, -2, INTLONG, 5},
    {"redundant_ff", "02 02 FF 80", 2, -2, INTLONG, -128},
    {"redundant_four", "02 04 00 00 00 01", 2, -2, INTLONG, 1},
    {"empty", "02 00", 2, -3, INTLEN, 0},
    {"five_octets", "02 05 00 80 00 00 00", 2, -3, INTLEN, 0},
    {"integer_where_enumerated", "02 01 01", 10, -4, TYPE, 0},
};

class IntTest : public testing::TestWithParam<IntCase> {};

TEST_P(IntTest, Reads)
{
    const IntCase &c = GetParam();
    Reader r(c.bytes);
    int32_t v = 0;
    EXPECT_EQ(ldapasn_int(&r.ctx, c.tag, &v, &r.err), c.rc);
    EXPECT_EQ(r.err, c.rc);
    if (c.rc == 0 || c.rc == -2) {
        EXPECT_EQ(v, c.value);
    }
    if (c.rc) {
        EXPECT_STREQ(r.ctx.errmsg, c.text);
    }
    // The element is consumed once its header was good; a wrong tag moves nothing.
    EXPECT_EQ(r.offset(), c.rc == -4 ? 0u : r.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Reader, IntTest, testing::ValuesIn(int_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Eight SEQUENCEs nested in one another around one INTEGER, plus a ninth level.
std::string nested(int levels)
{
    std::string inner = "02 01 07";
    int len = 3;
    for (int i = 0; i < levels; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "30 %02X ", len);
        inner = head + inner;
        len += 2;
    }
    return inner;
}

TEST(ReaderNesting, EightLevelsEnterAndLeave)
{
    Reader r(nested(8));
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err), 0);
        EXPECT_EQ(r.ctx.level, i);
    }
    int32_t v;
    EXPECT_EQ(ldapasn_int(&r.ctx, 2, &v, &r.err), 0);
    EXPECT_EQ(v, 7);
    for (int i = 8; i >= 1; --i) {
        EXPECT_EQ(r.ctx.remain[i], 0u);
        ASSERT_EQ(ldapasn_uplevel(&r.ctx, &r.err), 0);
    }
    EXPECT_EQ(r.ctx.level, 0);
    EXPECT_EQ(r.ctx.remain[0], 0u);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), -4);
    EXPECT_STREQ(r.ctx.errmsg, TOP);
}

TEST(ReaderNesting, NinthLevelRefusedWithStateIntact)
{
    Reader r(nested(9));
    for (int i = 1; i <= 8; ++i)
        ASSERT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err), 0);
    ldapasn_ctx before = r.ctx;
    EXPECT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err), -3);
    EXPECT_STREQ(r.ctx.errmsg, DEEP);
    EXPECT_EQ(r.ctx.cur, before.cur);
    EXPECT_EQ(r.ctx.level, 8);
    EXPECT_EQ(std::memcmp(r.ctx.remain, before.remain, sizeof before.remain), 0);
}

TEST(ReaderUplevel, RefusesUnreadBytesAndTheTop)
{
    Reader empty("");
    EXPECT_EQ(ldapasn_uplevel(&empty.ctx, &empty.err), -4);
    EXPECT_STREQ(empty.ctx.errmsg, TOP);

    Reader r("30 03 02 01 05");
    ASSERT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err), 0);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), -1);
    EXPECT_STREQ(r.ctx.errmsg, EXCESS);
    EXPECT_EQ(r.ctx.level, 1);
}

TEST(ReaderUplevel, StrayByteIsNeitherAvailableNorLeft)
{
    Reader r("30 04 04 01 41 FF");
    ASSERT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err), 0);
    EXPECT_EQ(ldapasn_TLavail(&r.ctx, &r.err), 1);
    ASSERT_EQ(ldapasn_TLV(&r.ctx, 4, nullptr, nullptr, nullptr, &r.err), 0);
    EXPECT_EQ(ldapasn_TLavail(&r.ctx, &r.err), 0);
    uint32_t total = 99;
    EXPECT_EQ(ldapasn_TLcount(&r.ctx, &total, 1, &r.err), 0);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(r.ctx.remain[1], 1u);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), -1);
    EXPECT_STREQ(r.ctx.errmsg, EXCESS);
}

struct CountCase {
    const char *name;
    const char *bytes;  // the content of one SET, entered before counting
    int rc;
    uint32_t total;
    uint32_t stray;  // bytes too few for another element, never consumed
    const char *text;
};

const CountCase count_cases[] = {
    {"three_siblings", "04 01 61 04 00 04 05 61 62 63 64 65", 3, 6, 0, nullptr},
    {"long_forms_and_any_tags", "04 81 02 61 62 30 00 A3 82 00 01 00", 3, 3, 0, nullptr},
    {"none", "", 0, 0, 0, nullptr},
    {"stray_byte_after_two", "04 00 04 00 04", 2, 0, 1, nullptr},
    {"indefinite", "04 01 61 30 80 00 00", -2, 0, 0, INDEF},
    {"length_length", "04 85 00 00 00 00 01 00", -3, 0, 0, LENLEN},
    {"length_cut", "04 01 61 04 83 00 00", -1, 0, 0, LEN2},
    {"runs_past_level", "04 01 61 04 09 61", -1, 0, 0, INNER},
    {"length_wraps_32_bits", "04 84 FF FF FF FA 00", -1, 0, 0, INNER},
};

class CountTest : public testing::TestWithParam<CountCase> {};

TEST_P(CountTest, CountsWithAndWithoutConsume)
{
    const CountCase &c = GetParam();
    Bytes content = hex(c.bytes);
    Bytes set = {0x31, static_cast<unsigned char>(content.size())};
    set.insert(set.end(), content.begin(), content.end());
    for (int consume : {0, 1}) {
        SCOPED_TRACE(consume);
        ldapasn_ctx ctx;
        int err = 0;
        ldapasn_init(&ctx, set.data(), static_cast<uint32_t>(set.size()));
        ASSERT_EQ(ldapasn_TLV(&ctx, 0x31, nullptr, nullptr, nullptr, &err), 0);
        const unsigned char *start = ctx.cur;
        uint32_t total = 77;
        EXPECT_EQ(ldapasn_TLcount(&ctx, &total, consume, &err), c.rc);
        EXPECT_EQ(err, c.rc < 0 ? c.rc : 0);
        if (c.rc >= 0) {
            EXPECT_EQ(total, c.total);
            size_t left = consume ? c.stray : content.size();
            EXPECT_EQ(ctx.remain[1], left);
            EXPECT_EQ(ctx.remain[0], left);
            EXPECT_EQ(ctx.cur, start + content.size() - left);
            if (consume && !c.stray) {
                EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
            }
        } else {
            EXPECT_STREQ(ctx.errmsg, c.text);
            EXPECT_EQ(ctx.cur, start);
            EXPECT_EQ(ctx.remain[1], content.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, CountTest, testing::ValuesIn(count_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ReaderErrorCell, StickyCodeStopsEveryOperation)
{
    Reader r("30 06 02 01 05 04 01 41");
    r.err = -4;
    r.ctx.errmsg = "earlier";
    int tag = -1;
    uint32_t len = 5, total = 5;
    int32_t v = 5;
    const unsigned char *value = nullptr;
    EXPECT_EQ(ldapasn_TLpeek(&r.ctx, 0, &tag, &len, nullptr, &r.err), -4);
    EXPECT_EQ(ldapasn_TLV(&r.ctx, 0, &tag, &len, &value, &r.err), -4);
    EXPECT_EQ(ldapasn_int(&r.ctx, 2, &v, &r.err), -4);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), -4);
    EXPECT_EQ(ldapasn_TLavail(&r.ctx, &r.err), 0);
    EXPECT_EQ(ldapasn_TLcount(&r.ctx, &total, 1, &r.err), 0);
    EXPECT_EQ(ldapasn_result(&r.ctx, 0x65, nullptr, nullptr, nullptr, nullptr, nullptr, &r.err), -4);
    EXPECT_EQ(r.offset(), 0u);
    EXPECT_EQ(r.ctx.level, 0);
    EXPECT_EQ(r.ctx.remain[0], r.bytes.size());
    EXPECT_STREQ(r.ctx.errmsg, "earlier");
    EXPECT_EQ(tag, -1);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(value, nullptr);
}

TEST(ReaderErrorCell, FirstFailureOfARunIsKept)
{
    // A fixed run of reads where the second fails: the rest do nothing and
    // the first code and text survive to the end.
    Reader r("30 08 0A 01 05 04 01 41 04 00");
    int32_t v = 0;
    ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, &r.err);
    ldapasn_int(&r.ctx, 2, &v, &r.err);
    ldapasn_TLV(&r.ctx, 4, nullptr, nullptr, nullptr, &r.err);
    ldapasn_uplevel(&r.ctx, &r.err);
    EXPECT_EQ(r.err, -4);
    EXPECT_STREQ(r.ctx.errmsg, TYPE);
    EXPECT_EQ(r.offset(), 2u);
}

TEST(ReaderErrorCell, NullCellOnlyReturnsTheCode)
{
    Reader r("04 01 41 02 01 07");
    EXPECT_EQ(ldapasn_TLV(&r.ctx, 0x30, nullptr, nullptr, nullptr, nullptr), -4);
    EXPECT_STREQ(r.ctx.errmsg, TYPE);
    int32_t v = 0;
    EXPECT_EQ(ldapasn_TLV(&r.ctx, 4, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ldapasn_int(&r.ctx, 2, &v, nullptr), 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(ldapasn_TLavail(&r.ctx, nullptr), 0);
    EXPECT_EQ(ldapasn_TLcount(&r.ctx, nullptr, 1, nullptr), 0);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, nullptr), -4);
}

TEST(ReaderInit, DoesNotClearTheLastText)
{
    Reader r("04");
    EXPECT_EQ(ldapasn_TLV(&r.ctx, 0, nullptr, nullptr, nullptr, nullptr), -1);
    ldapasn_init(&r.ctx, r.bytes.data(), 1);
    EXPECT_STREQ(r.ctx.errmsg, LEN);
    EXPECT_EQ(r.ctx.level, 0);
}

struct ResultCase {
    const char *name;
    const char *bytes;
    int optag;
    bool want_tag;
    int rc;
    int32_t msgid;
    int tag_out;
    int32_t code;
    const char *diag;
};

const ResultCase result_cases[] = {
    {"bind_ok", "30 0C 02 01 01 61 07 0A 01 00 04 00 04 00", 0x61, false, 0, 1, -1, 0, ""},
    {"done_with_diag", "30 0F 02 01 02 65 0A 0A 01 20 04 00 04 03 61 62 63", 0x65, true, 0, 2, 0x65, 32, "abc"},
    {"entry_is_handed_back", "30 0E 02 01 03 64 09 04 03 63 6E 3D 30 02 30 00", 0x65, true, 0, 3, 0x64, -1, nullptr},
    {"wrong_op_without_tag_out", "30 0C 02 01 01 61 07 0A 01 00 04 00 04 00", 0x65, false, -4, 1, -1, -1, nullptr},
    {"result_code_not_enumerated", "30 0C 02 01 01 61 07 02 01 00 04 00 04 00", 0x61, false, -4, 1, -1, -1, nullptr},
    {"diagnostic_missing", "30 0A 02 01 01 61 05 0A 01 00 04 00", 0x61, false, -1, 1, -1, 0, nullptr},
    {"not_a_message", "04 00", 0x61, true, -4, -1, -1, -1, nullptr},
    {"truncated_message", "30 0C 02 01 01 61 07 0A 01 00 04 00", 0x61, true, -1, -1, -1, -1, nullptr},
};

class ResultTest : public testing::TestWithParam<ResultCase> {};

TEST_P(ResultTest, ReadsTheHead)
{
    const ResultCase &c = GetParam();
    Reader r(c.bytes);
    int32_t msgid = -1, code = -1;
    int tag = -1;
    uint32_t diaglen = 999;
    const char *diag = nullptr;
    int rc = ldapasn_result(&r.ctx, c.optag, &msgid, c.want_tag ? &tag : nullptr, &code, &diaglen,
                            &diag, &r.err);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(r.err, c.rc);
    EXPECT_EQ(msgid, c.msgid);
    EXPECT_EQ(tag, c.tag_out);
    EXPECT_EQ(code, c.code);
    if (c.diag) {
        ASSERT_NE(diag, nullptr);
        EXPECT_EQ(std::string(diag, diaglen), c.diag);
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, ResultTest, testing::ValuesIn(result_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ReaderResult, OtherOperationLeavesReaderAtItsFirstChild)
{
    Reader r("30 0E 02 01 03 64 09 04 03 63 6E 3D 30 02 30 00");
    int tag = 0;
    ASSERT_EQ(ldapasn_result(&r.ctx, 0x65, nullptr, &tag, nullptr, nullptr, nullptr, &r.err), 0);
    EXPECT_EQ(tag, 0x64);
    EXPECT_EQ(r.ctx.level, 2);
    uint32_t len = 0;
    const unsigned char *dn = nullptr;
    ASSERT_EQ(ldapasn_TLV(&r.ctx, 4, nullptr, &len, &dn, &r.err), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(dn), len), "cn=");
}

TEST(ReaderResult, NullOutputsAreAllowed)
{
    Reader r("30 0F 02 01 02 65 0A 0A 01 20 04 00 04 03 61 62 63");
    EXPECT_EQ(ldapasn_result(&r.ctx, 0x65, nullptr, nullptr, nullptr, nullptr, nullptr, &r.err), 0);
    EXPECT_EQ(r.ctx.remain[2], 0u);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), 0);
    EXPECT_EQ(ldapasn_uplevel(&r.ctx, &r.err), 0);
    EXPECT_EQ(r.ctx.remain[0], 0u);
}

}  // namespace
