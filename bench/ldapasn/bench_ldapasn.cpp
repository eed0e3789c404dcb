// Walking a stream of 10,000 SearchResultEntry messages (10 attributes of 1
// to 3 values each): our reader against liblber's ber_scanf over the same
// bytes, each handing out the DN, attribute names and values a caller gets.
// liblber is measured twice: reading in place ("m", as fast as it goes) and
// into allocated value arrays ("W", as libldap's value accessors do).
#include <benchmark/benchmark.h>

#include <lber.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "vexcore/ldapasn.h"

namespace {

constexpr int kMessages = 10000;
constexpr int kAttributes = 10;

struct Stream {
    std::vector<unsigned char> bytes;
    std::vector<std::pair<size_t, size_t>> messages;  // offset, length
};

const Stream &stream()
{
    static const Stream s = [] {
        Stream st;
        static const char *const names[kAttributes] = {"objectClass", "cn", "sn", "givenName", "mail",
                                                       "uid", "telephoneNumber", "title", "l", "description"};
        std::mt19937 rng(5);
        std::vector<std::string> texts;
        for (int m = 0; m < kMessages; ++m) {
            std::string dn = "uid=user" + std::to_string(m) + ",ou=people,o=vex,c=us";
            // Values of 4 to 60 bytes; the texts live while the message is formatted.
            std::vector<std::vector<std::string>> values(kAttributes);
            std::vector<std::vector<const char *>> ptrs(kAttributes);
            std::vector<ldapasn_mod> mods;
            for (int a = 0; a < kAttributes; ++a) {
                int n = 1 + static_cast<int>(rng() % 3);
                for (int v = 0; v < n; ++v) {
                    std::string t(4 + rng() % 57, 'a');
                    for (char &c : t)
                        c = static_cast<char>('a' + rng() % 26);
                    values[a].push_back(t);
                }
                for (auto &t : values[a])
                    ptrs[a].push_back(t.c_str());
                ptrs[a].push_back(nullptr);
                mods.push_back({0, names[a], ptrs[a].data(), nullptr});
            }
            mods.push_back({0, nullptr, nullptr, nullptr});
            unsigned char buf[4096];
            size_t len = 0;
            if (ldapasn_format(buf, sizeof buf, &len, "(d[s(M)])", m + 1, 0x64, dn.c_str(), mods.data()) != 0)
                std::abort();
            st.messages.emplace_back(st.bytes.size(), len);
            st.bytes.insert(st.bytes.end(), buf, buf + len);
            // liblber's in-place strings write a terminator behind the value
            // read last; give it a byte of its own.
            st.bytes.push_back(0);
        }
        return st;
    }();
    return s;
}

// What a decoder hands its caller for one entry.
struct Text {
    const char *p;
    size_t n;
};
struct Entry {
    Text dn;
    Text attrs[kAttributes];
    Text values[kAttributes * 3];
    int nattrs, nvalues;
};

bool ours(const unsigned char *p, size_t len, Entry &e)
{
    ldapasn_ctx ctx;
    int err = 0, tag = 0;
    int32_t msgid;
    ldapasn_init(&ctx, p, static_cast<uint32_t>(len));
    ldapasn_result(&ctx, 0x65, &msgid, &tag, nullptr, nullptr, nullptr, &err);
    if (err || tag != 0x64)
        return false;
    const unsigned char *v;
    uint32_t vlen;
    ldapasn_TLV(&ctx, 0x04, nullptr, &vlen, &v, &err);
    e.dn = {reinterpret_cast<const char *>(v), vlen};
    ldapasn_TLV(&ctx, 0x30, nullptr, nullptr, nullptr, &err);
    e.nattrs = e.nvalues = 0;
    while (ldapasn_TLavail(&ctx, &err) && e.nattrs < kAttributes) {
        ldapasn_TLV(&ctx, 0x30, nullptr, nullptr, nullptr, &err);
        ldapasn_TLV(&ctx, 0x04, nullptr, &vlen, &v, &err);
        e.attrs[e.nattrs++] = {reinterpret_cast<const char *>(v), vlen};
        ldapasn_TLV(&ctx, 0x31, nullptr, nullptr, nullptr, &err);
        while (ldapasn_TLavail(&ctx, &err) && e.nvalues < kAttributes * 3) {
            ldapasn_TLV(&ctx, 0x04, nullptr, &vlen, &v, &err);
            e.values[e.nvalues++] = {reinterpret_cast<const char *>(v), vlen};
        }
        ldapasn_uplevel(&ctx, &err);
        ldapasn_uplevel(&ctx, &err);
    }
    return err == 0;
}

// The message head and the DN, as libldap reads them before the attributes.
bool lber_head(BerElement *ber, const unsigned char *p, size_t len, Entry &e)
{
    berval bv{static_cast<ber_len_t>(len), const_cast<char *>(reinterpret_cast<const char *>(p))};
    ber_init2(ber, &bv, 0);
    ber_int_t msgid;
    ber_tag_t tag;
    if (ber_scanf(ber, "{it", &msgid, &tag) == LBER_ERROR || tag != 0x64)
        return false;
    berval dn;
    if (ber_scanf(ber, "{m", &dn) == LBER_ERROR)
        return false;
    e.dn = {dn.bv_val, dn.bv_len};
    e.nattrs = e.nvalues = 0;
    return true;
}

bool lber_in_place(BerElement *ber, const unsigned char *p, size_t len, Entry &e)
{
    if (!lber_head(ber, p, len, e))
        return false;
    ber_len_t alen;
    char *alast;
    for (ber_tag_t t = ber_first_element(ber, &alen, &alast); t != LBER_DEFAULT && e.nattrs < kAttributes;
         t = ber_next_element(ber, &alen, alast)) {
        berval type;
        if (ber_scanf(ber, "{m", &type) == LBER_ERROR)
            return false;
        e.attrs[e.nattrs++] = {type.bv_val, type.bv_len};
        ber_len_t vlen;
        char *vlast;
        for (ber_tag_t vt = ber_first_element(ber, &vlen, &vlast); vt != LBER_DEFAULT && e.nvalues < kAttributes * 3;
             vt = ber_next_element(ber, &vlen, vlast)) {
            berval val;
            if (ber_scanf(ber, "m", &val) == LBER_ERROR)
                return false;
            e.values[e.nvalues++] = {val.bv_val, val.bv_len};
        }
    }
    return true;
}

bool lber_allocating(BerElement *ber, const unsigned char *p, size_t len, Entry &e)
{
    if (!lber_head(ber, p, len, e))
        return false;
    ber_len_t alen;
    char *alast;
    for (ber_tag_t t = ber_first_element(ber, &alen, &alast); t != LBER_DEFAULT && e.nattrs < kAttributes;
         t = ber_next_element(ber, &alen, alast)) {
        berval type;
        BerVarray vals = nullptr;
        if (ber_scanf(ber, "{m[W]}", &type, &vals) == LBER_ERROR)
            return false;
        e.attrs[e.nattrs++] = {type.bv_val, type.bv_len};
        for (BerVarray v = vals; v && v->bv_val && e.nvalues < kAttributes * 3; ++v)
            e.values[e.nvalues++] = {v->bv_val, v->bv_len};
        ber_bvarray_free(vals);
    }
    return true;
}

void BM_ours(benchmark::State &state)
{
    const Stream &s = stream();
    Entry e{};
    for (auto _ : state) {
        size_t values = 0;
        for (const auto &[off, len] : s.messages) {
            if (!ours(s.bytes.data() + off, len, e))
                state.SkipWithError("reader failed");
            values += static_cast<size_t>(e.nvalues);
        }
        benchmark::DoNotOptimize(values);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
}

template <bool (*Decode)(BerElement *, const unsigned char *, size_t, Entry &)>
void BM_lber(benchmark::State &state)
{
    const Stream &s = stream();
    Entry e{};
    BerElement *ber = ber_alloc_t(0);
    // liblber overwrites the byte behind each string it reads in place, so it
    // works on a copy that is restored, untimed, before every pass.
    std::vector<unsigned char> work = s.bytes;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(s.bytes.begin(), s.bytes.end(), work.begin());
        state.ResumeTiming();
        size_t values = 0;
        for (const auto &[off, len] : s.messages) {
            if (!Decode(ber, work.data() + off, len, e))
                state.SkipWithError("liblber failed");
            values += static_cast<size_t>(e.nvalues);
        }
        benchmark::DoNotOptimize(values);
    }
    ber_free(ber, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
}

// Interleaved repetitions, so drift on a shared machine hits both sides.
BENCHMARK(BM_ours)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK_TEMPLATE(BM_lber, lber_in_place)->Name("BM_lber_in_place")->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK_TEMPLATE(BM_lber, lber_allocating)->Name("BM_lber_allocating")->Unit(benchmark::kMillisecond)->Repetitions(5);

// Keeps the median time of each benchmark to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                median_real[r.run_name.function_name] = r.GetAdjustedRealTime();
                median_cpu[r.run_name.function_name] = r.GetAdjustedCPUTime();
            }
    }
    std::map<std::string, double> median_real, median_cpu;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    stream();
    // Both decoders must agree on what they hand out before they are timed.
    {
        const Stream &s = stream();
        std::vector<unsigned char> work = s.bytes;
        BerElement *ber = ber_alloc_t(0);
        for (const auto &[off, len] : s.messages) {
            Entry a{}, b{};
            const unsigned char *base = s.bytes.data();
            if (!ours(base + off, len, a) || !lber_in_place(ber, work.data() + off, len, b) ||
                a.nattrs != kAttributes || a.nattrs != b.nattrs || a.nvalues != b.nvalues ||
                a.dn.p - reinterpret_cast<const char *>(base) != b.dn.p - reinterpret_cast<const char *>(work.data()) ||
                a.dn.n != b.dn.n || a.values[a.nvalues - 1].n != b.values[b.nvalues - 1].n) {
                std::fprintf(stderr, "decoders disagree\n");
                return 1;
            }
        }
        ber_free(ber, 0);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time is the figure to quote on a shared machine: real time also
    // counts the moments another process held the core.
    double o_cpu = reporter.median_cpu["BM_ours"], o_real = reporter.median_real["BM_ours"];
    if (o_cpu > 0 && o_real > 0) {
        std::printf("\n%d SearchResultEntry messages, %zu bytes\n", kMessages, stream().bytes.size());
        for (const char *peer : {"BM_lber_in_place", "BM_lber_allocating"})
            if (reporter.median_cpu.count(peer))
                std::printf("ratio %s / BM_ours (median): %.2fx CPU time, %.2fx real time\n", peer,
                            reporter.median_cpu[peer] / o_cpu, reporter.median_real[peer] / o_real);
    }
    benchmark::Shutdown();
    return 0;
}
