// b64_encode / b64_decode against OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock
// on 1 KB and 1 MB of binary data. Each round times ours and the peer back to
// back (alternating which goes first), and the ratio is taken per size from
// the best round of each, so drift on the machine hits both alike. The
// Google Benchmark cases below give the usual per-call figures as well.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vexcore/b64.h"

namespace {

struct Data {
    std::vector<unsigned char> plain;
    std::vector<char> text;
    std::vector<unsigned char> out;
    explicit Data(size_t n) : plain(n), text(n / 3 * 4 + 8), out(n + 8)
    {
        std::mt19937 rng(42);
        for (auto &b : plain)
            b = static_cast<unsigned char>(rng());
        int len = 0;
        b64_encode(plain.data(), static_cast<int>(n), text.data(), text.size(), &len);
        text.resize(static_cast<size_t>(len) + 1);
    }
    int text_len() const { return static_cast<int>(text.size() - 1); }
};

void ours_encode(Data &d)
{
    int len;
    b64_encode(d.plain.data(), static_cast<int>(d.plain.size()), d.text.data(), d.text.size(), &len);
    benchmark::DoNotOptimize(len);
}
void peer_encode(Data &d)
{
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(d.text.data()), d.plain.data(),
                              static_cast<int>(d.plain.size()));
    benchmark::DoNotOptimize(len);
}
void ours_decode(Data &d)
{
    int len;
    b64_decode(d.text.data(), d.text_len(), d.out.data(), static_cast<int>(d.out.size()), &len);
    benchmark::DoNotOptimize(len);
}
void peer_decode(Data &d)
{
    int len = EVP_DecodeBlock(d.out.data(), reinterpret_cast<const unsigned char *>(d.text.data()), d.text_len());
    benchmark::DoNotOptimize(len);
}

using Fn = void (*)(Data &);

template <Fn F>
void BM(benchmark::State &state)
{
    Data d(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        F(d);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM<ours_encode>)->Name("encode/ours")->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM<peer_encode>)->Name("encode/openssl")->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM<ours_decode>)->Name("decode/ours")->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM<peer_decode>)->Name("decode/openssl")->Arg(1024)->Arg(1 << 20);

double seconds_for(Fn f, Data &d, int calls)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        f(d);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best-of-rounds time per call of ours and the peer, measured interleaved.
double ratio(Fn ours, Fn peer, size_t size)
{
    Data d(size);
    const int calls = size < 4096 ? 20000 : 20;
    double best_ours = 1e9, best_peer = 1e9;
    for (int round = 0; round < 30; ++round) {
        if (round % 2) {
            best_ours = std::min(best_ours, seconds_for(ours, d, calls));
            best_peer = std::min(best_peer, seconds_for(peer, d, calls));
        } else {
            best_peer = std::min(best_peer, seconds_for(peer, d, calls));
            best_ours = std::min(best_ours, seconds_for(ours, d, calls));
        }
    }
    // Throughput of ours over the peer's: above 1 means ours is faster.
    return best_peer / best_ours;
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nratio (OpenSSL time / ours; goal encode >= 1.00, decode >= 1.25):\n");
    for (size_t size : {size_t{1024}, size_t{1} << 20}) {
        const char *label = size == 1024 ? "1 KB" : "1 MB";
        std::printf("  encode %s: %.2fx\n", label, ratio(ours_encode, peer_encode, size));
        std::printf("  decode %s: %.2fx\n", label, ratio(ours_decode, peer_decode, size));
    }
    return 0;
}
