// The codec against OpenLDAP's client library: requests libldap puts on the
// wire compared byte for byte with ours, and random structures written by
// liblber's ber_printf read back with the reader.
#include <gtest/gtest.h>

#include <lber.h>
#include <ldap.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ldapasn_test_util.h"
#include "vexcore/ldapasn.h"

using ldapasn_test::Bytes;
using ldapasn_test::to_hex;

namespace {

// A loopback listener standing in for a server: libldap connects and writes
// its request, and we keep the bytes. libldap's asynchronous calls return
// once the request is written, so no answer is needed.
class Recorder {
public:
    Recorder()
    {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t alen = sizeof a;
        if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listen_fd_, 4) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &alen) != 0)
            return;
        std::string url = "ldap://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        if (ldap_initialize(&ld_, url.c_str()) != LDAP_SUCCESS)
            return;
        int version = LDAP_VERSION3;
        ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
    }
    ~Recorder()
    {
        if (ld_)
            ldap_unbind_ext(ld_, nullptr, nullptr);
        if (conn_fd_ >= 0)
            close(conn_fd_);
        if (listen_fd_ >= 0)
            close(listen_fd_);
    }
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    LDAP *ld() const { return ld_; }

    // The next whole message libldap wrote; empty on a timeout or close.
    Bytes next()
    {
        if (conn_fd_ < 0) {
            if (!wait_readable(listen_fd_))
                return {};
            conn_fd_ = accept(listen_fd_, nullptr, nullptr);
            if (conn_fd_ < 0)
                return {};
        }
        Bytes m;
        if (!read_n(m, 2))
            return {};
        size_t len = m[1];
        if (len & 0x80) {
            size_t n = len & 0x7F;
            if (!read_n(m, n))
                return {};
            len = 0;
            for (size_t i = 0; i < n; ++i)
                len = len << 8 | m[2 + i];
        }
        if (!read_n(m, len))
            return {};
        return m;
    }

