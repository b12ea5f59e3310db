// The simulated PLC's answers: name resolution, short reads, memory, initial values, faults, loading.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "KxFex.h"
#include "KxPlcDecode.h"
#include "KxPlcSim.h"

using namespace plctest;

namespace {

class PlcSampleTest : public ::testing::Test {
protected:
    CKxPlcSim sim;
    void SetUp() override
    {
        KxPlcLoadResult r = sim.LoadFile(DataFile("sample-machine.xml"));
        ASSERT_TRUE(r.ok) << r.description;
    }
    uint32_t Ask(uint32_t group, const std::string& name, uint32_t readLength, std::vector<uint8_t>& out)
    {
        return sim.ReadWrite(group, 0, readLength, name.c_str(), static_cast<uint32_t>(name.size() + 1), out);
    }
    KxPlcSymbolInfo Where(const std::string& name)
    {
        KxPlcSymbolInfo i;
        EXPECT_TRUE(sim.Resolve(name, i)) << name;
        return i;
    }
    uint32_t MemoryEnd()
    {
        KxPlcSymbolInfo last = Where(".gCounter");
        return last.offset + last.size;
    }
};

TEST_F(PlcSampleTest, NamesReachMembersAndSubscripts)
{
    struct Row {
        const char* ask;
        const char* name;
        const char* base;
        uint32_t rel, size;
        const char* type;
        uint32_t id;
        int bit;
    } rows[] = {
        {"MAIN.aAxes[2].fSpeed", "MAIN.aAxes[2].fSpeed", "MAIN.aAxes", 48 + 8, 8, "T_Setpoint", 5, -1},
        {"main.aaxes[3].SNAME", "MAIN.aAxes[3].sName", "MAIN.aAxes", 96 + 24, 21, "STRING(20)", 30, -1},
        {"MAIN.aAxes[1]", "MAIN.aAxes[1]", "MAIN.aAxes", 0, 48, "ST_Axis", 65, -1},
        {"MAIN.aAxes[ 1 ].eMode", "MAIN.aAxes[1].eMode", "MAIN.aAxes", 2, 2, "E_Mode", 2, -1},
        {"MAIN.aMatrix[1,2]", "MAIN.aMatrix[1,2]", "MAIN.aMatrix", 4, 2, "INT", 2, -1},
        {"MAIN.aMatrix[3, 3]", "MAIN.aMatrix[3,3]", "MAIN.aMatrix", 22, 2, "INT", 2, -1},
        {"MAIN.aMatrix[2,0]", "MAIN.aMatrix[2,0]", "MAIN.aMatrix", 8, 2, "INT", 2, -1},
        {"MAIN.stFlags.bError", "MAIN.stFlags.bError", "MAIN.stFlags", 0, 1, "BIT", 33, 2},
        {"MAIN.stFlags.bWarn", "MAIN.stFlags.bWarn", "MAIN.stFlags", 4, 1, "BIT", 33, 0},
        {"MAIN.stFlags.nCode", "MAIN.stFlags.nCode", "MAIN.stFlags", 2, 2, "UINT", 18, -1},
        {"Recipes.stCurrent.aWeights[5]", "Recipes.stCurrent.aWeights[5]", "Recipes.stCurrent", 144, 4, "REAL", 4,
         -1},
        {"Recipes.stCurrent.wsLabel", "Recipes.stCurrent.wsLabel", "Recipes.stCurrent", 82, 42, "WSTRING(20)", 31,
         -1},
        {"Recipes.stCurrent.pNext", "Recipes.stCurrent.pNext", "Recipes.stCurrent", 152, 8,
         "POINTER TO ST_Recipe", 21, -1},
        {"Recipes.stCurrent.tDuration", "Recipes.stCurrent.tDuration", "Recipes.stCurrent", 160, 4, "TIME", 19, -1},
        {"Logger.aSamples[99999]", "Logger.aSamples[99999]", "Logger.aSamples", 399996, 4, "REAL", 4, -1},
        {"Logger.aNested[2]", "Logger.aNested[2]", "Logger.aNested", 6, 6, "ARRAY [0..2] OF INT", 2, -1},
        {"Logger.aNested[2][1]", "Logger.aNested[2][1]", "Logger.aNested", 8, 2, "INT", 2, -1},
        {".GCOUNTER", ".gCounter", ".gCounter", 0, 2, "INT", 2, -1},
        {"MAIN.eMode", "MAIN.eMode", "MAIN.eMode", 0, 2, "E_Mode", 2, -1},
    };
    for (const Row& r : rows) {
        KxPlcSymbolInfo base = Where(r.base);
        KxPlcSymbolInfo info;
        ASSERT_TRUE(sim.Resolve(r.ask, info)) << r.ask;
        EXPECT_EQ(info.name, r.name);
        EXPECT_EQ(info.offset, base.offset + r.rel) << r.ask;
        EXPECT_EQ(info.size, r.size) << r.ask;
        EXPECT_EQ(info.typeName, r.type) << r.ask;
        EXPECT_EQ(info.typeId, r.id) << r.ask;
        EXPECT_EQ(info.bit, r.bit) << r.ask;

        // The record answered over the wire says the same.
        std::vector<uint8_t> raw;
        ASSERT_EQ(Ask(KXPLC_GROUP_SYMINFO, r.ask, 1030, raw), 0u) << r.ask;
        SymRec s;
        ASSERT_TRUE(DecodeSymbol(raw, s)) << r.ask;
        EXPECT_EQ(s.length, raw.size());
        EXPECT_EQ(s.name, r.name);
        EXPECT_EQ(s.type, r.type);
        EXPECT_EQ(s.group, KXPLC_DEFAULT_GROUP);
        EXPECT_EQ(s.offset, info.offset);
        EXPECT_EQ(s.size, r.size);
        EXPECT_EQ(s.id, r.id);
    }
}

TEST_F(PlcSampleTest, UnknownNamesAnswerSymbolNotFound)
{
    const char* names[] = {"",
                           "MAIN",
                           "MAIN.nope",
                           "MAIN.aAxes[0]",
                           "MAIN.aAxes[4]",
                           "MAIN.aAxes[1,1]",
                           "MAIN.aAxes[1][1]",
                           "MAIN.aMatrix[1]",
                           "MAIN.aMatrix[4,0]",
                           "MAIN.aAxes[1].nope",
                           "MAIN.aAxes[1].",
                           "MAIN.aAxes[",
                           "MAIN.aAxes[x]",
                           "MAIN.aAxes[1]x",
                           "MAIN.aAxes[99999999999]",
                           "MAIN.stFlags.bError.x",
                           "MAIN.stFlags.bError[0]",
                           "Recipes.stCurrent.nTotal",
                           "MAIN.nCycle[1]",
                           "MAIN.nCycle.x",
                           "Logger.aNested[1,1]",
                           "MAIN.nCycleX"};
    for (const char* n : names) {
        std::vector<uint8_t> raw{1, 2, 3};
        EXPECT_EQ(Ask(KXPLC_GROUP_SYMINFO, n, 1030, raw), FEXERR_SYMBOLNOTFOUND) << n;
        EXPECT_TRUE(raw.empty()) << n;
        KxPlcSymbolInfo info;
        EXPECT_FALSE(sim.Resolve(n, info)) << n;
    }
    // A name sent without its NUL is still read whole.
    std::vector<uint8_t> raw;
    EXPECT_EQ(sim.ReadWrite(KXPLC_GROUP_SYMINFO, 0, 1030, "MAIN.nCycle", 11, raw), 0u);
}

TEST_F(PlcSampleTest, ShortReadsOfSymbolRecordsAreTruncated)
{
    std::vector<uint8_t> full;
    ASSERT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.aAxes", 1030, full), 0u);
    uint32_t len = LE32(full, 0);
    ASSERT_EQ(len, full.size());
    for (uint32_t rl : {0u, 3u, 4u, 10u, len - 1, len, len + 50}) {
        std::vector<uint8_t> part;
        ASSERT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.aAxes", rl, part), 0u) << rl;
        ASSERT_EQ(part.size(), std::min(rl, len)) << rl;
        EXPECT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << rl;
    }
}

TEST_F(PlcSampleTest, ShortReadsOfTypeRecordsAnswerOnlyTheLengthProbe)
{
    std::vector<uint8_t> full;
    ASSERT_EQ(Ask(KXPLC_GROUP_TYPEINFO, "ST_Recipe", 0x10000, full), 0u);
    uint32_t len = LE32(full, 0);
    ASSERT_EQ(len, full.size());
    TypeRec t;
    ASSERT_TRUE(DecodeType(full, t));
    EXPECT_EQ(t.subs.size(), 8u);
    EXPECT_EQ(t.methodLengths.size(), 1u);
    ASSERT_EQ(t.attrs.size(), 1u);
    EXPECT_EQ(t.attrs[0].name, "KxRecipeVersion");

    struct Row {
        uint32_t readLength;
        uint32_t error;
        size_t bytes;
    } rows[] = {
        {4, 0, 4}, {3, FEXERR_INVALIDSIZE, 0}, {5, FEXERR_INVALIDSIZE, 0}, {0, FEXERR_INVALIDSIZE, 0},
        {len - 1, FEXERR_INVALIDSIZE, 0}, {len, 0, len}, {len + 10, 0, len},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> out{9};
        EXPECT_EQ(Ask(KXPLC_GROUP_TYPEINFO, "ST_Recipe", r.readLength, out), r.error) << r.readLength;
        ASSERT_EQ(out.size(), r.bytes) << r.readLength;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), full.begin())) << r.readLength;
    }
}

