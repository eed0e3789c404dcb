// Responses captured from OpenLDAP's slapd (capture/capture-responses): the
// reader walks them to the last byte with the expected fields, and the dump
// prints them without a stop line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ldapasn_fixtures.h"
#include "ldapasn_test_util.h"
#include "vexcore/ldapasn.h"

using ldapasn_test::CaptureLog;

namespace {

const ldapasn_fixture &fixture(const std::string &name)
{
    for (const ldapasn_fixture &f : ldapasn_fixtures)
        if (name == f.name)
            return f;
    ADD_FAILURE() << "no fixture " << name;
    return ldapasn_fixtures[0];
}

std::string text(const unsigned char *p, uint32_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

struct HeadCase {
    const char *name;
    int optag;
    int32_t msgid;
    int32_t code;
    const char *diag;
    const char *referral;  // the URL of the optional referral, if any
};

const HeadCase head_cases[] = {
    {"bind_invalid", 0x61, 1, 49, "", nullptr},
    {"bind_ok", 0x61, 2, 0, "", nullptr},
    {"search_done", 0x65, 3, 0, "", nullptr},
    {"search_done_referral", 0x65, 5, 10, "", "ldap://remote.example.net/cn=x,ou=remote,o=vex,c=us??base"},
    {"search_done_nosuch", 0x65, 6, 32, "", nullptr},
    {"add_ok", 0x69, 7, 0, "", nullptr},
    {"add_exists", 0x69, 8, 68, "", nullptr},
    {"modify_ok", 0x67, 9, 0, "", nullptr},
    {"modify_nosuch", 0x67, 10, 32, "", nullptr},
    {"delete_nonleaf", 0x6B, 11, 66, "subordinate objects must be deleted first", nullptr},
    {"delete_ok", 0x6B, 12, 0, "", nullptr},
};

class CapturedHead : public testing::TestWithParam<HeadCase> {};

TEST_P(CapturedHead, ReadsToTheLastByte)
{
    const HeadCase &c = GetParam();
    const ldapasn_fixture &f = fixture(c.name);
    for (bool with_tag : {false, true}) {
        SCOPED_TRACE(with_tag);
        ldapasn_ctx ctx;
        ldapasn_init(&ctx, f.bytes, static_cast<uint32_t>(f.size));
        int err = 0, tag = 0;
        int32_t msgid = -1, code = -1;
        uint32_t diaglen = 0;
        const char *diag = nullptr;
        ASSERT_EQ(ldapasn_result(&ctx, c.optag, &msgid, with_tag ? &tag : nullptr, &code, &diaglen, &diag, &err), 0)
            << ctx.errmsg;
        if (with_tag) {
            EXPECT_EQ(tag, c.optag);
        }
        EXPECT_EQ(msgid, c.msgid);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(std::string(diag, diaglen), c.diag);
        if (c.referral) {
            uint32_t len;
            const unsigned char *url;
            ASSERT_EQ(ldapasn_TLV(&ctx, 0xA3, nullptr, nullptr, nullptr, &err), 0);
            ASSERT_EQ(ldapasn_TLV(&ctx, 0x04, nullptr, &len, &url, &err), 0);
            EXPECT_EQ(text(url, len), c.referral);
            EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
        }
        EXPECT_EQ(ldapasn_TLavail(&ctx, &err), 0);  // no controls either
        EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
        EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
        EXPECT_EQ(ctx.remain[0], 0u);
        EXPECT_EQ(err, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CapturedHead, testing::ValuesIn(head_cases),
                         [](const auto &info) { return std::string(info.param.name); });

using Attribute = std::pair<std::string, std::vector<std::string>>;

TEST(CapturedEntry, WalksEveryAttributeAndValue)
{
    const ldapasn_fixture &f = fixture("search_entry");
    ldapasn_ctx ctx;
    ldapasn_init(&ctx, f.bytes, static_cast<uint32_t>(f.size));
    int err = 0, tag = 0;
    int32_t msgid = 0;
    ASSERT_EQ(ldapasn_result(&ctx, 0x65, &msgid, &tag, nullptr, nullptr, nullptr, &err), 0);
    EXPECT_EQ(tag, 0x64);
    EXPECT_EQ(msgid, 3);
    uint32_t len;
    const unsigned char *p;
    ASSERT_EQ(ldapasn_TLV(&ctx, 0x04, nullptr, &len, &p, &err), 0);
    EXPECT_EQ(text(p, len), "uid=alice,ou=people,o=vex,c=us");
    ASSERT_EQ(ldapasn_TLV(&ctx, 0x30, nullptr, nullptr, nullptr, &err), 0);
    std::vector<Attribute> got;
    while (ldapasn_TLavail(&ctx, &err)) {
        ldapasn_TLV(&ctx, 0x30, nullptr, nullptr, nullptr, &err);
        ldapasn_TLV(&ctx, 0x04, nullptr, &len, &p, &err);
        ASSERT_EQ(err, 0) << ctx.errmsg;
        Attribute a{text(p, len), {}};
        ldapasn_TLV(&ctx, 0x31, nullptr, nullptr, nullptr, &err);
        // Count first, as a decoder sizing its copy would, then read.
        ldapasn_ctx probe = ctx;
        uint32_t total = 0, sum = 0;
        int count = ldapasn_TLcount(&probe, &total, 1, &err);
        while (ldapasn_TLavail(&ctx, &err)) {
            ldapasn_TLV(&ctx, 0x04, nullptr, &len, &p, &err);
            a.second.push_back(text(p, len));
            sum += len;
        }
        EXPECT_EQ(count, static_cast<int>(a.second.size()));
        EXPECT_EQ(total, sum);
        EXPECT_EQ(probe.cur, ctx.cur);
        ldapasn_uplevel(&ctx, &err);
        ldapasn_uplevel(&ctx, &err);
        ASSERT_EQ(err, 0) << ctx.errmsg;
        got.push_back(a);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ldapasn_uplevel(&ctx, &err), i < 3 ? 0 : -4);
    EXPECT_EQ(ctx.remain[0], 0u);

    const std::vector<Attribute> expect = {
        {"objectClass", {"inetOrgPerson"}},
        {"uid", {"alice"}},
        {"cn", {"Alice Example", "Alice"}},
        {"sn", {"Example"}},
        {"givenName", {"Alice"}},
        {"mail", {"alice@vex.example", "a@vex.example"}},
        {"telephoneNumber", {"+1 555 0100"}},
        {"description",
         {"first line of a longer description that pushes this value past the one-byte length form of BER so "
          "that a long length field appears in the captured entry"}},
        {"userPassword", {"{SSHA}notreallyahash"}},
    };
    EXPECT_EQ(got, expect);
}

TEST(CapturedReference, ReadsItsUrl)
{
    const ldapasn_fixture &f = fixture("search_reference");
    ldapasn_ctx ctx;
    ldapasn_init(&ctx, f.bytes, static_cast<uint32_t>(f.size));
    int err = 0, tag = 0;
    ASSERT_EQ(ldapasn_result(&ctx, 0x65, nullptr, &tag, nullptr, nullptr, nullptr, &err), 0);
    EXPECT_EQ(tag, 0x73);
    std::vector<std::string> urls;
    uint32_t len;
    const unsigned char *p;
    while (ldapasn_TLavail(&ctx, &err) && ldapasn_TLV(&ctx, 0x04, nullptr, &len, &p, &err) == 0)
        urls.push_back(text(p, len));
    EXPECT_EQ(urls, std::vector<std::string>{"ldap://remote.example.net/ou=remote,o=vex,c=us??sub"});
    EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
    EXPECT_EQ(ldapasn_uplevel(&ctx, &err), 0);
    EXPECT_EQ(err, 0);
}

TEST(CapturedDump, EveryResponsePrintsWithoutAStopLine)
{
    const char *const stops[] = {"invalid length", "nested too deep", "indefinite length", "exceeds outer length",
                                 "invalid integer length", "not shortest form"};
    for (const ldapasn_fixture &f : ldapasn_fixtures) {
        SCOPED_TRACE(f.name);
        CaptureLog log;
        ldapasn_dump(log.cx(), LOGCX_DEBUG, '<', f.bytes, f.size);
        ASSERT_FALSE(log.lines.empty());
        for (const std::string &line : log.lines) {
            EXPECT_EQ(line.substr(0, 2), "< ");
            for (const char *s : stops)
                EXPECT_EQ(line.find(s), std::string::npos) << line;
        }
    }
}

TEST(CapturedDump, ReferralResultLines)
{
    const ldapasn_fixture &f = fixture("search_done_referral");
    CaptureLog log;
    ldapasn_dump(log.cx(), LOGCX_INFO, '<', f.bytes, f.size);
    const std::vector<std::string> expect = {
        "< SEQUENCE {93} \n",
        "<  INTEGER {1} 0x05 5\n",
        "<  APPLICATION LDAP-SEARCH-RESULT-DONE {88} \n",
        "<   ENUMERATED {1} 0x0a 10\n",
        "<   OCTET-STRING {20} ou=remote,o=vex,c=us\n",
        "<   OCTET-STRING {0} \n",
        "<   CONTEXT [3] {59} \n",
        "<    OCTET-STRING {57} ldap://remote.example.net/cn=x,ou=remote,o=vex,c=us??base\n",
    };
    EXPECT_EQ(log.lines, expect);
}

}  // namespace
