// hostkit's host LDAP client through its operations table, against the
// private slapd and its sample data.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "hostkit/hostkit.h"
#include "slapd_fixture.h"

namespace {

using vextest::SampleDirectory;

class LdapClient : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        dir_ = vextest::Slapd::start({}, &why).release();
        if (!dir_)
            why_ = why;
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(dir_, nullptr) << why_;
        int code = 0;
        hk_ = hostkit_ldap_open(dir_->url().c_str(), SampleDirectory::user_dn, SampleDirectory::user_password,
                                nullptr, &code);
        ASSERT_NE(hk_, nullptr) << code;
        ld_ = hostkit_ldap_client(hk_);
        ops_ = ld_->ops;
    }
    void TearDown() override { hostkit_ldap_close(hk_); }

    // The DNs of every entry of a result, through positions 20, 21, 19, 37.
    std::set<std::string> dns(ldap_client_message *res)
    {
        std::set<std::string> out;
        ldap_client_message *e = nullptr;
        for (int rc = ops_->first_entry(ld_, res, &e); rc == 0; rc = ops_->next_entry(ld_, e, &e)) {
            char *dn = nullptr;
            EXPECT_EQ(ops_->get_dn(ld_, e, &dn), 0);
            out.insert(dn);
            ops_->free_text(ld_, dn);
        }
        return out;
    }

    static vextest::Slapd *dir_;
    static std::string why_;
    hostkit_ldap *hk_ = nullptr;
    ldap_client *ld_ = nullptr;
    const ldap_client_ops *ops_ = nullptr;
};
vextest::Slapd *LdapClient::dir_ = nullptr;
std::string LdapClient::why_;

TEST_F(LdapClient, HandleLeadsToTheTable)
{
    EXPECT_EQ(ops_, hostkit_ldap_ops());
    EXPECT_EQ(reinterpret_cast<ldap_client *>(hk_), ld_);
    const void *const *pos = reinterpret_cast<const void *const *>(ops_);
    for (int n : {1, 19, 20, 21, 22, 26, 27, 34, 35, 36, 37, 44, 45})
        EXPECT_NE(pos[n], nullptr) << "position " << n;
}