TEST_F(PlcSampleTest, InitialValuesAreLaidOut)
{
    struct Row {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"MAIN.nCycle", std::string("\x40\xE2\x01\x00", 4)},
        {"MAIN.eMode", std::string("\x02\x00", 2)},
        {"MAIN.aAxes[1].bEnabled", "\x01"},
        {"MAIN.aAxes[1].eMode", std::string("\x01\x00", 2)},
        {"MAIN.aAxes[1].fSpeed", std::string("\x00\x00\x00\x00\x00\x00\x29\x40", 8)},      // 12.5
        {"MAIN.aAxes[2].fPosition", std::string("\x00\x00\x00\x00\x00\x00\x0A\xC0", 8)},  // -3.25
        {"MAIN.aAxes[3].sName", std::string("Z\0\0", 3)},
        {"MAIN.aAxes[2].bEnabled", std::string("\0", 1)},
        {"MAIN.stFlags", std::string("\x05\x00\xEF\xBE\x01\x00", 6)},
        {"MAIN.aMatrix[1,0]", std::string("\x0A\x00", 2)},
        {"MAIN.aMatrix[2,3]", std::string("\xE9\xFF", 2)},
        {"MAIN.aMatrix[2,2]", std::string("\x00\x00", 2)},
        {"Recipes.stCurrent.sName", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC"},
        {"Recipes.stCurrent.sNote", "F\xFCllstand \xC4\xD6\xDC \xDF \x80"},
        {"Recipes.stCurrent.wsLabel",
         std::string("G\0r\0\xF6\0\xDF\0" "e\0 \0\x34\xD8\x1E\xDD\0\0", 18)},
        {"Recipes.stCurrent.nCount", std::string("\x07\x00\x00\x00", 4)},
        {"Recipes.stCurrent.aWeights[5]", std::string("\x00\x00\xA8\x40", 4)},  // 5.25f
        {"Recipes.stCurrent.tDuration", std::string("\xC4\x09\x00\x00", 4)},
        {"Recipes.sTitleUtf8", "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e"},
        {"Recipes.sTitle", "Cr\xE8me br\xFBl\xE9" "e"},
        {"Logger.aSamples[1]", std::string("\x00\x00\x00\x3F", 4)},            // 0.5f
        {"Logger.aSamples[99999]", std::string("\x80\x4F\x43\x47", 4)},        // 49999.5f
        {"Logger.aNested[2][1]", std::string("\x15\x00", 2)},
        {".gCounter", std::string("\xFB\xFF", 2)},
    };
    for (const Row& r : rows) {
        KxPlcSymbolInfo i = Where(r.name);
        std::vector<uint8_t> mem;
        ASSERT_EQ(sim.Read(i.group, i.offset, static_cast<uint32_t>(r.bytes.size()), mem), 0u) << r.name;
        EXPECT_EQ(std::string(mem.begin(), mem.end()), r.bytes) << r.name;
    }
    // Strings are NUL-padded to their full size.
    KxPlcSymbolInfo t = Where("Recipes.sTitle");
    std::vector<uint8_t> mem;
    ASSERT_EQ(sim.Read(t.group, t.offset, t.size, mem), 0u);
    EXPECT_EQ(std::count(mem.begin() + 12, mem.end(), 0), static_cast<long>(t.size - 12));
}

