// The operations on one Windows service: install, remove, start, stop and
// query, and the registry values muxctl keeps beside the service. Each opens
// the local service control manager, does its one task, prints one line of
// success or a failure report on standard output, and closes what it opened.
#pragma once

#include <cstdint>

namespace muxctl {

inline constexpr const char *service_name = "kormux";
inline constexpr const char *default_display_name = "Instant Messaging Multiplexor";
inline constexpr const char *service_key = "SYSTEM\\CurrentControlSet\\Services\\kormux";
inline constexpr const char *parameters_key = "SYSTEM\\CurrentControlSet\\Services\\kormux\\Parameters";

// 0 when the service was created, -1 (after reporting why) when not.
int install_service(const char *name, const char *display_name, const char *program_path, uint32_t start_type);

// Each prints its outcome; the result (0 done, -1 failed) only feeds the exit status.
int remove_service(const char *name);
int start_service(const char *name);
int stop_service(const char *name);
int query_service(const char *name);

// Creates or opens key_path under HKEY_LOCAL_MACHINE and stores text as the
// REG_SZ value value_name. 0 or the registry's error code.
long set_registry_string(const char *text, const char *value_name, const char *key_path);

// Reads value_name of key_path into destination (capacity *size in, stored
// length out). 0 or the registry's error code; on failure destination keeps
// what it held.
long get_registry_value(char *destination, uint32_t *size, const char *value_name, const char *key_path);

// Deletes the service's own registry key when it is still there; silent.
void delete_service_key(const char *name);

const char *start_type_name(uint32_t start_type);

}  // namespace muxctl
