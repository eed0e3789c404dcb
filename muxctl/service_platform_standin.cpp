// A stand-in for the Windows service control manager and registry, kept in
// files under $MUXCTL_STANDIN_DIR (default /tmp/muxctl-standin), so the tool's
// logic runs and is tested on Linux. It answers with the Windows error codes
// the tool's messages depend on, and mirrors the Windows behaviour the tool
// meets: names are case-blind, creating a service writes its registry key,
// deleting a service removes that key with its subkeys, a key with subkeys
// cannot be deleted on its own, and starting needs the program file.
//
//   services/<name>          one service: key=value lines (values %-escaped)
//   registry/<key>/...       one directory per key (lower case)
//   registry/<key>/@<value>  one value: 4-byte little-endian type, then data
//   fail                     optional: "<operation> <code>" lines make that
//                            operation fail with that code (for tests of the
//                            failure paths Windows gives no easy way to cause)
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

#include "service_platform.h"

namespace fs = std::filesystem;

namespace muxctl {

namespace {

thread_local uint32_t last_error = 0;

constexpr uint32_t sc_manager_create_service = 0x0002;
constexpr uint32_t service_start_right = 0x0010;
constexpr uint32_t service_stop_right = 0x0020;
constexpr uint32_t delete_right = 0x10000;
constexpr uint32_t key_set_value = 0x0002;
constexpr uint32_t reg_sz = 1;
constexpr uint32_t reg_expand_sz = 2;
constexpr uint32_t reg_dword = 4;
constexpr uint32_t service_stopped = 1;
constexpr uint32_t service_running = 4;
constexpr uint32_t service_disabled = 4;

fs::path root()
{
    const char *dir = std::getenv("MUXCTL_STANDIN_DIR");
    return fs::path(dir && *dir ? dir : "/tmp/muxctl-standin");
}

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A registry path "A\B\C" as the directory registry/a/b/c.
fs::path key_dir(const std::string &path)
{
    fs::path dir = root() / "registry";
    std::string part;
    std::istringstream in(path);
    while (std::getline(in, part, '\\'))
        if (!part.empty())
            dir /= lower(part);
    return dir;
}

// A failure the test asked for through the "fail" file, or 0.
uint32_t injected_failure(const char *operation)
{
    std::ifstream in(root() / "fail");
    std::string op;
    uint32_t code;
    while (in >> op >> code)
        if (op == operation)
            return code;
    return 0;
}

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '%' || c == '\n' || c == '\r') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

using record = std::map<std::string, std::string>;

// A number field of a service record; a damaged field reads as 0.
uint32_t number(const record &r, const char *field)
{
    auto it = r.find(field);
    return it == r.end() ? 0 : static_cast<uint32_t>(std::strtoul(it->second.c_str(), nullptr, 10));
}

fs::path service_file(const std::string &name) { return root() / "services" / lower(name); }

bool load_service(const std::string &name, record &out)
{
    std::ifstream in(service_file(name));
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            out[line.substr(0, eq)] = unescape(line.substr(eq + 1));
    }
    return true;
}

bool save_service(const std::string &name, const record &r)
{
    std::error_code ec;
    fs::create_directories(root() / "services", ec);
    std::ofstream out(service_file(name), std::ios::trunc);
    for (const auto &[k, v] : r)
        out << k << '=' << escape(v) << '\n';
    return static_cast<bool>(out);
}

