// Stand-alone driver for a libFuzzer target in builds without libFuzzer:
// feeds it every file of the given corpus folders, then a fixed number of
// mutations of them from a fixed seed, so a run is repeatable and bounded.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<uint8_t> mutate(const std::vector<uint8_t> &in, std::mt19937 &rng)
{
    std::vector<uint8_t> out = in;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < edits; ++i) {
        switch (rng() % 5) {
        case 0:  // flip a bit
            if (!out.empty())
                out[rng() % out.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        case 1:  // replace a byte with an interesting value
            if (!out.empty()) {
                static const uint8_t interesting[] = {0, 1, 0x7f, 0x80, 0x81, 0x84, 0xff, '(', ')', '%', '\\', '=', '\n'};
                out[rng() % out.size()] = interesting[rng() % sizeof interesting];
            }
            break;
        case 2:  // insert a random byte
            out.insert(out.begin() + static_cast<long>(out.empty() ? 0 : rng() % (out.size() + 1)),
                       static_cast<uint8_t>(rng()));
            break;
        case 3:  // cut the tail
            if (!out.empty())
                out.resize(rng() % out.size());
            break;
        default:  // duplicate a slice
            if (out.size() > 1 && out.size() < 65536) {
                size_t a = rng() % out.size(), b = a + rng() % (out.size() - a);
                std::vector<uint8_t> slice(out.begin() + static_cast<long>(a), out.begin() + static_cast<long>(b));
                out.insert(out.begin() + static_cast<long>(rng() % (out.size() + 1)), slice.begin(), slice.end());
            }
            break;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[i], ec)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream f(entry.path(), std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
    }
    if (corpus.empty())
        corpus.emplace_back();
    for (const auto &input : corpus)
        LLVMFuzzerTestOneInput(input.data(), input.size());
    std::mt19937 rng(20261211);
    const int mutations = 20000;
    for (int i = 0; i < mutations; ++i) {
        auto input = mutate(corpus[rng() % corpus.size()], rng);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replayed %zu corpus inputs and %d mutations\n", corpus.size(), mutations);
    return 0;
}