TEST_F(PlcSampleTest, MemoryReadsAndWrites)
{
    const uint32_t end = MemoryEnd();
    std::vector<uint8_t> out;
    struct Row {
        uint32_t group, offset, length, error;
    } reads[] = {
        {KXPLC_DEFAULT_GROUP, 0, end, 0},
        {KXPLC_DEFAULT_GROUP, end - 4, 4, 0},
        {KXPLC_DEFAULT_GROUP, end, 0, 0},
        {KXPLC_DEFAULT_GROUP, end - 4, 5, FEXERR_INVALIDOFFSET},
        {KXPLC_DEFAULT_GROUP, end, 1, FEXERR_INVALIDOFFSET},
        {KXPLC_DEFAULT_GROUP, 0xFFFFFFFFu, 2, FEXERR_INVALIDOFFSET},
        {0x1234, 0, 1, FEXERR_INVALIDGRP},
        {KXPLC_GROUP_SYMINFO, 0, 4, FEXERR_SRVNOTSUPP},
    };
    for (const Row& r : reads) {
        out.assign(3, 7);
        EXPECT_EQ(sim.Read(r.group, r.offset, r.length, out), r.error) << r.offset << "+" << r.length;
        EXPECT_EQ(out.size(), r.error ? 0 : r.length);
    }

    KxPlcSymbolInfo w = Where("Recipes.stCurrent.nCount");
    const uint8_t v[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_EQ(sim.Write(w.group, w.offset, v, 4), 0u);
    ASSERT_EQ(sim.Read(w.group, w.offset, 4, out), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(v, v + 4));

    // A write that does not fit leaves memory alone.
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, end - 2, 2, before));
    EXPECT_EQ(sim.Write(KXPLC_DEFAULT_GROUP, end - 2, v, 4), FEXERR_INVALIDOFFSET);
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, end - 2, 2, after));
    EXPECT_EQ(before, after);
    EXPECT_EQ(sim.Write(0x1234, 0, v, 4), FEXERR_INVALIDGRP);
    EXPECT_EQ(sim.ReadWrite(KXPLC_DEFAULT_GROUP, 0, 4, v, 4, out), FEXERR_SRVNOTSUPP);
    EXPECT_EQ(sim.ReadWrite(0x1234, 0, 4, v, 4, out), FEXERR_INVALIDGRP);
}

