// Small jobs through the router's TCP link against the running service program, from one client and from 16
// concurrent clients, each beside what bounds it, measured in the same run:
// - RoundTrip: ReadState, answered by the service without a job: the router's round trip.
// - OpenReadClose: open for reading with the transfer bit (a 4-byte symbol, written into the PLC) and close;
//   nothing is saved. Read jobs and round trips alternate in short phases of all clients, and the two are
//   compared in requests per second (two requests per job) over the time of their phases.
// - OpenWriteClose: open for writing with the transfer bit and close, which saves the file; each client takes
//   turns with one save of the loop that bounds it: the same file's bytes written to a temporary file, fsynced,
//   renamed over the file, and the folder fsynced, in this process. The disk's fsync time drifts from second
//   to second on a shared machine, so the two are timed side by side and compared by their mean times.
// Reports requests per second (items_per_second), the mean time of a job and of what it is compared with, and
// the p50 and p99 latency of one request.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include <unistd.h>

#include "BenchReporter.h"
#include "OsUserFile.h"
#include "ServiceBlackBoxSupport.h"

using namespace kxbb;

namespace {

const char* const kSymbol = "MAIN.nCycle";
const char* const kPath = "/dataentry/MAIN.nCycle";

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

// The file of one client, and the index offset that puts its jobs on a worker of their own (offsets from 100
// on name no base directory).
std::string ClientFile(const char* kind, int thread)
{
    return TheService().root / (std::string(kind) + std::to_string(thread) + ".xml");
}

uint32_t ClientOffset(int thread)
{
    return 100u + static_cast<uint32_t>(thread);
}

double Micros(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// One open of a data server with index group nGroup and the open payload, then its close (which saves a write
// open). False with the error text when either fails. *pOpened receives the time the open was answered.
bool OpenClose(RawLink& link, uint32_t nGroup, uint32_t offset, const std::vector<uint8_t>& open, std::string& error,
               Clock::time_point* pOpened = nullptr)
{
    Reply r = link.Call(nGroup, offset, 4, open);
    if (pOpened)
        *pOpened = Clock::now();
    if (r.error != 0 || r.data.size() != 4) {
        error = "open failed with error 0x" + Hex(r.error);
        return false;
    }
    Reply c = link.Call(0x79, GetU32(r.data.data()), 0, {});
    if (c.error != 0) {
        error = "close failed with error 0x" + Hex(c.error);
        return false;
    }
    return true;
}

// Latencies of all threads of a case; the last thread to finish reports their percentiles.
class Latencies {
public:
    void Add(benchmark::State& state, const std::vector<double>& lat)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_reported == 0)
            m_samples.clear();
        m_samples.insert(m_samples.end(), lat.begin(), lat.end());
        if (++m_reported < state.threads())
            return;
        m_reported = 0;
        std::sort(m_samples.begin(), m_samples.end());
        auto pct = [&](double p) {
            return m_samples.empty() ? 0.0
                                     : m_samples[static_cast<size_t>(p * static_cast<double>(m_samples.size() - 1))];
        };
        state.counters["p50_us"] = pct(0.50);
        state.counters["p99_us"] = pct(0.99);
    }

private:
    std::mutex m_lock;
    std::vector<double> m_samples;
    int m_reported = 0;
};

bool Connect(benchmark::State& state, RawLink& link)
{
    Service& svc = TheService();
    if (!svc.ok) {
        state.SkipWithError("the service did not start");
        return false;
    }
    if (!link.Connect(svc.port)) {
        state.SkipWithError("cannot join the router");
        return false;
    }
    return true;
}

// Connects, then makes file with one write job of this client (open for writing with the transfer bit, then
// close). False when either fails; the state carries the error.
bool Connect(benchmark::State& state, RawLink& link, const std::string& file)
{
    if (!Connect(state, link))
        return false;
    std::string error;
    const std::vector<uint8_t> open = OpenRwPayload(851, 0xFFFFFFFFu, 3, file, kSymbol, kPath);
    if (!OpenClose(link, 0x7D, ClientOffset(state.thread_index()), open, error)) {
        state.SkipWithError(error.c_str());
        return false;
    }
    return true;
}

Latencies g_roundTrip;
Latencies g_read;
Latencies g_write;

