// Request formatter: letters, filters, attribute lists, change records, the
// element and depth limits and the two-pass buffer contract.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "ldapasn_test_util.h"
#include "vexcore/ldapasn.h"

using ldapasn_test::Bytes;
using ldapasn_test::hex;
using ldapasn_test::to_hex;

namespace {

using Call = std::function<int(void *, size_t, size_t *)>;
#define CALL(...) [](void *b, size_t n, size_t *l) { return ldapasn_format(b, n, l, __VA_ARGS__); }

// Runs a call into a roomy buffer; "FAIL" when it fails (then length must be 0).
std::string run(const Call &call)
{
    unsigned char buf[512];
    size_t len = 12345;
    int rc = call(buf, sizeof buf, &len);
    if (rc != 0) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(len, 0u);
        return "FAIL";
    }
    return to_hex(buf, len);
}

std::string canon(const char *h) { return h ? to_hex(hex(h)) : "FAIL"; }

const char *const no_texts[] = {nullptr};
const char *const two_texts[] = {"cn", "mail", nullptr};
const char *const binary_values[] = {"a\0b", "c", nullptr};
const uint32_t binary_lengths[] = {3, 1};
const ldapasn_mod modify_mods[] = {{2, "mail", binary_values, binary_lengths}, {0, nullptr, nullptr, nullptr}};
const char *const one_value[] = {"a", nullptr};
const ldapasn_mod add_mods[] = {{5, "cn", one_value, nullptr}, {0, "sn", nullptr, nullptr}, {0, nullptr, nullptr, nullptr}};
const ldapasn_mod no_mods[] = {{2, nullptr, one_value, nullptr}};

struct LetterCase {
    const char *name;
    Call call;
    const char *bytes;  // null: the call fails
};

