// The service object's in-process methods: a structure symbol from the PLC to XML text and files and back,
// with and without the IgnoreOrder property, against the simulated PLC behind an in-process router.
#include "XmlAppServerTestEnv.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

using namespace apptest;

namespace {

// The element of a ST_Batch value; reversed lists the members and the array elements back to front.
std::string BatchElement(const std::string& name, const BatchValue& v, bool reversed)
{
    char weight[64];
    std::snprintf(weight, sizeof(weight), "%.17g", v.fWeight);
    std::vector<std::string> parts = {
        "<nId>" + std::to_string(v.nId) + "</nId>",
        std::string("<fWeight>") + weight + "</fWeight>",
        "<sLabel>" + v.sLabel + "</sLabel>",
        std::string("<bDone>") + (v.bDone ? "true" : "false") + "</bDone>",
    };
    for (int i = 0; i < 3; ++i)
        parts.push_back("<aCounts index=\"" + std::to_string(i + 1) + "\">" + std::to_string(v.aCounts[i]) +
                        "</aCounts>");
    parts.push_back("<stOrigin><nX>" + std::to_string(v.nX) + "</nX><nY>" + std::to_string(v.nY) + "</nY></stOrigin>");
    if (reversed)
        std::reverse(parts.begin(), parts.end());
    std::string out = "<" + name + ">";
    for (const std::string& p : parts)
        out += p;
    return out + "</" + name + ">";
}

BatchValue SampleValue(int seed)
{
    BatchValue v;
    v.nId = 1000 * seed + 1;
    v.fWeight = 0.125 * seed - 3;
    v.sLabel = "Lot " + std::to_string(seed);
    v.bDone = seed % 2 == 0;
    v.aCounts[0] = static_cast<int16_t>(seed), v.aCounts[1] = static_cast<int16_t>(-2 * seed);
    v.aCounts[2] = static_cast<int16_t>(3 * seed);
    v.nX = static_cast<int16_t>(10 + seed), v.nY = static_cast<int16_t>(-10 - seed);
    return v;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Names of the element's child elements in document order.
std::vector<std::string> ChildNames(pugi::xml_node e)
{
    std::vector<std::string> names;
    for (pugi::xml_node c : e.children())
        if (c.type() == pugi::node_element)
            names.push_back(c.name());
    return names;
}

class InProcessTest : public AppServerEnv, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        AppServerEnv::SetUp();
        StartService();
    }

    void SetIgnoreOrder(bool on)
    {
        ASSERT_EQ(S_OK, Srv()->put_IgnoreOrder(on ? VARIANT_TRUE : VARIANT_FALSE));
        VARIANT_BOOL b = 1;
        ASSERT_EQ(S_OK, Srv()->get_IgnoreOrder(&b));
        ASSERT_EQ(on ? VARIANT_TRUE : VARIANT_FALSE, b);
    }

    // WriteSymbolToXml into text; checks the length prefix of the answer.
    HRESULT ToXml(const char* symbol, const char* path, std::string& text)
    {
        CKxBstr s(symbol), p(path);
        BSTR out = reinterpret_cast<BSTR>(1);
        HRESULT hr = Srv()->WriteSymbolToXml(netId, kPlcPort, s, p, &out);
        text.clear();
        if (out) {
            text = out;
            EXPECT_EQ(text.size(), KxSysStringLen(out));
            KxSysFreeString(out);
        }
        return hr;
    }
    HRESULT FromXml(const char* symbol, const std::string& xml, const char* path)
    {
        CKxBstr s(symbol), x(xml.c_str()), p(path);
        return Srv()->WriteXmlToSymbol(netId, kPlcPort, s, x, p);
    }
    HRESULT ToFile(const char* symbol, const std::string& file, const char* path, VARIANT_BOOL create)
    {
        CKxBstr s(symbol), f(file.c_str()), p(path);
        return Srv()->WriteSymbolToXmlFile(netId, kPlcPort, s, f, p, create);
    }
    HRESULT FromFile(const char* symbol, const std::string& file, const char* path)
    {
        CKxBstr s(symbol), f(file.c_str()), p(path);
        return Srv()->WriteXmlFileToSymbol(netId, kPlcPort, s, f, p);
    }

    CKxBstr netId{"10.20.30.40.1.1"};
};

