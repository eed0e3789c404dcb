// The service control manager, the registry and the few process facts muxctl
// needs, behind one small interface. service_platform_win32.cpp maps it onto
// the Win32 calls one to one; service_platform_standin.cpp keeps services and
// registry keys in files so the same logic runs and is tested on Linux.
//
// Every call keeps the Win32 contract it stands for: handles are null on
// failure with the reason in sys_last_error(); registry calls return 0 or a
// Windows error code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace muxctl {

// The Windows numbers the tool depends on (named apart from <windows.h>'s macros).
namespace win {
inline constexpr uint32_t sc_manager_all_access = 0xF003F;
inline constexpr uint32_t generic_read = 0x80000000;
inline constexpr uint32_t service_all_access = 0xF01FF;
inline constexpr uint32_t service_query_config = 0x0001;
inline constexpr uint32_t service_win32_own_process = 0x10;
inline constexpr uint32_t service_auto_start = 2;
inline constexpr uint32_t service_demand_start = 3;
inline constexpr uint32_t service_error_normal = 1;
inline constexpr uint32_t service_control_stop = 1;
inline constexpr uint32_t key_read = 0x20019;
inline constexpr uint32_t key_all_access = 0xF003F;

inline constexpr uint32_t error_file_not_found = 2;
inline constexpr uint32_t error_access_denied = 5;
inline constexpr uint32_t error_not_enough_memory = 8;
inline constexpr uint32_t error_invalid_parameter = 87;
inline constexpr uint32_t error_insufficient_buffer = 122;
inline constexpr uint32_t error_invalid_name = 123;
inline constexpr uint32_t error_more_data = 234;
inline constexpr uint32_t error_service_already_running = 1056;
inline constexpr uint32_t error_service_disabled = 1058;
inline constexpr uint32_t error_service_does_not_exist = 1060;
inline constexpr uint32_t error_service_not_active = 1062;
inline constexpr uint32_t error_service_marked_for_delete = 1072;
inline constexpr uint32_t error_service_exists = 1073;
inline constexpr uint32_t error_duplicate_service_name = 1078;
}  // namespace win

using svc_handle = void *;
using reg_key = void *;

// Service control manager (OpenSCManagerA on the local machine's active database).
svc_handle scm_open_manager(uint32_t access);
svc_handle scm_create_service(svc_handle manager, const char *name, const char *display_name,
                              uint32_t access, uint32_t service_type, uint32_t start_type,
                              uint32_t error_control, const char *program_path);
svc_handle scm_open_service(svc_handle manager, const char *name, uint32_t access);
bool scm_delete_service(svc_handle service);
bool scm_start_service(svc_handle service);  // no start arguments
bool scm_control_service(svc_handle service, uint32_t control);
void scm_close(svc_handle handle);

// QueryServiceConfigA: with a block too small (or none) it fails with
// error_insufficient_buffer and stores the size it needs in *needed.
bool scm_query_config(svc_handle service, void *block, uint32_t size, uint32_t *needed);
struct scm_config_fields {
    uint32_t start_type;
    const char *program_path;
    const char *display_name;
};
scm_config_fields scm_config_read(const void *block);

// LocalAlloc(LPTR) / LocalFree: zero-filled blocks for the configuration.
void *sys_alloc_zeroed(std::size_t size);
void sys_free(void *block);

uint32_t sys_last_error();

// The system's message text for `code` (FormatMessageA, system table, no
// inserts, language 0) into buffer; false when the system has none.
bool sys_format_message(uint32_t code, char *buffer, std::size_t size);

// GetModuleFileNameA for the running program: the count of characters stored
// (cut to size - 1 and terminated), 0 on failure.
std::size_t sys_module_file_name(char *buffer, std::size_t size);

// Registry keys under HKEY_LOCAL_MACHINE.
long reg_create_key(const char *path, reg_key *out);  // KEY_ALL_ACCESS, non-volatile
long reg_open_key(const char *path, uint32_t access, reg_key *out);
long reg_set_string(reg_key key, const char *name, const char *text);  // REG_SZ, NUL counted
long reg_query_value(reg_key key, const char *name, void *data, uint32_t *size);
long reg_delete_key(reg_key parent, const char *subkey);
void reg_close(reg_key key);

}  // namespace muxctl
