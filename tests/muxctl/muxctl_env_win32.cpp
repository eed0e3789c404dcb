#include <windows.h>

#include <string>

#include "muxctl_env.h"
#include "process.h"

namespace muxtest {

namespace {
std::string fresh_dir(const char *stem)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    for (unsigned n = GetTickCount();; ++n) {
        std::string dir = std::string(temp) + stem + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n);
        if (CreateDirectoryA(dir.c_str(), nullptr))
            return dir;
    }
}
}  // namespace

std::string muxctl_program() { return vextest::own_directory() + "\\muxctl.exe"; }

std::string windows_directory_of(const std::string &program) { return program.substr(0, program.find_last_of('\\')); }

// The real service manager is shared: each test starts and ends with the
// service removed instead.
void begin_private_state() {}
void end_private_state() {}

std::string muxctl_copy(bool with_service_program)
{
    std::string dir = fresh_dir("muxctl-copy-");
    std::string copy = dir + "\\muxctl.exe";
    CopyFileA(muxctl_program().c_str(), copy.c_str(), FALSE);
    if (with_service_program)
        CopyFileA((vextest::own_directory() + "\\fake_multiplexor.exe").c_str(), (dir + "\\multiplexor.exe").c_str(),
                  FALSE);
    return copy;
}

bool wait_until_service_runs(const std::string &program)
{
    // The service program writes this file once it has told the manager it
    // runs; taking it away makes the next start write a new one.
    std::string marker = windows_directory_of(program) + "\\running";
    for (int i = 0; i < 1000; ++i) {
        if (DeleteFileA(marker.c_str()))
            return true;
        Sleep(10);
    }
    return false;
}

bool registry_key_exists(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool fail_registry_writes(unsigned) { return false; }

}  // namespace muxtest
