#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vexcore/url.h"

namespace {

using Text = std::optional<std::string>;

Text part(const char *p, uint32_t len)
{
    if (!p)
        return std::nullopt;
    return std::string(p, len);
}

// The parse of one URL text, held with guard bytes after it so that a write
// past the text shows.
struct Parsed {
    int rc = -1;
    url_record rec{};
    std::vector<char> text;
    std::size_t len = 0;

    Parsed(const std::string &url, uint32_t flags, const char *scheme = nullptr,
           bool terminated = true, const char *base = nullptr)
        : text(url.begin(), url.end()), len(url.size())
    {
        if (terminated)
            text.push_back('\0');
        text.push_back('#');
        rc = url_parse(&rec, text.data(), terminated ? -1 : static_cast<ptrdiff_t>(len), scheme,
                       base, flags);
    }
    ~Parsed() { url_cleanup(&rec); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;

    char guard() const { return text.back(); }
};

struct UrlCase {
    const char *name;
    const char *url;
    uint32_t flags = 0;
    const char *expect_scheme = nullptr;
    int rc = 0;
    Text scheme = "ldap";
    Text user = std::nullopt;
    Text password = std::nullopt;
    Text auth = std::nullopt;
    Text host = "h";
    uint32_t port = 0;
    uint32_t rflags = 0;
    uint32_t warnings = 0;
    Text dn = std::nullopt;
    Text attrs = std::nullopt;
    int32_t scope = 0;
    Text filter = "(objectclass=*)";
    Text exts = std::nullopt;
};

const UrlCase kCases[] = {
    {.name = "plain", .url = "ldap://h/o=x", .dn = "o=x"},
    {.name = "enclosed_prefixed_secure",
     .url = "<URL:LDAPS://h:636/o=x??sub?(cn=a)>",
     .scheme = "LDAPS",
     .port = 636,
     .rflags = URL_FLAG_ENCLOSED | URL_FLAG_SECURE,
     .dn = "o=x",
     .scope = 2,
     .filter = "(cn=a)"},
    {.name = "prefix_any_case", .url = "url:ldap://h/", .scheme = "ldap"},
    {.name = "secure_variant_accepted",
     .url = "ldaps://h",
     .flags = URL_PARSE_SECURE_VARIANT,
     .expect_scheme = "ldap",
     .scheme = "ldap",
     .rflags = URL_FLAG_SECURE},
    {.name = "secure_variant_refused_without_flag", .url = "ldaps://h", .expect_scheme = "ldap", .rc = -1},
    {.name = "expected_scheme_any_case", .url = "LDAP://h", .expect_scheme = "ldap", .scheme = "ldap"},
    {.name = "expected_scheme_mismatch", .url = "ldapx://h", .flags = URL_PARSE_SECURE_VARIANT,
     .expect_scheme = "ldap", .rc = -1},
    {.name = "query_after_authority", .url = "ldap://h?x", .rc = -1},
    {.name = "fragment_after_authority", .url = "ldap://h#x", .rc = -1},
    {.name = "other_scheme", .url = "http://h/", .rc = -1},
    {.name = "no_scheme", .url = "//h/o=x", .rc = -1},
    {.name = "scheme_starts_with_digit", .url = "1ldap://h/", .rc = -1},
    {.name = "empty", .url = "", .rc = -1},
    {.name = "scheme_without_colon", .url = "ldap", .rc = -1},
    {.name = "bad_scheme_character", .url = "ld_ap://h/", .rc = -1, .warnings = URL_WARN_SCHEME},
    {.name = "port", .url = "ldap://h:389/o=x", .port = 389, .dn = "o=x"},
    {.name = "port_max", .url = "ldap://h:65535", .port = 65535},
    {.name = "port_too_big", .url = "ldap://h:99999/", .warnings = URL_WARN_PORT},
    {.name = "port_with_letter", .url = "ldap://h:12x/", .warnings = URL_WARN_PORT},
    {.name = "port_not_a_number", .url = "ldap://h:x/o=x", .warnings = URL_WARN_PORT, .dn = "o=x"},
    {.name = "port_empty", .url = "ldap://h:/"},
    {.name = "empty_scope", .url = "ldap://h/o=x???", .warnings = URL_WARN_LDAP_SCOPE, .dn = "o=x"},
    {.name = "unknown_scope", .url = "ldap://h/o=x??subtree", .warnings = URL_WARN_LDAP_SCOPE, .dn = "o=x"},
    {.name = "scope_one_any_case", .url = "ldap://h/o=x??ONE", .dn = "o=x", .scope = 1},
    {.name = "scope_base", .url = "ldap://h/o=x?cn?base?(cn=b)", .dn = "o=x", .attrs = "cn", .filter = "(cn=b)"},
    {.name = "all_parts",
     .url = "ldap://h/o=x?cn,mail?sub?(uid=u)?!x-ext=1,e2",
     .dn = "o=x",
     .attrs = "cn,mail",
     .scope = 2,
     .filter = "(uid=u)",
     .exts = "!x-ext=1,e2"},
    {.name = "empty_extensions", .url = "ldap://h/o=x????", .warnings = URL_WARN_LDAP_SCOPE, .dn = "o=x",
     .exts = ""},
    {.name = "slash_only", .url = "ldap://h/"},
    {.name = "empty_dn_with_query", .url = "ldap://h/?cn", .dn = "", .attrs = "cn"},
    {.name = "no_authority", .url = "ldap:/o=x", .host = std::nullopt, .dn = "o=x"},
    {.name = "no_authority_no_slash", .url = "ldap:o=x", .rc = -1, .host = std::nullopt},
    {.name = "empty_host", .url = "ldap:///o=x", .host = "", .warnings = URL_WARN_HOST, .dn = "o=x"},
    {.name = "ipv4", .url = "ldap://10.0.0.1:389/", .host = "10.0.0.1", .port = 389, .rflags = URL_FLAG_IPV4},
    {.name = "ipv4_hostport", .url = "ldap://10.0.0.1:389/", .flags = URL_PARSE_HOSTPORT,
     .host = "10.0.0.1:389", .port = 389, .rflags = URL_FLAG_IPV4},
    {.name = "name_after_numbers", .url = "ldap://10.0.0.com/", .host = "10.0.0.com"},
    {.name = "ipv4_out_of_range", .url = "ldap://256.1.1.1/", .host = "256.1.1.1", .warnings = URL_WARN_HOST},
    {.name = "five_numbers", .url = "ldap://1.2.3.4.5/", .host = "1.2.3.4.5", .warnings = URL_WARN_HOST},
    {.name = "host_name", .url = "ldap://dir-1.example.com:1389", .host = "dir-1.example.com", .port = 1389},
    {.name = "host_trailing_dot", .url = "ldap://h.example./", .host = "h.example.", .warnings = URL_WARN_HOST},
    {.name = "host_last_label_digit", .url = "ldap://h.123/", .host = "h.123", .warnings = URL_WARN_HOST},
    {.name = "host_with_space_refused", .url = "ldap://my host/", .host = "my host", .warnings = URL_WARN_HOST},
    {.name = "host_with_space_allowed", .url = "ldap://my host/", .flags = URL_PARSE_HOST_SPACES,
     .host = "my host"},
    {.name = "host_with_escaped_space", .url = "ldap://my%20host/", .flags = URL_PARSE_HOST_SPACES,
     .host = "my host"},
    {.name = "host_hostport_with_warning", .url = "ldap://h:12x/", .flags = URL_PARSE_HOSTPORT,
     .host = "h:12", .warnings = URL_WARN_PORT},
    {.name = "ipv6_loopback", .url = "ldap://[::1]/", .host = "[::1]", .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_gap_between", .url = "ldap://[1::2]/", .host = "[1::2]", .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_port", .url = "ldap://[::1]:389/", .host = "[::1]", .port = 389, .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_all_zero", .url = "ldap://[::]", .host = "[::]", .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_full", .url = "ldap://[1:2:3:4:5:6:7:8]/", .host = "[1:2:3:4:5:6:7:8]", .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_trailing_gap", .url = "ldap://[1:2:3:4:5:6:7::]/", .host = "[1:2:3:4:5:6:7::]",
     .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_mapped_v4", .url = "ldap://[::ffff:1.2.3.4]/", .host = "[::ffff:1.2.3.4]",
     .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_full_v4", .url = "ldap://[1:2:3:4:5:6:1.2.3.4]/", .host = "[1:2:3:4:5:6:1.2.3.4]",
     .rflags = URL_FLAG_IPV6},
    {.name = "ipv6_two_gaps", .url = "ldap://[1::2::3]/", .host = "[1", .warnings = URL_WARN_HOST | URL_WARN_PORT},
    {.name = "ipv6_group_too_big", .url = "ldap://[12345::]/", .host = "[12345", .warnings = URL_WARN_HOST | URL_WARN_PORT},
    {.name = "ipv6_too_few_groups", .url = "ldap://[1:2:3:4:5:6:7]/", .host = "[1",
     .warnings = URL_WARN_HOST | URL_WARN_PORT},
    {.name = "ipv6_gap_and_eight_groups", .url = "ldap://[1:2:3:4:5:6:7::8]/", .host = "[1",
     .warnings = URL_WARN_HOST | URL_WARN_PORT},
    {.name = "ipv6_unclosed", .url = "ldap://[::1", .host = "[", .warnings = URL_WARN_HOST | URL_WARN_PORT},
    {.name = "userinfo_whole", .url = "ldap://u:p@h/", .user = "u:p"},
    {.name = "userinfo_password", .url = "ldap://u:p@h/", .flags = URL_PARSE_PASSWORD, .user = "u",
     .password = "p"},
    {.name = "userinfo_two_colons", .url = "ldap://u:p:q@h/", .flags = URL_PARSE_PASSWORD, .user = "u:p",
     .password = "q", .warnings = URL_WARN_PASSWORD},
    {.name = "userinfo_two_colons_unsplit", .url = "ldap://u:p:q@h/", .user = "u:p:q"},
    {.name = "userinfo_auth",
     .url = "ldap://u;AUTH=digest:pw@h/",
     .flags = URL_PARSE_AUTH | URL_PARSE_PASSWORD,
     .user = "u",
     .password = "pw",
     .auth = "digest:pw"},
    {.name = "userinfo_auth_not_recognised", .url = "ldap://u;auth=x@h/", .user = "u;auth=x"},
    {.name = "userinfo_auth_too_short", .url = "ldap://u;auth=@h/", .flags = URL_PARSE_AUTH,
     .user = "u;auth="},
    {.name = "userinfo_bad_character", .url = "ldap://u{x@h/", .user = "u{x", .warnings = URL_WARN_USER},
    {.name = "userinfo_bad_escape", .url = "ldap://u%4@h/", .user = "u%4",
     .warnings = URL_WARN_USER | URL_WARN_BADHEX},
    {.name = "userinfo_escape", .url = "ldap://u%41@h/", .user = "uA"},
    {.name = "at_after_slash_is_not_userinfo", .url = "ldap://h/cn=a@b", .dn = "cn=a@b"},
    {.name = "decoded_parts",
     .url = "ldap://h/cn=a%20b,o=x?c%41,d?one?(cn=%2a)?e%3d1",
     .dn = "cn=a b,o=x",
     .attrs = "cA,d",
     .scope = 1,
     .filter = "(cn=*)",
     .exts = "e=1"},
    {.name = "bad_escape_kept", .url = "ldap://h/cn=a%2", .warnings = URL_WARN_BADHEX, .dn = "cn=a%2"},
    {.name = "bad_escape_not_hex", .url = "ldap://h/cn=%zz%41", .warnings = URL_WARN_BADHEX, .dn = "cn=%zzA"},
};

class UrlParse : public ::testing::TestWithParam<std::tuple<UrlCase, bool>> {};

TEST_P(UrlParse, GivesItsParts)
{
    const auto &[c, alloc] = GetParam();
    uint32_t flags = c.flags | (alloc ? URL_PARSE_ALLOC : 0u);
    Parsed r(c.url, flags, c.expect_scheme);
    ASSERT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.rec.warnings, c.warnings);
    if (c.rc != 0)
        return;
    EXPECT_EQ(part(r.rec.scheme, r.rec.scheme_len), c.scheme);
    EXPECT_EQ(part(r.rec.user, r.rec.user_len), c.user);
    EXPECT_EQ(part(r.rec.password, r.rec.password_len), c.password);
    EXPECT_EQ(part(r.rec.auth, r.rec.auth_len), c.auth);
    EXPECT_EQ(part(r.rec.host, r.rec.host_len), c.host);
    EXPECT_EQ(r.rec.port, c.port);
    EXPECT_EQ(r.rec.flags, c.rflags);
    EXPECT_EQ(part(r.rec.dn, r.rec.dn_len), c.dn);
    EXPECT_EQ(part(r.rec.attrs, r.rec.attrs_len), c.attrs);
    EXPECT_EQ(r.rec.scope, c.scope);
    EXPECT_EQ(part(r.rec.filter, r.rec.filter_len), c.filter);
    EXPECT_EQ(part(r.rec.exts, r.rec.exts_len), c.exts);
    EXPECT_EQ(r.guard(), '#');
    EXPECT_EQ(r.rec.buffer != nullptr, alloc);
    if (alloc) {  // copies only: the caller's text is left as it was
        EXPECT_EQ(std::string(r.text.data(), r.len), c.url);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UrlParse,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_alloc" : "_inplace");
                         });

using Bytes = std::array<unsigned char, 16>;

Bytes addr_of(const char *url)
{
    Parsed r(url, 0);
    Bytes b{};
    std::memcpy(b.data(), r.rec.addr, 16);
    return b;
}

TEST(UrlAddress, LiteralsAreDecodedInNetworkOrder)
{
    EXPECT_EQ(addr_of("ldap://10.0.0.1/"), (Bytes{10, 0, 0, 1}));
    EXPECT_EQ(addr_of("ldap://[::1]/"), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(addr_of("ldap://[1::2]/"), (Bytes{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(addr_of("ldap://[fe80::a:Bc]/"),
              (Bytes{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0, 0xbc}));
    EXPECT_EQ(addr_of("ldap://[::ffff:1.2.3.4]/"),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}));
    EXPECT_EQ(addr_of("ldap://[1:2:3:4:5:6:7::]/"), (Bytes{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}));
    EXPECT_EQ(addr_of("ldap://[1:2:3:4:5:6:1.2.3.4]/"),
              (Bytes{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}));
    // A failed literal leaves no half-read address behind.
    EXPECT_EQ(addr_of("ldap://10.0.0.com/"), Bytes{});
    EXPECT_EQ(addr_of("ldap://[1::2::3]/"), Bytes{});
}

TEST(UrlParse, RefusesNullArgumentsWithoutTouchingTheRecord)
{
    url_record rec;
    std::memset(&rec, 0x5a, sizeof rec);
    char text[] = "ldap://h/";
    EXPECT_EQ(url_parse(nullptr, text, -1, nullptr, nullptr, 0), -1);
    EXPECT_EQ(url_parse(&rec, nullptr, -1, nullptr, nullptr, 0), -1);
    EXPECT_EQ(rec.port, 0x5a5a5a5au);
}

TEST(UrlParse, RelativeReferenceWithBaseIsRefused)
{
    Parsed r("o=x??sub", 0, nullptr, true, "ldap://h/");
    EXPECT_EQ(r.rc, -1);
    // With a base a strange scheme is not warned about: it may be a path.
    Parsed s("ld_ap://h/", 0, nullptr, true, "ldap://h/");
    EXPECT_EQ(s.rc, -1);
    EXPECT_EQ(s.rec.warnings, 0u);
}

TEST(UrlParse, ExplicitLengthEndsTheText)
{
    for (uint32_t mode : {0u, unsigned{URL_PARSE_ALLOC}}) {
        std::string text = "ldap://h/o=xJUNK";
        url_record rec;
        ASSERT_EQ(url_parse(&rec, text.data(), 12, nullptr, nullptr, mode), 0);
        EXPECT_EQ(part(rec.dn, rec.dn_len), "o=x");
        // The byte after an explicitly sized text is not the parser's.
        EXPECT_EQ(text[12], 'J');
        url_cleanup(&rec);
    }
}

TEST(UrlParse, DefaultFilterIsTheConstantInPlace)
{
    Parsed r("ldap://h/o=x", 0);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.rec.filter, url_ldap_get_deffilter());
    EXPECT_STREQ(url_ldap_get_deffilter(), "(objectclass=*)");
    EXPECT_EQ(r.rec.attrs, nullptr);
    EXPECT_EQ(r.rec.exts, nullptr);
    // Even after a part was decoded and later parts moved down.
    Parsed d("ldap://h/cn=a%20b", URL_PARSE_NUL);
    EXPECT_EQ(d.rec.filter, url_ldap_get_deffilter());

    Parsed a("ldap://h/o=x", URL_PARSE_ALLOC);
    EXPECT_NE(a.rec.filter, url_ldap_get_deffilter());
    EXPECT_EQ(part(a.rec.filter, a.rec.filter_len), "(objectclass=*)");
}

TEST(UrlParse, InPlaceTerminatesPlainPartsOverTheirDelimiters)
{
    Parsed r("ldap://u@h:389/o=x?cn?sub?(cn=a)?e", URL_PARSE_PASSWORD);
    ASSERT_EQ(r.rc, 0);
    EXPECT_STREQ(r.rec.user, "u");
    EXPECT_STREQ(r.rec.host, "h");
    EXPECT_STREQ(r.rec.dn, "o=x");
    EXPECT_STREQ(r.rec.attrs, "cn");
    EXPECT_STREQ(r.rec.filter, "(cn=a)");
    EXPECT_STREQ(r.rec.exts, "e");
    // The parts stay where they were in the text.
    EXPECT_EQ(r.rec.dn, r.text.data() + 15);
    // The scheme is left as it stands, delimited only by its length.
    EXPECT_EQ(r.rec.scheme, r.text.data());
    EXPECT_EQ(r.rec.scheme_len, 4u);
}

TEST(UrlParse, InPlaceDecodingMovesLaterPartsDown)
{
    Parsed r("ldap://h/cn=a%20b?c%41,d?one?(cn=%2a)?x", URL_PARSE_NUL);
    ASSERT_EQ(r.rc, 0);
    const char *dn = r.text.data() + 9;
    EXPECT_EQ(r.rec.dn, dn);
    EXPECT_STREQ(r.rec.dn, "cn=a b");
    EXPECT_EQ(r.rec.attrs, r.rec.dn + r.rec.dn_len + 1);
    EXPECT_STREQ(r.rec.attrs, "cA,d");
    EXPECT_EQ(r.rec.filter, r.rec.attrs + r.rec.attrs_len + 1);
    EXPECT_STREQ(r.rec.filter, "(cn=*)");
    EXPECT_EQ(r.rec.exts, r.rec.filter + r.rec.filter_len + 1);
    EXPECT_STREQ(r.rec.exts, "x");

    // Without terminators the moved parts follow each other directly.
    Parsed u("ldap://h/cn=a%20b?cn", 0);
    ASSERT_EQ(u.rc, 0);
    EXPECT_EQ(part(u.rec.dn, u.rec.dn_len), "cn=a b");
    EXPECT_EQ(u.rec.attrs, u.rec.dn + u.rec.dn_len);
    EXPECT_STREQ(u.rec.attrs, "cn");
}

TEST(UrlParse, AllocModeTerminatesEveryCopy)
{
    Parsed r("ldap://us%65r@h/cn=a%20b?cn", URL_PARSE_ALLOC | URL_PARSE_NUL);
    ASSERT_EQ(r.rc, 0);
    EXPECT_STREQ(r.rec.user, "user");
    EXPECT_STREQ(r.rec.dn, "cn=a b");
    EXPECT_STREQ(r.rec.attrs, "cn");
    // With URL_PARSE_NUL the scheme stays in the caller's text.
    EXPECT_EQ(r.rec.scheme, r.text.data());

    Parsed c("ldap://h/o=x", URL_PARSE_ALLOC);
    EXPECT_STREQ(c.rec.scheme, "ldap");
    EXPECT_NE(c.rec.scheme, c.text.data());
}

TEST(UrlParse, NoRoomForTerminatorCutsTheLastCharacter)
{
    // An explicitly sized text gives no byte after it: a decoded last part
    // that did not shrink loses its last character to the terminator.
    Parsed r("ldap://h/o=%zz", URL_PARSE_NUL, nullptr, false);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.rec.warnings, unsigned{URL_WARN_BADHEX | URL_WARN_OVERFLOW});
    EXPECT_STREQ(r.rec.dn, "o=%z");
    EXPECT_EQ(r.rec.dn_len, 4u);
    EXPECT_EQ(r.guard(), '#');  // the byte after the sized text is untouched

    // A terminated text has its terminator to spare.
    Parsed t("ldap://h/o=%zz", URL_PARSE_NUL, nullptr, true);
    EXPECT_EQ(t.rec.warnings, unsigned{URL_WARN_BADHEX});
    EXPECT_STREQ(t.rec.dn, "o=%zz");
}

TEST(UrlParse, PlainLastPartOfSizedTextStaysUnterminated)
{
    std::string text = "ldap://h/o=x?cn";
    text.push_back('!');
    url_record rec;
    ASSERT_EQ(url_parse(&rec, text.data(), 15, nullptr, nullptr, 0), 0);
    EXPECT_EQ(part(rec.attrs, rec.attrs_len), "cn");
    EXPECT_EQ(text[15], '!');
    EXPECT_EQ(part(rec.dn, rec.dn_len), "o=x");
    EXPECT_EQ(rec.dn[rec.dn_len], '\0');
    url_cleanup(&rec);
}

TEST(UrlParse, PasswordAndAuthShareTheirTailInPlace)
{
    // The auth value runs to the '@' and so contains the password; moving
    // one must not overwrite the other's source.
    for (uint32_t mode : {0u, unsigned{URL_PARSE_ALLOC}}) {
        Parsed r("ldap://u%41;auth=x:a-long-pass%21word@h/o=x",
                 mode | URL_PARSE_NUL | URL_PARSE_AUTH | URL_PARSE_PASSWORD);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(part(r.rec.user, r.rec.user_len), "uA");
        EXPECT_EQ(part(r.rec.auth, r.rec.auth_len), "x:a-long-pass!word");
        EXPECT_EQ(part(r.rec.password, r.rec.password_len), "a-long-pass!word");
        EXPECT_EQ(part(r.rec.dn, r.rec.dn_len), "o=x");
        EXPECT_EQ(r.rec.warnings, 0u);
    }
}

TEST(UrlCleanup, FreesAndZeroes)
{
    url_record rec;
    char text[] = "ldap://h/o=x";
    ASSERT_EQ(url_parse(&rec, text, -1, nullptr, nullptr, URL_PARSE_ALLOC), 0);
    ASSERT_NE(rec.buffer, nullptr);
    EXPECT_EQ(url_cleanup(&rec), 0);
    url_record zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&rec, &zero, sizeof rec), 0);
    // Harmless again, and after a failed parse.
    EXPECT_EQ(url_cleanup(&rec), 0);
    char bad[] = "ldap://h?x";
    EXPECT_EQ(url_parse(&rec, bad, -1, nullptr, nullptr, URL_PARSE_ALLOC), -1);
    EXPECT_EQ(url_cleanup(&rec), 0);
}

}  // namespace
