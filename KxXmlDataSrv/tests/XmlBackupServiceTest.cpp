// Backup copies seen through the service program: the configuration read at start with its log lines, the
// copies made at start, the rotation over several stores and the fallback of a read open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "KxPlcSim.h"
#include "XmlBackupServiceSupport.h"

using namespace kxsvc;

namespace {

const char kSymbol[] = "MAIN.stGen";
const char kPath[] = "/dataentry/MAIN.stGen";

// The text a store of generation g writes (plain, no indent).
std::string GenerationText(uint32_t g)
{
    std::string s = "<dataentry><MAIN.stGen><nGeneration>" + std::to_string(g) + "</nGeneration>";
    for (int i = 0; i < 16; ++i)
        s += "<aValues index=\"" + std::to_string(i) + "\">" + std::to_string(g * 1000 + i) + "</aValues>";
    return s + "</MAIN.stGen></dataentry>";
}

class XmlBackupService : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        plcFile = std::string(KX_TEST_DATA_DIR) + "/backup/generation-device.xml";
        CKxPlcSim sim;
        KxPlcLoadResult r = sim.LoadFile(plcFile);
        ASSERT_TRUE(r.ok) << r.description;
        ASSERT_TRUE(sim.Resolve(kSymbol, sym));
        ASSERT_TRUE(sim.Resolve(std::string(kSymbol) + ".aValues", values));
    }
    void TearDown() override
    {
        link.Leave();
        svc.Kill();
    }

    void SetGeneration(uint32_t g)
    {
        std::vector<uint8_t> v(sym.size, 0);
        std::memcpy(v.data(), &g, 4);
        for (int32_t i = 0; i < 16; ++i) {
            int32_t x = static_cast<int32_t>(g) * 1000 + i;
            std::memcpy(v.data() + (values.offset - sym.offset) + 4 * i, &x, 4);
        }
        ASSERT_TRUE(link.PlcWrite(sym.group, sym.offset, v));
    }
    uint32_t Generation()
    {
        std::vector<uint8_t> v;
        EXPECT_TRUE(link.PlcRead(sym.group, sym.offset, 4, v));
        uint32_t g = 0;
        if (v.size() == 4)
            std::memcpy(&g, v.data(), 4);
        return g;
    }
    // The log lines that contain text, in order.
    std::vector<std::string> LogLines(const std::string& text) const
    {
        std::vector<std::string> out;
        std::istringstream in(ReadFile(LogPath(dir.Path())));
        std::string line;
        while (std::getline(in, line))
            if (line.find(text) != std::string::npos)
                out.push_back(line.substr(0, line.find_last_not_of("\r") + 1));
        return out;
    }
    bool LogHas(const std::string& text) const { return !LogLines(text).empty(); }

    TempDir dir;
    std::string plcFile;
    KxPlcSymbolInfo sym, values;
    Service svc;
    Link link;
};

TEST_F(XmlBackupService, ConfigurationAtStartRotationAndFallback)
{
    const std::string base = dir / "recipe.xml", b1 = dir / "recipe.b1", b2 = dir / "recipe.b2";
    ASSERT_TRUE(WriteFile(base, GenerationText(0)));
    BackupEntry broken = Entry("Broken", dir / "other.xml", dir / "other.b1", dir / "other.b2", 1);
    broken.values.erase(broken.values.begin() + 2);
    ASSERT_TRUE(WriteFile(dir / "other.xml", GenerationText(5)));
    WriteRegistry(dir.Path(), 2, {Entry("Recipe", base, b1, b2, 1), broken});
    ASSERT_TRUE(StartAndJoin(svc, link, KX_XMLSRV_EXE, dir.Path(), plcFile)) << ReadFile(dir / "service.stderr");

    // At start: the valid entry got both copies, the incomplete one none, and the log says which is which.
    EXPECT_EQ(GenerationText(0), ReadFile(b1));
    EXPECT_EQ(GenerationText(0), ReadFile(b2));
    EXPECT_FALSE(Exists(dir / "other.b1"));
    EXPECT_TRUE(LogHas("BACKUP_FILES data for registry key \"Recipe\" is valid!"));
    EXPECT_TRUE(LogHas("BACKUP_FILES data for registry key \"Broken\" is not valid and will be ignored!"));

    // Three stores: backup 2, backup 1, backup 2, each recorded as the newest.
    const std::string update = "Registry Update! KeyName=\"Software\\Velmor\\Korvex3 Functions\\QM4410 XML "
                               "Server\\BACKUP_FILES\\Recipe\", ValueName=\"LastUpdatedBackupFile\", Value=\"";
    const uint32_t written[] = {2, 1, 2};
    std::string held[3] = {"", GenerationText(0), GenerationText(0)};
    for (uint32_t g = 1; g <= 3; ++g) {
        SCOPED_TRACE("store " + std::to_string(g));
        SetGeneration(g);
        ASSERT_EQ(0u, link.Store(base, kSymbol, kPath));
        held[written[g - 1]] = GenerationText(g);
        EXPECT_EQ(GenerationText(g), ReadFile(base));
        EXPECT_EQ(held[1], ReadFile(b1));
        EXPECT_EQ(held[2], ReadFile(b2));
        const std::vector<std::string> lines = LogLines(update);
        ASSERT_EQ(g, lines.size());
        EXPECT_NE(std::string::npos,
                  lines.back().find(update + std::to_string(written[g - 1]) + "\", Result=\"0\""));
    }
    // The other file is not configured: its stores write no copies.
    ASSERT_EQ(0u, link.Store(dir / "other.xml", kSymbol, kPath));
    EXPECT_FALSE(Exists(dir / "other.b1"));

    // A broken base file is read from the newest copy, then from the older one.
    ASSERT_TRUE(WriteFile(base, "<dataentry><MAIN.stGen>"));
    SetGeneration(0);
    ASSERT_EQ(0u, link.Restore(base, kSymbol, kPath));
    EXPECT_EQ(3u, Generation());
    ASSERT_TRUE(WriteFile(b2, ""));
    ASSERT_EQ(0u, link.Restore(base, kSymbol, kPath));
    EXPECT_EQ(2u, Generation());
    EXPECT_TRUE(LogHas("Failed to open backup file! File=\"" + b2 + "\" HRESULT=\"0x98118002\""));
    ASSERT_TRUE(WriteFile(b1, "x"));
    EXPECT_EQ(0x8002u, link.Restore(base, kSymbol, kPath));

    ASSERT_TRUE(svc.Stop());
}

} // namespace
