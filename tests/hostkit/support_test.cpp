// The private directory fixtures and the fault server that the other suites
// build on.
#include <gtest/gtest.h>

#include <ldap.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fault_server.h"
#include "hostkit/hostkit.h"
#include "slapd_fixture.h"

namespace {

TEST(SlapdFixture, StartsAnswersAndStopsByItsPid)
{
    std::string why;
    pid_t pid;
    std::string dir;
    {
        auto s = vextest::Slapd::start({}, &why);
        ASSERT_TRUE(s) << why;
        std::printf("slapd (ldap + ldaps) started in %.3f s\n", s->start_seconds());
        RecordProperty("start_seconds", std::to_string(s->start_seconds()));
        pid = s->pid();
        dir = s->dir();
        int code = 0;
        hostkit_ldap *c = hostkit_ldap_open(s->url().c_str(), s->root_dn().c_str(), s->root_password().c_str(),
                                            nullptr, &code);
        ASSERT_NE(c, nullptr) << code;
        hostkit_ldap_close(c);
    }
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << "the temporary directory stays behind";
}

TEST(SlapdFixture, ConsumerReplicatesAndRefersWrites)
{
    std::string why;
    auto s = vextest::Slapd::start({.tls = false, .replica = true}, &why);
    ASSERT_TRUE(s) << why;
    std::printf("provider + consumer started in %.3f s\n", s->start_seconds());
    RecordProperty("start_seconds", std::to_string(s->start_seconds()));

    LDAP *ld = nullptr;
    ASSERT_EQ(ldap_initialize(&ld, s->consumer_url().c_str()), LDAP_SUCCESS);
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    berval cred{};
    std::string pw = vextest::SampleDirectory::user_password;
    cred.bv_val = pw.data();
    cred.bv_len = pw.size();
    ASSERT_EQ(ldap_sasl_bind_s(ld, vextest::SampleDirectory::user_dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                               nullptr),
              LDAP_SUCCESS);
    char mail[] = "mail";
    char value[] = "changed@example.com";
    char *values[] = {value, nullptr};
    LDAPMod mod{LDAP_MOD_REPLACE, mail, {values}};
    LDAPMod *mods[] = {&mod, nullptr};
    int msgid = 0;
    ASSERT_EQ(ldap_modify_ext(ld, vextest::SampleDirectory::user_dn, mods, nullptr, nullptr, &msgid), LDAP_SUCCESS);
    LDAPMessage *res = nullptr;
    timeval tv{5, 0};
    ASSERT_EQ(ldap_result(ld, msgid, 1, &tv, &res), LDAP_RES_MODIFY);
    int code = 0;
    char **refs = nullptr;
    ASSERT_EQ(ldap_parse_result(ld, res, &code, nullptr, nullptr, &refs, nullptr, 1), LDAP_SUCCESS);
    EXPECT_EQ(code, LDAP_REFERRAL);
    ASSERT_NE(refs, nullptr);
    EXPECT_EQ(std::string(refs[0]).rfind(s->url(), 0), 0u) << refs[0];
    ber_memvfree(reinterpret_cast<void **>(refs));
    ldap_unbind_ext_s(ld, nullptr, nullptr);
}

namespace L = vextest::ldap;

TEST(LdapBuilders, EncodeAsBer)
{
    EXPECT_EQ(L::integer(0x02, 0), std::string("\x02\x01\x00", 3));
    EXPECT_EQ(L::integer(0x02, 128), std::string("\x02\x02\x00\x80", 4));
    EXPECT_EQ(L::integer(0x02, -1), std::string("\x02\x01\xff", 3));
    EXPECT_EQ(L::tlv(0x04, std::string(200, 'a')).substr(0, 3), std::string("\x04\x81\xc8", 3));
    EXPECT_EQ(L::message(5, L::bind_response(49)), std::string("\x30\x0c\x02\x01\x05\x61\x07\x0a\x01\x31\x04\x00\x04\x00", 14));
    EXPECT_EQ(L::message_id(L::message(300, L::search_done(0))), 300);
    EXPECT_EQ(L::message_id("\x30\x03\x04\x01x"), -1);
}

// A blocking client of the fault server.
struct Client {
    int fd = -1;
    explicit Client(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client()
    {
        if (fd >= 0)
            close(fd);
    }
    void send(const std::string &b) { ::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }
    // Everything until the server closes; the error of the last read in *err.
    std::string drain(int *err = nullptr)
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            out.append(buf, size_t(n));
        if (err)
            *err = n < 0 ? errno : 0;
        return out;
    }
};

TEST(FaultServer, PlaysItsScriptsPerConnection)
{
    vextest::FaultServer server;
    ASSERT_TRUE(server.ok());
    const std::string entry = L::message(2, L::search_entry("cn=x", {{"cn", {"x"}}}));
    server.add(vextest::FaultScript().read_message().reply([](int id) { return L::message(id + 1, L::bind_response(0)); }).close());
    server.add(vextest::FaultScript().read_message().send_truncated(entry, 5));
    server.add(vextest::FaultScript().send_split(entry, {1, 2}, 5).close());
    server.add(vextest::FaultScript().reset());

    const std::string bind = L::message(9, L::tlv(0x60, L::integer(0x02, 3) + L::octets("") + L::tlv(0x80, "")));
    {
        Client c(server.port());
        c.send(bind);
        EXPECT_EQ(c.drain(), L::message(10, L::bind_response(0))) << "a wrong message id on purpose";
    }
    {
        Client c(server.port());
        c.send(bind);
        EXPECT_EQ(c.drain(), entry.substr(0, 5));
    }
    {
        Client c(server.port());
        EXPECT_EQ(c.drain(), entry);
    }
    {
        Client c(server.port());
        int err = 0;
        EXPECT_EQ(c.drain(&err), "");
        EXPECT_EQ(err, ECONNRESET);
    }
    ASSERT_TRUE(server.wait_finished(4, 5000));
    EXPECT_EQ(server.connections(), 4);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0], bind);
}

TEST(FaultServer, StopEndsHeldConnections)
{
    vextest::FaultServer server;
    server.add(vextest::FaultScript().hold());
    Client c(server.port());
    ASSERT_GE(c.fd, 0);
    server.stop();  // must not wait for the client
    EXPECT_EQ(c.drain(), "");
}

}  // namespace
