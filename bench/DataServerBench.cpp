// Store and restore of large symbols through the data server (router and simulated PLC in process), against a
// baseline that builds, saves and parses the same document directly with pugixml. Reports both times and the
// ratio service / baseline for each value.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ftw.h>
#include <unistd.h>

#include <pugixml.hpp>

#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"
#include "XmlDataServer.h"

namespace {

const char* const kSamples = "Logger.aSamples";
const char* const kSamplesPath = "/dataentry/Logger/aSamples";
const char* const kRecords = "Bench.aRecords";
const char* const kRecordsPath = "/dataentry/Bench/aRecords";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return std::remove(path);
}

// One router with the sample machine and the benchmark's own PLC for the whole program.
struct Env {
    CKxPlcSim sample;
    CKxPlcSim records;
    CKxPlcSimHost sampleHost;
    CKxPlcSimHost recordsHost;
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
        FillRecords();
        ok = SUCCEEDED(sampleHost.Start(&sample)) && SUCCEEDED(recordsHost.Start(&records));
    }
    ~Env()
    {
        sampleHost.Stop();
        recordsHost.Stop();
        KxRouterStop();
        if (!dir.empty())
            nftw(dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    // Distinct values in every field so that texts have realistic lengths.
    void FillRecords()
    {
        KxPlcSymbolInfo sym, id, value, okField, name;
        if (!records.Resolve(kRecords, sym) || !records.Resolve("Bench.aRecords[1].nId", id) ||
            !records.Resolve("Bench.aRecords[1].fValue", value) || !records.Resolve("Bench.aRecords[1].bOk", okField) ||
            !records.Resolve("Bench.aRecords[1].sName", name))
            return;
        const uint32_t z = sym.size / 10000;
        std::vector<uint8_t> image(sym.size, 0);
        for (uint32_t i = 0; i < 10000; ++i) {
            uint8_t* e = image.data() + i * z;
            const int32_t n = static_cast<int32_t>(i * 7 - 20000);
            const double f = i * 0.125 - 321.5;
            std::memcpy(e + (id.offset - sym.offset), &n, 4);
            std::memcpy(e + (value.offset - sym.offset), &f, 8);
            e[okField.offset - sym.offset] = i % 3 == 0;
            std::snprintf(reinterpret_cast<char*>(e + (name.offset - sym.offset)), name.size, "rec%u", i);
        }
        records.Poke(sym.group, sym.offset, image.data(), sym.size);
    }
};

Env& TheEnv()
{
    static Env env;
    return env;
}

struct Target {
    CKxPlcSim* sim;
    CKxPlcSimHost* host;
    const char* symbol;
    const char* path;
    const char* file;
};

Target SamplesTarget()
{
    Env& e = TheEnv();
    return {&e.sample, &e.sampleHost, kSamples, kSamplesPath, "samples.xml"};
}

Target RecordsTarget()
{
    Env& e = TheEnv();
    return {&e.records, &e.recordsHost, kRecords, kRecordsPath, "records.xml"};
}

std::string FileOf(const Target& t, const char* suffix)
{
    return TheEnv().dir + "/" + suffix + t.file;
}

HRESULT ServiceStore(const Target& t, const std::string& file)
{
    CXmlDataServer srv;
    HRESULT hr = srv.OpenWrite(t.host->GetAddress(), XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, file.c_str(), t.symbol,
                               t.path, nullptr);
    HRESULT hrClose = srv.Close(false);
    return FAILED(hr) ? hr : hrClose;
}

HRESULT ServiceRestore(const Target& t, const std::string& file, uint16_t mode = 0)
{
    CXmlDataServer srv;
    HRESULT hr = srv.OpenRead(t.host->GetAddress(), static_cast<uint16_t>(XMLDS_MODE_TRANSFER | mode), file.c_str(),
                              t.symbol, t.path, nullptr);
    srv.Close(false);
    return hr;
}

// The baseline: the same document built and parsed with pugixml alone, from and into a memory image.
struct Baseline {
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
        pugi::xml_node logger = parent.append_child("Logger");
        for (size_t i = 0; i < image.size() / 4; ++i) {
            float f;
            std::memcpy(&f, image.data() + i * 4, 4);
            pugi::xml_node e = logger.append_child("aSamples");
            e.append_attribute("index").set_value(static_cast<long long>(i));
            SetFormatted(e, "%.9g", f);
        }
    }
    bool Parse(pugi::xml_node parent, std::vector<uint8_t>& image) const override
    {
        for (pugi::xml_node e = parent.child("Logger").child("aSamples"); e; e = e.next_sibling("aSamples")) {
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
    uint32_t z = 32, oId = 0, oValue = 8, oOk = 16, oName = 17, cbName = 12;
    void Build(pugi::xml_node parent, const std::vector<uint8_t>& image) const override
    {
        pugi::xml_node bench = parent.append_child("Bench");
        for (size_t i = 0; i < image.size() / z; ++i) {
            const uint8_t* p = image.data() + i * z;
            pugi::xml_node e = bench.append_child("aRecords");
            e.append_attribute("index").set_value(static_cast<long long>(i + 1));
            int32_t n;
            double f;
            std::memcpy(&n, p + oId, 4);
            std::memcpy(&f, p + oValue, 8);
            e.append_child("nId").text().set(n);
            SetFormatted(e.append_child("fValue"), "%.15g", f);
            e.append_child("bOk").text().set(p[oOk] ? "true" : "false");
            e.append_child("sName").text().set(std::string(reinterpret_cast<const char*>(p + oName),
                                                           strnlen(reinterpret_cast<const char*>(p + oName), cbName))
                                                   .c_str());
        }
    }
    bool Parse(pugi::xml_node parent, std::vector<uint8_t>& image) const override
    {
        for (pugi::xml_node e = parent.child("Bench").child("aRecords"); e; e = e.next_sibling("aRecords")) {
            const long long index = e.attribute("index").as_llong(0);
            if (index < 1 || static_cast<size_t>(index) > image.size() / z)
                return false;
            uint8_t* p = image.data() + (index - 1) * z;
            const int32_t n = e.child("nId").text().as_int();
            const double f = std::strtod(e.child("fValue").text().get(), nullptr);
            std::memcpy(p + oId, &n, 4);
            std::memcpy(p + oValue, &f, 8);
            p[oOk] = std::strcmp(e.child("bOk").text().get(), "true") == 0;
            std::memset(p + oName, 0, cbName);
            std::strncpy(reinterpret_cast<char*>(p + oName), e.child("sName").text().get(), cbName - 1);
        }
        return true;
    }
};

std::unique_ptr<Baseline> BaselineFor(const Target& t)
{
    if (t.symbol == kSamples)
        return std::make_unique<SamplesBaseline>();
    auto b = std::make_unique<RecordsBaseline>();
    KxPlcSymbolInfo sym, id, value, ok, name;
    if (t.sim->Resolve(kRecords, sym) && t.sim->Resolve("Bench.aRecords[1].nId", id) &&
        t.sim->Resolve("Bench.aRecords[1].fValue", value) && t.sim->Resolve("Bench.aRecords[1].bOk", ok) &&
        t.sim->Resolve("Bench.aRecords[1].sName", name)) {
        b->z = sym.size / 10000;
        b->oId = id.offset - sym.offset;
        b->oValue = value.offset - sym.offset;
        b->oOk = ok.offset - sym.offset;
        b->oName = name.offset - sym.offset;
        b->cbName = name.size;
    }
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

bool Ready(benchmark::State& state)
{
    if (!TheEnv().ok) {
        state.SkipWithError("router or simulated PLC not available");
        return false;
    }
    return true;
}

// fresh: every store creates the file; otherwise the texts of the existing document are replaced.
void ServiceStoreBench(benchmark::State& state, Target (*target)(), bool fresh)
{
    if (!Ready(state))
        return;
    const Target t = target();
    const std::string file = FileOf(t, "store-");
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            std::remove(file.c_str());
            state.ResumeTiming();
        }
        const HRESULT hr = ServiceStore(t, file);
        if (FAILED(hr)) {
            state.SkipWithError("store failed");
            break;
        }
    }
}

void ServiceRestoreBench(benchmark::State& state, Target (*target)(), uint16_t mode)
{
    if (!Ready(state))
        return;
    const Target t = target();
    const std::string file = FileOf(t, "restore-");
    if (FAILED(ServiceStore(t, file))) {
        state.SkipWithError("store failed");
        return;
    }
    // The restore must bring back every byte into a cleared PLC, or the time says nothing.
    {
        const std::vector<uint8_t> original = Image(t);
        KxPlcSymbolInfo sym;
        t.sim->Resolve(t.symbol, sym);
        const std::vector<uint8_t> zeros(original.size(), 0);
        t.sim->Poke(sym.group, sym.offset, zeros.data(), static_cast<uint32_t>(zeros.size()));
        const HRESULT hr = ServiceRestore(t, file, mode);
        if (FAILED(hr) || Image(t) != original) {
            t.sim->Poke(sym.group, sym.offset, original.data(), static_cast<uint32_t>(original.size()));
            state.SkipWithError("restore did not bring the value back");
            return;
        }
    }
    for (auto _ : state) {
        const HRESULT hr = ServiceRestore(t, file, mode);
        if (FAILED(hr)) {
            state.SkipWithError("restore failed");
            break;
        }
    }
}

void PugiStoreBench(benchmark::State& state, Target (*target)())
{
    if (!Ready(state))
        return;
    const Target t = target();
    const std::string file = FileOf(t, "pugi-store-");
    const std::unique_ptr<Baseline> b = BaselineFor(t);
    for (auto _ : state) {
        // The service reads the image from the PLC as part of a store; so does the baseline.
        const std::vector<uint8_t> image = Image(t);
        pugi::xml_document doc;
        b->Build(doc.append_child("dataentry"), image);
        if (!doc.save_file(file.c_str(), "", kSaveFlags)) {
            state.SkipWithError("save failed");
            break;
        }
    }
}

void PugiRestoreBench(benchmark::State& state, Target (*target)())
{
    if (!Ready(state))
        return;
    const Target t = target();
    const std::string file = FileOf(t, "pugi-restore-");
    const std::unique_ptr<Baseline> b = BaselineFor(t);
    {
        pugi::xml_document doc;
        b->Build(doc.append_child("dataentry"), Image(t));
        doc.save_file(file.c_str(), "", kSaveFlags);
    }
    for (auto _ : state) {
        pugi::xml_document doc;
        std::vector<uint8_t> image = Image(t);
        if (!doc.load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration) ||
            !b->Parse(doc.child("dataentry"), image)) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(image.data());
    }
}

