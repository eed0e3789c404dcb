// A private OpenLDAP slapd for tests: started by the test itself on free
// loopback ports in a temporary directory, loaded with the project's schema
// and sample data (tests/support/slapd/), stopped by its own process id.
//
//   std::string why;
//   auto dir = vextest::Slapd::start({}, &why);
//   ASSERT_TRUE(dir) << why;
//   ... dir->url(), dir->base_dn(), dir->root_dn(), dir->root_password() ...
//
// The server process dies with the test: the destructor stops it (SIGTERM,
// then SIGKILL), and should the test process crash instead, the kernel kills
// it (parent-death signal). Linux only.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace vextest {

struct SlapdOptions {
    bool tls = true;       // an ldaps port with a certificate made at start
    bool replica = false;  // a consumer that replicates by syncrepl and refers writes
};

// What the sample data holds, for tests to name.
struct SampleDirectory {
    static constexpr const char *base_dn = "o=internet";
    static constexpr const char *root_dn = "cn=admin,o=internet";
    static constexpr const char *root_password = "secret";
    static constexpr const char *user_dn = "uid=bob,ou=People,dc=example,dc=com,o=internet";
    static constexpr const char *user_password = "bob-secret";
    static constexpr const char *cert_user_dn = "uid=certuser,ou=People,dc=example,dc=com,o=internet";
    static constexpr const char *admin_group_dn =
        "cn=Domain Administrators,ou=Groups,dc=example,dc=com,o=internet";
    static constexpr const char *template_dn = "cn=domain template,o=internet";
};

class Slapd {
public:
    // Starts the server(s) and waits until they answer (the consumer: until
    // it holds the sample data). Null on failure, with the reason in *why.
    static std::unique_ptr<Slapd> start(const SlapdOptions &options, std::string *why);
    ~Slapd();
    Slapd(const Slapd &) = delete;
    Slapd &operator=(const Slapd &) = delete;

    const std::string &host() const { return host_; }  // "127.0.0.1"
    int port() const { return port_; }
    std::string url() const;        // ldap://127.0.0.1:port
    int tls_port() const { return tls_port_; }
    std::string ldaps_url() const;  // ldaps://localhost:tls_port (the certificate names localhost)
    int consumer_port() const { return consumer_port_; }
    std::string consumer_url() const;

    std::string base_dn() const { return SampleDirectory::base_dn; }
    std::string root_dn() const { return SampleDirectory::root_dn; }
    std::string root_password() const { return SampleDirectory::root_password; }

    const std::string &dir() const { return dir_; }
    std::string ca_file() const { return dir_ + "/ca.pem"; }           // signed the server
    std::string other_ca_file() const { return dir_ + "/other-ca.pem"; }  // signed nothing here
    std::string user_cert_pem() const { return dir_ + "/user.pem"; }   // certuser's certificate
    std::string user_key_pem() const { return dir_ + "/user.key"; }

    pid_t pid() const { return pid_; }
    pid_t consumer_pid() const { return consumer_pid_; }
    double start_seconds() const { return start_seconds_; }  // wall time of start()

private:
    Slapd() = default;
    bool launch(const std::string &conf, const std::string &urls, pid_t *pid, std::string *why);

    std::string host_ = "127.0.0.1";
    std::string dir_;
    int port_ = 0;
    int tls_port_ = 0;
    int consumer_port_ = 0;
    pid_t pid_ = -1;
    pid_t consumer_pid_ = -1;
    double start_seconds_ = 0;
};

// Stops a process by its id: SIGTERM, up to two seconds, then SIGKILL; reaps it.
void stop_process(pid_t pid);

}  // namespace vextest
