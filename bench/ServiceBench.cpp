// Small jobs through the router's TCP link against the running service program: open for writing with the
// transfer bit (a 4-byte symbol) and close, from one client and from 16 concurrent clients.
// Reports jobs per second (items_per_second, two jobs per iteration) and the p50 and p99 latency of one job.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "ServiceBlackBoxSupport.h"

using namespace kxbb;

namespace {

struct Service {
    TempRoot root;
    ChildProcess proc;
    uint16_t port = 0;
    bool ok = false;
};

Service& TheService()
{
    static Service* s = [] {
        auto* svc = new Service;
        RegistrySetup reg;
        reg.logLevel = 1;
        WriteRegistry(svc->root.Path(), reg);
        svc->port = FreeTcpPort();
        std::vector<std::string> env = {"KX_REGISTRY_ROOT=" + svc->root.Path(),
                                        "KX_ROUTER_PORT=" + std::to_string(svc->port),
                                        "KX_PLC=" + std::string(KX_TEST_DATA_DIR) + "/plc/sample-machine.xml"};
        RawLink probe;
        svc->ok = svc->proc.Start(KX_SERVICE_EXE, {}, env, svc->root / "out.txt", svc->root / "err.txt") &&
                  ConnectWhenRunning(svc->proc, svc->port, probe);
        return svc;
    }();
    return *s;
}

std::string Hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%x", v);
    return buf;
}

std::mutex g_samplesLock;
std::vector<double> g_samples;
int g_reported = 0;

void OpenWriteClose(benchmark::State& state)
{
    Service& svc = TheService();
    if (!svc.ok) {
        state.SkipWithError("the service did not start");
        return;
    }
    RawLink link;
    if (!link.Connect(svc.port)) {
        state.SkipWithError("cannot join the router");
        return;
    }
    const std::string file = svc.root / ("bench" + std::to_string(state.thread_index()) + ".xml");
    const std::vector<uint8_t> open =
        OpenRwPayload(851, 0xFFFFFFFFu, 3, file, "MAIN.nCycle", "/dataentry/MAIN.nCycle");
    std::vector<double> lat;
    lat.reserve(1 << 16);
    for (auto _ : state) {
        auto t0 = Clock::now();
        // Offsets from 100 on name no base directory and spread the clients over the workers.
        Reply r = link.Call(0x7D, 100u + static_cast<uint32_t>(state.thread_index()), 4, open);
        auto t1 = Clock::now();
        if (r.error != 0 || r.data.size() != 4) {
            state.SkipWithError(("open failed with error 0x" + Hex(r.error)).c_str());
            break;
        }
        Reply c = link.Call(0x79, GetU32(r.data.data()), 0, {});
        auto t2 = Clock::now();
        if (c.error != 0) {
            state.SkipWithError(("close failed with error 0x" + Hex(c.error)).c_str());
            break;
        }
        lat.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        lat.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);

    // The last thread to finish reports the percentiles of all threads (threaded counters are summed).
    std::lock_guard<std::mutex> lock(g_samplesLock);
    if (g_reported == 0)
        g_samples.clear();
    g_samples.insert(g_samples.end(), lat.begin(), lat.end());
    if (++g_reported == state.threads()) {
        g_reported = 0;
        std::sort(g_samples.begin(), g_samples.end());
        auto pct = [&](double p) {
            if (g_samples.empty())
                return 0.0;
            size_t i = static_cast<size_t>(p * static_cast<double>(g_samples.size() - 1));
            return g_samples[i];
        };
        state.counters["p50_us"] = pct(0.50);
        state.counters["p99_us"] = pct(0.99);
    }
}

BENCHMARK(OpenWriteClose)->Threads(1)->Threads(16)->UseRealTime()->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Service& svc = TheService();
    svc.proc.Signal(SIGTERM);
    int st = 0;
    svc.proc.WaitExit(std::chrono::milliseconds(30000), &st);
    return 0;
}