#define DS_BENCH(...) BENCHMARK_CAPTURE(__VA_ARGS__)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
DS_BENCH(ServiceStoreBench, Samples100kReal, SamplesTarget, true);
DS_BENCH(PugiStoreBench, Samples100kReal, SamplesTarget);
DS_BENCH(ServiceRestoreBench, Samples100kReal, SamplesTarget, 0);
DS_BENCH(PugiRestoreBench, Samples100kReal, SamplesTarget);
DS_BENCH(ServiceStoreBench, Records10kStruct, RecordsTarget, true);
DS_BENCH(PugiStoreBench, Records10kStruct, RecordsTarget);
DS_BENCH(ServiceRestoreBench, Records10kStruct, RecordsTarget, 0);
DS_BENCH(PugiRestoreBench, Records10kStruct, RecordsTarget);
// Variants: a store that replaces the texts of an existing document, and restores matching by index and name.
DS_BENCH(ServiceStoreBench, Samples100kRealUpdate, SamplesTarget, false);
DS_BENCH(ServiceRestoreBench, Samples100kRealIgnoreOrder, SamplesTarget, XMLDS_MODE_IGNOREORDER);
DS_BENCH(ServiceStoreBench, Records10kStructUpdate, RecordsTarget, false);
DS_BENCH(ServiceRestoreBench, Records10kStructIgnoreOrder, RecordsTarget, XMLDS_MODE_IGNOREORDER);