TEST_F(PlcSampleTest, StateAndDeviceInfo)
{
    KxPlcRequest rq;
    rq.command = KxPlcReadState;
    KxPlcResponse r = sim.Handle(rq);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.state, 5);
    rq.command = KxPlcWriteControl;
    rq.state = 6;
    rq.devState = 1;
    EXPECT_EQ(sim.Handle(rq).error, 0u);
    rq.command = KxPlcReadState;
    r = sim.Handle(rq);
    EXPECT_EQ(r.state, 6);
    EXPECT_EQ(r.devState, 1);
    rq.command = KxPlcReadDeviceInfo;
    r = sim.Handle(rq);
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "SampleMachine");
    rq.command = KxPlcAddNotification;
    EXPECT_EQ(sim.Handle(rq).error, FEXERR_SRVNOTSUPP);
    EXPECT_EQ(sim.GetPort(), 851);
}

TEST_F(PlcSampleTest, LargestBlock)
{
    sim.SetMaxBlock(1000);
    std::vector<uint8_t> out, before, after;
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 1000, out), 0u);
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 1001, out), FEXERR_NOMEMORY);
    EXPECT_TRUE(out.empty());
    std::vector<uint8_t> big(1001, 0xAA);
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, 0, 1001, before));
    EXPECT_EQ(sim.Write(KXPLC_DEFAULT_GROUP, 0, big.data(), 1001), FEXERR_NOMEMORY);
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, 0, 1001, after));
    EXPECT_EQ(before, after);
    EXPECT_EQ(sim.Write(KXPLC_DEFAULT_GROUP, 0, big.data(), 1000), 0u);
    // Information requests are not memory blocks.
    EXPECT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.aAxes", 1030, out), 0u);
    sim.SetMaxBlock(0);
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 400000, out), 0u);
}