TEST_P(InProcessTest, StructureRoundTripsThroughText)
{
    SetIgnoreOrder(GetParam());
    const BatchValue original = PlcBatch("MAIN.stBatch");

    std::string text;
    ASSERT_EQ(S_OK, ToXml("MAIN.stBatch", "/dataentry/MAIN.stBatch", text));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str())) << text;
    pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
    ASSERT_TRUE(e) << text;
    ExpectBatchEq(original, BatchFromXml(e));
    const std::vector<std::string> declared = {"nId", "fWeight", "sLabel", "bDone", "aCounts", "aCounts", "aCounts",
                                               "stOrigin"};
    EXPECT_EQ(declared, ChildNames(e));

    // The text, with other values, goes into the second symbol; the first one stays as it was.
    const BatchValue changed = SampleValue(5);
    const std::string xml = "<dataentry>" + BatchElement("MAIN.stBatch", changed, false) + "</dataentry>";
    ASSERT_EQ(S_OK, FromXml("MAIN.stSpare", xml, "/dataentry/MAIN.stBatch"));
    ExpectBatchEq(changed, PlcBatch("MAIN.stSpare"));
    ExpectBatchEq(original, PlcBatch("MAIN.stBatch"));

    // And comes back as the same values, at a path of the caller's choice.
    ASSERT_EQ(S_OK, ToXml("MAIN.stSpare", "/dataentry/Line1/Spare", text));
    ASSERT_TRUE(doc.load_string(text.c_str())) << text;
    e = doc.child("dataentry").child("Line1").child("Spare");
    ASSERT_TRUE(e) << text;
    ExpectBatchEq(changed, BatchFromXml(e));
    EXPECT_EQ(declared, ChildNames(e));
}

TEST_P(InProcessTest, StructureRoundTripsThroughAFile)
{
    SetIgnoreOrder(GetParam());
    const std::string file = m_dir + "/batch.xml";
    const BatchValue original = PlcBatch("MAIN.stBatch");

    ASSERT_EQ(S_OK, ToFile("MAIN.stBatch", file, "/dataentry/MAIN.stBatch", VARIANT_TRUE));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(file.c_str())) << ReadFile(file);
    ExpectBatchEq(original, BatchFromXml(doc.child("dataentry").child("MAIN.stBatch")));

    // Edit the file's values and load it into the second symbol.
    const BatchValue changed = SampleValue(8);
    WriteFile(file, "<dataentry>" + BatchElement("MAIN.stBatch", changed, false) + "</dataentry>");
    ASSERT_EQ(S_OK, FromFile("MAIN.stSpare", file, "/dataentry/MAIN.stBatch"));
    ExpectBatchEq(changed, PlcBatch("MAIN.stSpare"));

    // Store the first symbol over the existing element without create-missing: the texts are replaced.
    ASSERT_EQ(S_OK, ToFile("MAIN.stBatch", file, "/dataentry/MAIN.stBatch", VARIANT_FALSE));
    ASSERT_TRUE(doc.load_file(file.c_str())) << ReadFile(file);
    pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
    ExpectBatchEq(original, BatchFromXml(e));
    EXPECT_EQ(8u, ChildNames(e).size());

    // A second symbol joins the same file beside the first.
    ASSERT_EQ(S_OK, ToFile("MAIN.stSpare", file, "/dataentry/MAIN.stSpare", VARIANT_TRUE));
    ASSERT_TRUE(doc.load_file(file.c_str())) << ReadFile(file);
    ExpectBatchEq(original, BatchFromXml(doc.child("dataentry").child("MAIN.stBatch")));
    ExpectBatchEq(changed, BatchFromXml(doc.child("dataentry").child("MAIN.stSpare")));
}

INSTANTIATE_TEST_SUITE_P(IgnoreOrder, InProcessTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "On" : "Off"; });

class InProcessOrderTest : public InProcessTest {};