TEST_F(LdapClient, SearchesWithAndWithoutTimeLimit)
{
    const char *filter = "(|(objectclass=inetDomain)(objectclass=inetdomainalias))";
    const std::set<std::string> expected = {
        "cn=domain template,o=internet", "dc=example,dc=com,o=internet",
        "dc=mail,dc=example,dc=com,o=internet", "dc=example,dc=org,o=internet"};
    ldap_client_timeout limit{5, 0};
    ldap_client_message *res = nullptr;
    ASSERT_EQ(ops_->search_st(ld_, "o=internet", LDAP_CLIENT_SCOPE_SUBTREE, filter, nullptr, 0, &limit, &res), 0);
    int count = -1;
    EXPECT_EQ(ops_->count_entries(ld_, res, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(dns(res), expected);
    ops_->free_result(ld_, res);

    res = nullptr;
    ASSERT_EQ(ops_->search_s(ld_, "o=internet", LDAP_CLIENT_SCOPE_SUBTREE, filter, nullptr, 0, &res), 0);
    EXPECT_EQ(dns(res), expected);
    ops_->free_result(ld_, res);
}

TEST_F(LdapClient, FailedSearchesReportTheirCode)
{
    struct Case {
        const char *name;
        const char *base;
        const char *filter;
        int code;
    } cases[] = {
        {"missing base", "dc=nowhere,o=internet", "(objectclass=*)", 32},
        {"bad filter", "o=internet", "(objectclass=*", -7},  // LDAP_FILTER_ERROR, a client-side code
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ldap_client_message *res = nullptr;
        EXPECT_EQ(ops_->search_s(ld_, c.base, LDAP_CLIENT_SCOPE_BASE, c.filter, nullptr, 0, &res), c.code);
        ops_->free_result(ld_, res);  // the caller frees what came back
    }
    EXPECT_STREQ(ops_->err2string(ld_, 32), "No such object");
}

TEST_F(LdapClient, ValuesAsTextsAndWithLengths)
{
    char attrs0[] = "mail", attrs1[] = "cn";
    char *attrs[] = {attrs0, attrs1, nullptr};
    ldap_client_message *res = nullptr;
    ASSERT_EQ(ops_->search_s(ld_, SampleDirectory::user_dn, LDAP_CLIENT_SCOPE_BASE, "(objectclass=*)", attrs, 0, &res),
              0);
    ldap_client_message *e = nullptr;
    ASSERT_EQ(ops_->first_entry(ld_, res, &e), 0);
    char **values = nullptr;
    ASSERT_EQ(ops_->get_values(ld_, e, "mail", &values), 0);
    std::set<std::string> mail;
    for (char **v = values; *v; ++v)
        mail.insert(*v);
    EXPECT_EQ(mail, (std::set<std::string>{"bob@example.com", "robert@example.com"}));
    ops_->free_values(ld_, values);
    // Not asked for, so absent: non-zero and no list.
    values = reinterpret_cast<char **>(1);
    EXPECT_NE(ops_->get_values(ld_, e, "sn", &values), 0);
    EXPECT_EQ(values, nullptr);
    ldap_client_message *next = reinterpret_cast<ldap_client_message *>(1);
    EXPECT_NE(ops_->next_entry(ld_, e, &next), 0);
    EXPECT_EQ(next, nullptr);
    ops_->free_result(ld_, res);
}

TEST_F(LdapClient, BinaryCertificateComesBackByteForByte)
{
    std::ifstream in(dir_->dir() + "/user.der", std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(der.empty());
    ldap_client_message *res = nullptr;
    ASSERT_EQ(ops_->search_s(ld_, SampleDirectory::cert_user_dn, LDAP_CLIENT_SCOPE_BASE, "(objectclass=*)", nullptr, 0,
                             &res),
              0);
    ldap_client_message *e = nullptr;
    ASSERT_EQ(ops_->first_entry(ld_, res, &e), 0);
    ldap_client_value **values = nullptr;
    ASSERT_EQ(ops_->get_values_len(ld_, e, "userCertificate;binary", &values), 0);
    ASSERT_NE(values[0], nullptr);
    EXPECT_EQ(values[1], nullptr);
    EXPECT_EQ(std::string(values[0]->data, values[0]->len), der);
    ops_->free_values_len(ld_, values);
    ops_->free_result(ld_, res);
}

TEST_F(LdapClient, OpenFailures)
{
    int code = 0;
    EXPECT_EQ(hostkit_ldap_open(dir_->url().c_str(), SampleDirectory::user_dn, "wrong", nullptr, &code), nullptr);
    EXPECT_EQ(code, 49);
    EXPECT_EQ(hostkit_ldap_open("ldap://127.0.0.1:1", nullptr, nullptr, nullptr, &code), nullptr);
    EXPECT_EQ(code, -1);  // LDAP_SERVER_DOWN
    EXPECT_EQ(hostkit_ldap_open("not a url", nullptr, nullptr, nullptr, &code), nullptr);
}

TEST_F(LdapClient, LdapsChecksTheServerCertificate)
{
    int code = 0;
    hostkit_ldap *good = hostkit_ldap_open(dir_->ldaps_url().c_str(), nullptr, nullptr, dir_->ca_file().c_str(), &code);
    ASSERT_NE(good, nullptr) << code;
    ldap_client_message *res = nullptr;
    EXPECT_EQ(ops_->search_s(hostkit_ldap_client(good), "o=internet", LDAP_CLIENT_SCOPE_BASE, "(objectclass=*)",
                             nullptr, 0, &res),
              0);
    ops_->free_result(hostkit_ldap_client(good), res);
    hostkit_ldap_close(good);
    EXPECT_EQ(hostkit_ldap_open(dir_->ldaps_url().c_str(), nullptr, nullptr, dir_->other_ca_file().c_str(), &code),
              nullptr);
    EXPECT_NE(code, 0);
}

}  // namespace