TEST_F(PlcSampleTest, ShortAnswers)
{
    std::vector<uint8_t> full, out;
    ASSERT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 10, full), 0u);
    ASSERT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out), 0u);
    const size_t recordSize = out.size();
    sim.SetShortBy(3);
    ASSERT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 10, out), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(full.begin(), full.begin() + 7));
    ASSERT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 2, out), 0u);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out), 0u);
    EXPECT_EQ(out.size(), recordSize - 3);
    EXPECT_EQ(LE32(out, 0), recordSize);  // the record still claims its full length
    sim.SetShortBy(0);
    ASSERT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 10, out), 0u);
    EXPECT_EQ(out, full);
}

TEST_F(PlcSampleTest, DelayHoldsTheAnswerBack)
{
    sim.SetDelay(150);
    std::vector<uint8_t> out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 4, out), 0u);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_EQ(out.size(), 4u);
    EXPECT_EQ(sim.GetFaults().delayMs, 150u);
}

TEST_F(PlcSampleTest, FailNextRequests)
{
    sim.FailNext(2, 0x0745);
    std::vector<uint8_t> out;
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 4, out), 0x0745u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out), 0x0745u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Ask(KXPLC_GROUP_SYMINFO, "MAIN.nCycle", 1030, out), 0u);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(sim.GetFaults().failCount, 0u);
    // A failed write changes nothing.
    sim.FailNext(1);
    const uint8_t v[4] = {1, 2, 3, 4};
    std::vector<uint8_t> before, after;
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, 0, 4, before));
    EXPECT_EQ(sim.Write(KXPLC_DEFAULT_GROUP, 0, v, 4), 0x0700u);
    ASSERT_TRUE(sim.Peek(KXPLC_DEFAULT_GROUP, 0, 4, after));
    EXPECT_EQ(before, after);
}

TEST_F(PlcSampleTest, RequestLog)
{
    sim.ClearLog();
    std::vector<uint8_t> out;
    const uint8_t v[2] = {5, 6};
    Ask(KXPLC_GROUP_SYMINFO, "MAIN.eMode", 1030, out);
    sim.Read(KXPLC_DEFAULT_GROUP, 4, 2, out);
    sim.FailNext(1);
    sim.Write(KXPLC_DEFAULT_GROUP, 4, v, 2);
    std::vector<KxPlcRequest> log = sim.GetLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].command, KxPlcReadWrite);
    EXPECT_EQ(log[0].group, KXPLC_GROUP_SYMINFO);
    EXPECT_EQ(log[0].readLength, 1030u);
    EXPECT_EQ(std::string(log[0].writeData.begin(), log[0].writeData.end()), std::string("MAIN.eMode\0", 11));
    EXPECT_EQ(log[1].command, KxPlcRead);
    EXPECT_EQ(log[1].offset, 4u);
    EXPECT_EQ(log[1].readLength, 2u);
    // Failed requests are logged too.
    EXPECT_EQ(log[2].command, KxPlcWrite);
    EXPECT_EQ(log[2].writeData, std::vector<uint8_t>(v, v + 2));
    // Direct access is not a request.
    sim.Peek(KXPLC_DEFAULT_GROUP, 0, 4, out);
    KxPlcSymbolInfo i;
    sim.Resolve("MAIN.eMode", i);
    EXPECT_EQ(sim.GetLog().size(), 3u);
    sim.ClearLog();
    EXPECT_TRUE(sim.GetLog().empty());
}

