// Symbol and data type uploads against the simulated PLC and its description files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KxAlloc.h"
#include "SimFexSync.h"
#include "XmlDataServer.h"

using namespace fextest;

namespace {

class PlcServer : public CXmlDataServer {
public:
    explicit PlcServer(IKxFexSync* p) : CXmlDataServer(p) {}
    CDatatypeCache& Cache() { return m_typeCache; }
};

class XmlSymbolPlc : public ::testing::Test {
protected:
    void Load(const char* file)
    {
        KxPlcLoadResult r = sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/plc/" + file);
        ASSERT_TRUE(r.ok) << r.description;
        sim.ClearLog();
    }
    std::vector<KxPlcRequest> Requests(uint32_t group) const
    {
        std::vector<KxPlcRequest> out;
        for (const KxPlcRequest& r : sim.GetLog())
            if (r.group == group)
                out.push_back(r);
        return out;
    }
    static std::string NameOf(const KxPlcRequest& r)
    {
        return std::string(r.writeData.begin(), r.writeData.end()).c_str();
    }

    CKxPlcSim sim;
    SimFexSync sync{sim};
};

TEST_F(XmlSymbolPlc, SymbolRecordsMatchThePlc)
{
    struct Case {
        const char* file;
        const char* name;
        bool utf8;
    };
    const Case cases[] = {
        {"records.xml", "MAIN.stPair", false},     {"records.xml", "MAIN.aPairs", false},
        {"records.xml", "MAIN.aPairs[2]", false},  {"records.xml", "MAIN.sUtf", true},
        {"records.xml", "MAIN.stTagged", false},   {"records.xml", "MAIN.eColor", false},
        {"sample-machine.xml", "MAIN.nCycle", false}, {"sample-machine.xml", "MAIN.aAxes[3]", false},
        {"sample-machine.xml", "Recipes.stCurrent", false}, {"sample-machine.xml", "Recipes.sTitleUtf8", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.file);
        KxPlcSymbolInfo want;
        ASSERT_TRUE(sim.Resolve(c.name, want));
        PlcServer srv(&sync);
        FexSymbolEntry* p = nullptr;
        ASSERT_EQ(srv.ReadSymbolInfo(c.name, &p), S_OK);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(FexSymbolName(p), want.name);
        EXPECT_EQ(FexSymbolTypeName(p), want.typeName);
        EXPECT_EQ(+p->indexGroup, want.group);
        EXPECT_EQ(+p->indexOffset, want.offset);
        EXPECT_EQ(+p->size, want.size);
        EXPECT_EQ(+p->dataType, want.typeId);
        EXPECT_EQ(IsUtf8(p), c.utf8);
        EXPECT_FALSE(Exclude(p));
        KxFree(p);
        std::vector<KxPlcRequest> rq = Requests(XMLDS_IG_SYMBOLINFO);
        ASSERT_EQ(rq.size(), 1u);
        EXPECT_EQ(rq[0].readLength, 1030u);
        EXPECT_EQ(NameOf(rq[0]), c.name);
        EXPECT_EQ(rq[0].writeData.size(), std::string(c.name).size() + 1);
    }
}

TEST_F(XmlSymbolPlc, ShortAnswersAreRefused)
{
    Load("records.xml");
    sim.SetShortBy(3);
    PlcServer srv(&sync);
    FexSymbolEntry* ps = nullptr;
    EXPECT_EQ(srv.ReadSymbolInfo("MAIN.stPair", &ps), kXmlErrFailed);
    EXPECT_EQ(ps, nullptr);
    // The cut record announced more bytes than arrived, so it was asked for once more with its length.
    std::vector<KxPlcRequest> rq = Requests(XMLDS_IG_SYMBOLINFO);
    ASSERT_EQ(rq.size(), 2u);
    EXPECT_GT(rq[1].readLength, 0u);
    EXPECT_LT(rq[1].readLength, 1030u);

    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    FexDatatypeEntry* pt = nullptr;
    EXPECT_EQ(srv.ReadDatatypeInfo("ST_Pair", &pt), kXmlErrFailed);
    EXPECT_EQ(pt, nullptr);
    EXPECT_EQ(srv.TypeMemoryUsed(), 0u);
    EXPECT_EQ(srv.Cache().GetCount(), 0u);
}

TEST_F(XmlSymbolPlc, UnknownNamesPassThePlcErrorOn)
{
    Load("records.xml");
    PlcServer srv(&sync);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    FexSymbolEntry* ps = nullptr;
    EXPECT_EQ(srv.ReadSymbolInfo("MAIN.nothing", &ps), FEX_HRESULT(FEXERR_SYMBOLNOTFOUND));
    EXPECT_EQ(ps, nullptr);
    FexDatatypeEntry* pt = nullptr;
    EXPECT_EQ(srv.ReadDatatypeInfo("ST_Nothing", &pt), FEX_HRESULT(FEXERR_SYMBOLNOTFOUND));
    EXPECT_EQ(pt, nullptr);
}

TEST_F(XmlSymbolPlc, AliasChainsEndInTheNamedType)
{
    struct Case {
        const char* file;
        const char* name;
        std::vector<std::string> uploads;
    };
    const Case cases[] = {
        {"records.xml", "T_Outer", {"T_Outer", "T_Middle", "ST_Pair"}},
        {"records.xml", "T_Dist", {"T_Dist", "T_Len", "LREAL"}},
        {"sample-machine.xml", "T_Setpoint", {"T_Setpoint", "T_Speed", "LREAL"}},
        {"records.xml", "ST_Pair", {"ST_Pair"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.file);
        PlcServer srv(&sync);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo(c.name, &p), S_OK);
        ASSERT_NE(p, nullptr);
        std::vector<std::string> asked;
        for (const KxPlcRequest& r : Requests(XMLDS_IG_DATATYPEINFO))
            asked.push_back(NameOf(r));
        EXPECT_EQ(asked, c.uploads);
        EXPECT_EQ(FexDatatypeName(p), c.uploads.back());
        EXPECT_EQ(srv.TypeMemoryUsed(), +p->entryLength);
        for (const std::string& n : c.uploads) {
            FexDatatypeEntry* q = nullptr;
            ASSERT_EQ(srv.ReadDatatypeInfo(n.c_str(), &q), S_OK);
            EXPECT_EQ(q, p);
        }
        EXPECT_EQ(Requests(XMLDS_IG_DATATYPEINFO).size(), c.uploads.size());
        EXPECT_EQ(srv.Cache().GetCount(), c.uploads.size());
    }
}

TEST_F(XmlSymbolPlc, MemberAttributesAndFlagsBehindEverySection)
{
    struct Member {
        const char* name;
        bool utf8;
        bool passOver;
        bool bits;
        bool pointer;
    };
    struct Case {
        const char* file;
        const char* type;
        bool exclude;
        std::vector<Member> members;
    };
    const Case cases[] = {
        {"records.xml", "ST_Tagged", true,
         {{"sText", true, false, false, false},
          {"bOn", false, false, true, false},
          {"bOff", false, false, true, false},
          {"nHidden", false, true, false, false},
          {"aVals", false, false, false, false}}},
        {"sample-machine.xml", "ST_Recipe", false,
         {{"sName", true, false, false, false},
          {"sNote", false, false, false, false},
          {"wsLabel", false, false, false, false},
          {"nCount", false, false, false, false},
          {"aWeights", false, false, false, false},
          {"pNext", false, false, false, true},
          {"nTotal", false, true, false, false},
          {"tDuration", false, false, false, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Load(c.file);
        PlcServer srv(&sync);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo(c.type, &p), S_OK);
        EXPECT_EQ(Exclude(p), c.exclude);
        CFexSubItems items(p);
        for (const Member& m : c.members) {
            SCOPED_TRACE(m.name);
            const FexDatatypeEntry* e = items.Next();
            ASSERT_NE(e, nullptr);
            EXPECT_STREQ(FexDatatypeName(e), m.name);
            EXPECT_EQ(IsUtf8(e), m.utf8);
            EXPECT_EQ((e->flags & FEX_DTFLAG_PASSOVER) != 0, m.passOver);
            EXPECT_EQ((e->flags & FEX_DTFLAG_BITVALUES) != 0, m.bits);
            EXPECT_EQ(IsPointer(FexDatatypeTypeName(e)), m.pointer);
        }
        EXPECT_EQ(items.Next(), nullptr);
    }
}

TEST_F(XmlSymbolPlc, ArrayMemberDimensions)
{
    Load("records.xml");
    PlcServer srv(&sync);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_Tagged", &p), S_OK);
    const FexDatatypeEntry* aVals = FexDatatypeSubItem(p, 4);
    ASSERT_NE(aVals, nullptr);
    ASSERT_EQ(+aVals->arrayDim, 2);
    EXPECT_EQ(+FexDatatypeArrayDim(aVals, 0)->lowerBound, -1);
    EXPECT_EQ(+FexDatatypeArrayDim(aVals, 0)->elements, 3u);
    EXPECT_EQ(+FexDatatypeArrayDim(aVals, 1)->lowerBound, 0);
    EXPECT_EQ(+FexDatatypeArrayDim(aVals, 1)->elements, 2u);
}

TEST_F(XmlSymbolPlc, RefusedBufferIsProbedIntoALargerBlock)
{
    Load("records.xml");
    PlcServer srv(&sync);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    sim.FailNext(1, 0x0705);
    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_Pair", &p), S_OK);
    std::vector<KxPlcRequest> rq = Requests(XMLDS_IG_DATATYPEINFO);
    ASSERT_EQ(rq.size(), 3u);
    EXPECT_EQ(rq[0].readLength, 16534u);
    EXPECT_EQ(rq[1].readLength, 4u);
    EXPECT_EQ(rq[2].readLength, 4u * 16534u);
    EXPECT_EQ(srv.TypeMemoryBlockCount(), 2u);
    EXPECT_STREQ(FexDatatypeName(p), "ST_Pair");
}

TEST_F(XmlSymbolPlc, SymbolFromPathAsksThePlcForNestedSameNames)
{
    Load("sample-machine.xml");
    struct Case {
        const char* path;
        const char* symbol;
    };
    const Case cases[] = {
        // The inner step has no predicate: the candidate is the outer element itself, which the PLC knows.
        {"/dataentry/MAIN/aAxes[@index='2']/aAxes", "MAIN.aAxes[2]"},
        // MAIN.aAxes[2][1] is no symbol of the PLC: the inner element is taken as a member.
        {"/dataentry/MAIN/aAxes[@index='2']/aAxes[@index='1']", "MAIN.aAxes[2].aAxes[1]"},
        {"/dataentry/MAIN/aAxes[@index='2']/sName", "MAIN.aAxes[2].sName"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        PlcServer srv(&sync);
        ASSERT_TRUE(srv.Document().load_string("<dataentry><MAIN><aAxes index='2'><aAxes index='1'>1</aAxes>"
                                               "<sName>Y</sName></aAxes></MAIN></dataentry>"));
        std::string sym;
        EXPECT_EQ(srv.SymbolFromPath(c.path, sym), S_OK);
        EXPECT_EQ(sym, c.symbol);
    }
}

} // namespace
