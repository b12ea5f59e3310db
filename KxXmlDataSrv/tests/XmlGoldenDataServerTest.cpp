// Store and restore through a data server against the simulated PLC behind the in-process router: the stored
// file must equal the checked-in text under tests/data/dataserver/golden/, and restoring that text into a
// scrambled PLC must give back the original image, byte for byte, except the values that are never read.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "SimPlcTestSupport.h"

namespace {

using simplc::ReadFile;
using simplc::WriteFile;

const uint8_t kScramble = 0xA5;

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

class GoldenStore : public simplc::SimPlcTest {
protected:
    void Fill(const std::string& name, uint8_t value) { SetMemory(name, std::vector<uint8_t>(Info(name).size, value)); }
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
