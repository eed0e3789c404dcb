// Decodes fuzzed text out of place and in place with room chosen by the first
// byte, and checks that both agree and that the bytes encode back to the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vexcore/b64.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    const uint8_t mode = data[0];
    const char *text = reinterpret_cast<const char *>(data + 1);
    const int n = static_cast<int>(size - 1);

    // Room: exact need, a little short, or generous.
    const int need = n / 4 * 3 + 3;
    int room = (mode & 3) == 0 ? need + 1 : (mode & 3) == 1 ? need - (mode >> 2) % 4 : need + 16;
    if (room < 0)
        room = 0;
    std::vector<uint8_t> out(static_cast<size_t>(room));
    int len = -7;
    int rc = b64_decode(text, n, out.data(), room, &len);
    if (rc == 0) {
        check(len >= 0 && len < room && len <= n / 4 * 3 + 2);
        check(out[static_cast<size_t>(len)] == 0);
    } else {
        check(len == -7);
    }

    // In place over a copy that is not terminated past its length.
    std::vector<char> inplace(text, text + n);
    int len2 = -7;
    int rc2 = b64_decode(inplace.data(), n, inplace.data(), -1, &len2);
    if (rc == 0 && rc2 == 0) {
        check(len2 == len && std::memcmp(inplace.data(), out.data(), static_cast<size_t>(len)) == 0);
    }

    // Whatever decoded must encode to the text it came from, up to its pads.
    if (rc == 0) {
        std::vector<char> again(static_cast<size_t>(len) / 3 * 4 + 5);
        int elen = 0;
        check(b64_encode(out.data(), len, again.data(), again.size(), &elen) == 0);
        const int whole = len / 3 * 4;
        check(elen >= whole && std::memcmp(again.data(), text, static_cast<size_t>(whole)) == 0);

        // And in place, over a buffer holding the bytes at its front.
        std::vector<char> grow(static_cast<size_t>(elen) + 1);
        std::memcpy(grow.data(), out.data(), static_cast<size_t>(len));
        int glen = 0;
        check(b64_encode(grow.data(), len, grow.data(), grow.size(), &glen) == 0);
        check(glen == elen && std::memcmp(grow.data(), again.data(), static_cast<size_t>(elen) + 1) == 0);
    }
    return 0;
}
