// The formatter with fuzzed filter, attribute-list and URL texts. Whatever
// it accepts must be a well-formed request that the reader walks to the end,
// written exactly to the reported length and only into a buffer that fits.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Fields separated by NUL bytes: filter, attribute list, URL, base DN.
    std::string fields[4];
    int f = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++f == 4)
                break;
            continue;
        }
        fields[f].push_back(static_cast<char>(data[i]));
    }
    size_t need = 0;
    int rc = ldapasn_format(nullptr, 0, &need, "(d[seeddbfa])", 7, 0x63, fields[3].c_str(), 2, 0, 0, 0, 0,
                            fields[0].c_str(), fields[1].c_str());
    ldapasn_fuzz::check(rc == -1);
    if (need == 0)
        return 0;
    // One byte short must fail without writing; exact must succeed.
    std::vector<unsigned char> out(need + 16, 0xA5);
    size_t len = 0;
    rc = ldapasn_format(out.data(), need - 1, &len, "(d[seeddbfa])", 7, 0x63, fields[3].c_str(), 2, 0, 0, 0, 0,
                        fields[0].c_str(), fields[1].c_str());
    ldapasn_fuzz::check(rc == -1 && len == need);
    for (unsigned char b : out)
        ldapasn_fuzz::check(b == 0xA5);
    std::vector<unsigned char> exact(need);
    rc = ldapasn_format(exact.data(), exact.size(), &len, "(d[seeddbfa])", 7, 0x63, fields[3].c_str(), 2, 0, 0, 0, 0,
                        fields[0].c_str(), fields[1].c_str());
    ldapasn_fuzz::check(rc == 0 && len == need);
    ldapasn_ctx ctx;
    ldapasn_init(&ctx, exact.data(), static_cast<uint32_t>(exact.size()));
    int err = ldapasn_fuzz::walk(ctx, exact.data(), exact.size(), 0);
    ldapasn_fuzz::check(err == 0 && ctx.level == 0 && ctx.remain[0] == 0);

    // The URL component and the attribute list on their own.
    unsigned char small[4096];
    rc = ldapasn_format(small, sizeof small, &len, "(ua)", fields[2].c_str(), fields[2].c_str());
    if (rc == 0) {
        ldapasn_init(&ctx, small, static_cast<uint32_t>(len));
        err = ldapasn_fuzz::walk(ctx, small, len, 0);
        ldapasn_fuzz::check(err == 0 && ctx.remain[0] == 0);
    }
    return 0;
}