const LetterCase letter_cases[] = {
    {"bind", CALL("(d[dsS])", 1, 0x60, 3, "cn=a", 0x80, "pw"),
     "30 12 02 01 01 60 0D 02 01 03 04 04 63 6E 3D 61 80 02 70 77"},
    {"delete", CALL("(dS)", 5, 0x4A, ""), "30 05 02 01 05 4A 00"},
    {"search", CALL("(d[seeddbfa])", 2, 0x63, "o=x", 2, 0, 0, 0, 0, "(cn=a)", "cn"),
     "30 28 02 01 02 63 23 04 03 6F 3D 78 0A 01 02 0A 01 00 02 01 00 02 01 00 01 01 00"
     " A3 07 04 02 63 6E 04 01 61 30 04 04 02 63 6E"},
    {"modify_binary_values", CALL("(d[s(m)])", 7, 0x66, "cn=a", modify_mods),
     "30 24 02 01 07 66 1F 04 04 63 6E 3D 61 30 17 30 15 0A 01 02 30 10 04 04 6D 61 69 6C"
     " 31 08 04 03 61 00 62 04 01 63"},
    {"add_ignores_op_and_allows_no_values", CALL("(d[s(M)])", 8, 0x68, "cn=a", add_mods),
     "30 20 02 01 08 68 1B 04 04 63 6E 3D 61 30 13 30 09 04 02 63 6E 31 03 04 01 61"
     " 30 06 04 02 73 6E 31 00"},
    {"no_changes", CALL("(d[s(m)])", 7, 0x66, "cn=a", no_mods), "30 0D 02 01 07 66 08 04 04 63 6E 3D 61 30 00"},
    {"empty_format", CALL(""), ""},
    {"d_0", CALL("d", 0), "02 01 00"},
    {"d_127", CALL("d", 127), "02 01 7F"},
    {"d_128", CALL("d", 128), "02 02 00 80"},
    {"d_minus_128", CALL("d", -128), "02 01 80"},
    {"d_minus_129", CALL("d", -129), "02 02 FF 7F"},
    {"d_32767", CALL("d", 32767), "02 02 7F FF"},
    {"d_32768", CALL("d", 32768), "02 03 00 80 00"},
    {"d_minus_32769", CALL("d", -32769), "02 03 FF 7F FF"},
    {"d_8388608", CALL("d", 8388608), "02 04 00 80 00 00"},
    {"d_minus_8388608", CALL("d", -8388608), "02 03 80 00 00"},
    {"d_minus_8388609", CALL("d", -8388609), "02 04 FF 7F FF FF"},
    {"d_max", CALL("d", INT_MAX), "02 04 7F FF FF FF"},
    {"d_min", CALL("d", INT_MIN), "02 04 80 00 00 00"},
    {"e", CALL("e", 3), "0A 01 03"},
    {"D_context_tag", CALL("D", 0x81, 300), "81 02 01 2C"},
    {"b_true", CALL("b", 7), "01 01 01"},
    {"b_false", CALL("b", 0), "01 01 00"},
    {"S_tag_kept", CALL("S", 0x87, "cn"), "87 02 63 6E"},
    {"bracket_forces_constructed", CALL("[]", 0x03), "23 00"},
    {"bracket_low_byte_only", CALL("[]", 0x1A1), "A1 00"},
    {"close_letters_interchange", CALL("(]"), "30 00"},
    {"A_texts", CALL("A", two_texts), "30 0A 04 02 63 6E 04 04 6D 61 69 6C"},
    {"A_empty", CALL("A", no_texts), "30 00"},
    {"a_list", CALL("a", "cn,mail"), "30 0A 04 02 63 6E 04 04 6D 61 69 6C"},
    {"a_escaped_comma", CALL("a", "cn%2Cmail"), "30 0A 04 02 63 6E 04 04 6D 61 69 6C"},
    {"a_escaped_comma_lower", CALL("a", "cn%2cmail"), "30 0A 04 02 63 6E 04 04 6D 61 69 6C"},
    {"a_empty", CALL("a", ""), "30 00"},
    {"a_query_first", CALL("a", "?cn"), "30 00"},
    {"a_empty_middle", CALL("a", "cn,,mail"), "30 0C 04 02 63 6E 04 00 04 04 6D 61 69 6C"},
    {"a_trailing_comma", CALL("a", "cn,"), "30 06 04 02 63 6E 04 00"},
    {"a_stops_at_query", CALL("a", "cn?x,y"), "30 04 04 02 63 6E"},
    {"a_percent_decoded", CALL("a", "c%6e"), "30 04 04 02 63 6E"},
    {"a_bad_percent", CALL("a", "c%6"), nullptr},
    {"a_bad_percent_digit", CALL("a", "c%zz"), nullptr},
    {"u_dn", CALL("u", "o%3Dx%2Cc%3Dus?cn"), "04 08 6F 3D 78 2C 63 3D 75 73"},
    {"u_comma_is_plain", CALL("u", "a,b"), "04 03 61 2C 62"},
    {"u_empty", CALL("u", ""), "04 00"},
    {"u_bad_percent", CALL("u", "a%4"), nullptr},
    {"unknown_letter", CALL("x"), nullptr},
    {"blank", CALL("( )"), nullptr},
    {"unclosed", CALL("(d", 1), nullptr},
    {"close_without_open", CALL(")"), nullptr},
    {"S_constructed_tag", CALL("S", 0x24, "x"), nullptr},
    {"D_constructed_tag", CALL("D", 0x22, 1), nullptr},
    {"s_null", CALL("s", static_cast<const char *>(nullptr)), nullptr},
    {"S_null", CALL("S", 0x80, static_cast<const char *>(nullptr)), nullptr},
    {"a_null", CALL("a", static_cast<const char *>(nullptr)), nullptr},
    {"u_null", CALL("u", static_cast<const char *>(nullptr)), nullptr},
    {"f_null", CALL("f", static_cast<const char *>(nullptr)), nullptr},
    {"A_null", CALL("A", static_cast<const char *const *>(nullptr)), nullptr},
    {"m_null", CALL("m", static_cast<const ldapasn_mod *>(nullptr)), nullptr},
    {"M_null", CALL("M", static_cast<const ldapasn_mod *>(nullptr)), nullptr},
};

class LetterTest : public testing::TestWithParam<LetterCase> {};

