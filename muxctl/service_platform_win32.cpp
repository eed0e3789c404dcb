// The real service control manager and registry: each call is the Win32 call
// it is named after.
#include <windows.h>

#include "service_platform.h"

namespace muxctl {

namespace {
SC_HANDLE sc(svc_handle h) { return static_cast<SC_HANDLE>(h); }
HKEY hkey(reg_key k) { return static_cast<HKEY>(k); }
}  // namespace

svc_handle scm_open_manager(uint32_t access)
{
    return OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, access);
}

svc_handle scm_create_service(svc_handle manager, const char *name, const char *display_name,
                              uint32_t access, uint32_t service_type, uint32_t start_type,
                              uint32_t error_control, const char *program_path)
{
    return CreateServiceA(sc(manager), name, display_name, access, service_type, start_type,
                          error_control, program_path, nullptr, nullptr, nullptr, nullptr, nullptr);
}

svc_handle scm_open_service(svc_handle manager, const char *name, uint32_t access)
{
    return OpenServiceA(sc(manager), name, access);
}

bool scm_delete_service(svc_handle service) { return DeleteService(sc(service)) != 0; }

bool scm_start_service(svc_handle service) { return StartServiceA(sc(service), 0, nullptr) != 0; }

bool scm_control_service(svc_handle service, uint32_t control)
{
    SERVICE_STATUS status;
    return ControlService(sc(service), control, &status) != 0;
}

void scm_close(svc_handle handle) { CloseServiceHandle(sc(handle)); }

bool scm_query_config(svc_handle service, void *block, uint32_t size, uint32_t *needed)
{
    DWORD need = 0;
    BOOL ok = QueryServiceConfigA(sc(service), static_cast<LPQUERY_SERVICE_CONFIGA>(block), size, &need);
    *needed = need;
    return ok != 0;
}

scm_config_fields scm_config_read(const void *block)
{
    auto *config = static_cast<const QUERY_SERVICE_CONFIGA *>(block);
    return {config->dwStartType, config->lpBinaryPathName, config->lpDisplayName};
}

void *sys_alloc_zeroed(std::size_t size) { return LocalAlloc(LPTR, size); }

void sys_free(void *block) { LocalFree(block); }

uint32_t sys_last_error() { return GetLastError(); }

bool sys_format_message(uint32_t code, char *buffer, std::size_t size)
{
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buffer, static_cast<DWORD>(size), nullptr);
    return n != 0;
}

std::size_t sys_module_file_name(char *buffer, std::size_t size)
{
    DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // On a cut path Windows XP and later leave the buffer unterminated.
    if (size > 0 && n >= size) {
        n = static_cast<DWORD>(size - 1);
        buffer[n] = '\0';
    }
    return n;
}

long reg_create_key(const char *path, reg_key *out)
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    *out = rc == ERROR_SUCCESS ? key : nullptr;
    return rc;
}

long reg_open_key(const char *path, uint32_t access, reg_key *out)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key);
    *out = rc == ERROR_SUCCESS ? key : nullptr;
    return rc;
}

long reg_set_string(reg_key key, const char *name, const char *text)
{
    return RegSetValueExA(hkey(key), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                          static_cast<DWORD>(lstrlenA(text) + 1));
}

long reg_query_value(reg_key key, const char *name, void *data, uint32_t *size)
{
    DWORD type = 0, n = *size;
    LONG rc = RegQueryValueExA(hkey(key), name, nullptr, &type, static_cast<BYTE *>(data), &n);
    *size = n;
    return rc;
}

long reg_delete_key(reg_key parent, const char *subkey) { return RegDeleteKeyA(hkey(parent), subkey); }

void reg_close(reg_key key) { RegCloseKey(hkey(key)); }

}  // namespace muxctl