TEST(PlcSimLoad, FaultsFromTheDescription)
{
    CKxPlcSim sim;
    KxPlcLoadResult r = sim.LoadString(
        "<plc><faults maxBlock='8' shortBy='1' failNext='1' failError='0x0702' delay='0'/>"
        "<symbols><symbol name='a' type='ARRAY [0..15] OF BYTE'/></symbols></plc>");
    ASSERT_TRUE(r.ok) << r.description;
    KxPlcFaults f = sim.GetFaults();
    EXPECT_EQ(f.maxBlock, 8u);
    EXPECT_EQ(f.shortBy, 1u);
    EXPECT_EQ(f.failCount, 1u);
    EXPECT_EQ(f.failError, 0x0702u);
    std::vector<uint8_t> out;
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 8, out), 0x0702u);
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 9, out), FEXERR_NOMEMORY);
    EXPECT_EQ(sim.Read(KXPLC_DEFAULT_GROUP, 0, 8, out), 0u);
    EXPECT_EQ(out.size(), 7u);
}

TEST(PlcSimLoad, LayoutRules)
{
    CKxPlcSim sim;
    KxPlcLoadResult r = sim.LoadString(R"(<plc group="0x4020" port="900"><types>
        <struct name="P1" pack="1"><member name="a" type="BYTE"/><member name="b" type="LREAL"/></struct>
        <struct name="Fixed" size="32"><member name="a" type="INT" offset="10"/><member name="b" type="INT"/>
          <member name="f" type="BIT" bitOffset="128"/><member name="g" type="BIT"/><member name="c" type="BYTE"/>
        </struct>
        <struct name="Bits"><member name="x" type="BIT"/><member name="y" type="WORD"/></struct>
      </types><symbols>
        <symbol name="p" type="P1"/><symbol name="q" type="Fixed"/><symbol name="r" type="Bits" offset="100"/>
        <symbol name="s" type="BYTE"/><symbol name="t" type="BYTE" group="0x4021"/>
      </symbols></plc>)");
    ASSERT_TRUE(r.ok) << r.description;
    EXPECT_EQ(sim.GetPort(), 900);
    struct Row {
        const char* name;
        uint32_t group, offset, size;
        int bit;
    } rows[] = {
        {"p", 0x4020, 0, 9, -1},     {"p.b", 0x4020, 1, 8, -1},    {"q", 0x4020, 10, 32, -1},
        {"q.a", 0x4020, 20, 2, -1},  {"q.b", 0x4020, 22, 2, -1},   {"q.f", 0x4020, 26, 1, 0},
        {"q.g", 0x4020, 26, 1, 1},   {"q.c", 0x4020, 27, 1, -1},   {"r", 0x4020, 100, 4, -1},
        {"r.y", 0x4020, 102, 2, -1}, {"s", 0x4020, 104, 1, -1},    {"t", 0x4021, 0, 1, -1},
    };
    for (const Row& row : rows) {
        KxPlcSymbolInfo i;
        ASSERT_TRUE(sim.Resolve(row.name, i)) << row.name;
        EXPECT_EQ(i.group, row.group) << row.name;
        EXPECT_EQ(i.offset, row.offset) << row.name;
        EXPECT_EQ(i.size, row.size) << row.name;
        EXPECT_EQ(i.bit, row.bit) << row.name;
    }
}

