// Store and restore of large symbols through the data server (router and simulated PLC in process), against a
// baseline that builds, saves and parses the same document directly with pugixml. Every case measures process
// CPU time and reports the peak resident memory of its runs; at the end the ratio service / baseline of every
// value is printed, from the cases of each and from a case that runs both side by side, and how time and memory
// grow with the number of elements.
//
// Ratios are meant to be read within one run. On a shared machine run with repetitions and random
// interleaving, so that a load change hits service and baseline alike; the ratios then use the medians:
//   DataServerBench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <pugixml.hpp>

#include "BenchReporter.h"
#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"
#include "XmlDataServer.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return std::remove(path);
}

// Resident memory of the process in bytes, from /proc (0 where there is none): the current size, and the peak
// since the last reset.
uint64_t StatusBytes(const char* field)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(f, line)) {
        if (line.compare(0, n, field) == 0)
            return std::strtoull(line.c_str() + n, nullptr, 10) * 1024;
    }
    return 0;
}

uint64_t CurrentRss()
{
    return StatusBytes("VmRSS:");
}

uint64_t PeakRss()
{
    return StatusBytes("VmHWM:");
}

// Starts a new peak at the current size; memory freed by earlier cases is given back first, so that it is
// not counted as this case's.
void ResetPeakRss()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    std::ofstream("/proc/self/clear_refs") << "5";
}

uint64_t FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A symbol to store and restore: an array of REALs or of ST_Record structures.
struct Target {
    CKxPlcSim* sim;
    CKxPlcSimHost* host;
    const char* symbol;
    const char* path;  // /dataentry/<group>/<array>
    const char* file;
    uint32_t elements;
    bool records;
    bool ok;  // its PLC is serving
};

// Offsets of the members of ST_Record inside one element, from the simulated PLC.
struct RecordLayout {
    uint32_t z = 32, oId = 0, oValue = 8, oOk = 16, oName = 17, cbName = 12;
};

RecordLayout LayoutOf(const CKxPlcSim& sim, const std::string& symbol, uint32_t elements)
{
    RecordLayout l;
    KxPlcSymbolInfo sym, id, value, ok, name;
    const std::string first = symbol + "[1].";
    if (sim.Resolve(symbol, sym) && sim.Resolve(first + "nId", id) && sim.Resolve(first + "fValue", value) &&
        sim.Resolve(first + "bOk", ok) && sim.Resolve(first + "sName", name)) {
        l.z = sym.size / elements;
        l.oId = id.offset - sym.offset;
        l.oValue = value.offset - sym.offset;
        l.oOk = ok.offset - sym.offset;
        l.oName = name.offset - sym.offset;
        l.cbName = name.size;
    }
    return l;
}

// Distinct values in every field so that texts have realistic lengths.
void FillRecords(CKxPlcSim& sim, const std::string& symbol, uint32_t elements)
{
    KxPlcSymbolInfo sym;
    if (!sim.Resolve(symbol, sym))
        return;
    const RecordLayout l = LayoutOf(sim, symbol, elements);
    std::vector<uint8_t> image(sym.size, 0);
    for (uint32_t i = 0; i < elements; ++i) {
        uint8_t* e = image.data() + i * l.z;
        const int32_t n = static_cast<int32_t>(i * 7 - 20000);
        const double f = i * 0.125 - 321.5;
        std::memcpy(e + l.oId, &n, 4);
        std::memcpy(e + l.oValue, &f, 8);
        e[l.oOk] = i % 3 == 0;
        std::snprintf(reinterpret_cast<char*>(e + l.oName), l.cbName, "rec%u", i);
    }
    sim.Poke(sym.group, sym.offset, image.data(), sym.size);
}

// The PLC of the growth cases, loaded when the first of them runs (its 5 million values take a while).
struct ScalePlc {
    CKxPlcSim sim;
    CKxPlcSimHost host;
    bool ok = false;

