// Store and restore through a data server against the simulated PLC behind the in-process router: the stored
// file must equal the checked-in text under tests/data/dataserver/golden/, and restoring that text into a
// scrambled PLC must give back the original image, byte for byte, except the values that are never read.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <ftw.h>
#include <unistd.h>

#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"
#include "XmlDataServer.h"
#include "XmlDataServerSettings.h"

namespace {

const uint8_t kScramble = 0xA5;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return std::remove(path);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

std::string Hex(const std::vector<uint8_t>& b)
{
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        s += buf;
    }
    return s;
}

// A router with one simulated PLC per test, a temporary folder and the global save settings put back.
class GoldenStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        const uint8_t netId[6] = {10, 60, 0, 1, 1, 1};
        std::memcpy(cfg.netId.b, netId, sizeof netId);
        ASSERT_EQ(S_OK, KxRouterStart(&cfg));
        char tmpl[] = "/tmp/XmlGoldenXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        savedIndent = CXmlDataServerSettings::m_sIndent;
        savedBlock = CXmlDataServerSettings::m_nFexBlockSize;
        CXmlDataServerSettings::m_nFexBlockSize = 0x40000;
    }
    void TearDown() override
    {
        host.Stop();
        KxRouterStop();
        CXmlDataServerSettings::m_sIndent = savedIndent;
        CXmlDataServerSettings::m_nFexBlockSize = savedBlock;
        if (!dir.empty())
            nftw(dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    void StartPlc(const std::string& description)
    {
        KxPlcLoadResult r = sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/" + description);
        ASSERT_TRUE(r.ok) << r.description;
        host.Stop();
        ASSERT_EQ(S_OK, host.Start(&sim));
        addr = host.GetAddress();
    }

    KxPlcSymbolInfo Info(const std::string& name)
    {
        KxPlcSymbolInfo info;
        EXPECT_TRUE(sim.Resolve(name, info)) << name;
        return info;
    }
    std::vector<uint8_t> Memory(const std::string& name)
    {
        const KxPlcSymbolInfo info = Info(name);
        std::vector<uint8_t> out;
        EXPECT_TRUE(sim.Peek(info.group, info.offset, info.size, out)) << name;
        return out;
    }
    void Fill(const std::string& name, uint8_t value)
    {
        const KxPlcSymbolInfo info = Info(name);
        const std::vector<uint8_t> bytes(info.size, value);
        ASSERT_TRUE(sim.Poke(info.group, info.offset, bytes.data(), info.size));
    }

    HRESULT Store(uint16_t mode, const std::string& file, const char* symbol, const char* path)
    {
        CXmlDataServer srv;
        HRESULT hr = srv.OpenWrite(addr, mode, file.c_str(), symbol, path, nullptr);
        const HRESULT hrClose = srv.Close(false);
        return FAILED(hr) ? hr : hrClose;
    }
    HRESULT Restore(uint16_t mode, const std::string& file, const char* symbol, const char* path)
    {
        CXmlDataServer srv;
        HRESULT hr = srv.OpenRead(addr, mode, file.c_str(), symbol, path, nullptr);
        srv.Close(false);
        return hr;
    }

    CKxPlcSim sim;
    CKxPlcSimHost host;
    HopAddr addr;
    std::string dir;
    std::string savedIndent;
    uint32_t savedBlock = 0;
};

struct Symbol {
    const char* name;
    const char* path;
};

struct GoldenCase {
    const char* golden;             // expected file under golden/
    const char* indent;             // indent of the saved document
    uint16_t mode;                  // mode bits besides create and transfer
    std::vector<Symbol> symbols;    // stored one after the other into the same file
    std::vector<const char*> kept;  // values a restore never touches (pointers, excluded values)
    std::vector<const char*> bits;  // BIT members: the other bits of their bytes are never touched
};

const std::vector<GoldenCase>& GoldenCases()
{
    static const std::vector<GoldenCase> cases = {
        {"struct-with-array.xml", "  ", 0, {{"MAIN.stBatch", "/dataentry/MAIN/stBatch"}},
         {"MAIN.stBatch.pNext", "MAIN.stBatch.nSecret"}, {}},
        {"struct-comments.xml", "  ", XMLDS_MODE_SYMBOLCOMMENT | XMLDS_MODE_TYPECOMMENT,
         {{"MAIN.stBatch", "/dataentry/MAIN/stBatch"}}, {"MAIN.stBatch.pNext", "MAIN.stBatch.nSecret"}, {}},
        {"array-of-structs.xml", "  ", 0, {{"MAIN.aPoints", "/dataentry/MAIN/aPoints"}}, {}, {}},
        {"array-2d-raw.xml", "", 0, {{"MAIN.aGrid", "/dataentry/MAIN/aGrid"}}, {}, {}},
        {"array-4d.xml", "\t", 0, {{"MAIN.aCube", "/dataentry/MAIN/aCube"}}, {}, {}},
        {"nested-array.xml", "  ", 0, {{"MAIN.aNested", "/dataentry/MAIN/aNested"}}, {}, {}},
        {"string-members.xml", "  ", 0, {{"MAIN.stTexts", "/dataentry/MAIN/stTexts"}}, {}, {}},
        {"string-symbols.xml", "  ", 0,
         {{"MAIN.sTitle", "/dataentry/MAIN/sTitle"},
          {"MAIN.sTitleUtf", "/dataentry/MAIN/sTitleUtf"},
          {"MAIN.wsTitle", "/dataentry/MAIN/wsTitle"}},
         {}, {}},
        {"bool-bit.xml", "  ", 0, {{"MAIN.stBits", "/dataentry/MAIN/stBits"}}, {},
         {"MAIN.stBits.bReady", "MAIN.stBits.bBusy", "MAIN.stBits.bError"}},
        {"bool-bit-numeric.xml", "  ", XMLDS_MODE_NUMERICBOOL, {{"MAIN.stBits", "/dataentry/MAIN/stBits"}}, {},
         {"MAIN.stBits.bReady", "MAIN.stBits.bBusy", "MAIN.stBits.bError"}},
        {"enum-pointer-excluded.xml", "  ", 0,
         {{"MAIN.eState", "/dataentry/MAIN/eState"},
          {"MAIN.pData", "/dataentry/MAIN/pData"},
          {"MAIN.nExcluded", "/dataentry/MAIN/nExcluded"}},
         {"MAIN.pData", "MAIN.nExcluded"}, {}},
    };
    return cases;
}

TEST_F(GoldenStore, StoredTextAndRestoredImageMatchTheGoldenFiles)
{
    for (const GoldenCase& c : GoldenCases()) {
        SCOPED_TRACE(c.golden);
        StartPlc("dataserver/golden-plc.xml");
        CXmlDataServerSettings::m_sIndent = c.indent;

        std::vector<std::vector<uint8_t>> original;
        for (const Symbol& s : c.symbols)
            original.push_back(Memory(s.name));

        const std::string file = dir + "/" + c.golden;
        for (const Symbol& s : c.symbols)
            ASSERT_EQ(S_OK, Store(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER | c.mode, file, s.name, s.path)) << s.name;
        const std::string golden = ReadFile(std::string(KX_TEST_DATA_DIR) + "/dataserver/golden/" + c.golden);
        ASSERT_FALSE(golden.empty());
        EXPECT_EQ(ReadFile(file), golden);

        // Restore the checked-in text (not the one just stored) into a scrambled PLC.
        const std::string copy = dir + "/restore-" + c.golden;
        ASSERT_TRUE(WriteFile(copy, golden));
        for (const Symbol& s : c.symbols)
            Fill(s.name, kScramble);
        for (const Symbol& s : c.symbols)
            EXPECT_EQ(S_OK, Restore(XMLDS_MODE_TRANSFER, copy, s.name, s.path)) << s.name;

        for (size_t k = 0; k < c.symbols.size(); ++k) {
            const KxPlcSymbolInfo sym = Info(c.symbols[k].name);
            std::vector<uint8_t> want = original[k];
            for (const char* name : c.kept) {
                const KxPlcSymbolInfo v = Info(name);
                if (v.offset >= sym.offset && v.offset + v.size <= sym.offset + sym.size)
                    std::memset(want.data() + (v.offset - sym.offset), kScramble, v.size);
            }
            uint8_t mask = 0;
            uint32_t bitByte = 0;
            for (const char* name : c.bits) {
                const KxPlcSymbolInfo v = Info(name);
                ASSERT_GE(v.bit, 0);
                mask |= static_cast<uint8_t>(1u << v.bit);
                bitByte = v.offset - sym.offset;
            }
            if (mask)
                want[bitByte] = static_cast<uint8_t>((want[bitByte] & mask) | (kScramble & ~mask));
            EXPECT_EQ(Hex(Memory(c.symbols[k].name)), Hex(want)) << c.symbols[k].name;
        }
    }
}

// Every symbol of the sample machine survives store -> restore into a cleared PLC unchanged.
TEST_F(GoldenStore, SampleSymbolsRoundTrip)
{
    const Symbol symbols[] = {
        {"MAIN.nCycle", "/dataentry/MAIN/nCycle"},
        {"MAIN.eMode", "/dataentry/MAIN/eMode"},
        {"MAIN.aAxes", "/dataentry/MAIN/aAxes"},
        {"MAIN.stFlags", "/dataentry/MAIN/stFlags"},
        {"MAIN.aMatrix", "/dataentry/MAIN/aMatrix"},
        {"Recipes.stCurrent", "/dataentry/Recipes/stCurrent"},
        {"Recipes.sTitleUtf8", "/dataentry/Recipes/sTitleUtf8"},
        {"Recipes.sTitle", "/dataentry/Recipes/sTitle"},
        {"Logger.aNested", "/dataentry/Logger/aNested"},
        {".gCounter", "/dataentry/Global./gCounter"},
        {"Logger.aSamples", "/dataentry/Logger/aSamples"},
    };
    StartPlc("plc/sample-machine.xml");
    CXmlDataServerSettings::m_sIndent = "";
    const std::string file = dir + "/sample.xml";
    std::vector<std::vector<uint8_t>> original;
    for (const Symbol& s : symbols) {
        original.push_back(Memory(s.name));
        ASSERT_EQ(S_OK, Store(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER, file, s.name, s.path)) << s.name;
    }
    for (const Symbol& s : symbols)
        Fill(s.name, 0);
    // One open with neither symbol nor path restores every symbol the document lists.
    ASSERT_EQ(S_OK, Restore(XMLDS_MODE_TRANSFER, file, "", ""));
    for (size_t k = 0; k < std::size(symbols); ++k)
        EXPECT_EQ(Hex(Memory(symbols[k].name)), Hex(original[k])) << symbols[k].name;

    // One open with neither symbol nor path stores every symbol the document lists, like one open each.
    const std::string first = ReadFile(file);
    const std::string each = dir + "/each.xml";
    ASSERT_TRUE(WriteFile(each, first));
    for (const Symbol& s : symbols)
        Fill(s.name, 0);
    ASSERT_EQ(S_OK, Store(XMLDS_MODE_TRANSFER, file, "", ""));
    for (const Symbol& s : symbols)
        ASSERT_EQ(S_OK, Store(XMLDS_MODE_TRANSFER, each, s.name, s.path)) << s.name;
    EXPECT_EQ(ReadFile(file), ReadFile(each));
    EXPECT_NE(ReadFile(file), first);
}

}  // namespace
