#include "service.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "report.h"
#include "service_platform.h"

namespace muxctl {

namespace {

// Failure reports name the service by its display name.
void report_failure(const char *format, const char *display_name, uint32_t code)
{
    char prefix[1024];
    std::snprintf(prefix, sizeof prefix, format, display_name);
    report_error(prefix, code);
}

std::string key_of(const char *name) { return std::string("SYSTEM\\CurrentControlSet\\Services\\") + name; }

// The common shape of start and stop: open, act, report, close.
int control_once(const char *name, bool (*act)(svc_handle), const char *failure_format, const char *success_format)
{
    svc_handle manager = scm_open_manager(win::sc_manager_all_access);
    if (!manager) {
        report_failure(failure_format, default_display_name, sys_last_error());
        return -1;
    }
    svc_handle service = scm_open_service(manager, name, win::service_all_access);
    if (!service) {
        report_failure(failure_format, default_display_name, sys_last_error());
        scm_close(manager);
        return -1;
    }
    int result = 0;
    if (act(service)) {
        std::printf(success_format, default_display_name);
    } else {
        report_failure(failure_format, default_display_name, sys_last_error());
        result = -1;
    }
    scm_close(service);
    scm_close(manager);
    return result;
}

bool ask_start(svc_handle service) { return scm_start_service(service); }
bool ask_stop(svc_handle service) { return scm_control_service(service, win::service_control_stop); }

}  // namespace

const char *start_type_name(uint32_t start_type)
{
    switch (start_type) {
    case 0: return "SERVICE_BOOT_START";
    case 1: return "SERVICE_SYSTEM_START";
    case 2: return "Automatic";
    case 3: return "Manual";
    case 4: return "Disabled";
    default: return "Unknown start type";
    }
}

int install_service(const char *name, const char *display_name, const char *program_path, uint32_t start_type)
{
    svc_handle manager = scm_open_manager(win::sc_manager_all_access);
    if (!manager) {
        report_failure("Failed to install %s service", display_name, sys_last_error());
        return -1;
    }
    svc_handle service = scm_create_service(manager, name, display_name, win::service_all_access,
                                            win::service_win32_own_process, start_type,
                                            win::service_error_normal, program_path);
    if (!service) {
        report_failure("Failed to install %s service", display_name, sys_last_error());
        scm_close(manager);
        return -1;
    }
    std::printf("Installation of %s service successful.\n", display_name);
    scm_close(service);
    scm_close(manager);
    return 0;
}

int remove_service(const char *name)
{
    int result = -1;
    svc_handle manager = scm_open_manager(win::sc_manager_all_access);
    if (!manager) {
        report_failure("Failed to remove %s service", default_display_name, sys_last_error());
    } else {
        svc_handle service = scm_open_service(manager, name, win::service_all_access);
        if (!service) {
            // Nothing was removed, so the registry is left as it is.
            report_failure("Failed to remove %s service", default_display_name, sys_last_error());
            scm_close(manager);
            return -1;
        }
        if (scm_delete_service(service)) {
            std::printf("%s service successfully removed.\n", default_display_name);
            result = 0;
        } else {
            report_failure("Failed to remove %s service", default_display_name, sys_last_error());
        }
        scm_close(service);
        scm_close(manager);
    }
    delete_service_key(name);
    return result;
}

int start_service(const char *name)
{
    return control_once(name, ask_start, "Failed to start %s service", "%s service successfully started.\n");
}

int stop_service(const char *name)
{
    return control_once(name, ask_stop, "Failed to stop %s service", "%s service successfully stopped.\n");
}

int query_service(const char *name)
{
    svc_handle manager = scm_open_manager(win::generic_read);
    if (!manager) {
        report_failure("Failed to query %s service", default_display_name, sys_last_error());
        return -1;
    }
    svc_handle service = scm_open_service(manager, name, win::service_query_config);
    if (!service) {
        uint32_t code = sys_last_error();
        if (code == win::error_service_does_not_exist)
            std::printf("%s service is not installed.\n", default_display_name);
        else
            report_failure("Failed to query %s service", default_display_name, code);
        scm_close(manager);
        return -1;
    }

    uint32_t needed = 0;
    void *block = nullptr;
    bool asked = scm_query_config(service, nullptr, 0, &needed);
    uint32_t code = sys_last_error();
    if (!asked && code == win::error_insufficient_buffer && needed > 0) {
        block = sys_alloc_zeroed(needed);
        asked = block && scm_query_config(service, block, needed, &needed);
        code = sys_last_error();
    }
    if (!asked || !block) {
        report_failure("Failed to query %s service", default_display_name, code);
        sys_free(block);
        scm_close(service);
        scm_close(manager);
        return -1;
    }
    scm_config_fields config = scm_config_read(block);
    std::string key = key_of(name);
    std::string parameters = key + "\\Parameters";

    char display[256] = "";
    uint32_t size = sizeof display;
    get_registry_value(display, &size, "DisplayName", key.c_str());
    if (display[0] == '\0')
        std::snprintf(display, sizeof display, "%s", default_display_name);
    std::printf("%s service is installed.\n", display);
    std::printf("Display name       : %s\n", config.display_name ? config.display_name : "");
    std::printf("Start Type         : %s\n", start_type_name(config.start_type));
    std::printf("Binary location    : %s\n", config.program_path ? config.program_path : "");

    char config_file[1024] = "";
    char description[1024] = "";
    size = sizeof config_file;
    get_registry_value(config_file, &size, "ConfigFile", parameters.c_str());
    size = sizeof description;
    get_registry_value(description, &size, "Description", key.c_str());
    if (config_file[0] != '\0')
        std::printf("Configuration File : %s\n", config_file);
    if (description[0] != '\0')
        std::printf("Description        : %s\n", description);

    sys_free(block);
    scm_close(service);
    scm_close(manager);
    return 0;
}

long set_registry_string(const char *text, const char *value_name, const char *key_path)
{
    reg_key key = nullptr;
    long rc = reg_create_key(key_path, &key);
    if (rc != 0)
        return rc;
    rc = reg_set_string(key, value_name, text);
    reg_close(key);
    return rc;
}

long get_registry_value(char *destination, uint32_t *size, const char *value_name, const char *key_path)
{
    reg_key key = nullptr;
    long rc = reg_open_key(key_path, win::key_read, &key);
    if (rc != 0)
        return rc;
    // Read aside, so a failed or unterminated read never leaves half a text behind.
    std::string buffer(*size, '\0');
    uint32_t stored = *size;
    rc = reg_query_value(key, value_name, buffer.data(), &stored);
    reg_close(key);
    if (rc != 0)
        return rc;
    if (stored > 0 && buffer[stored - 1] == '\0')
        --stored;
    // A text stored without its terminator that fills the whole storage
    // cannot be terminated without cutting it: treat it as too long.
    if (stored >= *size)
        return win::error_more_data;
    std::memcpy(destination, buffer.data(), stored);
    destination[stored] = '\0';
    *size = stored + 1;
    return 0;
}

void delete_service_key(const char *name)
{
    reg_key key = nullptr;
    if (reg_open_key(key_of(name).c_str(), win::key_read, &key) != 0)
        return;
    reg_close(key);
    reg_key parent = nullptr;
    if (reg_open_key("SYSTEM\\CurrentControlSet\\Services", win::key_all_access, &parent) != 0)
        return;
    reg_delete_key(parent, name);
    reg_close(parent);
}

}  // namespace muxctl