bool write_value(const fs::path &dir, const std::string &name, uint32_t type, const void *data, size_t size)
{
    std::ofstream out(dir / ("@" + lower(name)), std::ios::binary | std::ios::trunc);
    unsigned char head[4] = {static_cast<unsigned char>(type), static_cast<unsigned char>(type >> 8),
                             static_cast<unsigned char>(type >> 16), static_cast<unsigned char>(type >> 24)};
    out.write(reinterpret_cast<const char *>(head), 4);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

// The program a Windows path names, read the way Wine maps drive Z: onto "/".
fs::path program_file(const std::string &windows_path)
{
    if (windows_path.size() < 3 || (windows_path[0] != 'Z' && windows_path[0] != 'z') || windows_path[1] != ':')
        return {};
    std::string unix_path = windows_path.substr(2);
    for (char &c : unix_path)
        if (c == '\\')
            c = '/';
    return unix_path;
}

struct handle {
    bool manager;
    std::string name;  // service handles only
    uint32_t access;
};

struct key {
    fs::path dir;
    uint32_t access;
};

svc_handle fail_with(uint32_t code)
{
    last_error = code;
    return nullptr;
}

bool fail_bool(uint32_t code)
{
    last_error = code;
    return false;
}

const char *message_text(uint32_t code)
{
    switch (code) {
    case 2: return "The system cannot find the file specified.\r\n";
    case 3: return "The system cannot find the path specified.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 8: return "Not enough memory resources are available to process this command.\r\n";
    case 87: return "The parameter is incorrect.\r\n";
    case 122: return "The data area passed to a system call is too small.\r\n";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.\r\n";
    case 234: return "More data is available.\r\n";
    case 1056: return "An instance of the service is already running.\r\n";
    case 1058:
        return "The service cannot be started, either because it is disabled or because it has no enabled "
               "devices associated with it.\r\n";
    case 1060: return "The specified service does not exist as an installed service.\r\n";
    case 1062: return "The service has not been started.\r\n";
    case 1072: return "The specified service has been marked for deletion.\r\n";
    case 1073: return "The specified service already exists.\r\n";
    case 1078: return "The name is already in use as either a service name or a service display name.\r\n";
    default: return nullptr;
    }
}

}  // namespace

svc_handle scm_open_manager(uint32_t access)
{
    if (uint32_t code = injected_failure("OpenSCManager"))
        return fail_with(code);
    std::error_code ec;
    fs::create_directories(root() / "services", ec);
    fs::create_directories(root() / "registry", ec);
    if (ec)
        return fail_with(win::error_access_denied);
    return new handle{true, {}, access};
}

svc_handle scm_create_service(svc_handle manager, const char *name, const char *display_name,
                              uint32_t access, uint32_t service_type, uint32_t start_type,
                              uint32_t error_control, const char *program_path)
{
    auto *m = static_cast<handle *>(manager);
    if (!m || !m->manager)
        return fail_with(6);
    if (!(m->access & sc_manager_create_service))
        return fail_with(win::error_access_denied);
    if (uint32_t code = injected_failure("CreateService"))
        return fail_with(code);
    std::string sname = name ? name : "";
    if (sname.empty() || sname.size() > 256 || sname.find_first_of("/\\") != std::string::npos)
        return fail_with(win::error_invalid_name);
    if (!program_path || !*program_path)
        return fail_with(win::error_invalid_parameter);
    record existing;
    if (load_service(sname, existing))
        return fail_with(win::error_service_exists);
    std::string display = display_name && *display_name ? display_name : sname;
    // Windows refuses a display name that another service already uses.
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(root() / "services", ec)) {
        record other;
        if (load_service(entry.path().filename().string(), other) && lower(other["display"]) == lower(display))
            return fail_with(win::error_duplicate_service_name);
    }
    record r{{"name", sname},
             {"display", display},
             {"type", std::to_string(service_type)},
             {"start", std::to_string(start_type)},
             {"error", std::to_string(error_control)},
             {"path", program_path},
             {"state", std::to_string(service_stopped)}};
    if (!save_service(sname, r))
        return fail_with(win::error_access_denied);
    // As the real manager does, the service's registry key holds its settings.
    fs::path dir = key_dir(std::string("SYSTEM\\CurrentControlSet\\Services\\") + sname);
    fs::create_directories(dir, ec);
    write_value(dir, "DisplayName", reg_sz, display.c_str(), display.size() + 1);
    write_value(dir, "ImagePath", reg_expand_sz, program_path, std::strlen(program_path) + 1);
    write_value(dir, "Start", reg_dword, &start_type, 4);
    write_value(dir, "Type", reg_dword, &service_type, 4);
    write_value(dir, "ErrorControl", reg_dword, &error_control, 4);
    return new handle{false, sname, access};
}

