// A scriptable fault server: listens on a loopback port and plays a script
// per connection (bytes, splits, delays, truncations, wrong message ids,
// closes), so that a client's failure paths run deterministically.
//
//   vextest::FaultServer server;
//   server.add(vextest::FaultScript()
//                  .read_message()
//                  .reply([](int id) { return vextest::ldap::message(id, vextest::ldap::bind_response(0)); })
//                  .read_message()
//                  .send_split(..., {3, 5})
//                  .close());
//   ... connect to 127.0.0.1:server.port() ...
//
// Connection n plays script n; once the scripts are used up the last one
// repeats. Each connection runs on a thread of its own; the destructor (or
// stop()) ends them all and joins them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vextest {

class FaultScript {
public:
    struct Step {
        enum Kind { ReadMessage, ReadBytes, Send, Reply, Delay, Close, Reset, Hold } kind;
        std::string bytes;
        std::function<std::string(int)> reply;
        int number = 0;  // bytes to read, or milliseconds
    };

    // Reads one whole BER message (tag 0x30) from the client and remembers its
    // message id for reply(); the connection ends if the client closes first.
    FaultScript &read_message();
    // Reads exactly n bytes.
    FaultScript &read_bytes(int n);
    FaultScript &send(std::string bytes);
    // Sends bytes in pieces of the given sizes (the rest as a last piece),
    // with `gap_ms` between pieces.
    FaultScript &send_split(const std::string &bytes, const std::vector<int> &pieces, int gap_ms = 20);
    // Sends the first n bytes, then closes: a truncated answer.
    FaultScript &send_truncated(const std::string &bytes, int n);
    // Sends what `make` builds from the last request's message id (pass
    // id + 1 to it for a wrong message id).
    FaultScript &reply(std::function<std::string(int request_id)> make);
    FaultScript &delay(int ms);
    FaultScript &close();   // orderly close
    FaultScript &reset();   // abortive close (RST)
    FaultScript &hold();    // keep the connection open, reading and dropping, until the client goes

    const std::vector<Step> &steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

class FaultServer {
public:
    FaultServer();  // listens on 127.0.0.1 at a free port
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    bool ok() const { return listener_ >= 0; }
    int port() const { return port_; }
    void add(FaultScript script);

    int connections() const { return connections_.load(); }
    // Every request message read by read_message(), in arrival order.
    std::vector<std::string> requests() const;
    // Waits until `n` connections have ended (their scripts finished), for
    // at most timeout_ms; false on time-out.
    bool wait_finished(int n, int timeout_ms);
    void stop();

private:
    void accept_loop();
    void serve(long long sock, FaultScript script);

    long long listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    int finished_ = 0;
    std::vector<FaultScript> scripts_;
    std::vector<std::string> requests_;
    std::vector<long long> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// Small LDAP message builders for scripts.
namespace ldap {
std::string tlv(unsigned char tag, const std::string &content);
std::string integer(unsigned char tag, long value);
std::string octets(const std::string &text);  // OCTET STRING
// LDAPMessage ::= SEQUENCE { messageID, protocolOp }
std::string message(int id, const std::string &op);
// LDAPResult-shaped responses with the given application tag.
std::string result(unsigned char tag, int code, const std::string &matched = "", const std::string &diag = "");
inline std::string bind_response(int code) { return result(0x61, code); }
inline std::string search_done(int code) { return result(0x65, code); }
std::string search_entry(const std::string &dn,
                         const std::vector<std::pair<std::string, std::vector<std::string>>> &attrs);
std::string search_reference(const std::vector<std::string> &urls);
// The message id of a whole message, or -1.
int message_id(const std::string &message);
}  // namespace ldap

}  // namespace vextest
