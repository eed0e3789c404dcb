// Writes fuzzed contents to a file and reads it with flags and character sets
// chosen by the first byte; every option of a handle must then be found by
// its name, with a value as long as recorded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "util/optfile_impl.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void quiet(logcx *, int, const char *, va_list) {}

// One scratch file per process, removed when the process ends.
struct Scratch {
    std::string path = "/tmp/fuzz_optfile_" + std::to_string(::getpid());
    ~Scratch() { std::remove(path.c_str()); }
};

const std::string &file_path()
{
    static const Scratch scratch;
    return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    FILE *f = std::fopen(file_path().c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);

    static const char *const comment_sets[] = {nullptr, "!#;[<", "", "a"};
    static const char *const delim_sets[] = {nullptr, "=", ": \t", "\\"};
    logcx log{quiet};
    optfile *of = optfile_read("", file_path().c_str(), &log, comment_sets[(mode >> 3) & 3],
                               delim_sets[(mode >> 5) & 3], mode & 7, nullptr, nullptr);
    if (!of)
        return 0;
    for (const optfile_entry &bucket : of->buckets) {
        for (const optfile_entry *e = &bucket; e && e->name; e = e->next) {
            check(e->name[0] != '\0');
            check(std::strlen(e->value) == e->value_len);
            check(optfile_get(of, e->name, nullptr) == e->value);
            char buf[8];
            size_t len = 0;
            int rc = optfile_copy(of, buf, sizeof buf, &len, e->name, "");
            check(len == (e->value_len < 7 ? e->value_len : 7) && (rc == 0) == (e->value_len <= 7));
            (void)optfile_int(of, e->name, 0);
            (void)optfile_bool(of, e->name, 0);
        }
    }
    optfile_dispose(of);
    return 0;
}
