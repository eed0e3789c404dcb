#include "cli.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "report.h"
#include "service.h"
#include "service_platform.h"

namespace muxctl {

namespace {

enum class keyword { none, help, install, remove, start, stop, restart, query, automatic, manual, config, display, description };

struct keyword_forms {
    keyword kind;
    const char *forms[10];
};

// Compared whole and with case, in this order; the first match decides.
constexpr keyword_forms keywords[] = {
    {keyword::help, {"-help", "/help", "help", "/h", "-h", "/H", "-H", "/?", "-?"}},
    {keyword::install, {"-install", "/install", "install"}},
    {keyword::remove, {"-remove", "/remove", "remove"}},
    {keyword::start, {"-start", "/start", "start"}},
    {keyword::stop, {"-stop", "/stop", "stop"}},
    {keyword::restart, {"-restart", "/restart", "restart"}},
    {keyword::query, {"-q", "/q", "-query", "/query", "query"}},
    {keyword::automatic, {"-auto", "/auto"}},
    {keyword::manual, {"-manual", "/manual"}},
    {keyword::config, {"-config", "/config"}},
    {keyword::display, {"-display", "/display"}},
    {keyword::description, {"-description", "/description"}},
};

keyword classify(const char *argument)
{
    for (const auto &k : keywords)
        for (const char *form : k.forms)
            if (form && std::strcmp(form, argument) == 0)
                return k.kind;
    return keyword::none;
}

void print_usage(const char *program)
{
    std::printf("Usage:\n");
    std::printf("  %s /help        Display help\n", program);
    std::printf("  %s /query       Query information about the service\n", program);
    std::printf("  %s /remove      Remove the service\n", program);
    std::printf("  %s /start       Start the service\n", program);
    std::printf("  %s /restart     Restart the service\n", program);
    std::printf("  %s /stop        Stop the service\n", program);
    std::printf("  %s /install     Configures the service\n", program);
    std::printf("          [/display <service display name>]\n");
    std::printf("                       Default is \"Orvanta Instant Messaging Multiplexor\"\n");
    std::printf("          [/manual]    manual startup\n");
    std::printf("          [/auto]      automatic startup (default)\n");
    std::printf("\t\t  [/config]\t   configuration file (default ../config/kor.conf)");
    std::printf("\n");
}

// Copies a setting, cut silently to the room of its storage.
template <std::size_t N>
void set_text(char (&storage)[N], const char *value)
{
    std::snprintf(storage, N, "%s", value);
}

// The directory of the running program with "\multiplexor.exe" appended.
template <std::size_t N>
void compute_program_path(char (&storage)[N])
{
    char module[2048];
    if (sys_module_file_name(module, sizeof module) == 0)
        module[0] = '\0';
    if (char *last = std::strrchr(module, '\\'))
        *last = '\0';
    std::string path = std::string(module) + "\\multiplexor.exe";
    set_text(storage, path.c_str());
}

// Stores one optional registry value; reports a failure and tells whether it worked.
bool store_value(const char *text, const char *value_name, const char *key_path)
{
    long rc = set_registry_string(text, value_name, key_path);
    if (rc == 0)
        return true;
    char prefix[2200];
    std::snprintf(prefix, sizeof prefix, "Could not set %s to %s in registry\n", value_name, text);
    report_error(prefix, static_cast<uint32_t>(rc));
    return false;
}

}  // namespace

int muxctl_main(int argc, char **argv)
{
    if (argc <= 1)
        return 0;

    bool install_requested = false;
    bool automatic_start = true;
    char program_path[2048] = "";
    char display_name[256] = "";
    char config_file[1024] = "";
    char description[1024] = "";

    for (int i = 1; i < argc; ++i) {
        switch (classify(argv[i])) {
        case keyword::help:
            print_usage(argv[0]);
            return 1;
        case keyword::install:
            install_requested = true;
            compute_program_path(program_path);
            break;
        case keyword::remove:
            return remove_service(service_name) == 0 ? 0 : 1;
        case keyword::start:
            return start_service(service_name) == 0 ? 0 : 1;
        case keyword::stop:
            return stop_service(service_name) == 0 ? 0 : 1;
        case keyword::restart:
            // A stop that fails (the service was not running) does not stop the
            // start; the run succeeds when the service was started.
            stop_service(service_name);
            return start_service(service_name) == 0 ? 0 : 1;
        case keyword::query:
            return query_service(service_name) == 0 ? 0 : 1;
        case keyword::automatic:
            automatic_start = true;
            break;
        case keyword::manual:
            automatic_start = false;
            break;
        case keyword::config:
        case keyword::display:
        case keyword::description: {
            if (i + 1 >= argc)
                break;  // a value option without its value does nothing
            keyword kind = classify(argv[i]);
            const char *value = argv[++i];
            if (kind == keyword::config)
                set_text(config_file, value);
            else if (kind == keyword::display)
                set_text(display_name, value);
            else
                set_text(description, value);
            break;
        }
        case keyword::none:
            break;
        }
    }

    if (!install_requested)
        return 0;
    const char *display = display_name[0] ? display_name : default_display_name;
    uint32_t start_type = automatic_start ? win::service_auto_start : win::service_demand_start;
    if (install_service(service_name, display, program_path, start_type) != 0)
        return 1;

    bool stored = true;
    if (config_file[0])
        stored = store_value(config_file, "ConfigFile", parameters_key) && stored;
    if (description[0])
        stored = store_value(description, "Description", service_key) && stored;
    return stored ? 0 : 1;
}

}  // namespace muxctl
