// Crash safety of saves: the service program stores large symbols into files with backup copies in a loop
// and is killed (SIGKILL) in the middle of it. After every kill each base file and each backup must hold one
// complete content written before, and the restarted service must read every base file back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "KxPlcSim.h"
#include "XmlBackupServiceSupport.h"
#include "XmlDataServerFile.h"

using namespace kxsvc;

namespace {

constexpr int kRounds = 3;                 // service runs that end with a kill
constexpr int kMaxStoresPerRound = 200;    // bound of one round's loop
constexpr uint32_t kValues = 12000;        // elements of the stored array (see the device description)
const std::chrono::seconds kRoundLimit(60);
const char kUser[] = "crash";
const char kPassword[] = "safe";

// What a file holds: its generation, or why there is none.
enum : int64_t { kMissing = -1, kUnreadable = -2, kTorn = -3 };

int32_t ValueOf(uint32_t g, uint32_t i)
{
    return static_cast<int32_t>(g * 100000u + i);
}

struct Target {
    std::string symbol;  // PLC symbol stored into the file
    std::string base, b1, b2;
    KxPlcSymbolInfo info;
    uint32_t valuesOffset = 0;        // of the array inside the symbol
    std::set<int64_t> sent;           // generations a store was started with
    int64_t acked = kMissing;         // generation of the last store the service confirmed
};

class CrashSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        data = dir / "data";
        std::filesystem::create_directories(data);
        plcFile = std::string(KX_TEST_DATA_DIR) + "/backup/generation-device.xml";
        CKxPlcSim sim;
        KxPlcLoadResult r = sim.LoadFile(plcFile);
        ASSERT_TRUE(r.ok) << r.description;
        std::vector<BackupEntry> entries;
        for (const char* name : {"A", "B"}) {
            Target t;
            t.symbol = std::string("MAIN.stBulk") + name;
            t.base = data + "/bulk" + name + ".xml";
            t.b1 = data + "/bulk" + name + ".bak1";
            t.b2 = data + "/bulk" + name + ".bak2";
            ASSERT_TRUE(sim.Resolve(t.symbol, t.info));
            KxPlcSymbolInfo values;
            ASSERT_TRUE(sim.Resolve(t.symbol + ".aValues", values));
            ASSERT_EQ(kValues * 4, values.size);
            t.valuesOffset = values.offset - t.info.offset;
            entries.push_back(Entry(name, t.base, t.b1, t.b2, name[0] == 'A' ? 1 : 2));
            targets.push_back(t);
        }
        WriteRegistry(dir.Path(), 1, entries);
    }
    void TearDown() override
    {
        link.Leave();
        svc.Kill();
    }

    std::string Path(const Target& t) const { return "/dataentry/" + t.symbol; }

    bool SetGeneration(const Target& t, uint32_t g)
    {
        std::vector<uint8_t> v(t.info.size, 0);
        std::memcpy(v.data(), &g, 4);
        for (uint32_t i = 0; i < kValues; ++i) {
            const int32_t x = ValueOf(g, i);
            std::memcpy(v.data() + t.valuesOffset + 4 * i, &x, 4);
        }
        return link.PlcWrite(t.info.group, t.info.offset, v);
    }
    uint32_t PlcGeneration(const Target& t)
    {
        std::vector<uint8_t> v;
        uint32_t g = 0;
        if (link.PlcRead(t.info.group, t.info.offset, 4, v))
            std::memcpy(&g, v.data(), 4);
        return g;
    }

    // The generation in a file, checking that every value of the array belongs to it.
    static int64_t GenerationOfFile(const Target& t, const std::string& file)
    {
        if (!Exists(file))
            return kMissing;
        pugi::xml_document doc;
        if (FAILED(XmlLoadDocument(doc, file, kUser, kPassword)))
            return kUnreadable;
        const std::string path = "/dataentry/" + t.symbol;
        pugi::xml_node gen = doc.select_node((path + "/nGeneration").c_str()).node();
        if (!gen)
            return kUnreadable;
        const int64_t g = gen.text().as_llong(-1);
        uint32_t n = 0;
        for (const pugi::xpath_node& v : doc.select_nodes((path + "/aValues").c_str())) {
            if (n >= kValues || v.node().text().as_llong(-1) != ValueOf(static_cast<uint32_t>(g), n))
                return kTorn;
            ++n;
        }
        return n == kValues ? g : kTorn;
    }

    // After a kill: every file is missing or complete with a generation stored into it before; the base
    // file is at least as new as the last confirmed store.
    void CheckFiles()
    {
        for (const Target& t : targets) {
            SCOPED_TRACE(t.base);
            for (const std::string& file : {t.base, t.b1, t.b2}) {
                const int64_t g = GenerationOfFile(t, file);
                if (g == kMissing && file != t.base)
                    continue;
                if (g == kMissing && t.acked == kMissing)
                    continue;
                EXPECT_TRUE(t.sent.count(g)) << file << " holds " << g;
                if (file == t.base) {
                    EXPECT_GE(g, t.acked) << file;
                }
            }
        }
    }

    // After a restart: the service reads each stored base file back into the PLC.
    void CheckRestore()
    {
        for (const Target& t : targets) {
            if (t.acked == kMissing && !Exists(t.base))
                continue;
            SCOPED_TRACE(t.base);
            const int64_t g = GenerationOfFile(t, t.base);
            ASSERT_TRUE(SetGeneration(t, 0));
            EXPECT_EQ(0u, link.Restore(t.base, t.symbol, Path(t)));
            EXPECT_EQ(g, int64_t(PlcGeneration(t)));
        }
    }

    // Names and sizes of what the data folder holds.
    std::map<std::string, uintmax_t> Snapshot() const
    {
        std::map<std::string, uintmax_t> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(data, ec)) {
            std::error_code ec2;
            const uintmax_t size = e.file_size(ec2);
            out[e.path().string()] = ec2 ? 0 : size;
        }
        return out;
    }

    TempDir dir;
    std::string data;
    std::string plcFile;
    std::vector<Target> targets;
    Service svc;
    Link link;
};

