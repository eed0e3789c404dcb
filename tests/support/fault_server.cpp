#include "fault_server.h"

#include <chrono>

#include "fault_socket.h"

namespace vextest {

// ---- scripts ----

FaultScript &FaultScript::read_message()
{
    steps_.push_back({Step::ReadMessage, {}, {}, 0});
    return *this;
}

FaultScript &FaultScript::read_bytes(int n)
{
    steps_.push_back({Step::ReadBytes, {}, {}, n});
    return *this;
}

FaultScript &FaultScript::send(std::string bytes)
{
    steps_.push_back({Step::Send, std::move(bytes), {}, 0});
    return *this;
}

FaultScript &FaultScript::send_split(const std::string &bytes, const std::vector<int> &pieces, int gap_ms)
{
    size_t at = 0;
    for (int n : pieces) {
        if (at >= bytes.size())
            break;
        send(bytes.substr(at, size_t(n)));
        at += size_t(n);
        delay(gap_ms);
    }
    if (at < bytes.size())
        send(bytes.substr(at));
    return *this;
}

FaultScript &FaultScript::send_truncated(const std::string &bytes, int n)
{
    send(bytes.substr(0, size_t(n)));
    return close();
}

FaultScript &FaultScript::reply(std::function<std::string(int)> make)
{
    steps_.push_back({Step::Reply, {}, std::move(make), 0});
    return *this;
}

FaultScript &FaultScript::delay(int ms)
{
    steps_.push_back({Step::Delay, {}, {}, ms});
    return *this;
}

FaultScript &FaultScript::close()
{
    steps_.push_back({Step::Close, {}, {}, 0});
    return *this;
}

FaultScript &FaultScript::reset()
{
    steps_.push_back({Step::Reset, {}, {}, 0});
    return *this;
}

FaultScript &FaultScript::hold()
{
    steps_.push_back({Step::Hold, {}, {}, 0});
    return *this;
}

// ---- server ----

FaultServer::FaultServer()
{
    listener_ = fsock::listen_loopback(&port_);
    if (listener_ >= 0)
        acceptor_ = std::thread([this] { accept_loop(); });
}

FaultServer::~FaultServer()
{
    stop();
}

void FaultServer::add(FaultScript script)
{
    std::lock_guard<std::mutex> lock(mu_);
    scripts_.push_back(std::move(script));
}

std::vector<std::string> FaultServer::requests() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

bool FaultServer::wait_finished(int n, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_ >= n; });
}

void FaultServer::stop()
{
    if (stopping_.exchange(true))
        return;
    if (acceptor_.joinable())
        acceptor_.join();
    {
        // Wake workers blocked in a read; their scripts end there.
        std::lock_guard<std::mutex> lock(mu_);
        for (long long s : open_)
            fsock::shutdown_socket(s);
    }
    for (auto &t : workers_)
        t.join();
    fsock::close_socket(listener_);
    listener_ = -1;
}

void FaultServer::accept_loop()
{
    while (!stopping_) {
        // A short accept window so that stop() is noticed promptly.
        long long s = fsock::accept_within(listener_, 50);
        if (s < 0)
            continue;
        FaultScript script;
        {
            std::lock_guard<std::mutex> lock(mu_);
            size_t n = size_t(connections_.load());
            if (!scripts_.empty())
                script = scripts_[n < scripts_.size() ? n : scripts_.size() - 1];
            open_.push_back(s);
        }
        ++connections_;
        workers_.emplace_back([this, s, script] { serve(s, script); });
    }
}

namespace {

// Reads until `buf` holds `want` bytes; false when the peer closed first.
bool fill(long long s, std::string &buf, size_t want)
{
    char chunk[4096];
    while (buf.size() < want) {
        int n = fsock::recv_some(s, chunk, int(sizeof chunk));
        if (n <= 0)
            return false;
        buf.append(chunk, size_t(n));
    }
    return true;
}

// Size of the BER message at the start of `buf`, 0 when more bytes are
// needed to tell, -1 when it cannot be a message.
long message_size(const std::string &buf)
{
    if (buf.size() < 2)
        return 0;
    auto len0 = static_cast<unsigned char>(buf[1]);
    if (len0 < 0x80)
        return 2 + long(len0);
    size_t nlen = len0 & 0x7f;
    if (nlen == 0 || nlen > 4)
        return -1;
    if (buf.size() < 2 + nlen)
        return 0;
    long len = 0;
    for (size_t i = 0; i < nlen; ++i)
        len = len << 8 | static_cast<unsigned char>(buf[2 + i]);
    return long(2 + nlen) + len;
}

}  // namespace