svc_handle scm_open_service(svc_handle manager, const char *name, uint32_t access)
{
    auto *m = static_cast<handle *>(manager);
    if (!m || !m->manager)
        return fail_with(6);
    record r;
    if (!name || !load_service(name, r))
        return fail_with(win::error_service_does_not_exist);
    return new handle{false, r["name"], access};
}

bool scm_delete_service(svc_handle service)
{
    auto *h = static_cast<handle *>(service);
    if (!h || h->manager)
        return fail_bool(6);
    if (!(h->access & delete_right))
        return fail_bool(win::error_access_denied);
    std::error_code ec;
    if (!fs::remove(service_file(h->name), ec))
        return fail_bool(win::error_service_marked_for_delete);
    fs::remove_all(key_dir(std::string("SYSTEM\\CurrentControlSet\\Services\\") + h->name), ec);
    return true;
}

bool scm_start_service(svc_handle service)
{
    auto *h = static_cast<handle *>(service);
    if (!h || h->manager)
        return fail_bool(6);
    if (!(h->access & service_start_right))
        return fail_bool(win::error_access_denied);
    record r;
    if (!load_service(h->name, r))
        return fail_bool(win::error_service_marked_for_delete);
    if (number(r, "start") == service_disabled)
        return fail_bool(win::error_service_disabled);
    if (number(r, "state") == service_running)
        return fail_bool(win::error_service_already_running);
    fs::path program = program_file(r["path"]);
    std::error_code ec;
    if (program.empty() || !fs::is_regular_file(program, ec))
        return fail_bool(win::error_file_not_found);
    r["state"] = std::to_string(service_running);
    return save_service(h->name, r) || fail_bool(win::error_access_denied);
}

bool scm_control_service(svc_handle service, uint32_t control)
{
    auto *h = static_cast<handle *>(service);
    if (!h || h->manager)
        return fail_bool(6);
    if (control != win::service_control_stop)
        return fail_bool(win::error_invalid_parameter);
    if (!(h->access & service_stop_right))
        return fail_bool(win::error_access_denied);
    record r;
    if (!load_service(h->name, r))
        return fail_bool(win::error_service_marked_for_delete);
    if (number(r, "state") != service_running)
        return fail_bool(win::error_service_not_active);
    r["state"] = std::to_string(service_stopped);
    return save_service(h->name, r) || fail_bool(win::error_access_denied);
}

void scm_close(svc_handle h) { delete static_cast<handle *>(h); }

namespace {
// The stand-in's configuration block: this record, then its texts.
struct standin_config {
    uint32_t service_type;
    uint32_t start_type;
    uint32_t error_control;
    char *program_path;
    char *display_name;
};
}  // namespace

bool scm_query_config(svc_handle service, void *block, uint32_t size, uint32_t *needed)
{
    auto *h = static_cast<handle *>(service);
    if (!h || h->manager)
        return fail_bool(6);
    if (!(h->access & win::service_query_config))
        return fail_bool(win::error_access_denied);
    if (uint32_t code = injected_failure("QueryServiceConfig"))
        return fail_bool(code);
    record r;
    if (!load_service(h->name, r))
        return fail_bool(win::error_service_marked_for_delete);
    const std::string &path = r["path"], &display = r["display"];
    uint32_t need = static_cast<uint32_t>(sizeof(standin_config) + path.size() + 1 + display.size() + 1);
    *needed = need;
    if (!block || size < need)
        return fail_bool(win::error_insufficient_buffer);
    auto *config = static_cast<standin_config *>(block);
    char *text = reinterpret_cast<char *>(config + 1);
    config->service_type = number(r, "type");
    config->start_type = number(r, "start");
    config->error_control = number(r, "error");
    config->program_path = text;
    std::memcpy(text, path.c_str(), path.size() + 1);
    text += path.size() + 1;
    config->display_name = text;
    std::memcpy(text, display.c_str(), display.size() + 1);
    return true;
}

