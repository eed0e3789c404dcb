// The response head reader over arbitrary bytes, with and without the
// operation tag out, then a walk of whatever follows.
#include <cstdint>
#include <vector>

#include "fuzz_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int optags[] = {0x61, 0x65, 0x67, 0x69, 0x6B, 0x64, 0x73, 0x00};
    int optag = optags[data[0] & 7];
    bool want_tag = data[0] & 8;
    std::vector<unsigned char> buf(data + 1, data + size);
    ldapasn_ctx ctx;
    ldapasn_init(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    int err = 0, tag = -1;
    int32_t msgid = 0, code = 0;
    uint32_t diaglen = 0;
    const char *diag = nullptr;
    int rc = ldapasn_result(&ctx, optag, &msgid, want_tag ? &tag : nullptr, &code, &diaglen, &diag, &err);
    ldapasn_fuzz::check(rc == err);
    ldapasn_fuzz::check_ctx(ctx, buf.data(), buf.size());
    if (rc == 0 && diag) {
        auto *d = reinterpret_cast<const unsigned char *>(diag);
        ldapasn_fuzz::check(d >= buf.data() && d + diaglen <= buf.data() + buf.size());
    }
    ldapasn_fuzz::walk(ctx, buf.data(), buf.size(), err);
    return 0;
}