TEST(PlcSimLoad, BadDescriptionsAreRefusedAndKeepTheOldDevice)
{
    struct Row {
        const char* xml;
        const char* message;
    } rows[] = {
        {"<plc><types><struct name='A'/></types></plc>", "no members"},
        {"<plc><types><struct name='A'><member name='a' type='A'/></struct></types></plc>", "contains itself"},
        {"<plc><types><struct name='A'><member name='a' type='ARRAY [0..1] OF B'/></struct>"
         "<struct name='B'><member name='b' type='A'/></struct></types></plc>",
         "contains itself"},
        {"<plc><types><struct name='A'><member name='a' type='NOPE'/></struct></types></plc>", "unknown type"},
        {"<plc><types><alias name='A' type='B'/><alias name='B' type='A'/></types></plc>", "contains itself"},
        {"<plc><types><alias name='INT' type='DINT'/></types></plc>", "built-in"},
        {"<plc><types><alias name='A' type='INT'/><alias name='a' type='INT'/></types></plc>", "declared twice"},
        {"<plc><types><struct name='A'><member name='a' type='INT'/><member name='A' type='INT'/></struct></types>"
         "</plc>",
         "declared twice"},
        {"<plc><types><struct name='A' size='2'><member name='a' type='DINT'/></struct></types></plc>", "smaller"},
        {"<plc><types><enum name='E' base='REAL'><value name='x'/></enum></types></plc>", "integer base"},
        {"<plc><types><struct name='A'><member name='a' type='INT' flags='0x1000'/></struct></types></plc>",
         "0x0040"},
        {"<plc><types><struct name='A' pack='3'><member name='a' type='INT'/></struct></types></plc>", "pack"},
        {"<plc><symbols><symbol name='x' type='INT'/><symbol name='X' type='INT'/></symbols></plc>",
         "declared twice"},
        {"<plc><symbols><symbol name='x' type='INT'><value>70000</value></symbol></symbols></plc>", "out of range"},
        {"<plc><symbols><symbol name='x' type='UINT'><value>-1</value></symbol></symbols></plc>", "not an unsigned"},
        {"<plc><symbols><symbol name='x' type='REAL'><value>abc</value></symbol></symbols></plc>", "not a number"},
        {"<plc><symbols><symbol name='x' type='STRING(3)'><value>abcd</value></symbol></symbols></plc>", "longer"},
        {"<plc><symbols><symbol name='x' type='STRING(3)'><value>\xC3</value></symbol></symbols></plc>",
         "malformed UTF-8"},
        {"<plc><symbols><symbol name='x' type='BOOL'><value>yes</value></symbol></symbols></plc>", "TRUE or FALSE"},
        {"<plc><symbols><symbol name='x' type='BIT'/></symbols></plc>", "only allowed"},
        {"<plc><symbols><symbol name='x' type='ARRAY [1..2] OF INT'><value at='[3]'>1</value></symbol></symbols>"
         "</plc>",
         "does not name"},
        {"<plc><symbols><symbol name='x' type='ARRAY [1..2] OF INT'><value>1</value></symbol></symbols></plc>",
         "needs 'at'"},
        {"<plc><symbols><symbol name='x' type='INT'><fill start='1'/></symbol></symbols></plc>", "array of numbers"},
        {"<plc><symbols><symbol name='x' type='INT' group='0xF009'/></symbols></plc>", "reserved"},
        {"<plc><symbols><symbol name='x y' type='INT'/></symbols></plc>", "character"},
        {"<plc><symbols><symbol name='x' type='INT' offset='0x20000000'/></symbols></plc>", "512 MiB"},
        {"<plc port='70000'/>", "port"},
        {"<plc port='x'/>", "32-bit number"},
        {"<machine/>", "<plc>"},
        {"<plc><types>", "line 1"},
    };
    CKxPlcSim sim;
    ASSERT_TRUE(sim.LoadString("<plc><symbols><symbol name='keep' type='INT'/></symbols></plc>").ok);
    for (const Row& r : rows) {
        KxPlcLoadResult res = sim.LoadString(r.xml);
        EXPECT_FALSE(res.ok) << r.xml;
        EXPECT_NE(res.description.find(r.message), std::string::npos) << r.xml << " -> " << res.description;
        EXPECT_EQ(res.description.compare(0, 5, "line "), 0) << res.description;
        KxPlcSymbolInfo i;
        EXPECT_TRUE(sim.Resolve("keep", i)) << r.xml;
    }
    KxPlcLoadResult missing = sim.LoadFile("/nonexistent/plc.xml");
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.description.find("cannot read"), std::string::npos);
}

}  // namespace
