// The value walk against the records and memory of the simulated PLC (sample machine description): the
// records come from an independent encoder, so these tests check that both sides read the layout alike.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KxPlcSim.h"
#include "SimFexSync.h"
#include "XmlSerializeTestSupport.h"

using namespace kxtest;

namespace {

class XmlSerializeSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const KxPlcLoadResult r = m_sim.LoadFile(std::string(KX_TEST_DATA_DIR) + "/plc/sample-machine.xml");
        ASSERT_TRUE(r) << r.description;
    }

    // The symbol's bytes as the simulator holds them.
    std::vector<uint8_t> Memory(const char* name)
    {
        KxPlcSymbolInfo info;
        EXPECT_TRUE(m_sim.Resolve(name, info));
        std::vector<uint8_t> out;
        EXPECT_TRUE(m_sim.Peek(info.group, info.offset, info.size, out));
        return out;
    }

    CKxPlcSim m_sim;
    fextest::SimFexSync m_sync{m_sim};
};

}  // namespace

TEST_F(XmlSerializeSimTest, SymbolsOfTheSampleMachineAsXml)
{
    struct Case {
        const char* symbol;
        const char* content;  // expected children of dataentry
    };
    const std::vector<Case> cases = {
        {"MAIN.stFlags",
         "<MAIN.stFlags><bReady>1</bReady><bBusy>0</bBusy><bError>1</bError><nCode>48879</nCode><bWarn>1</bWarn>"
         "</MAIN.stFlags>"},
        {"MAIN.aAxes",
         "<MAIN.aAxes index=\"1\"><bEnabled>true</bEnabled><eMode>1</eMode><fSpeed>12.5</fSpeed>"
         "<fPosition>0</fPosition><sName>X</sName></MAIN.aAxes>"
         "<MAIN.aAxes index=\"2\"><bEnabled>false</bEnabled><eMode>0</eMode><fSpeed>0</fSpeed>"
         "<fPosition>-3.25</fPosition><sName>Y</sName></MAIN.aAxes>"
         "<MAIN.aAxes index=\"3\"><bEnabled>false</bEnabled><eMode>0</eMode><fSpeed>0</fSpeed>"
         "<fPosition>0</fPosition><sName>Z</sName></MAIN.aAxes>"},
        {"Logger.aNested",
         "<Logger.aNested index=\"1\"><Logger.aNested index=\"0\">0</Logger.aNested>"
         "<Logger.aNested index=\"1\">0</Logger.aNested><Logger.aNested index=\"2\">0</Logger.aNested>"
         "</Logger.aNested><Logger.aNested index=\"2\"><Logger.aNested index=\"0\">0</Logger.aNested>"
         "<Logger.aNested index=\"1\">21</Logger.aNested><Logger.aNested index=\"2\">0</Logger.aNested>"
         "</Logger.aNested>"},
        {"Recipes.stCurrent",
         "<Recipes.stCurrent><sName>Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC</sName>"
         "<sNote>F\xC3\xBCllstand \xC3\x84\xC3\x96\xC3\x9C \xC3\x9F \xE2\x82\xAC</sNote>"
         "<wsLabel>Gr\xC3\xB6\xC3\x9F" "e \xF0\x9D\x84\x9E</wsLabel><nCount>7</nCount>"
         "<aWeights index=\"1\">1.5</aWeights><aWeights index=\"2\">0</aWeights><aWeights index=\"3\">0</aWeights>"
         "<aWeights index=\"4\">0</aWeights><aWeights index=\"5\">5.25</aWeights><pNext/><tDuration>2500</tDuration>"
         "</Recipes.stCurrent>"},
        {"Recipes.sTitle", "<Recipes.sTitle>Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e</Recipes.sTitle>"},
        {"Recipes.sTitleUtf8", "<Recipes.sTitleUtf8>Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e</Recipes.sTitleUtf8>"},
        {"Recipes.bArchive", "<Recipes.bArchive/>"},
        {".gCounter", "<Global.><gCounter>-5</gCounter></Global.>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.symbol);
        Walker w(m_sync);
        // Names beginning with "." live below the element "Global.".
        const bool bGlobal = c.symbol[0] == '.';
        const std::string element = bGlobal ? std::string("Global./") + (c.symbol + 1) : std::string(c.symbol);
        const std::string doc = bGlobal ? "<dataentry><Global.><" + std::string(c.symbol + 1) + "/></Global.></dataentry>"
                                        : "<dataentry><" + element + "/></dataentry>";
        ASSERT_TRUE(w.Load(doc.c_str()));
        std::vector<uint8_t> image = Memory(c.symbol);
        const std::vector<uint8_t> original = image;
        const std::string path = "/dataentry/" + element;
        ASSERT_EQ(w.RunSymbol(kWrite, kCreate, c.symbol, path.c_str(), image), S_OK);
        EXPECT_EQ(w.Xml(), "<dataentry>" + std::string(c.content) + "</dataentry>");

        // And back: the document read over cleared PLC memory gives the original bytes.
        KxPlcSymbolInfo info;
        ASSERT_TRUE(m_sim.Resolve(c.symbol, info));
        const std::vector<uint8_t> zeros(info.size, 0);
        ASSERT_TRUE(m_sim.Poke(info.group, info.offset, zeros.data(), info.size));
        std::vector<uint8_t> back;
        ASSERT_EQ(w.RunSymbol(kRead, 0, c.symbol, path.c_str(), back), S_OK);
        // An excluded symbol is not read: the image keeps what it held.
        EXPECT_EQ(back, std::string(c.symbol) == "Recipes.bArchive" ? std::vector<uint8_t>(info.size, 0) : original);
    }
}

TEST_F(XmlSerializeSimTest, TypeCommentsFromThePlc)
{
    Walker w(m_sync);
    ASSERT_TRUE(w.Load("<dataentry><MAIN.stFlags/></dataentry>"));
    std::vector<uint8_t> image = Memory("MAIN.stFlags");
    ASSERT_EQ(w.RunSymbol(kWrite, kCreate | kSymbolComment | kTypeComment, "MAIN.stFlags", "/dataentry/MAIN.stFlags",
                          image),
              S_OK);
    EXPECT_EQ(w.Xml(), "<dataentry><!--Status bits of the station--><MAIN.stFlags><bReady>1</bReady><bBusy>0</bBusy>"
                       "<!--Any fault--><bError>1</bError><nCode>48879</nCode><bWarn>1</bWarn></MAIN.stFlags>"
                       "</dataentry>");
}

// 400000 bytes of samples: the first block of 262144 bytes is refused, the rest comes in quarters.
TEST_F(XmlSerializeSimTest, LargeSymbolPreReadInQuarteredBlocks)
{
    KxPlcSymbolInfo info;
    ASSERT_TRUE(m_sim.Resolve("Logger.aSamples", info));
    ASSERT_EQ(info.size, 400000u);
    m_sim.SetMaxBlock(65536);
    Walker w(m_sync);
    ASSERT_TRUE(w.Load("<dataentry><Logger.aSamples index=\"0\">-1</Logger.aSamples></dataentry>"));
    std::vector<uint8_t> expected = Memory("Logger.aSamples");
    Put<float>(expected, 0, -1.0f);
    m_sim.ClearLog();
    std::vector<uint8_t> image;
    ASSERT_EQ(w.RunSymbol(kRead, 0, "Logger.aSamples", "/dataentry/Logger.aSamples", image), S_OK);
    EXPECT_EQ(image, expected);

    std::vector<std::pair<uint32_t, uint32_t>> reads;
    for (const KxPlcRequest& r : m_sim.GetLog()) {
        if (r.command == KxPlcRead)
            reads.emplace_back(r.offset - info.offset, r.readLength);
    }
    std::vector<std::pair<uint32_t, uint32_t>> want = {{0, 262144}};
    for (uint32_t k = 0; k < 6; ++k)
        want.emplace_back(k * 65536, 65536);
    want.emplace_back(6 * 65536, 400000 - 6 * 65536);
    EXPECT_EQ(reads, want);
}