TEST_P(LetterTest, Encodes)
{
    EXPECT_EQ(run(GetParam().call), canon(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Format, LetterTest, testing::ValuesIn(letter_cases),
                         [](const auto &info) { return std::string(info.param.name); });

struct FilterCase {
    const char *name;
    const char *filter;
    const char *bytes;  // the filter element; null: refused
};

const FilterCase filter_cases[] = {
    {"present", "(objectclass=*)", "87 0B 6F 62 6A 65 63 74 63 6C 61 73 73"},
    {"equality", "(cn=a)", "A3 07 04 02 63 6E 04 01 61"},
    {"equality_empty_value", "(cn=)", "A3 06 04 02 63 6E 04 00"},
    {"greater_or_equal", "(cn>=5)", "A5 07 04 02 63 6E 04 01 35"},
    {"less_or_equal", "(cn<=5)", "A6 07 04 02 63 6E 04 01 35"},
    {"approx", "(cn~=x)", "A8 07 04 02 63 6E 04 01 78"},
    {"star_plain_in_ordering", "(cn>=a*)", "A5 08 04 02 63 6E 04 02 61 2A"},
    {"blank_is_ordinary", "(o=a b)", "A3 08 04 01 6F 04 03 61 20 62"},
    {"substrings_all_parts", "(cn=a*b*c)", "A4 0F 04 02 63 6E 30 09 80 01 61 81 01 62 82 01 63"},
    {"substrings_final_only", "(cn=*x)", "A4 09 04 02 63 6E 30 03 82 01 78"},
    {"substrings_initial_only", "(cn=x*)", "A4 09 04 02 63 6E 30 03 80 01 78"},
    {"substrings_any_only", "(cn=*a*)", "A4 09 04 02 63 6E 30 03 81 01 61"},
    {"substrings_star_run", "(cn=a**b)", "A4 0C 04 02 63 6E 30 06 80 01 61 82 01 62"},
    {"substrings_escaped_parts", "(cn=\\2a*\\29)", "A4 0C 04 02 63 6E 30 06 80 01 2A 82 01 29"},
    {"escaped_star_hex", "(cn=a\\2ab)", "A3 09 04 02 63 6E 04 03 61 2A 62"},
    {"escaped_star_literal", "(cn=a\\*b)", "A3 09 04 02 63 6E 04 03 61 2A 62"},
    {"escapes_parens_backslash", "(cn=\\28\\29\\5c\\5C)", "A3 0A 04 02 63 6E 04 04 28 29 5C 5C"},
    {"escapes_literal", "(cn=\\(\\)\\\\)", "A3 09 04 02 63 6E 04 03 28 29 5C"},
    {"escape_high_byte", "(cn=\\c3\\A9)", "A3 08 04 02 63 6E 04 02 C3 A9"},
    {"extensible_all", "(cn:dn:2.5.13.5:=Fred)",
     "A9 17 81 08 32 2E 35 2E 31 33 2E 35 82 02 63 6E 83 04 46 72 65 64 84 01 01"},
    {"extensible_rule_only", "(:2.5.13.5:=Fred)", "A9 10 81 08 32 2E 35 2E 31 33 2E 35 83 04 46 72 65 64"},
    {"extensible_dn_rule_no_attr", "(:DN:1.2:=x)", "A9 0B 81 03 31 2E 32 83 01 78 84 01 01"},
    {"extensible_attr_only", "(cn:=x)", "A9 07 82 02 63 6E 83 01 78"},
    {"extensible_dn_upper", "(cn:DN:=x)", "A9 0A 82 02 63 6E 83 01 78 84 01 01"},
    {"extensible_dn_letters_start_rule", "(cn:dnx:=x)", "A9 0C 81 03 64 6E 78 82 02 63 6E 83 01 78"},
    {"extensible_star_plain", "(cn:=*)", "A9 07 82 02 63 6E 83 01 2A"},
    {"and", "(&(a=1)(b=2))", "A0 10 A3 06 04 01 61 04 01 31 A3 06 04 01 62 04 01 32"},
    {"not", "(!(a=1))", "A2 08 A3 06 04 01 61 04 01 31"},
    {"not_with_two", "(!(a=1)(b=2))", "A2 10 A3 06 04 01 61 04 01 31 A3 06 04 01 62 04 01 32"},
    {"or_nesting_and", "(|(a=*)(&(b=1)(c=2)))",
     "A1 15 87 01 61 A0 10 A3 06 04 01 62 04 01 31 A3 06 04 01 63 04 01 32"},
    {"empty_text", "", ""},
    {"substrings_without_part", "(cn=**)", nullptr},
    {"and_without_inner", "(&)", nullptr},
    {"not_without_inner", "(!)", nullptr},
    {"unclosed", "(cn=a", nullptr},
    {"unclosed_and", "(&(a=1)", nullptr},
    {"no_parenthesis", "cn=a", nullptr},
    {"leading_blank", " (cn=a)", nullptr},
    {"trailing_blank", "(cn=a) ", nullptr},
    {"two_filters", "(a=1)(b=2)", nullptr},
    {"extra_close", "(cn=a))", nullptr},
    {"greater_without_equal", "(cn>5)", nullptr},
    {"less_without_equal", "(cn<5)", nullptr},
    {"tilde_without_equal", "(cn~5)", nullptr},
    {"empty_attribute", "(=a)", nullptr},
    {"empty_attribute_present", "(=*)", nullptr},
    {"empty_item", "()", nullptr},
    {"star_in_attribute", "(cn*=x)", nullptr},
    {"backslash_at_end", "(cn=a\\", nullptr},
    {"escaped_close_leaves_unclosed", "(cn=a\\)", nullptr},
    {"backslash_bad_escape", "(cn=a\\zz)", nullptr},
    {"backslash_one_hex_digit", "(cn=a\\4)", nullptr},
    {"open_in_value", "(cn=a(b)", nullptr},
    {"extensible_nothing", "(:=x)", nullptr},
    {"extensible_dn_only", "(:dn:=x)", nullptr},
    {"extensible_rule_with_star", "(cn:2.5*:=x)", nullptr},
    {"extensible_empty_rule", "(cn::=x)", nullptr},
    {"extensible_rule_without_assign", "(cn:rule:x)", nullptr},
    {"extensible_unterminated_rule", "(cn:rule)", nullptr},
};

class FilterTest : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, Encodes)
{
    const char *f = GetParam().filter;
    EXPECT_EQ(run([f](void *b, size_t n, size_t *l) { return ldapasn_format(b, n, l, "f", f); }),
              canon(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Format, FilterTest, testing::ValuesIn(filter_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Element table: entry 0 is the root, so 79 elements fit and 80 do not.
TEST(FormatLimits, SeventyNineElementsFitEightyDoNot)
{
    std::vector<std::string> storage(79, "v");
    std::vector<const char *> texts;
    for (auto &s : storage)
        texts.push_back(s.c_str());
    texts.resize(78);
    texts.push_back(nullptr);  // SEQUENCE + 78 texts = 79 elements
    unsigned char buf[1024];
    size_t len = 0;
    EXPECT_EQ(ldapasn_format(buf, sizeof buf, &len, "A", texts.data()), 0);
    EXPECT_EQ(len, 3u + 78 * 3);  // 30 81 EA and 78 times 04 01 76

    texts.back() = storage[78].c_str();
    texts.push_back(nullptr);  // 80 elements
    EXPECT_EQ(ldapasn_format(buf, sizeof buf, &len, "A", texts.data()), -1);
    EXPECT_EQ(len, 0u);

    // The same count reached through filter items.
    std::string f79 = "(|", f80;
    for (int i = 0; i < 78; ++i)
        f79 += "(a=*)";
    f80 = f79 + "(a=*))";
    f79 += ")";
    EXPECT_EQ(ldapasn_format(buf, sizeof buf, &len, "f", f79.c_str()), 0);
    EXPECT_EQ(ldapasn_format(buf, sizeof buf, &len, "f", f80.c_str()), -1);
}

struct DepthCase {
    const char *name;
    const char *format;
    const char *arg;  // a text for the letter inside, if any
    bool ok;
};

const DepthCase depth_cases[] = {
    {"seven_sequences", "((((((()))))))", nullptr, true},
    {"eight_sequences", "(((((((())))))))", nullptr, false},
    {"eight_brackets", "[[[[[[[[]]]]]]]]", nullptr, false},
    {"filter_level_at_seven", "((((((f))))))", "(cn=a)", true},
    {"substrings_take_two_places", "((((((f))))))", "(cn=a*b)", false},
    {"substrings_at_six", "(((((f)))))", "(cn=a*b)", true},
    {"nested_filter_too_deep", "(((((f)))))", "(&(!(cn=a)))", false},
    {"attribute_list_takes_a_place", "(((((((a)))))))", "cn", false},
    {"attribute_list_at_seven", "((((((a))))))", "cn", true},
    {"text_array_takes_none", "(((((((A)))))))", nullptr, true},
};

class DepthTest : public testing::TestWithParam<DepthCase> {};

TEST_P(DepthTest, StackHoldsSevenOpenElements)
{
    const DepthCase &c = GetParam();
    unsigned char buf[256];
    size_t len = 0;
    int rc;
    std::string fmt = c.format;
    int brackets = 0;
    for (char ch : fmt)
        brackets += ch == '[';
    if (brackets)
        rc = ldapasn_format(buf, sizeof buf, &len, c.format, 1, 2, 3, 4, 5, 6, 7, 8);
    else if (fmt.find('A') != std::string::npos)
        rc = ldapasn_format(buf, sizeof buf, &len, c.format, no_texts);
    else
        rc = ldapasn_format(buf, sizeof buf, &len, c.format, c.arg);
    EXPECT_EQ(rc, c.ok ? 0 : -1);
}

INSTANTIATE_TEST_SUITE_P(Format, DepthTest, testing::ValuesIn(depth_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FormatBuffer, TooSmallOrNullReportsTheNeededSizeAndWritesNothing)
{
    const char *const expect = "30 05 02 01 05 4A 00";
    unsigned char buf[16];
    for (size_t size : {size_t{0}, size_t{6}}) {
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        size_t len = 0;
        EXPECT_EQ(ldapasn_format(buf, size, &len, "(dS)", 5, 0x4A, ""), -1);
        EXPECT_EQ(len, 7u);
        for (unsigned char b : buf)
            ASSERT_EQ(b, 0xEE);
    }
    size_t len = 0;
    EXPECT_EQ(ldapasn_format(nullptr, 100, &len, "(dS)", 5, 0x4A, ""), -1);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(ldapasn_format(buf, 7, &len, "(dS)", 5, 0x4A, ""), 0);
    EXPECT_EQ(to_hex(buf, len), to_hex(hex(expect)));
    // Without a length cell the call still works.
    EXPECT_EQ(ldapasn_format(buf, 7, nullptr, "(dS)", 5, 0x4A, ""), 0);
    EXPECT_EQ(ldapasn_format(buf, sizeof buf, &len, nullptr), -1);
}

struct LengthCase {
    size_t content;
    const char *header;
};

const LengthCase length_cases[] = {
    {0, "04 00"},
    {127, "04 7F"},
    {128, "04 81 80"},
    {255, "04 81 FF"},
    {256, "04 82 01 00"},
    {65535, "04 82 FF FF"},
    {65536, "04 83 01 00 00"},
    {16777215, "04 83 FF FF FF"},
    {16777216, nullptr},
};

TEST(FormatLengths, EveryLengthFormAndTheLargestContent)
{
    for (const LengthCase &c : length_cases) {
        SCOPED_TRACE(c.content);
        std::string text(c.content, 'x');
        size_t len = 0;
        Bytes head = c.header ? hex(c.header) : Bytes{};
        std::vector<unsigned char> buf(c.content + 8);
        int rc = ldapasn_format(buf.data(), buf.size(), &len, "s", text.c_str());
        if (!c.header) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(len, 0u);
            continue;
        }
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(len, head.size() + c.content);
        EXPECT_EQ(to_hex(buf.data(), head.size()), to_hex(head));
        if (c.content > 65536)
            continue;
        // The parent's length field grows with its child.
        size_t outer = 0;
        ASSERT_EQ(ldapasn_format(nullptr, 0, &outer, "(s)", text.c_str()), -1);
        EXPECT_EQ(outer, len + 1 + (len < 128 ? 1 : len < 256 ? 2 : len < 65536 ? 3 : 4));
    }
}

}  // namespace