// Console output plus, at the end, the ratio of each service time to its pugixml baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0) {
                // Names carry "/process_time" once the process CPU time is measured.
                std::string name = r.benchmark_name();
                const size_t cut = name.find("/process_time");
                if (cut != std::string::npos)
                    name.erase(cut);
                m_times[name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
            }
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char* kind : {"Store", "Restore"}) {
            for (const char* value : {"Samples100kReal", "Records10kStruct", "Samples100kRealUpdate",
                                      "Records10kStructUpdate", "Samples100kRealIgnoreOrder",
                                      "Records10kStructIgnoreOrder"}) {
                const std::string svc = std::string("Service") + kind + "Bench/" + value;
                // Every variant is compared with the baseline of its value.
                std::string plain = value;
                for (const char* suffix : {"Update", "IgnoreOrder"}) {
                    const size_t at = plain.find(suffix);
                    if (at != std::string::npos)
                        plain.erase(at);
                }
                const std::string base = std::string("Pugi") + kind + "Bench/" + plain;
                if (!m_times.count(svc) || !m_times.count(base) || m_times[base].real <= 0 || m_times[base].cpu <= 0)
                    continue;
                const Times& a = m_times[svc];
                const Times& b = m_times[base];
                std::printf("%-8s %-27s wall: service %8.1f ms, pugixml %8.1f ms, ratio %5.2f | "
                            "process CPU: service %8.1f ms, pugixml %8.1f ms, ratio %5.2f\n",
                            kind, value, a.real, b.real, a.real / b.real, a.cpu, b.cpu, a.cpu / b.cpu);
            }
        }
    }

private:
    struct Times {
        double real = 0;
        double cpu = 0;
    };
    std::map<std::string, Times> m_times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