// One ReadState, answered by the service without a job.
bool RoundTripOnce(RawLink& link)
{
    const uint32_t id = link.NextId();
    Reply r;
    return link.SendTo(5, id, 10600, {}) && link.Wait(id, std::chrono::milliseconds(30000), r) && r.error == 0;
}

void RoundTrip(benchmark::State& state)
{
    RawLink link;
    if (!Connect(state, link))
        return;
    std::vector<double> lat;
    lat.reserve(1 << 16);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!RoundTripOnce(link)) {
            state.SkipWithError("ReadState failed");
            break;
        }
        lat.push_back(Micros(t0, Clock::now()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    g_roundTrip.Add(state, lat);
}

// Read jobs and round trips in alternating phases: every client makes kPhase read jobs, then kPhase pairs of
// round trips (as many requests), and so on; a phase ends when the last client is done with it. Each kind's
// requests over the time of its phases give two rates taken side by side in time: the pace of this machine
// drifts by a factor of two from one minute to the next, so cases run one after the other would compare
// different machines.
class Phases {
public:
    void Reset(int threads)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_threads = threads;
        m_arrived = 0;
        m_generation = 0;
        m_broken = false;
        m_us[0] = m_us[1] = 0;
        m_start = Clock::now();
    }
    // A client finished its part of a phase of the kind; waits for the others. False once a client failed.
    bool Done(int kind)
    {
        std::unique_lock<std::mutex> g(m_lock);
        if (m_broken)
            return false;
        const unsigned generation = m_generation;
        if (++m_arrived == m_threads) {
            const Clock::time_point now = Clock::now();
            m_us[kind] += Micros(m_start, now);
            m_start = now;
            m_arrived = 0;
            ++m_generation;
            m_cv.notify_all();
            return true;
        }
        m_cv.wait(g, [&] { return m_generation != generation || m_broken; });
        return !m_broken;
    }
    void Break()
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_broken = true;
        m_cv.notify_all();
    }
    double Us(int kind)
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_us[kind];
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_threads = 1;
    int m_arrived = 0;
    unsigned m_generation = 0;
    bool m_broken = false;
    double m_us[2] = {};
    Clock::time_point m_start;
};

constexpr int kPhase = 16;
Phases g_readPhases;

void OpenReadClose(benchmark::State& state)
{
    // The file to read, made once by a write job of this client.
    const std::string file = ClientFile("read", state.thread_index());
    RawLink link;
    if (!Connect(state, link, file))
        return;
    if (state.thread_index() == 0)
        g_readPhases.Reset(state.threads());
    const uint32_t offset = ClientOffset(state.thread_index());
    const std::vector<uint8_t> open = OpenRwPayload(851, 0xFFFFFFFFu, 2, file, kSymbol, kPath);
    std::vector<double> lat;
    lat.reserve(1 << 16);
    int64_t made[2] = {0, 0};  // iterations of each kind
    int kind = 0;              // 0 read jobs, 1 round trips
    int step = 0;              // iterations made in this phase
    std::string error;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        Clock::time_point t1;
        if (kind == 0 ? !OpenClose(link, 0x7C, offset, open, error, &t1) : !RoundTripOnce(link) || !RoundTripOnce(link)) {
            g_readPhases.Break();
            state.SkipWithError(kind == 0 ? error.c_str() : "ReadState failed");
            break;
        }
        if (kind == 0) {
            lat.push_back(Micros(t0, t1));
            lat.push_back(Micros(t1, Clock::now()));
        }
        ++made[kind];
        if (++step == kPhase) {
            if (!g_readPhases.Done(kind)) {
                state.SkipWithError("another client failed");
                break;
            }
            kind ^= 1;
            step = 0;
        }
    }
    // Every client makes as many iterations, so all of them end the last phase here.
    if (step > 0 && !g_readPhases.Done(kind) && !state.error_occurred())
        state.SkipWithError("another client failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
    const double threads = state.threads();
    for (int k = 0; k < 2; ++k) {
        const double us = g_readPhases.Us(k);
        const double rate = us > 0 ? static_cast<double>(made[k]) * 2 * threads * 1e6 / us : 0;
        state.counters[k == 0 ? "job_rps" : "trip_rps"] = benchmark::Counter(rate, benchmark::Counter::kAvgThreads);
    }
    g_read.Add(state, lat);
}