    ScalePlc()
    {
        if (!sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/dataserver/bench-scale-plc.xml"))
            return;
        FillRecords(sim, "Scale.aRecords", 100000);
        sim.SetLogging(false);
        ok = SUCCEEDED(host.Start(&sim));
    }
    ~ScalePlc() { host.Stop(); }
};

// One router with the sample machine and the benchmark's own PLCs for the whole program.
struct Env {
    CKxPlcSim sample;
    CKxPlcSim records;
    CKxPlcSimHost sampleHost;
    CKxPlcSimHost recordsHost;
    std::unique_ptr<ScalePlc> scale;
    std::string dir;
    bool ok = false;

    Env()
    {
        char tmpl[] = "/tmp/DataServerBenchXXXXXX";
        if (!mkdtemp(tmpl))
            return;
        dir = tmpl;
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        // An explicit net id keeps the router from looking into the configuration store.
        const uint8_t netId[6] = {10, 9, 8, 7, 1, 1};
        std::memcpy(cfg.netId.b, netId, sizeof netId);
        if (FAILED(KxRouterStart(&cfg)))
            return;
        const std::string data = KX_TEST_DATA_DIR;
        if (!sample.LoadFile(data + "/plc/sample-machine.xml") || !records.LoadFile(data + "/dataserver/bench-plc.xml"))
            return;
        FillRecords(records, "Bench.aRecords", 10000);
        // The simulators' request logs are for tests; a PLC keeps no copy of what the service writes, and the
        // baseline reads and writes the memory directly.
        sample.SetLogging(false);
        records.SetLogging(false);
        ok = SUCCEEDED(sampleHost.Start(&sample)) && SUCCEEDED(recordsHost.Start(&records));
    }
    ~Env()
    {
        sampleHost.Stop();
        recordsHost.Stop();
        scale.reset();
        KxRouterStop();
        if (!dir.empty())
            nftw(dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }
    ScalePlc& Scale()
    {
        if (!scale)
            scale = std::make_unique<ScalePlc>();
        return *scale;
    }
};

Env& TheEnv()
{
    static Env env;
    return env;
}

Target Samples100k()
{
    Env& e = TheEnv();
    return {&e.sample, &e.sampleHost, "Logger.aSamples", "/dataentry/Logger/aSamples", "samples.xml", 100000, false, true};
}

Target Samples1M()
{
    ScalePlc& e = TheEnv().Scale();
    return {&e.sim, &e.host, "Scale.aSamples1M", "/dataentry/Scale/aSamples1M", "samples1m.xml", 1000000, false, e.ok};
}

Target Samples4M()
{
    ScalePlc& e = TheEnv().Scale();
    return {&e.sim, &e.host, "Scale.aSamples4M", "/dataentry/Scale/aSamples4M", "samples4m.xml", 4000000, false, e.ok};
}

Target Records10k()
{
    Env& e = TheEnv();
    return {&e.records, &e.recordsHost, "Bench.aRecords", "/dataentry/Bench/aRecords", "records.xml", 10000, true, true};
}

Target Records100k()
{
    ScalePlc& e = TheEnv().Scale();
    return {&e.sim, &e.host, "Scale.aRecords", "/dataentry/Scale/aRecords", "records100k.xml", 100000, true, e.ok};
}

std::string FileOf(const Target& t, const char* prefix)
{
    return TheEnv().dir + "/" + prefix + t.file;
}

// Credentials of the encrypted variants; null: plain files.
const char* const kPassword = "bench";

HRESULT ServiceStore(const Target& t, const std::string& file, const char* password = nullptr)
{
    CXmlDataServer srv;
    srv.SetCredentials("", password);
    HRESULT hr = srv.OpenWrite(t.host->GetAddress(), XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, file.c_str(), t.symbol,
                               t.path, nullptr);
    HRESULT hrClose = srv.Close(false);
    return FAILED(hr) ? hr : hrClose;
}

HRESULT ServiceRestore(const Target& t, const std::string& file, uint16_t mode = 0, const char* password = nullptr)
{
    CXmlDataServer srv;
    srv.SetCredentials("", password);
    HRESULT hr = srv.OpenRead(t.host->GetAddress(), static_cast<uint16_t>(XMLDS_MODE_TRANSFER | mode), file.c_str(),
                              t.symbol, t.path, nullptr);
    srv.Close(false);
    return hr;
}

// The baseline: the same document built and parsed with pugixml alone, from and into a memory image.
struct Baseline {
    std::string group;  // the element that holds the array's run
    std::string name;   // the name of the run's elements
    virtual ~Baseline() = default;
    virtual void Build(pugi::xml_node parent, const std::vector<uint8_t>& image) const = 0;
    virtual bool Parse(pugi::xml_node parent, std::vector<uint8_t>& image) const = 0;
};

const unsigned kSaveFlags = pugi::format_raw | pugi::format_no_empty_element_tags | pugi::format_no_declaration;

void SetFormatted(pugi::xml_node node, const char* format, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    node.text().set(buf);
}

struct SamplesBaseline : Baseline {
    void Build(pugi::xml_node parent, const std::vector<uint8_t>& image) const override
    {
        pugi::xml_node run = parent.append_child(group.c_str());
        for (size_t i = 0; i < image.size() / 4; ++i) {
            float f;
            std::memcpy(&f, image.data() + i * 4, 4);
            pugi::xml_node e = run.append_child(name.c_str());
            e.append_attribute("index").set_value(static_cast<long long>(i));
            SetFormatted(e, "%.9g", f);
        }
    }
    bool Parse(pugi::xml_node parent, std::vector<uint8_t>& image) const override
    {
        for (pugi::xml_node e = parent.child(group.c_str()).child(name.c_str()); e; e = e.next_sibling(name.c_str())) {
            const size_t i = static_cast<size_t>(e.attribute("index").as_llong(-1));
            if (i >= image.size() / 4)
                return false;
            const float f = std::strtof(e.text().get(), nullptr);
            std::memcpy(image.data() + i * 4, &f, 4);
        }
        return true;
    }
};

struct RecordsBaseline : Baseline {
    RecordLayout l;
    void Build(pugi::xml_node parent, const std::vector<uint8_t>& image) const override
    {
        pugi::xml_node run = parent.append_child(group.c_str());
        for (size_t i = 0; i < image.size() / l.z; ++i) {
            const uint8_t* p = image.data() + i * l.z;
            pugi::xml_node e = run.append_child(name.c_str());
            e.append_attribute("index").set_value(static_cast<long long>(i + 1));
            int32_t n;
            double f;
            std::memcpy(&n, p + l.oId, 4);
            std::memcpy(&f, p + l.oValue, 8);
            e.append_child("nId").text().set(n);
            SetFormatted(e.append_child("fValue"), "%.15g", f);
            e.append_child("bOk").text().set(p[l.oOk] ? "true" : "false");
            e.append_child("sName").text().set(
                std::string(reinterpret_cast<const char*>(p + l.oName),
                            strnlen(reinterpret_cast<const char*>(p + l.oName), l.cbName))
                    .c_str());
        }
    }
    bool Parse(pugi::xml_node parent, std::vector<uint8_t>& image) const override
    {
        for (pugi::xml_node e = parent.child(group.c_str()).child(name.c_str()); e; e = e.next_sibling(name.c_str())) {
            const long long index = e.attribute("index").as_llong(0);
            if (index < 1 || static_cast<size_t>(index) > image.size() / l.z)
                return false;
            uint8_t* p = image.data() + (index - 1) * l.z;
            const int32_t n = e.child("nId").text().as_int();
            const double f = std::strtod(e.child("fValue").text().get(), nullptr);
            std::memcpy(p + l.oId, &n, 4);
            std::memcpy(p + l.oValue, &f, 8);
            p[l.oOk] = std::strcmp(e.child("bOk").text().get(), "true") == 0;
            std::memset(p + l.oName, 0, l.cbName);
            std::strncpy(reinterpret_cast<char*>(p + l.oName), e.child("sName").text().get(), l.cbName - 1);
        }
        return true;
    }
};

std::unique_ptr<Baseline> BaselineFor(const Target& t)
{
    std::unique_ptr<Baseline> b;
    if (t.records) {
        auto r = std::make_unique<RecordsBaseline>();
        r->l = LayoutOf(*t.sim, t.symbol, t.elements);
        b = std::move(r);
    } else {
        b = std::make_unique<SamplesBaseline>();
    }
    // "/dataentry/<group>/<name>"
    const std::string path = t.path;
    const size_t last = path.rfind('/');
    const size_t before = path.rfind('/', last - 1);
    b->group = path.substr(before + 1, last - before - 1);
    b->name = path.substr(last + 1);
    return b;
}

std::vector<uint8_t> Image(const Target& t)
{
    KxPlcSymbolInfo sym;
    std::vector<uint8_t> image;
    if (t.sim->Resolve(t.symbol, sym))
        t.sim->Peek(sym.group, sym.offset, sym.size, image);
    return image;
}

bool Ready(benchmark::State& state, const Target& t)
{
    if (!TheEnv().ok || !t.ok) {
        state.SkipWithError("router or simulated PLC not available");
        return false;
    }
    return true;
}

// Peak memory of the timed runs: starts a new peak before them and reports it afterwards, with the number of
// elements and the size of the XML file (for the growth table of the report).
class MemoryProbe {
public:
    MemoryProbe()
    {
        ResetPeakRss();
        m_start = CurrentRss();
    }
    void Report(benchmark::State& state, const Target& t, const std::string& file) const
    {
        const uint64_t peak = PeakRss();
        state.counters["elements"] = t.elements;
        state.counters["xml_MiB"] = static_cast<double>(FileSize(file)) / (1 << 20);
        state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
        state.counters["added_MiB"] = static_cast<double>(peak > m_start ? peak - m_start : 0) / (1 << 20);
    }

private:
    uint64_t m_start = 0;
};

// The timed loop of a case: step(timed) once per iteration, null or the text of a failure that stops the case;
// the memory the loop took is reported with the file's size. One step(false) runs before the timed ones: the
// memory given back before the case is taken again there, not in the first timed step, which would weigh on a
// case of a few slow iterations.
template <class Step>
void MeasureLoop(benchmark::State& state, const Target& t, const std::string& file, Step step)
{
    const MemoryProbe memory;
    if (const char* error = step(false)) {
        state.SkipWithError(error);
        return;
    }
    for (auto _ : state) {
        if (const char* error = step(true)) {
            state.SkipWithError(error);
            break;
        }
    }
    memory.Report(state, t, file);
}

// fresh: every store creates the file; otherwise the texts of the existing document are replaced.
void ServiceStoreBench(benchmark::State& state, Target (*target)(), bool fresh, const char* password = nullptr)
{
    const Target t = target();
    if (!Ready(state, t))
        return;
    const std::string file = FileOf(t, password ? "store-enc-" : "store-");
    if (!fresh && FAILED(ServiceStore(t, file, password))) {
        state.SkipWithError("store failed");
        return;
    }
    MeasureLoop(state, t, file, [&](bool timed) -> const char* {
        if (fresh && timed) {
            state.PauseTiming();
            std::remove(file.c_str());
            state.ResumeTiming();
        } else if (fresh) {
            std::remove(file.c_str());
        }
        return FAILED(ServiceStore(t, file, password)) ? "store failed" : nullptr;
    });
}

// Makes the file of a restore and checks that a restore of it brings back every byte into a cleared PLC, or
// the time would say nothing. False with the state's error set.
bool PrepareRestore(benchmark::State& state, const Target& t, const std::string& file, uint16_t mode,
                    const char* password)
{
    if (FileSize(file) == 0 && FAILED(ServiceStore(t, file, password))) {
        state.SkipWithError("store failed");
        return false;
    }
    const std::vector<uint8_t> original = Image(t);
    KxPlcSymbolInfo sym;
    t.sim->Resolve(t.symbol, sym);
    const std::vector<uint8_t> zeros(original.size(), 0);
    t.sim->Poke(sym.group, sym.offset, zeros.data(), static_cast<uint32_t>(zeros.size()));
    const HRESULT hr = ServiceRestore(t, file, mode, password);
    if (FAILED(hr) || Image(t) != original) {
        t.sim->Poke(sym.group, sym.offset, original.data(), static_cast<uint32_t>(original.size()));
        state.SkipWithError("restore did not bring the value back");
        return false;
    }
    return true;
}

void ServiceRestoreBench(benchmark::State& state, Target (*target)(), uint16_t mode, const char* password = nullptr)
{
    const Target t = target();
    if (!Ready(state, t))
        return;
    const std::string file = FileOf(t, password ? "restore-enc-" : "restore-");
    if (!PrepareRestore(state, t, file, mode, password))
        return;
    MeasureLoop(state, t, file, [&](bool) -> const char* {
        return FAILED(ServiceRestore(t, file, mode, password)) ? "restore failed" : nullptr;
    });
}

// The baseline's store: the image read from the PLC, as the service does, the document built and saved.
bool PugiStore(const Target& t, const Baseline& b, const std::string& file)
{
    const std::vector<uint8_t> image = Image(t);
    pugi::xml_document doc;
    b.Build(doc.append_child("dataentry"), image);
    return doc.save_file(file.c_str(), "", kSaveFlags);
}

// The baseline's restore: the image read from the PLC, the file loaded and parsed into it, and the image written
// back, as the service does.
bool PugiRestore(const Target& t, const Baseline& b, const std::string& file, const KxPlcSymbolInfo& sym)
{
    pugi::xml_document doc;
    std::vector<uint8_t> image = Image(t);
    if (!doc.load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration) ||
        !b.Parse(doc.child("dataentry"), image))
        return false;
    t.sim->Poke(sym.group, sym.offset, image.data(), static_cast<uint32_t>(image.size()));
    return true;
}

void MakeBaselineFile(const Target& t, const Baseline& b, const std::string& file)
{
    if (FileSize(file) == 0) {
        pugi::xml_document doc;
        b.Build(doc.append_child("dataentry"), Image(t));
        doc.save_file(file.c_str(), "", kSaveFlags);
    }
}

void PugiStoreBench(benchmark::State& state, Target (*target)())
{
    const Target t = target();
    if (!Ready(state, t))
        return;
    const std::string file = FileOf(t, "pugi-store-");
    const std::unique_ptr<Baseline> b = BaselineFor(t);
    MeasureLoop(state, t, file, [&](bool) -> const char* { return PugiStore(t, *b, file) ? nullptr : "save failed"; });
}

void PugiRestoreBench(benchmark::State& state, Target (*target)())
{
    const Target t = target();
    if (!Ready(state, t))
        return;
    const std::string file = FileOf(t, "pugi-restore-");
    const std::unique_ptr<Baseline> b = BaselineFor(t);
    MakeBaselineFile(t, *b, file);
    KxPlcSymbolInfo sym;
    t.sim->Resolve(t.symbol, sym);
    MeasureLoop(state, t, file, [&](bool) -> const char* { return PugiRestore(t, *b, file, sym) ? nullptr : "parse failed"; });
}

double CpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Service and baseline side by side: each iteration makes one store (restore) of each, and each is timed by the
// process CPU time it took. Both see the same machine, whatever its pace does from one minute to the next, which
// cases run one after the other do not. One untimed pair comes first, and the two take turns at going first:
// the side that goes first takes back from the system the memory the case before returned, which for a
// document of millions of elements weighed a quarter of its time. Reports the mean of each as service_ms and
// baseline_ms.
void PairBench(benchmark::State& state, const Target& t, bool restore, bool fresh, uint16_t mode)
{
    if (!Ready(state, t))
        return;
    const std::unique_ptr<Baseline> b = BaselineFor(t);
    const std::string file = FileOf(t, restore ? "restore-" : "store-");
    const std::string baseFile = FileOf(t, restore ? "pugi-restore-" : "pugi-store-");
    KxPlcSymbolInfo sym;
    t.sim->Resolve(t.symbol, sym);
    if (restore) {
        if (!PrepareRestore(state, t, file, mode, nullptr))
            return;
        MakeBaselineFile(t, *b, baseFile);
    } else if (!fresh && FAILED(ServiceStore(t, file))) {
        state.SkipWithError("store failed");
        return;
    }
    // One side's run and the process CPU time it took; false when it failed.
    auto service = [&](double& ms) {
        if (!restore && fresh)
            std::remove(file.c_str());
        const double t0 = CpuMs();
        const bool ok = restore ? SUCCEEDED(ServiceRestore(t, file, mode)) : SUCCEEDED(ServiceStore(t, file));
        ms = CpuMs() - t0;
        return ok;
    };
    auto baseline = [&](double& ms) {
        const double t0 = CpuMs();
        const bool ok = restore ? PugiRestore(t, *b, baseFile, sym) : PugiStore(t, *b, baseFile);
        ms = CpuMs() - t0;
        return ok;
    };
    double sMs = 0;
    double bMs = 0;
    if (!service(sMs) || !baseline(bMs)) {
        state.SkipWithError("warm-up failed");
        return;
    }
    double serviceMs = 0;
    double baselineMs = 0;
    std::vector<double> ratios;
    bool serviceFirst = true;
    for (auto _ : state) {
        const bool ok = serviceFirst ? service(sMs) && baseline(bMs) : baseline(bMs) && service(sMs);
        if (!ok) {
            state.SkipWithError("service or baseline failed");
            break;
        }
        serviceFirst = !serviceFirst;
        serviceMs += sMs;
        baselineMs += bMs;
        if (bMs > 0)
            ratios.push_back(sMs / bMs);
    }
    const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["service_ms"] = serviceMs / n;
    state.counters["baseline_ms"] = baselineMs / n;
    // The median of the pairs' ratios: a burst of other work on the machine that hits one side of a pair
    // moves the means, not the median.
    if (!ratios.empty()) {
        std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
        state.counters["pair_ratio"] = ratios[ratios.size() / 2];
    }
}

void PairStoreBench(benchmark::State& state, Target (*target)(), bool fresh)
{
    PairBench(state, target(), false, fresh, 0);
}

void PairRestoreBench(benchmark::State& state, Target (*target)(), uint16_t mode)
{
    PairBench(state, target(), true, false, mode);
}

#define DS_BENCH(...) BENCHMARK_CAPTURE(__VA_ARGS__)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
DS_BENCH(ServiceStoreBench, Samples100kReal, Samples100k, true);
DS_BENCH(PugiStoreBench, Samples100kReal, Samples100k);
DS_BENCH(ServiceRestoreBench, Samples100kReal, Samples100k, 0);
DS_BENCH(PugiRestoreBench, Samples100kReal, Samples100k);
DS_BENCH(ServiceStoreBench, Records10kStruct, Records10k, true);
DS_BENCH(PugiStoreBench, Records10kStruct, Records10k);
DS_BENCH(ServiceRestoreBench, Records10kStruct, Records10k, 0);
DS_BENCH(PugiRestoreBench, Records10kStruct, Records10k);
// Variants: a store that replaces the texts of an existing document, and restores matching by index and name.
DS_BENCH(ServiceStoreBench, Samples100kRealUpdate, Samples100k, false);
DS_BENCH(ServiceRestoreBench, Samples100kRealIgnoreOrder, Samples100k, XMLDS_MODE_IGNOREORDER);
DS_BENCH(ServiceStoreBench, Records10kStructUpdate, Records10k, false);
DS_BENCH(ServiceRestoreBench, Records10kStructIgnoreOrder, Records10k, XMLDS_MODE_IGNOREORDER);
// Encrypted files: streamed through the cipher, so they should take no more memory than plain ones. The
// cipher has no counterpart in the baseline; these cases are left out of the ratios.
DS_BENCH(ServiceStoreBench, Samples100kRealEncrypted, Samples100k, true, kPassword);
DS_BENCH(ServiceRestoreBench, Samples100kRealEncrypted, Samples100k, 0, kPassword);
// How cost grows: ten and forty times the elements of the REAL cases, ten times the structures.
DS_BENCH(ServiceStoreBench, Samples1MReal, Samples1M, true);
DS_BENCH(PugiStoreBench, Samples1MReal, Samples1M);
DS_BENCH(ServiceRestoreBench, Samples1MReal, Samples1M, 0);
DS_BENCH(PugiRestoreBench, Samples1MReal, Samples1M);
DS_BENCH(ServiceStoreBench, Samples4MReal, Samples4M, true);
DS_BENCH(PugiStoreBench, Samples4MReal, Samples4M);
DS_BENCH(ServiceRestoreBench, Samples4MReal, Samples4M, 0);
DS_BENCH(PugiRestoreBench, Samples4MReal, Samples4M);
DS_BENCH(ServiceStoreBench, Records100kStruct, Records100k, true);
DS_BENCH(PugiStoreBench, Records100kStruct, Records100k);
DS_BENCH(ServiceRestoreBench, Records100kStruct, Records100k, 0);
DS_BENCH(PugiRestoreBench, Records100kStruct, Records100k);

// Side by side, for the ratios.
DS_BENCH(PairStoreBench, Samples100kReal, Samples100k, true);
DS_BENCH(PairStoreBench, Samples100kRealUpdate, Samples100k, false);
DS_BENCH(PairStoreBench, Records10kStruct, Records10k, true);
DS_BENCH(PairStoreBench, Records10kStructUpdate, Records10k, false);
DS_BENCH(PairStoreBench, Samples1MReal, Samples1M, true);
DS_BENCH(PairStoreBench, Samples4MReal, Samples4M, true);
DS_BENCH(PairStoreBench, Records100kStruct, Records100k, true);
DS_BENCH(PairRestoreBench, Samples100kReal, Samples100k, 0);
DS_BENCH(PairRestoreBench, Samples100kRealIgnoreOrder, Samples100k, XMLDS_MODE_IGNOREORDER);
DS_BENCH(PairRestoreBench, Records10kStruct, Records10k, 0);
DS_BENCH(PairRestoreBench, Records10kStructIgnoreOrder, Records10k, XMLDS_MODE_IGNOREORDER);
DS_BENCH(PairRestoreBench, Samples1MReal, Samples1M, 0);
DS_BENCH(PairRestoreBench, Samples4MReal, Samples4M, 0);
DS_BENCH(PairRestoreBench, Records100kStruct, Records100k, 0);

// What the report keeps of a case: its process CPU time and the counters of the growth table.
struct CaseResult {
    bool median = false;
    double cpuMs = 0;
    std::map<std::string, double> counters;
};

// Console output plus, at the end, the ratio of each service time to its pugixml baseline and the growth table.
class RatioReporter : public CaseReporter<std::string, CaseResult> {
public:
    std::string KeyOf(const Run& r) const override
    {
        std::string name = r.run_name.str();
        const size_t cut = name.find("/process_time");
        if (cut != std::string::npos)
            name.erase(cut);
        return name;
    }
    void Keep(const Run& r, CaseResult& res) const override
    {
        res.cpuMs = r.GetAdjustedCPUTime();
        for (const char* c : {"elements", "xml_MiB", "peak_MiB", "added_MiB", "service_ms", "baseline_ms", "pair_ratio"})
            res.counters[c] = CounterOf(r, c);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nprocess CPU time, service / pugixml baseline (medians when repeated): in cases of their own, "
                    "and side by side in one case (means of its pairs; the ratio is the median of the pairs' ratios)\n");
        std::printf("%-8s %-28s %12s %12s %7s %12s %12s %7s\n", "kind", "value", "service ms", "pugixml ms", "ratio",
                    "service ms", "pugixml ms", "ratio");
        for (const char* kind : {"Store", "Restore"}) {
            for (const auto& [name, res] : m_cases) {
                const std::string prefix = std::string("Service") + kind + "Bench/";
                if (name.compare(0, prefix.size(), prefix) != 0)
                    continue;
                const std::string value = name.substr(prefix.size());
                if (value.find("Encrypted") != std::string::npos)
                    continue;
                // Every variant is compared with the baseline of its value.
                std::string plain = value;
                for (const char* suffix : {"Update", "IgnoreOrder"}) {
                    const size_t at = plain.find(suffix);
                    if (at != std::string::npos)
                        plain.erase(at);
                }
                const auto base = m_cases.find(std::string("Pugi") + kind + "Bench/" + plain);
                const auto pair = m_cases.find(std::string("Pair") + kind + "Bench/" + value);
                const double baseMs = base == m_cases.end() ? 0.0 : base->second.cpuMs;
                const double pairMs = pair == m_cases.end() ? 0.0 : pair->second.counters.at("service_ms");
                const double pairBaseMs = pair == m_cases.end() ? 0.0 : pair->second.counters.at("baseline_ms");
                const double pairRatio = pair == m_cases.end() ? 0.0 : pair->second.counters.at("pair_ratio");
                std::printf("%-8s %-28s %12.2f %12.2f %7.2f %12.2f %12.2f %7.2f\n", kind, value.c_str(), res.cpuMs,
                            baseMs, baseMs > 0 ? res.cpuMs / baseMs : 0.0, pairMs, pairBaseMs, pairRatio);
            }
        }
        std::printf("\ngrowth: process CPU time per element, peak resident memory of the process, and the memory a "
                    "case added as a multiple of its XML file\n");
        std::printf("%-8s %-10s %-22s %10s %9s %9s %10s %10s %8s\n", "kind", "who", "value", "elements", "us/elem",
                    "xml MiB", "peak MiB", "added MiB", "x xml");
        for (const char* kind : {"Store", "Restore"}) {
            for (const char* who : {"Service", "Pugi"}) {
                const std::string prefix = std::string(who) + kind + "Bench/";
                for (const auto& [name, res] : m_cases) {
                    if (name.compare(0, prefix.size(), prefix) != 0)
                        continue;
                    const std::string value = name.substr(prefix.size());
                    if (value.find("Update") != std::string::npos || value.find("IgnoreOrder") != std::string::npos)
                        continue;
                    const double n = res.counters.at("elements");
                    const double xml = res.counters.at("xml_MiB");
                    const double added = res.counters.at("added_MiB");
                    std::printf("%-8s %-10s %-22s %10.0f %9.3f %9.1f %10.1f %10.1f %8.2f\n", kind,
                                std::string(who) == "Pugi" ? "pugixml" : "service", value.c_str(), n,
                                n > 0 ? res.cpuMs * 1000.0 / n : 0.0, xml, res.counters.at("peak_MiB"), added,
                                xml > 0 ? added / xml : 0.0);
                }
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // glibc moves its thresholds for mapping and giving back memory with what was freed last, so a case would
    // cost more or less depending on the cases before it. Fixed thresholds make every case start alike (each
    // case still begins with the memory given back, see ResetPeakRss).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    RatioReporter reporter;
    if (!RunBenchmarks(&argc, argv, reporter))
        return 1;
    return 0;
}