TEST_F(InProcessOrderTest, IgnoreOrderDecidesWhichReorderedMembersAreRead)
{
    const BatchValue original = PlcBatch("MAIN.stBatch");
    const BatchValue changed = SampleValue(3);
    const std::string xml = "<dataentry>" + BatchElement("MAIN.stBatch", changed, true) + "</dataentry>";

    // In order only the member declared first is found (its element stands last); the rest keep their values.
    SetIgnoreOrder(false);
    ASSERT_EQ(S_OK, FromXml("MAIN.stSpare", "<dataentry>" + BatchElement("MAIN.stBatch", original, false) +
                                                "</dataentry>", "/dataentry/MAIN.stBatch"));
    ASSERT_EQ(S_OK, FromXml("MAIN.stSpare", xml, "/dataentry/MAIN.stBatch"));
    BatchValue want = original;
    want.nId = changed.nId;
    ExpectBatchEq(want, PlcBatch("MAIN.stSpare"));

    // Ignoring order, members are found by name and array elements by index.
    SetIgnoreOrder(true);
    ASSERT_EQ(S_OK, FromXml("MAIN.stSpare", xml, "/dataentry/MAIN.stBatch"));
    ExpectBatchEq(changed, PlcBatch("MAIN.stSpare"));
}

TEST_F(InProcessOrderTest, IgnoreOrderUpdatesAReorderedFileInPlace)
{
    const BatchValue plc = PlcBatch("MAIN.stBatch");
    const BatchValue stale = SampleValue(9);
    const std::string reordered = "<dataentry>" + BatchElement("MAIN.stBatch", stale, true) + "</dataentry>";
    std::vector<std::string> reversedNames = {"stOrigin", "aCounts", "aCounts", "aCounts", "bDone", "sLabel",
                                              "fWeight", "nId"};
    struct Case {
        bool ignoreOrder;
    };
    for (Case c : {Case{true}, Case{false}}) {
        SCOPED_TRACE(c.ignoreOrder ? "ignore order" : "in order");
        SetIgnoreOrder(c.ignoreOrder);
        const std::string file = m_dir + (c.ignoreOrder ? "/ignore.xml" : "/inorder.xml");
        WriteFile(file, reordered);
        ASSERT_EQ(S_OK, ToFile("MAIN.stBatch", file, "/dataentry/MAIN.stBatch", VARIANT_TRUE));
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(file.c_str())) << ReadFile(file);
        pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
        if (c.ignoreOrder) {
            // Every element found where it stands: same elements, same order, the PLC's values.
            EXPECT_EQ(reversedNames, ChildNames(e));
            ExpectBatchEq(plc, BatchFromXml(e));
        } else {
            // Only nId is found in order; the other members get new elements behind it and the stale ones stay.
            EXPECT_GT(ChildNames(e).size(), reversedNames.size()) << ReadFile(file);
            EXPECT_EQ(stale.nX, e.first_child().child("nX").text().as_int());
            EXPECT_EQ(plc.nId, e.child("nId").text().as_int());
        }
    }
}

TEST_F(InProcessOrderTest, IgnoreOrderPropertyTakesOnlyMinusOneAsSet)
{
    struct Case {
        VARIANT_BOOL put;
        VARIANT_BOOL want;
    };
    const Case cases[] = {{VARIANT_TRUE, VARIANT_TRUE}, {1, VARIANT_FALSE}, {VARIANT_TRUE, VARIANT_TRUE},
                          {2, VARIANT_FALSE},           {VARIANT_TRUE, VARIANT_TRUE}, {0, VARIANT_FALSE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.put);
        EXPECT_EQ(S_OK, Srv()->put_IgnoreOrder(c.put));
        VARIANT_BOOL got = 7;
        EXPECT_EQ(S_OK, Srv()->get_IgnoreOrder(&got));
        EXPECT_EQ(c.want, got);
    }
}