void FaultServer::serve(long long s, FaultScript script)
{
    std::string pending;  // bytes read beyond the last message
    int last_id = 0;
    bool open = true;
    for (const auto &step : script.steps()) {
        if (!open || stopping_)
            break;
        switch (step.kind) {
        case FaultScript::Step::ReadMessage: {
            long size;
            while ((size = message_size(pending)) == 0)
                if (!fill(s, pending, pending.size() + 1)) {
                    size = -1;
                    break;
                }
            if (size < 0 || !fill(s, pending, size_t(size))) {
                open = false;
                break;
            }
            std::string msg = pending.substr(0, size_t(size));
            pending.erase(0, size_t(size));
            last_id = ldap::message_id(msg);
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(msg);
            break;
        }
        case FaultScript::Step::ReadBytes:
            if (!fill(s, pending, size_t(step.number)))
                open = false;
            else
                pending.erase(0, size_t(step.number));
            break;
        case FaultScript::Step::Send:
            open = fsock::send_all(s, step.bytes.data(), int(step.bytes.size())) == 0;
            break;
        case FaultScript::Step::Reply: {
            std::string bytes = step.reply(last_id);
            open = fsock::send_all(s, bytes.data(), int(bytes.size())) == 0;
            break;
        }
        case FaultScript::Step::Delay:
            // The delay is the fault being played, not a wait for ordering.
            std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
            break;
        case FaultScript::Step::Close:
        case FaultScript::Step::Reset:
            open = false;
            break;
        case FaultScript::Step::Hold: {
            char sink[4096];
            while (fsock::recv_some(s, sink, int(sizeof sink)) > 0) {
            }
            open = false;
            break;
        }
        }
    }
    bool reset = !script.steps().empty() && script.steps().back().kind == FaultScript::Step::Reset;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = open_.begin(); it != open_.end(); ++it)
            if (*it == s) {
                open_.erase(it);
                break;
            }
        if (reset)
            fsock::reset_socket(s);
        else
            fsock::close_socket(s);
        ++finished_;
    }
    cv_.notify_all();
}

// ---- LDAP builders ----

namespace ldap {

std::string tlv(unsigned char tag, const std::string &content)
{
    std::string out(1, char(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out += char(n);
    } else {
        std::string len;
        for (size_t v = n; v; v >>= 8)
            len.insert(len.begin(), char(v & 0xff));
        out += char(0x80 | len.size());
        out += len;
    }
    return out + content;
}

std::string integer(unsigned char tag, long value)
{
    std::string bytes;
    unsigned long v = static_cast<unsigned long>(value);
    for (int i = 0; i < int(sizeof v); ++i) {
        bytes.insert(bytes.begin(), char(v & 0xff));
        v >>= 8;
    }
    // Minimal two's complement form.
    while (bytes.size() > 1 && ((bytes[0] == 0 && !(bytes[1] & 0x80)) ||
                                (bytes[0] == char(0xff) && (bytes[1] & 0x80))))
        bytes.erase(bytes.begin());
    return tlv(tag, bytes);
}

std::string octets(const std::string &text)
{
    return tlv(0x04, text);
}

std::string message(int id, const std::string &op)
{
    return tlv(0x30, integer(0x02, id) + op);
}

std::string result(unsigned char tag, int code, const std::string &matched, const std::string &diag)
{
    return tlv(tag, integer(0x0a, code) + octets(matched) + octets(diag));
}

std::string search_entry(const std::string &dn,
                         const std::vector<std::pair<std::string, std::vector<std::string>>> &attrs)
{
    std::string list;
    for (const auto &a : attrs) {
        std::string values;
        for (const auto &v : a.second)
            values += octets(v);
        list += tlv(0x30, octets(a.first) + tlv(0x31, values));
    }
    return tlv(0x64, octets(dn) + tlv(0x30, list));
}

std::string search_reference(const std::vector<std::string> &urls)
{
    std::string content;
    for (const auto &u : urls)
        content += octets(u);
    return tlv(0x73, content);
}

int message_id(const std::string &m)
{
    long size = message_size(m);
    if (size <= 0 || m.empty() || static_cast<unsigned char>(m[0]) != 0x30)
        return -1;
    size_t at = 2;
    auto len0 = static_cast<unsigned char>(m[1]);
    if (len0 & 0x80)
        at += len0 & 0x7f;
    if (at + 2 > m.size() || m[at] != 0x02)
        return -1;
    size_t n = static_cast<unsigned char>(m[at + 1]);
    if (n == 0 || n > 4 || at + 2 + n > m.size())
        return -1;
    long id = 0;
    for (size_t i = 0; i < n; ++i)
        id = id << 8 | static_cast<unsigned char>(m[at + 2 + i]);
    return int(id);
}

}  // namespace ldap

}  // namespace vextest