private:
    static bool wait_readable(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 5000) == 1;
    }
    bool read_n(Bytes &m, size_t n)
    {
        while (n > 0) {
            if (!wait_readable(conn_fd_))
                return false;
            unsigned char buf[4096];
            ssize_t got = recv(conn_fd_, buf, n < sizeof buf ? n : sizeof buf, 0);
            if (got <= 0)
                return false;
            m.insert(m.end(), buf, buf + got);
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    int listen_fd_ = -1;
    int conn_fd_ = -1;
    LDAP *ld_ = nullptr;
};

Bytes format_search(int msgid, const char *filter)
{
    unsigned char buf[2048];
    size_t len = 0;
    if (ldapasn_format(buf, sizeof buf, &len, "(d[seeddbfa])", msgid, 0x63, "o=vex,c=us", 2, 0, 0, 0, 0, filter,
                       "") != 0)
        return {};
    return Bytes(buf, buf + len);
}

// Filters covering every form the grammar has, the escapes, and malformed
// texts. Each is sent by libldap and formatted by us.
const char *const filter_corpus[] = {
    // present
    "(objectClass=*)", "(cn=*)", "(1.2.840.113556.1.4.1=*)", "(cn;lang-en=*)",
    // equality
    "(cn=Babs Jensen)", "(uid=alice)", "(cn=)", "(o=a b c)", "(mail=alice@vex.example)",
    // substrings
    "(cn=a*)", "(cn=*a)", "(cn=*a*)", "(cn=a*b)", "(cn=a*b*c*d)", "(cn=*a*b*)", "(cn=a**b)",
    "(cn=*\\2a*)", "(cn=\\28*\\29)", "(cn=J*n Je*s*n)",
    // ordering and approximate
    "(age>=21)", "(age<=65)", "(sn~=smith)", "(cn>=a*)", "(cn<=)", "(cn~=)",
    // extensible
    "(cn:=Fred)", "(cn:dn:=Fred)", "(cn:DN:=Fred)", "(cn:2.5.13.5:=Fred)", "(cn:dn:2.5.13.5:=Fred)",
    "(:2.5.13.5:=Fred)", "(:dn:2.5.13.5:=Fred)", "(:caseExactMatch:=x)", "(o:dn:=Ace Industry)",
    "(cn:caseIgnoreMatch:=a*b)", "(cn:dnx:=v)", "(cn:=)",
    // escapes
    "(cn=\\2a)", "(cn=\\5c)", "(cn=\\5C)", "(cn=\\28\\29)", "(cn=\\00)", "(cn=\\c3\\a9)", "(cn=\\*)",
    "(cn=\\\\)", "(cn=\\()", "(cn=\\))", "(cn=a\\2Ab)", "(sn>=\\41)", "(cn:=\\2a)",
    // and, or, not
    "(&(a=1)(b=2))", "(|(a=1)(b=2))", "(!(a=1))", "(&(|(a=1)(b=2))(!(c=3)))",
    "(&(objectClass=person)(|(cn=a*)(sn=b*))(!(mail=*)))", "(&(a=1))", "(!(!(a=1)))",
    "(&(&(&(&(a=1)))))", "(|(a=*)(&(b=1)(c=2))(!(d~=4)))", "(!(a=1)(b=2))",
    // directory-like filters
    "(givenName=Alice)", "(telephoneNumber=+1 555 0100)", "(objectClass=inetOrgPerson)", "(2.5.4.3=x)",
    "(mail=*@vex.example)", "(uid=a*e)", "(cn=A*l*i*c*e)", "(cn;binary=\\01\\02)",
    "(modifyTimestamp>=20260101000000Z)", "(uidNumber<=1000)", "(&(uid=a)(uid=b)(uid=c)(uid=d))",
    "(|(cn=a*)(cn=*b)(cn=*c*))", "(!(|(a=1)(b=2)))", "(cn~=Alise)", "(cn=\\2A\\2a)", "(cn=caf\\c3\\a9)",
    "(sn=O'Brien)", "(cn=a,b)", "(cn=x=y)", "(cn=a&b|c!d)",
    // malformed
    "(&)", "(|)", "(!)", "(cn=a", "(cn=a))", "(cn>5)", "(=a)", "()", "(cn=a)(cn=b)", "(cn=a(b)",
    "(cn*=x)", "(cn=a\\)", "(cn=\\zz)", "(cn=\\4)", "(:=x)", "(:dn:=x)", "(cn:2.5*:=x)", "(cn::=x)",
    // forms where the two grammars part
    "cn=a", " (cn=a)", "(cn=a) ", "(cn=**)", "(&(a=1) (b=2))", "(cn~x)", "(c\\6e=a)",
};

enum class Outcome { same, both_refuse, only_libldap, only_ours, bytes_differ };

const char *name(Outcome o)
{
    switch (o) {
    case Outcome::same: return "same bytes";
    case Outcome::both_refuse: return "both refuse";
    case Outcome::only_libldap: return "only libldap accepts";
    case Outcome::only_ours: return "only we accept";
    case Outcome::bytes_differ: return "bytes differ";
    }
    return "?";
}

struct Difference {
    const char *filter;
    Outcome outcome;
    const char *reason;
};

// Where libldap and our grammar part. Each line is checked: should the two
// ever agree on one of these, its line must go.
const Difference differences[] = {
    {"cn=a", Outcome::only_libldap, "libldap wraps a bare item in parentheses; we need one parenthesised filter"},
    {"(&)", Outcome::only_libldap, "libldap sends an empty and (absolute true); and, or, not need an inner filter here"},
    {"(|)", Outcome::only_libldap, "libldap sends an empty or (absolute false); and, or, not need an inner filter here"},
    {"(cn::=x)", Outcome::only_libldap, "libldap takes an empty matching rule; we refuse it"},
    {"(cn=a**b)", Outcome::only_ours, "libldap refuses an empty substring between stars; a run of stars is one to us"},
    {"(cn>=a*)", Outcome::only_ours, "libldap wants \\2a for a star outside equality; to us it is an ordinary character"},
    {"(cn:caseIgnoreMatch:=a*b)", Outcome::only_ours, "as for >=: a star in an extensible value is ordinary to us"},
    {"(!(a=1)(b=2))", Outcome::only_ours, "libldap allows one filter inside a not; we accept several"},
    {"(&(a=1) (b=2))", Outcome::only_libldap, "libldap skips blanks between filters; to us a blank starts no filter"},
    {"(cn:dn:=Fred)", Outcome::bytes_differ, "dnAttributes TRUE: libldap writes FF, we write 01 (both TRUE in BER)"},
    {"(cn:DN:=Fred)", Outcome::bytes_differ, "dnAttributes TRUE: FF against our 01"},
    {"(cn:dn:2.5.13.5:=Fred)", Outcome::bytes_differ, "dnAttributes TRUE: FF against our 01"},
    {"(:dn:2.5.13.5:=Fred)", Outcome::bytes_differ, "dnAttributes TRUE: FF against our 01"},
    {"(o:dn:=Ace Industry)", Outcome::bytes_differ, "dnAttributes TRUE: FF against our 01"},
};

Outcome compare(Recorder &rec, const char *filter, std::string *detail)
{
    int msgid = 0;
    int rc = ldap_search_ext(rec.ld(), "o=vex,c=us", LDAP_SCOPE_SUBTREE, filter, nullptr, 0, nullptr, nullptr,
                             nullptr, 0, &msgid);
    Bytes theirs;
    if (rc == LDAP_SUCCESS) {
        theirs = rec.next();
        EXPECT_FALSE(theirs.empty()) << "libldap said it sent " << filter;
    }
    Bytes ours = format_search(rc == LDAP_SUCCESS ? msgid : 1, filter);
    if (theirs.empty() && ours.empty())
        return Outcome::both_refuse;
    if (ours.empty())
        return Outcome::only_libldap;
    if (theirs.empty())
        return Outcome::only_ours;
    if (theirs != ours) {
        *detail = "libldap " + to_hex(theirs) + "\nours    " + to_hex(ours);
        return Outcome::bytes_differ;
    }
    return Outcome::same;
}

TEST(PeerFilters, SearchRequestsMatchLibldapByteForByte)
{
    Recorder rec;
    ASSERT_NE(rec.ld(), nullptr);
    int same = 0;
    for (const char *filter : filter_corpus) {
        const Difference *known = nullptr;
        for (const Difference &d : differences)
            if (std::strcmp(d.filter, filter) == 0)
                known = &d;
        std::string detail;
        Outcome o = compare(rec, filter, &detail);
        if (known) {
            EXPECT_EQ(name(o), std::string(name(known->outcome))) << filter << ": " << known->reason;
        } else {
            EXPECT_TRUE(o == Outcome::same || o == Outcome::both_refuse) << filter << ": " << name(o) << "\n" << detail;
        }
        same += o == Outcome::same;
    }
    // Refusals alone would prove little: most of the corpus must be encoded.
    EXPECT_GE(same, 60);
}

TEST(PeerRequests, BindModifyAddDeleteMatchLibldap)
{
    Recorder rec;
    ASSERT_NE(rec.ld(), nullptr);
    unsigned char buf[1024];
    size_t len = 0;
    int msgid = 0;

    char pw[] = "secret";
    berval cred{sizeof pw - 1, pw};
    ASSERT_EQ(ldap_sasl_bind(rec.ld(), "cn=admin,o=vex,c=us", LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, &msgid),
              LDAP_SUCCESS);
    Bytes bind = rec.next();
    ASSERT_EQ(ldapasn_format(buf, sizeof buf, &len, "(d[dsS])", msgid, 0x60, 3, "cn=admin,o=vex,c=us", 0x80, pw), 0);
    EXPECT_EQ(to_hex(bind), to_hex(Bytes(buf, buf + len)));

    char v1[] = "bob@vex.example", v2[] = "b\0b";
    berval bv1{sizeof v1 - 1, v1}, bv2{sizeof v2 - 1, v2};
    berval *mail_vals[] = {&bv1, &bv2, nullptr};
    char mail[] = "mail", desc[] = "description";
    LDAPMod m1{LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, mail, {}};
    m1.mod_bvalues = mail_vals;
    LDAPMod m2{LDAP_MOD_DELETE | LDAP_MOD_BVALUES, desc, {}};
    m2.mod_bvalues = nullptr;
    LDAPMod *mods[] = {&m1, &m2, nullptr};
    ASSERT_EQ(ldap_modify_ext(rec.ld(), "uid=bob,o=vex,c=us", mods, nullptr, nullptr, &msgid), LDAP_SUCCESS);
    Bytes modify = rec.next();
    const char *const our_vals[] = {v1, v2, nullptr};
    const uint32_t our_lens[] = {sizeof v1 - 1, sizeof v2 - 1};
    const ldapasn_mod changes[] = {{LDAP_MOD_REPLACE, "mail", our_vals, our_lens},
                                   {LDAP_MOD_DELETE, "description", nullptr, nullptr},
                                   {0, nullptr, nullptr, nullptr}};
    ASSERT_EQ(ldapasn_format(buf, sizeof buf, &len, "(d[s(m)])", msgid, 0x66, "uid=bob,o=vex,c=us", changes), 0);
    EXPECT_EQ(to_hex(modify), to_hex(Bytes(buf, buf + len)));

    char oc[] = "objectClass", sn[] = "sn", person[] = "person", builder[] = "Builder";
    char *oc_vals[] = {person, nullptr};
    char *sn_vals[] = {builder, nullptr};
    LDAPMod a1{0, oc, {}}, a2{0, sn, {}};
    a1.mod_values = oc_vals;
    a2.mod_values = sn_vals;
    LDAPMod *attrs[] = {&a1, &a2, nullptr};
    ASSERT_EQ(ldap_add_ext(rec.ld(), "cn=bob,o=vex,c=us", attrs, nullptr, nullptr, &msgid), LDAP_SUCCESS);
    Bytes added = rec.next();
    const char *const our_oc[] = {"person", nullptr};
    const char *const our_sn[] = {"Builder", nullptr};
    const ldapasn_mod entry[] = {{9, "objectClass", our_oc, nullptr}, {9, "sn", our_sn, nullptr}, {0, nullptr, nullptr, nullptr}};
    ASSERT_EQ(ldapasn_format(buf, sizeof buf, &len, "(d[s(M)])", msgid, 0x68, "cn=bob,o=vex,c=us", entry), 0);
    EXPECT_EQ(to_hex(added), to_hex(Bytes(buf, buf + len)));

    ASSERT_EQ(ldap_delete_ext(rec.ld(), "cn=bob,o=vex,c=us", nullptr, nullptr, &msgid), LDAP_SUCCESS);
    Bytes deleted = rec.next();
    ASSERT_EQ(ldapasn_format(buf, sizeof buf, &len, "(dS)", msgid, 0x4A, "cn=bob,o=vex,c=us"), 0);
    EXPECT_EQ(to_hex(deleted), to_hex(Bytes(buf, buf + len)));
}

// A random BER tree, written by liblber and expected back from the reader.
struct Node {
    int tag;
    bool constructed;
    enum { integer, enumerated, boolean, octets } kind;
    int32_t ival;
    std::string text;
    std::vector<Node> children;
};

Node random_node(std::mt19937 &rng, int depth)
{
    Node n{};
    // Constructed elements up to the reader's eight open levels.
    if (depth < LDAPASN_MAXLEVEL && rng() % 3 == 0) {
        n.constructed = true;
        n.tag = rng() % 2 ? 0x30 : (rng() % 2 ? 0x31 : static_cast<int>(0xA0 | (rng() % 30)));
        int kids = static_cast<int>(rng() % 5);
        for (int i = 0; i < kids; ++i)
            n.children.push_back(random_node(rng, depth + 1));
        return n;
    }
    switch (rng() % 4) {
    case 0: {
        n.kind = Node::integer;
        n.tag = rng() % 4 ? 0x02 : static_cast<int>(0x80 | (rng() % 30));
        int shift = static_cast<int>(rng() % 32);
        n.ival = static_cast<int32_t>(rng()) >> shift;
        break;
    }
    case 1:
        n.kind = Node::enumerated;
        n.tag = 0x0A;
        n.ival = static_cast<int32_t>(rng() % 100);
        break;
    case 2:
        n.kind = Node::boolean;
        n.tag = 0x01;
        n.ival = rng() % 2;
        break;
    default: {
        n.kind = Node::octets;
        n.tag = rng() % 4 ? 0x04 : static_cast<int>(0x80 | (rng() % 30));
        // Mostly short, sometimes long enough for two- and three-byte lengths.
        size_t len = rng() % 40 == 0 ? rng() % 70000 : rng() % 40;
        for (size_t i = 0; i < len; ++i)
            n.text.push_back(static_cast<char>(rng()));
        break;
    }
    }
    return n;
}

bool write_node(BerElement *ber, const Node &n)
{
    auto tag = static_cast<ber_tag_t>(n.tag);
    if (n.constructed) {
        int rc = n.tag == 0x31 ? ber_printf(ber, "[") : ber_printf(ber, "t{", tag);
        if (rc < 0)
            return false;
        for (const Node &c : n.children)
            if (!write_node(ber, c))
                return false;
        return ber_printf(ber, n.tag == 0x31 ? "]" : "}") >= 0;
    }
    switch (n.kind) {
    case Node::integer:
        return ber_printf(ber, "ti", tag, static_cast<ber_int_t>(n.ival)) >= 0;
    case Node::enumerated:
        return ber_printf(ber, "e", static_cast<ber_int_t>(n.ival)) >= 0;
    case Node::boolean:
        return ber_printf(ber, "b", static_cast<ber_int_t>(n.ival)) >= 0;
    case Node::octets:
        return ber_printf(ber, "to", tag, n.text.data(), static_cast<ber_len_t>(n.text.size())) >= 0;
    }
    return false;
}

void read_node(ldapasn_ctx *ctx, const Node &n, int *err)
{
    if (n.constructed) {
        ldapasn_ctx probe = *ctx;
        ldapasn_TLV(ctx, n.tag, nullptr, nullptr, nullptr, err);
        EXPECT_EQ(ldapasn_TLcount(ctx, nullptr, 0, err), static_cast<int>(n.children.size()));
        for (const Node &c : n.children)
            read_node(ctx, c, err);
        EXPECT_EQ(ldapasn_TLavail(ctx, err), 0);
        ldapasn_uplevel(ctx, err);
        EXPECT_EQ(ctx->level, probe.level);
        return;
    }
    if (n.kind == Node::octets) {
        uint32_t len = 0;
        const unsigned char *p = nullptr;
        if (ldapasn_TLV(ctx, n.tag, nullptr, &len, &p, err) == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), len), n.text);
        }
        return;
    }
    if (n.kind == Node::boolean) {
        uint32_t len = 0;
        const unsigned char *p = nullptr;
        if (ldapasn_TLV(ctx, 0x01, nullptr, &len, &p, err) == 0) {
            ASSERT_EQ(len, 1u);
            EXPECT_EQ(p[0] != 0, n.ival != 0);
        }
        return;
    }
    int32_t v = 0;
    if (ldapasn_int(ctx, n.tag, &v, err) == 0) {
        EXPECT_EQ(v, n.ival);
    }
}

TEST(PeerStructures, RandomBerPrintfTreesReadBackIdentically)
{
    std::mt19937 rng(4511);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Node root{};
        root.constructed = true;
        root.tag = 0x30;
        int kids = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < kids; ++i)
            root.children.push_back(random_node(rng, 1));
        BerElement *ber = ber_alloc_t(LBER_USE_DER);
        ASSERT_NE(ber, nullptr);
        ASSERT_TRUE(write_node(ber, root));
        berval *flat = nullptr;
        ASSERT_EQ(ber_flatten(ber, &flat), 0);
        ber_free(ber, 1);
        ldapasn_ctx ctx;
        int err = 0;
        ldapasn_init(&ctx, flat->bv_val, static_cast<uint32_t>(flat->bv_len));
        read_node(&ctx, root, &err);
        EXPECT_EQ(err, 0) << ctx.errmsg;
        EXPECT_EQ(ctx.remain[0], 0u);
        EXPECT_EQ(ctx.level, 0);
        ber_bvfree(flat);
        if (HasFailure())
            break;
    }
}

}  // namespace