TEST_F(InProcessOrderTest, FailuresLeaveThePlcAndTheFilesAlone)
{
    const BatchValue original = PlcBatch("MAIN.stBatch");
    const std::string missing = m_dir + "/missing.xml";
    const std::string good = "<dataentry>" + BatchElement("MAIN.stBatch", SampleValue(2), false) + "</dataentry>";
    CKxBstr symbol("MAIN.stBatch"), path("/dataentry/MAIN.stBatch"), file(missing.c_str()), xml(good.c_str());
    BSTR out = nullptr;
    struct Case {
        const char* name;
        std::function<HRESULT()> call;
        HRESULT want;
    };
    const Case cases[] = {
        {"text to symbol without text", [&] { return Srv()->WriteXmlToSymbol(netId, kPlcPort, symbol, nullptr, path); },
         E_POINTER},
        {"file to symbol without file",
         [&] { return Srv()->WriteXmlFileToSymbol(netId, kPlcPort, symbol, nullptr, path); }, E_POINTER},
        {"symbol to text without output", [&] { return Srv()->WriteSymbolToXml(netId, kPlcPort, symbol, path, nullptr); },
         E_POINTER},
        {"symbol to file without file",
         [&] { return Srv()->WriteSymbolToXmlFile(netId, kPlcPort, symbol, nullptr, path, VARIANT_TRUE); }, E_POINTER},
        {"missing file, not created",
         [&] { return Srv()->WriteSymbolToXmlFile(netId, kPlcPort, symbol, file, path, VARIANT_FALSE); },
         static_cast<HRESULT>(0x9811070C)},
        {"missing file to symbol", [&] { return Srv()->WriteXmlFileToSymbol(netId, kPlcPort, symbol, file, path); },
         static_cast<HRESULT>(0x9811070C)},
        {"unknown symbol",
         [&] {
             CKxBstr none("MAIN.nNone");
             return Srv()->WriteXmlToSymbol(netId, kPlcPort, none, xml, path);
         },
         FEX_HRESULT(FEXERR_SYMBOLNOTFOUND)},
        {"no device at the port", [&] { return Srv()->WriteXmlToSymbol(netId, 870, symbol, xml, path); },
         FEX_HRESULT(FEXERR_NOPORT)},
        {"text that does not parse",
         [&] {
             CKxBstr broken("<dataentry><MAIN.stBatch><nId>5</nId></dataentry>");
             return Srv()->WriteXmlToSymbol(netId, kPlcPort, symbol, broken, path);
         },
         static_cast<HRESULT>(0x98118002)},
        {"empty text",
         [&] {
             CKxBstr empty("");
             return Srv()->WriteXmlToSymbol(netId, kPlcPort, symbol, empty, path);
         },
         static_cast<HRESULT>(0x98118002)},
        {"file in a missing folder: the failed save fails the call",
         [&] {
             CKxBstr nowhere((m_dir + "/none/batch.xml").c_str());
             return Srv()->WriteSymbolToXmlFile(netId, kPlcPort, symbol, nowhere, path, VARIANT_TRUE);
         },
         static_cast<HRESULT>(0x9811070C)},
        {"path that finds nothing",
         [&] {
             CKxBstr other("/dataentry/MAIN.stOther");
             return Srv()->WriteXmlToSymbol(netId, kPlcPort, symbol, xml, other);
         },
         static_cast<HRESULT>(0x98118006)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, c.call());
        EXPECT_FALSE(std::filesystem::exists(missing));
        EXPECT_FALSE(std::filesystem::exists(m_dir + "/none"));
        ExpectBatchEq(original, PlcBatch("MAIN.stBatch"));
    }
    // A failed text request hands back no text.
    CKxBstr none("MAIN.nNone");
    out = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(FEX_HRESULT(FEXERR_SYMBOLNOTFOUND), Srv()->WriteSymbolToXml(netId, kPlcPort, none, path, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(InProcessOrderTest, NetIdTextSelectsTheDevice)
{
    struct Case {
        const char* name;
        const char* netId; // null: no text
        HRESULT want;
    };
    const Case cases[] = {
        {"the router's net id", "10.20.30.40.1.1", S_OK},
        {"no net id: the local device", nullptr, S_OK},
        {"empty text: the local device", "", S_OK},
        {"another net id", "10.20.30.41.1.1", FEX_HRESULT(FEXERR_NOPORT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CKxBstr id(c.netId);
        CKxBstr symbol("MAIN.nTiny"), path("/dataentry/MAIN.nTiny");
        BSTR out = nullptr;
        EXPECT_EQ(c.want, Srv()->WriteSymbolToXml(c.netId ? id.get() : nullptr, kPlcPort, symbol, path, &out));
        if (c.want == S_OK) {
            ASSERT_NE(nullptr, out);
            pugi::xml_document doc;
            EXPECT_TRUE(doc.load_string(out));
            KxPlcSymbolInfo info;
            ASSERT_TRUE(sim.Resolve("MAIN.nTiny", info));
            std::vector<uint8_t> b;
            ASSERT_TRUE(sim.Peek(info.group, info.offset, 1, b));
            EXPECT_EQ(b[0], doc.child("dataentry").child("MAIN.nTiny").text().as_uint());
        } else {
            EXPECT_EQ(nullptr, out);
        }
        KxSysFreeString(out);
    }
}

} // namespace
