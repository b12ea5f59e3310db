// Request round trips through the router: an in-process client to an in-process port, and a participant on
// the TCP link to the same port. Reports requests per second and the median and 99th-percentile latency.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "KxFex.h"
#include "KxFrame.h"
#include "KxRouter.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers every ReadWrite at once with its write data (cut to the read length).
class EchoPort : public IKxFexAsync {
public:
    IKxFexPort* port = nullptr;
    HRESULT QueryInterface(REFIID, void** ppv) override
    {
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Write(HopAddr* a, ULONG id, ULONG, ULONG, ULONG, PVOID) override { return port->WriteRes(a, id, 0); }
    HRESULT Read(HopAddr* a, ULONG id, ULONG, ULONG, ULONG n) override
    {
        static uint8_t zeros[65536];
        return port->ReadRes(a, id, 0, std::min<ULONG>(n, sizeof(zeros)), zeros);
    }
    HRESULT ReadWrite(HopAddr* a, ULONG id, ULONG, ULONG, ULONG rn, ULONG wn, PVOID p) override
    {
        return port->ReadWriteRes(a, id, 0, std::min(rn, wn), p);
    }
    HRESULT WriteControl(HopAddr* a, ULONG id, USHORT, USHORT, ULONG, PVOID) override
    {
        return port->WriteControlRes(a, id, 0);
    }
    HRESULT ReadState(HopAddr* a, ULONG id) override { return port->ReadStateRes(a, id, 0, 5, 0, nullptr); }
    HRESULT ReadDeviceInfo(HopAddr*, ULONG) override { return E_NOTIMPL; }
    HRESULT AddDeviceNotification(HopAddr*, ULONG, ULONG, ULONG, FexNotificationAttrib*) override { return E_NOTIMPL; }
    HRESULT DelDeviceNotification(HopAddr*, ULONG, ULONG) override { return E_NOTIMPL; }
    HRESULT DeviceNotification(HopAddr*, ULONG, ULONG, FexNotificationStream*) override { return E_NOTIMPL; }
};

// One hosting router with an echo port for the whole program.
struct Env {
    EchoPort echo;
    IKxFexSync* sync = nullptr;
    uint16_t tcpPort = 0;
    HopNetId netId;
    Env()
    {
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.listen = 1;
        const uint8_t id[6] = {5, 6, 7, 8, 1, 1};
        std::memcpy(cfg.netId.b, id, 6);
        netId = cfg.netId;
        KxRouterStart(&cfg);
        tcpPort = KxRouterListenPort();
        IKxFexServer* server = nullptr;
        CreateFexServer(&server);
        server->ConnectPort(851, 0, &echo, &echo.port, KxMissingVariant(), KxMissingVariant());
        server->Release();
        IKxFexClient* client = nullptr;
        CreateFexClient(&client);
        HopAddr target(netId, 851);
        client->Connect(&target, 0, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant());
        client->Release();
    }
    ~Env()
    {
        sync->Release();
        echo.port->Release();
        KxRouterStop();
    }
};

Env& TheEnv()
{
    static Env env;
    return env;
}

void Report(benchmark::State& state, std::vector<double>& us)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Latencies of all threads of one run, merged before reporting.
std::mutex g_mergeMutex;
std::vector<double> g_merged;

void BM_InProcessRoundTrip(benchmark::State& state)
{
    Env& env = TheEnv();
    uint8_t w[64] = {1}, r[64];
    if (state.threads() > 1 && state.thread_index() == 0) {
        std::lock_guard<std::mutex> lock(g_mergeMutex);
        g_merged.clear();  // keep only the final run's latencies
    }
    std::vector<double> us;
    us.reserve(1 << 20);
    for (auto _ : state) {
        ULONG got = 0;
        auto t0 = Clock::now();
        HRESULT hr = env.sync->SyncReadWrite(0x4020, 0, sizeof(r), r, sizeof(w), w, &got);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (hr != S_OK) {
            state.SkipWithError("request failed");
            break;
        }
    }
    if (state.threads() == 1) {
        Report(state, us);
        return;
    }
    std::lock_guard<std::mutex> lock(g_mergeMutex);
    g_merged.insert(g_merged.end(), us.begin(), us.end());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_InProcessRoundTrip)->UseRealTime();
BENCHMARK(BM_InProcessRoundTrip)->Threads(4)->UseRealTime();

// A participant on a plain socket; frames are built with the library's own encoder.
class LinkClient {
public:
    explicit LinkClient(uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~LinkClient() { ::close(fd); }
    bool Send(const std::vector<uint8_t>& b)
    {
        size_t at = 0;
        while (at < b.size()) {
            ssize_t n = ::send(fd, b.data() + at, b.size() - at, 0);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads one frame; returns its invoke id, 0 on failure.
    uint32_t Recv()
    {
        uint8_t len[4];
        if (!RecvAll(len, 4))
            return 0;
        uint32_t n = len[0] | (len[1] << 8) | (len[2] << 16) | (static_cast<uint32_t>(len[3]) << 24);
        buf.resize(n);
        if (n < kxrouter::kHeaderSize || !RecvAll(buf.data(), n))
            return 0;
        return buf[4] | (buf[5] << 8) | (buf[6] << 16) | (static_cast<uint32_t>(buf[7]) << 24);
    }
    int fd;
    bool ok;
    std::vector<uint8_t> buf;

private:
    bool RecvAll(uint8_t* p, size_t n)
    {
        while (n) {
            ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
};

std::vector<uint8_t> ReadWriteFrame(const HopNetId& netId, uint32_t invokeId)
{
    kxrouter::FrameHeader h;
    h.cmd = kxrouter::CMD_READWRITE;
    h.invokeId = invokeId;
    h.target = HopAddr(netId, 851);
    kxrouter::BodyWriter w;
    uint8_t data[64] = {1};
    w.U32(0x4020).U32(0).U32(64).U32(64).Bytes(data, 64);
    std::vector<uint8_t> f;
    kxrouter::EncodeFrame(h, w.Get().data(), w.Get().size(), f);
    return f;
}

void BM_TcpRoundTrip(benchmark::State& state)
{
    Env& env = TheEnv();
    LinkClient c(env.tcpPort);
    if (!c.ok) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<double> us;
    us.reserve(1 << 20);
    uint32_t id = 0;
    for (auto _ : state) {
        std::vector<uint8_t> f = ReadWriteFrame(env.netId, ++id);
        auto t0 = Clock::now();
        if (!c.Send(f) || c.Recv() != id) {
            state.SkipWithError("link failed");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Report(state, us);
}
BENCHMARK(BM_TcpRoundTrip)->UseRealTime();

// Many requests outstanding on one connection: throughput rather than latency.
void BM_TcpPipelined(benchmark::State& state)
{
    Env& env = TheEnv();
    LinkClient c(env.tcpPort);
    const int window = static_cast<int>(state.range(0));
    uint32_t id = 0;
    for (auto _ : state) {
        std::vector<uint8_t> all;
        for (int i = 0; i < window; ++i) {
            std::vector<uint8_t> f = ReadWriteFrame(env.netId, ++id);
            all.insert(all.end(), f.begin(), f.end());
        }
        if (!c.Send(all)) {
            state.SkipWithError("link failed");
            break;
        }
        for (int i = 0; i < window; ++i)
            if (c.Recv() == 0) {
                state.SkipWithError("link failed");
                return;
            }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * window);
}
BENCHMARK(BM_TcpPipelined)->Arg(32)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    if (!g_merged.empty()) {
        std::sort(g_merged.begin(), g_merged.end());
        std::printf("in-process, 4 threads: p50 %.1f us, p99 %.1f us over %zu requests\n",
                    g_merged[g_merged.size() / 2], g_merged[g_merged.size() * 99 / 100], g_merged.size());
    }
    benchmark::Shutdown();
    return 0;
}
