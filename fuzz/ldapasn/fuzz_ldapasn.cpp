// Reader walk over arbitrary bytes: every element the reader accepts is
// entered or stepped over until the buffer ends or the reader refuses.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so that reading one byte too far is caught.
    std::vector<unsigned char> buf(data, data + size);
    ldapasn_ctx ctx;
    ldapasn_init(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    int err = ldapasn_fuzz::walk(ctx, buf.data(), buf.size(), 0);
    // A failure leaves a code and its text; success reaches the end.
    if (err)
        ldapasn_fuzz::check(ctx.errmsg != nullptr && err >= -4 && err <= -1);
    return 0;
}
