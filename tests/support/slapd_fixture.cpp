#include "slapd_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifndef VEX_SLAPD_DATA_DIR
#error "VEX_SLAPD_DATA_DIR names the folder of vex.schema and sample.ldif"
#endif

namespace vextest {

namespace {

using Clock = std::chrono::steady_clock;

bool read_file(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

// Runs a program to its end with its output thrown away; its exit code, or
// -1 when it could not run.
int run_quiet(const std::vector<std::string> &argv, const std::string &log)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::string base64(const std::string &bytes)
{
    static const char *abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    return name;
}

// Makes the certificates: a CA and the server's certificate it signs, a
// user certificate for the sample data, and a second CA that signs nothing.
bool make_certificates(const std::string &dir, std::string *why)
{
    const std::string log = dir + "/openssl.log";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto req = [&](std::vector<std::string> extra) {
        std::vector<std::string> argv = {"openssl", "req", "-x509", "-days", "2"};
        argv.insert(argv.end(), ec.begin(), ec.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_quiet(argv, log) == 0;
    };
    std::string san = "subjectAltName=DNS:localhost,DNS:" + host_name() + ",IP:127.0.0.1";
    bool ok = req({"-keyout", dir + "/ca.key", "-out", dir + "/ca.pem", "-subj", "/CN=Vex Test CA",
                   "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}) &&
              req({"-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-keyout", dir + "/server.key", "-out",
                   dir + "/server.pem", "-subj", "/CN=localhost", "-addext", san, "-addext",
                   "basicConstraints=critical,CA:FALSE"}) &&
              req({"-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-keyout", dir + "/user.key", "-out",
                   dir + "/user.pem", "-subj", "/O=Example/OU=People/CN=Cert User/UID=certuser", "-addext",
                   "basicConstraints=critical,CA:FALSE"}) &&
              req({"-keyout", dir + "/other-ca.key", "-out", dir + "/other-ca.pem", "-subj", "/CN=Other Test CA",
                   "-addext", "basicConstraints=critical,CA:TRUE"}) &&
              run_quiet({"openssl", "x509", "-in", dir + "/user.pem", "-outform", "DER", "-out", dir + "/user.der"},
                        log) == 0;
    if (!ok)
        *why = "openssl could not make the test certificates (see " + log + ")";
    return ok;
}

std::string conf_head(const std::string &dir, const std::string &name, bool tls, bool provider)
{
    std::string data = VEX_SLAPD_DATA_DIR;
    std::string c;
    c += "include /etc/ldap/schema/core.schema\n";
    c += "include /etc/ldap/schema/cosine.schema\n";
    c += "include /etc/ldap/schema/inetorgperson.schema\n";
    c += "include " + data + "/vex.schema\n";
    c += "pidfile " + dir + "/" + name + ".pid\n";
    c += "argsfile " + dir + "/" + name + ".args\n";
    c += "modulepath /usr/lib/ldap\nmoduleload back_mdb\n";
    if (provider)
        c += "moduleload syncprov\n";
    // Logging costs server time and has nowhere to go here.
    c += "loglevel 0\n";
    if (tls) {
        c += "TLSCACertificateFile " + dir + "/ca.pem\n";
        c += "TLSCertificateFile " + dir + "/server.pem\n";
        c += "TLSCertificateKeyFile " + dir + "/server.key\n";
    }
    c += "database mdb\n";
    c += "suffix \"o=internet\"\n";
    c += "rootdn \"cn=admin,o=internet\"\n";
    c += "directory " + dir + "/" + name + "-db\n";
    c += "maxsize 1073741824\n";
    c += "index objectClass,uid,associatedDomain,velPreferredDomain eq\n";
    c += "access to attrs=userPassword by self write by anonymous auth by * none\n";
    c += "access to * by * read\n";
    return c;
}

bool answers(const std::string &url)
{
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS)
        return false;
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    timeval tv{1, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &tv);
    berval cred{};
    int rc = ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc == LDAP_SUCCESS;
}

bool has_entry(const std::string &url, const char *dn)
{
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS)
        return false;
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    LDAPMessage *res = nullptr;
    timeval tv{1, 0};
    int rc = ldap_search_ext_s(ld, dn, LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0, nullptr, nullptr, &tv, 0,
                               &res);
    bool found = rc == LDAP_SUCCESS && ldap_count_entries(ld, res) == 1;
    ldap_msgfree(res);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return found;
}

// Waits until `ready` holds or the process ends or five seconds pass.
bool wait_until(pid_t pid, const std::function<bool()> &ready, std::string *why, const std::string &what)
{
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            *why = what + ": slapd exited before it answered";
            return false;
        }
        if (ready())
            return true;
        // Polling another process's readiness; there is nothing to hand-shake with.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *why = what + ": slapd did not answer within 5 s";
    return false;
}

}  // namespace

void stop_process(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return;
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool Slapd::launch(const std::string &conf, const std::string &urls, pid_t *pid, std::string *why)
{
    std::string log = dir_ + "/slapd.log";
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        *why = "fork failed";
        return false;
    }
    if (child == 0) {
        // Dies with the test process, whatever way it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        // -d keeps slapd in the foreground, so this child is the server itself.
        execl("/usr/sbin/slapd", "slapd", "-f", conf.c_str(), "-h", urls.c_str(), "-d", "0", (char *)nullptr);
        _exit(127);
    }
    *pid = child;
    return true;
}

std::unique_ptr<Slapd> Slapd::start(const SlapdOptions &options, std::string *why)
{
    std::string dummy;
    if (!why)
        why = &dummy;
    auto began = Clock::now();
    std::unique_ptr<Slapd> s(new Slapd);
    char templ[] = "/tmp/vexslapd.XXXXXX";
    if (!mkdtemp(templ)) {
        *why = "no temporary directory";
        return nullptr;
    }
    s->dir_ = templ;
    const std::string &dir = s->dir_;

    if (!make_certificates(dir, why))
        return nullptr;
    std::string sample, der;
    if (!read_file(std::string(VEX_SLAPD_DATA_DIR) + "/sample.ldif", &sample) || !read_file(dir + "/user.der", &der)) {
        *why = "sample data or user certificate missing";
        return nullptr;
    }
    size_t at = sample.find("@USERCERT@");
    if (at != std::string::npos)
        sample.replace(at, 10, base64(der));
    std::string provider = conf_head(dir, "provider", options.tls, options.replica);
    provider += "rootpw secret\n";
    if (options.replica)
        provider += "overlay syncprov\nsyncprov-checkpoint 100 10\n";
    mkdir((dir + "/provider-db").c_str(), 0700);
    if (!write_file(dir + "/data.ldif", sample) || !write_file(dir + "/provider.conf", provider)) {
        *why = "cannot write the configuration";
        return nullptr;
    }
    if (run_quiet({"/usr/sbin/slapadd", "-q", "-f", dir + "/provider.conf", "-l", dir + "/data.ldif"},
                  dir + "/slapadd.log") != 0) {
        *why = "slapadd failed (see " + dir + "/slapadd.log)";
        return nullptr;
    }

    // A port can be taken between the probe and slapd's bind: try again then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        s->port_ = free_port();
        s->tls_port_ = options.tls ? free_port() : 0;
        std::string urls = "ldap://127.0.0.1:" + std::to_string(s->port_) + "/";
        if (options.tls)
            urls += " ldaps://127.0.0.1:" + std::to_string(s->tls_port_) + "/";
        if (!s->launch(dir + "/provider.conf", urls, &s->pid_, why))
            return nullptr;
        if (wait_until(s->pid_, [&] { return answers(s->url()); }, why, "provider"))
            break;
        stop_process(s->pid_);
        s->pid_ = -1;
    }
    if (s->pid_ < 0)
        return nullptr;

