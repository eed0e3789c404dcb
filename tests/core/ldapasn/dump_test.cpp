// Message dump: the lines it logs, compared whole, and every stop line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ldapasn_test_util.h"
#include "vexcore/ldapasn.h"

using ldapasn_test::Bytes;
using ldapasn_test::CaptureLog;
using ldapasn_test::hex;

namespace {

std::vector<std::string> dump(const Bytes &b, int mark = '>', int level = LOGCX_DEBUG)
{
    CaptureLog log;
    ldapasn_dump(log.cx(), level, mark, b.data(), b.size());
    for (int l : log.levels)
        EXPECT_EQ(l, level);
    return log.lines;
}

std::string bytes_of(const std::string &text)
{
    std::string h;
    char b[4];
    for (unsigned char c : text) {
        std::snprintf(b, sizeof b, "%02X ", c);
        h += b;
    }
    return h;
}

struct DumpCase {
    const char *name;
    std::string bytes;
    std::vector<std::string> lines;
};

const DumpCase dump_cases[] = {
    {"received_delete", "30 05 02 01 07 4A 00",
     {"< SEQUENCE {5} \n", "<  INTEGER {1} 0x07 7\n", "<  APPLICATION LDAP-DELETE {0} \n"}},
    {"inner_length_exceeds_outer", "30 09 04 06 61 62 63 64 65 66",
     {"> SEQUENCE {9} inner length 9 exceeds outer length 8\n"}},
    {"control_oid_named", "04 16 " + bytes_of("1.2.840.113556.1.4.319"),
     {"> OCTET-STRING {22} 1.2.840.113556.1.4.319 (Simple Paged Results)\n"}},
    {"last_control_named", "04 17 " + bytes_of("2.16.840.1.113730.3.4.5"),
     {"> OCTET-STRING {23} 2.16.840.1.113730.3.4.5 (Halvern Password Expiring)\n"}},
    {"oid_prefix_not_named", "04 15 " + bytes_of("1.2.840.113556.1.4.31"),
     {"> OCTET-STRING {21} 1.2.840.113556.1.4.31\n"}},
    {"unprintable_octets", "04 02 01 41", {"> OCTET-STRING {2} 0141 .A\n"}},
    {"integer_minus_one", "02 01 FF", {"> INTEGER {1} 0xff -1\n"}},
    {"integer_four_octets", "02 04 80 00 00 00", {"> INTEGER {4} 0x80000000 -2147483648\n"}},
    {"enumerated", "0A 01 0A", {"> ENUMERATED {1} 0x0a 10\n"}},
    {"integer_not_shortest", "02 02 00 05 02 01 01", {"> INTEGER {2} ASN.1 integer is not shortest form\n"}},
    {"integer_empty", "02 00", {"> INTEGER {0} invalid integer length\n"}},
    {"integer_five_octets", "02 05 01 02 03 04 05", {"> INTEGER {5} invalid integer length\n"}},
    {"boolean_false", "01 01 00", {"> BOOLEAN {1} FALSE\n"}},
    {"boolean_true", "01 01 05", {"> BOOLEAN {1} TRUE\n"}},
    {"boolean_empty_prints_no_value", "01 00 01 01 FF", {"> BOOLEAN {0} \n", "> BOOLEAN {1} TRUE\n"}},
    {"context_primitive", "80 02 70 77", {"> CONTEXT [0] {2} pw\n"}},
    {"context_constructed_empty", "A3 00", {"> CONTEXT [3] {0} \n"}},
    {"application_unnamed", "42 00", {"> APPLICATION [2] {0} \n"}},
    {"private_tag", "DF 01 41", {"> APPLICATION CONTEXT [31] {1} A\n"}},
    {"universal_unknown", "05 00", {"> UNKNOWN-5 {0} \n"}},
    {"empty_sequence", "30 00", {"> SEQUENCE {0} \n"}},
    {"set_of_values", "31 06 04 01 61 04 01 62", {"> SET {6} \n", ">  OCTET-STRING {1} a\n", ">  OCTET-STRING {1} b\n"}},
    {"sibling_after_level_closes", "30 03 02 01 01 04 01 41",
     {"> SEQUENCE {3} \n", ">  INTEGER {1} 0x01 1\n", "> OCTET-STRING {1} A\n"}},
    {"long_length_form", "04 81 03 61 62 63", {"> OCTET-STRING {3} abc\n"}},
    {"indefinite", "30 80 00 00", {"> SEQUENCE indefinite length not permitted\n"}},
    {"length_length_too_big", "04 85 00 00 00 00 00", {"> OCTET-STRING invalid length length\n"}},
    {"length_bytes_missing", "04 85 00", {"> OCTET-STRING invalid length: outer 3, need 7\n"}},
    {"stray_byte", "30 04 04 01 41 FF",
     {"> SEQUENCE {4} \n", ">  OCTET-STRING {1} A\n", ">  APPLICATION CONTEXT [31] invalid length (1)\n"}},
    {"single_byte", "30", {"> SEQUENCE invalid length (1)\n"}},
    {"eight_nested",
     "30 11 30 0F 30 0D 30 0B 30 09 30 07 30 05 30 03 02 01 07",
     {"> SEQUENCE {17} \n", ">  SEQUENCE {15} \n", ">   SEQUENCE {13} \n", ">    SEQUENCE {11} \n",
      ">     SEQUENCE {9} \n", ">      SEQUENCE {7} \n", ">       SEQUENCE {5} \n",
      ">        SEQUENCE ASN.1 nested too deep\n"}},
    {"seven_nested_stop_at_their_child",
     "30 0F 30 0D 30 0B 30 09 30 07 30 05 30 03 02 01 07",
     {"> SEQUENCE {15} \n", ">  SEQUENCE {13} \n", ">   SEQUENCE {11} \n", ">    SEQUENCE {9} \n",
      ">     SEQUENCE {7} \n", ">      SEQUENCE {5} \n", ">       SEQUENCE {3} \n",
      ">        INTEGER ASN.1 nested too deep\n"}},
    {"six_nested_print_everything",
     "30 0D 30 0B 30 09 30 07 30 05 30 03 02 01 07",
     {"> SEQUENCE {13} \n", ">  SEQUENCE {11} \n", ">   SEQUENCE {9} \n", ">    SEQUENCE {7} \n",
      ">     SEQUENCE {5} \n", ">      SEQUENCE {3} \n", ">       INTEGER {1} 0x07 7\n"}},
    {"empty_input", "", {}},
};

class DumpTest : public testing::TestWithParam<DumpCase> {};

TEST_P(DumpTest, LogsTheseLines)
{
    const DumpCase &c = GetParam();
    int mark = c.lines.empty() ? '>' : c.lines[0][0];
    EXPECT_EQ(dump(hex(c.bytes), mark), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Dump, DumpTest, testing::ValuesIn(dump_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DumpLine, LongPrintableValueIsCutAtTheLineBuffer)
{
    Bytes b = {0x04, 0x82, 0x07, 0xD0};
    b.insert(b.end(), 2000, 'x');
    auto lines = dump(b);
    ASSERT_EQ(lines.size(), 1u);
    std::string head = "> OCTET-STRING {2000} ";
    EXPECT_EQ(lines[0], head + std::string(1023 - head.size(), 'x') + "\n");
}

TEST(DumpLine, FullLineTakesNoMoreTextNorControlName)
{
    // 600 unprintable bytes: the hexadecimal form alone overflows the line,
    // after which neither the blank, the text form nor any name is added.
    Bytes b = {0x04, 0x82, 0x02, 0x58};
    b.insert(b.end(), 600, 0x01);
    auto lines = dump(b);
    ASSERT_EQ(lines.size(), 1u);
    std::string head = "> OCTET-STRING {600} ";
    std::string hexpart;
    while (head.size() + hexpart.size() < 1023)
        hexpart += "01";
    hexpart.resize(1023 - head.size());
    EXPECT_EQ(lines[0], head + hexpart + "\n");
}

TEST(DumpLine, NothingForNoBytes)
{
    CaptureLog log;
    ldapasn_dump(log.cx(), LOGCX_ERR, '<', nullptr, 0);
    unsigned char b = 0x30;
    ldapasn_dump(log.cx(), LOGCX_ERR, '<', &b, 0);
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