TEST_F(CrashSafety, KilledWhileSavingLeavesCompleteFiles)
{
    uint32_t generation = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(StartAndJoin(svc, link, KX_XMLSRV_EXE, dir.Path(), plcFile)) << ReadFile(dir / "service.stderr");
        // From the second run on, files are written encrypted (and plain ones still load).
        if (round > 0) {
            ASSERT_EQ(0u, link.SetCredentials(kUser, kPassword));
        }
        CheckRestore();
        if (HasFatalFailure())
            return;

        // Once a few stores of this run are done, the killer waits for the next save to show in the data folder
        // (a new entry, or a file whose size changes) and kills the service right then; without any sign it
        // kills after some more stores, or at the round's limit.
        const int warmUp = 2 + round;
        std::atomic<int> completed{0};
        std::atomic<bool> killed{false};
        const pid_t pid = svc.Pid();
        const auto deadline = Clock::now() + kRoundLimit;
        std::thread killer([&] {
            std::map<std::string, uintmax_t> before;
            bool watching = false;
            while (!killed) {
                const int done = completed.load();
                if (done >= warmUp && !watching) {
                    before = Snapshot();
                    watching = true;
                }
                if ((watching && Snapshot() != before) || done >= warmUp + 6 || Clock::now() > deadline) {
                    ::kill(pid, SIGKILL);
                    killed = true;
                }
                std::this_thread::yield();
            }
        });
        for (int i = 0; i < kMaxStoresPerRound && !killed; ++i) {
            Target& t = targets[generation % targets.size()];
            ++generation;
            if (!SetGeneration(t, generation))
                break;
            t.sent.insert(generation);
            const uint32_t err = link.Store(t.base, t.symbol, Path(t));
            if (err != 0)
                break;
            t.acked = generation;
            ++completed;
        }
        killed = true;
        killer.join();
        link.Leave();
        svc.Kill();
        CheckFiles();
    }
    // A last run reads back what the last kill left.
    ASSERT_TRUE(StartAndJoin(svc, link, KX_XMLSRV_EXE, dir.Path(), plcFile));
    ASSERT_EQ(0u, link.SetCredentials(kUser, kPassword));
    CheckRestore();
    EXPECT_TRUE(svc.Stop());
}

} // namespace
