#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "muxctl_env.h"
#include "process.h"

namespace fs = std::filesystem;

namespace muxtest {

namespace {
fs::path state_dir;

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

fs::path fresh_dir(const char *stem)
{
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "XXXXXX")).string();
    char *made = mkdtemp(pattern.data());
    return made ? fs::path(made) : fs::path();
}
}  // namespace

std::string muxctl_program() { return vextest::own_directory() + "/muxctl"; }

std::string windows_directory_of(const std::string &program)
{
    std::string dir = "Z:" + fs::path(program).parent_path().string();
    for (char &c : dir)
        if (c == '/')
            c = '\\';
    return dir;
}

void begin_private_state()
{
    state_dir = fresh_dir("muxctl-state-");
    setenv("MUXCTL_STANDIN_DIR", state_dir.c_str(), 1);
}

void end_private_state()
{
    std::error_code ec;
    fs::remove_all(state_dir, ec);
}

std::string muxctl_copy(bool with_service_program)
{
    fs::path dir = fresh_dir("muxctl-copy-");
    fs::path copy = dir / "muxctl";
    fs::copy_file(muxctl_program(), copy);
    if (with_service_program)
        std::ofstream(dir / "multiplexor.exe") << "stand-in service program\n";
    return copy.string();
}

// The stand-in marks the service running as soon as it is started.
bool wait_until_service_runs(const std::string &) { return true; }

bool registry_key_exists(const std::string &path)
{
    fs::path dir = state_dir / "registry";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            dir /= lower(path.substr(start, end - start));
        start = end + 1;
    }
    return fs::is_directory(dir);
}

bool fail_registry_writes(unsigned code)
{
    std::ofstream(state_dir / "fail") << "RegSetValueEx " << code << "\n";
    return true;
}

}  // namespace muxtest