scm_config_fields scm_config_read(const void *block)
{
    auto *config = static_cast<const standin_config *>(block);
    return {config->start_type, config->program_path, config->display_name};
}

void *sys_alloc_zeroed(std::size_t size)
{
    void *p = std::calloc(1, size ? size : 1);
    if (!p)
        last_error = win::error_not_enough_memory;
    return p;
}

void sys_free(void *block) { std::free(block); }

uint32_t sys_last_error() { return last_error; }

bool sys_format_message(uint32_t code, char *buffer, std::size_t size)
{
    const char *text = message_text(code);
    if (!text || size == 0)
        return false;
    std::size_t n = std::strlen(text);
    if (n >= size)
        return fail_bool(win::error_insufficient_buffer);
    std::memcpy(buffer, text, n + 1);
    return true;
}

std::size_t sys_module_file_name(char *buffer, std::size_t size)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || size == 0) {
        last_error = win::error_file_not_found;
        return 0;
    }
    // Seen from Windows (as under Wine) the Linux root is drive Z:.
    std::string windows_path = "Z:" + std::string(path, static_cast<size_t>(n));
    for (char &c : windows_path)
        if (c == '/')
            c = '\\';
    std::size_t stored = windows_path.size() < size ? windows_path.size() : size - 1;
    std::memcpy(buffer, windows_path.data(), stored);
    buffer[stored] = '\0';
    return stored;
}

long reg_create_key(const char *path, reg_key *out)
{
    *out = nullptr;
    if (uint32_t code = injected_failure("RegCreateKeyEx"))
        return static_cast<long>(code);
    std::error_code ec;
    fs::path dir = key_dir(path);
    fs::create_directories(dir, ec);
    if (ec)
        return win::error_access_denied;
    *out = new key{dir, win::key_all_access};
    return 0;
}

long reg_open_key(const char *path, uint32_t access, reg_key *out)
{
    *out = nullptr;
    std::error_code ec;
    fs::path dir = key_dir(path);
    if (!fs::is_directory(dir, ec))
        return win::error_file_not_found;
    *out = new key{dir, access};
    return 0;
}

long reg_set_string(reg_key k, const char *name, const char *text)
{
    auto *kk = static_cast<key *>(k);
    if (!kk)
        return 6;
    if (!(kk->access & key_set_value))
        return win::error_access_denied;
    if (uint32_t code = injected_failure("RegSetValueEx"))
        return static_cast<long>(code);
    return write_value(kk->dir, name, reg_sz, text, std::strlen(text) + 1) ? 0 : win::error_access_denied;
}

long reg_query_value(reg_key k, const char *name, void *data, uint32_t *size)
{
    auto *kk = static_cast<key *>(k);
    if (!kk)
        return 6;
    std::ifstream in(kk->dir / ("@" + lower(name)), std::ios::binary);
    if (!in)
        return win::error_file_not_found;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 4)
        return win::error_file_not_found;
    uint32_t length = static_cast<uint32_t>(bytes.size() - 4);
    if (!data) {
        *size = length;
        return 0;
    }
    if (*size < length) {
        *size = length;
        return win::error_more_data;
    }
    std::memcpy(data, bytes.data() + 4, length);
    *size = length;
    return 0;
}

long reg_delete_key(reg_key parent, const char *subkey)
{
    auto *kk = static_cast<key *>(parent);
    if (!kk)
        return 6;
    fs::path dir = kk->dir / lower(subkey);
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return win::error_file_not_found;
    // Like RegDeleteKeyA: a key that still has subkeys stays.
    for (const auto &entry : fs::directory_iterator(dir, ec))
        if (entry.is_directory())
            return win::error_access_denied;
    fs::remove_all(dir, ec);
    return ec ? win::error_access_denied : 0;
}

void reg_close(reg_key k) { delete static_cast<key *>(k); }

}  // namespace muxctl