    if (options.replica) {
        std::string consumer = conf_head(dir, "consumer", options.tls, false);
        consumer += "syncrepl rid=001 provider=" + s->url() +
                    " type=refreshAndPersist retry=\"1 +\" searchbase=\"o=internet\""
                    " bindmethod=simple binddn=\"cn=admin,o=internet\" credentials=secret\n";
        consumer += "updateref " + s->url() + "\n";
        mkdir((dir + "/consumer-db").c_str(), 0700);
        if (!write_file(dir + "/consumer.conf", consumer)) {
            *why = "cannot write the consumer configuration";
            return nullptr;
        }
        for (int attempt = 0; attempt < 3; ++attempt) {
            s->consumer_port_ = free_port();
            if (!s->launch(dir + "/consumer.conf", "ldap://127.0.0.1:" + std::to_string(s->consumer_port_) + "/",
                           &s->consumer_pid_, why))
                return nullptr;
            // The last sample entry arriving means the whole refresh did.
            if (wait_until(s->consumer_pid_,
                           [&] { return has_entry(s->consumer_url(), "uid=erin,o=Example Net,o=internet"); }, why,
                           "consumer"))
                break;
            stop_process(s->consumer_pid_);
            s->consumer_pid_ = -1;
        }
        if (s->consumer_pid_ < 0)
            return nullptr;
    }
    s->start_seconds_ = std::chrono::duration<double>(Clock::now() - began).count();
    return s;
}

Slapd::~Slapd()
{
    stop_process(consumer_pid_);
    stop_process(pid_);
    if (!dir_.empty() && std::getenv("VEX_KEEP_SLAPD_DIR") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string Slapd::url() const
{
    return "ldap://" + host_ + ":" + std::to_string(port_);
}

std::string Slapd::ldaps_url() const
{
    return "ldaps://localhost:" + std::to_string(tls_port_);
}

std::string Slapd::consumer_url() const
{
    return "ldap://" + host_ + ":" + std::to_string(consumer_port_);
}

}  // namespace vextest
