// The threads layer against glibc's pthreads, interleaved round by round in
// one run (the machine drifts; only ratios from the same run mean anything):
//  - uncontended lock+unlock: p_thread_mutex_t (zero storage, initialised on
//    first use) against a recursive pthread mutex;
//  - two-thread ping-pong round trip over one mutex and condition variable;
//  - signal-to-wake latency, median and p90.
// The summary at the end prints ours / peer for each.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "vexcore/p_thread.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct PeerSync {
    pthread_mutex_t m;
    pthread_cond_t c;
    PeerSync()
    {
        pthread_mutex_init(&m, nullptr);
        pthread_cond_init(&c, nullptr);
    }
    ~PeerSync()
    {
        pthread_cond_destroy(&c);
        pthread_mutex_destroy(&m);
    }
    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    void wait() { pthread_cond_wait(&c, &m); }
    void signal() { pthread_cond_signal(&c); }
};

struct OurSync {
    p_thread_mutex_t m{};
    p_thread_cond_t c{};
    ~OurSync()
    {
        p_thread_cond_destroy(&c);
        p_thread_mutex_destroy(&m);
    }
    void lock() { p_thread_mutex_lock(&m); }
    void unlock() { p_thread_mutex_unlock(&m); }
    void wait() { p_thread_cond_wait(&c, &m); }
    void signal() { p_thread_cond_signal(&c); }
};

// ---- uncontended lock + unlock ----

void mutex_peer(benchmark::State &state)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&attr);
}

void mutex_ours(benchmark::State &state)
{
    static p_thread_mutex_t m;  // zero storage: the lazy check is on every lock
    for (auto _ : state) {
        p_thread_mutex_lock(&m);
        p_thread_mutex_unlock(&m);
    }
}

// ---- ping-pong: one round trip = two hand-offs ----

template <class Sync>
void ping_pong(benchmark::State &state)
{
    Sync s;
    int turn = 0;  // 0: main's move, 1: partner's move, 2: stop
    std::thread partner([&] {
        s.lock();
        for (;;) {
            while (turn == 0)
                s.wait();
            if (turn == 2)
                break;
            turn = 0;
            s.signal();
        }
        s.unlock();
    });
    for (auto _ : state) {
        auto start = clock_type::now();
        s.lock();
        turn = 1;
        s.signal();
        while (turn == 1)
            s.wait();
        s.unlock();
        state.SetIterationTime(std::chrono::duration<double>(clock_type::now() - start).count());
    }
    s.lock();
    turn = 2;
    s.signal();
    s.unlock();
    partner.join();
}

// ---- signal-to-wake latency ----

template <class Sync>
void wake_latency(benchmark::State &state)
{
    constexpr int samples = 4000;
    std::vector<double> us;
    us.reserve(samples);
    for (auto _ : state) {
        Sync s;
        bool waiting = false;
        int seq = 0;
        clock_type::time_point signalled;
        std::thread waiter([&] {
            s.lock();
            for (int seen = 0; seen < samples; ++seen) {
                waiting = true;
                while (seq == seen)
                    s.wait();
                auto woke = clock_type::now();
                us.push_back(std::chrono::duration<double, std::micro>(woke - signalled).count());
            }
            s.unlock();
        });
        for (int i = 0; i < samples; ++i) {
            s.lock();
            while (!waiting) {
                s.unlock();
                std::this_thread::yield();
                s.lock();
            }
            waiting = false;
            ++seq;
            signalled = clock_type::now();
            s.signal();
            s.unlock();
        }
        waiter.join();
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p90_us"] = us[us.size() * 9 / 10];
}

// Collects every run for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> values;  // "<measure>/<impl>" -> one per round

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            std::string name = run.benchmark_name();
            std::string base = name.substr(0, name.find("/round"));
            if (run.counters.count("median_us")) {
                values[base + " median"].push_back(run.counters.at("median_us"));
                values[base + " p90"].push_back(run.counters.at("p90_us"));
            } else if (base.rfind("mutex", 0) == 0) {
                // Single-threaded: CPU time is steadier than wall time on a shared machine.
                values[base].push_back(run.GetAdjustedCPUTime());
            } else {
                values[base].push_back(run.GetAdjustedRealTime());
            }
        }
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    constexpr int rounds = 5;
    for (int r = 1; r <= rounds; ++r) {
        std::string round = "/round" + std::to_string(r);
        benchmark::RegisterBenchmark(("mutex_lock_unlock/peer" + round).c_str(), mutex_peer);
        benchmark::RegisterBenchmark(("mutex_lock_unlock/ours" + round).c_str(), mutex_ours);
        benchmark::RegisterBenchmark(("cond_ping_pong/peer" + round).c_str(), ping_pong<PeerSync>)->UseManualTime();
        benchmark::RegisterBenchmark(("cond_ping_pong/ours" + round).c_str(), ping_pong<OurSync>)->UseManualTime();
        benchmark::RegisterBenchmark(("cond_wake/peer" + round).c_str(), wake_latency<PeerSync>)->Iterations(1);
        benchmark::RegisterBenchmark(("cond_wake/ours" + round).c_str(), wake_latency<OurSync>)->Iterations(1);
    }
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\nSummary (median of %d interleaved rounds; peer = glibc pthreads)\n", rounds);
    struct Line {
        const char *measure;
        const char *unit;
    };
    const Line lines[] = {
        {"mutex_lock_unlock", "ns"},   {"cond_ping_pong", "ns"},
        {"cond_wake median", "us"},    {"cond_wake p90", "us"},
    };
    for (const Line &l : lines) {
        std::string measure = l.measure;
        std::string kind = measure.substr(0, measure.find(' '));
        std::string stat = measure.find(' ') == std::string::npos ? "" : measure.substr(measure.find(' '));
        auto peer = collector.values.find(kind + "/peer" + stat);
        auto ours = collector.values.find(kind + "/ours" + stat);
        if (peer == collector.values.end() || ours == collector.values.end())
            continue;
        double p = median(peer->second), o = median(ours->second);
        std::printf("%-22s peer %10.2f %s  ours %10.2f %s  ratio ours/peer %.3f  (ours - peer %+.2f %s)\n",
                    l.measure, p, l.unit, o, l.unit, o / p, o - p, l.unit);
    }
    return 0;
}