// One save of the loop: the bytes written to tmp, fsynced, renamed over file, and the folder fsynced.
bool SaveOnce(const std::string& file, const std::string& tmp, const std::string& data, int dir)
{
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && os_write_all(fd, data.data(), data.size()) == 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok && ::rename(tmp.c_str(), file.c_str()) == 0 && dir >= 0 && ::fsync(dir) == 0;
}

void OpenWriteClose(benchmark::State& state)
{
    const std::string file = ClientFile("write", state.thread_index());
    RawLink link;
    if (!Connect(state, link, file))
        return;
    const uint32_t offset = ClientOffset(state.thread_index());
    const std::vector<uint8_t> open = OpenRwPayload(851, 0xFFFFFFFFu, 3, file, kSymbol, kPath);
    const std::string data = ReadFile(file);
    const std::string tmp = file + ".tmp";
    const int dir = ::open(TheService().root.Path().c_str(), O_RDONLY | O_DIRECTORY);
    std::vector<double> lat;
    lat.reserve(1 << 16);
    double jobUs = 0;
    double loopUs = 0;
    std::string error;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        Clock::time_point t1;
        if (!OpenClose(link, 0x7D, offset, open, error, &t1)) {
            state.SkipWithError(error.c_str());
            break;
        }
        const auto t2 = Clock::now();
        if (!SaveOnce(file, tmp, data, dir)) {
            state.SkipWithError("save loop failed");
            break;
        }
        loopUs += Micros(t2, Clock::now());
        jobUs += Micros(t0, t2);
        lat.push_back(Micros(t0, t1));
        lat.push_back(Micros(t1, t2));
    }
    if (dir >= 0)
        ::close(dir);
    const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
    state.counters["job_us"] = benchmark::Counter(jobUs / n, benchmark::Counter::kAvgThreads);
    state.counters["loop_us"] = benchmark::Counter(loopUs / n, benchmark::Counter::kAvgThreads);
    g_write.Add(state, lat);
}

BENCHMARK(RoundTrip)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(OpenReadClose)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(OpenWriteClose)->Threads(1)->Threads(16)->UseRealTime()->MinTime(6.0);

// What the report keeps of a case: its rates.
struct Rates {
    bool median = false;
    double jobUs = 0;     // mean time of a write job
    double loopUs = 0;    // mean time of a loop save beside it
    double jobRps = 0;    // requests per second of the read jobs' phases
    double tripRps = 0;   // requests per second of the round trips' phases beside them
};

// Console output plus, at the end, each job's rate as a share of what bounds it, from the same run.
class RatioReporter : public CaseReporter<std::pair<std::string, int>, Rates> {
public:
    // "OpenReadClose/real_time/threads:16" -> OpenReadClose, 16
    std::pair<std::string, int> KeyOf(const Run& r) const override { return {r.run_name.function_name, r.threads}; }
    void Keep(const Run& r, Rates& rates) const override
    {
        rates.jobUs = CounterOf(r, "job_us");
        rates.loopUs = CounterOf(r, "loop_us");
        rates.jobRps = CounterOf(r, "job_rps");
        rates.tripRps = CounterOf(r, "trip_rps");
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-8s %-44s %14s %14s %7s\n", "clients", "job / bound", "job", "bound", "ratio");
        for (int threads : {1, 16}) {
            const auto read = m_cases.find({"OpenReadClose", threads});
            if (read != m_cases.end() && read->second.tripRps > 0)
                std::printf("%-8d %-44s %12.1f/s %12.1f/s %7.2f\n", threads, "requests: read job / round trip",
                            read->second.jobRps, read->second.tripRps, read->second.jobRps / read->second.tripRps);
            const auto write = m_cases.find({"OpenWriteClose", threads});
            if (write != m_cases.end() && write->second.jobUs > 0)
                std::printf("%-8d %-44s %12.1fus %12.1fus %7.2f\n", threads, "saves: write job / write+fsync+rename loop",
                            write->second.jobUs, write->second.loopUs, write->second.loopUs / write->second.jobUs);
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    // Started here: the benchmark's own threads end with each case, and the child must not go with them.
    TheService();
    RatioReporter reporter;
    if (!RunBenchmarks(&argc, argv, reporter))
        return 1;
    Service& svc = TheService();
    svc.proc.Signal(SIGTERM);
    int st = 0;
    svc.proc.WaitExit(std::chrono::milliseconds(30000), &st);
    delete &svc;  // removes the runtime root with the files the jobs wrote
    return 0;
}
