// Symbol lists from documents and paths, symbol record uploads and their attributes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FakeFexSync.h"
#include "FexRecordBuilder.h"
#include "KxAlloc.h"
#include "XmlDataServer.h"

using namespace fextest;

namespace {

// Exposes the mode flags that an open would set.
class TestServer : public CXmlDataServer {
public:
    explicit TestServer(IKxFexSync* p = nullptr) : CXmlDataServer(p) {}
    void SetLcId(bool b) { m_bLcId = b; }
    bool Load(const char* xml) { return Document().load_string(xml, pugi::parse_default | pugi::parse_declaration); }
};

typedef std::vector<std::pair<std::string, std::string>> Entries;

Entries ToEntries(CSymbolPathList& list)
{
    Entries out;
    for (int i = 0; i < list.GetSize(); ++i)
        out.emplace_back(list[i]->path, list[i]->symbol);
    return out;
}

struct ListGuard {
    CSymbolPathList list;
    ~ListGuard() { FreeSymbolPathList(list); }
};

// ---- AddSymbols over whole documents ----

struct EnumCase {
    const char* what;
    const char* xml;
    bool lcid;
    Entries expected;
};

TEST(XmlSymbolEnumerate, DocumentsListTheirSymbols)
{
    const EnumCase cases[] = {
        {"two members", "<dataentry><MAIN><a>1</a><b>2</b></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/a", "MAIN.a"}, {"/dataentry/MAIN/b", "MAIN.b"}}},
        {"structure with two members is one symbol",
         "<dataentry><MAIN><st><x>1</x><y>2</y></st></MAIN></dataentry>", false, {{"/dataentry/MAIN/st", "MAIN.st"}}},
        {"structure with one member is entered", "<dataentry><MAIN><st><x>1</x></st></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/st/x", "MAIN.st.x"}}},
        {"array run is one entry",
         "<dataentry><MAIN><arr index='1'>1</arr><arr index='2'>2</arr><arr index='3'>3</arr></MAIN></dataentry>",
         false, {{"/dataentry/MAIN/arr", "MAIN.arr"}}},
        {"array run followed by a further symbol",
         "<dataentry><MAIN><arr index='1'>1</arr><arr index='2'>2</arr><b>7</b></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/arr", "MAIN.arr"}, {"/dataentry/MAIN/b", "MAIN.b"}}},
        {"Global. gives names beginning with a dot", "<dataentry><Global.><g>1</g></Global.></dataentry>", false,
         {{"/dataentry/Global./g", ".g"}}},
        {"text-only first-level element is not enumerated",
         "<dataentry><MAIN.n>5</MAIN.n><MAIN><a>1</a></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/a", "MAIN.a"}}},
        {"array nested in a one-member structure",
         "<dataentry><MAIN><st><arr index='0'>1</arr><arr index='1'>2</arr></st></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/st/arr", "MAIN.st.arr"}}},
        {"indexed element entered through a single child",
         "<dataentry><MAIN><st><e index='4'>9</e></st></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/st/e[@index='4']", "MAIN.st.e[4]"}}},
        {"indexed first child among other members is a structure",
         "<dataentry><MAIN><st><e index='0'>1</e><f>2</f></st></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/st", "MAIN.st"}}},
        {"empty element is a symbol", "<dataentry><MAIN><e/><f>1</f></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/e", "MAIN.e"}, {"/dataentry/MAIN/f", "MAIN.f"}}},
        {"LcId ignored without the mode",
         "<dataentry><MAIN><v LcId='7'>a</v><v LcId='9'>b</v></MAIN></dataentry>", false,
         {{"/dataentry/MAIN/v", "MAIN.v"}, {"/dataentry/MAIN/v", "MAIN.v"}}},
        {"LcId counts as index in LcId mode",
         "<dataentry><MAIN><v LcId='7'>a</v><v LcId='9'>b</v></MAIN></dataentry>", true,
         {{"/dataentry/MAIN/v", "MAIN.v"}}},
        {"text beside members is skipped",
         "<dataentry><!--c--><MAIN>t<!--x--><a>1</a></MAIN></dataentry>", false, {{"/dataentry/MAIN/a", "MAIN.a"}}},
        {"no document element", "<!--only a comment-->", false, {}},
    };
    for (const EnumCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer srv;
        srv.Load(c.xml);
        srv.SetLcId(c.lcid);
        ListGuard g;
        srv.AddSymbols(g.list);
        EXPECT_EQ(ToEntries(g.list), c.expected);
    }
}

TEST(XmlSymbolEnumerate, DeepSingleChildChainIsFollowedWithoutRecursion)
{
    const int depth = 200000;
    std::string xml = "<dataentry><MAIN>";
    for (int i = 0; i < depth; ++i)
        xml += "<e>";
    xml += "1";
    for (int i = 0; i < depth; ++i)
        xml += "</e>";
    xml += "</MAIN></dataentry>";
    TestServer srv;
    ASSERT_TRUE(srv.Load(xml.c_str()));
    ListGuard g;
    srv.AddSymbols(g.list);
    ASSERT_EQ(g.list.GetSize(), 1);
    EXPECT_EQ(g.list[0]->symbol.size(), std::string("MAIN").size() + 2 * size_t(depth));
    EXPECT_EQ(g.list[0]->path.size(), std::string("/dataentry/MAIN").size() + 2 * size_t(depth));
}

TEST(XmlSymbolEnumerate, RecursiveStepRejectsNullNode)
{
    TestServer srv;
    ListGuard g;
    EXPECT_FALSE(srv.AddSymbols(pugi::xml_node(), g.list, "MAIN", "/dataentry/MAIN"));
    EXPECT_EQ(g.list.GetSize(), 0);
}

// ---- SymbolFromPath ----

struct PathCase {
    const char* what;
    const char* xml;
    const char* path;
    std::vector<std::string> plcKnows;  // names the PLC answers for
    HRESULT hr;
    const char* symbol;
    std::vector<std::string> asked;  // names checked with the PLC, in order
};

TEST(XmlSymbolFromPath, PathsGiveSymbolNames)
{
    const char* doc = "<dataentry>"
                      "<MAIN><stData><arr index='3'>1</arr></stData><x attr='1'>5</x><arr index='1'>1</arr>"
                      "<aa index='1'><aa index='2'>4</aa></aa><Global.>3</Global.></MAIN>"
                      "<Global.><counter>2</counter></Global.><MAIN.n>5</MAIN.n></dataentry>";
    const HRESULT nf = kXmlErrNoNode;
    const PathCase cases[] = {
        {"array element by predicate", doc, "/dataentry/MAIN/stData/arr[@index='3']", {}, S_OK,
         "MAIN.stData.arr[3]", {}},
        {"Global. contributes nothing", doc, "/dataentry/Global./counter", {}, S_OK, ".counter", {}},
        {"first-level name with dots", doc, "/dataentry/MAIN.n", {}, S_OK, "MAIN.n", {}},
        {"trailing slash ends the path", doc, "/dataentry/MAIN/", {}, S_OK, "MAIN", {}},
        {"step without predicate drops the index", doc, "/dataentry/MAIN/arr", {}, S_OK, "MAIN.arr", {}},
        {"attribute step", doc, "/dataentry/MAIN/x/@attr", {}, S_OK, "MAIN.x.attr", {}},
        {"Global. below the first level is a name", doc, "/dataentry/MAIN/Global.", {}, S_OK, "MAIN.Global.", {}},
        {"nested same name known to the PLC", doc, "/dataentry/MAIN/aa[@index='1']/aa[@index='2']",
         {"MAIN.aa[1][2]"}, S_OK, "MAIN.aa[1][2]", {"MAIN.aa[1][2]"}},
        {"nested same name unknown to the PLC", doc, "/dataentry/MAIN/aa[@index='1']/aa[@index='2']", {}, S_OK,
         "MAIN.aa[1].aa[2]", {"MAIN.aa[1][2]"}},
        {"step after an attribute finds nothing", doc, "/dataentry/MAIN/x/@attr/y", {}, nf, "MAIN.x.attr", {}},
        {"missing step keeps the part built", doc, "/dataentry/MAIN/zz", {}, nf, "MAIN", {}},
        {"malformed step", doc, "/dataentry/MAIN/[[", {}, nf, "MAIN", {}},
        {"no leading slash", doc, "dataentry/MAIN", {}, nf, "", {}},
        {"shorter than three characters", doc, "/d", {}, nf, "", {}},
        {"no document element", "", "/dataentry/MAIN", {}, nf, "", {}},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFexSync plc;
        for (const std::string& s : c.plcKnows) {
            SymRec r;
            r.name = s;
            plc.symbols[s] = r.Build();
        }
        {
            TestServer srv(&plc);
            srv.Load(c.xml);
            std::string sym = "stale";
            EXPECT_EQ(srv.SymbolFromPath(c.path, sym), c.hr);
            EXPECT_EQ(sym, c.symbol);
            std::vector<std::string> asked;
            for (const FakeRequest& r : plc.Requests(XMLDS_IG_SYMBOLINFO))
                asked.push_back(r.name);
            EXPECT_EQ(asked, c.asked);
        }
        EXPECT_EQ(plc.Refs(), 1u);
    }
}

// ---- ExtractSymbols ----

TEST(XmlSymbolExtract, SelectionGivesTheList)
{
    struct Case {
        const char* what;
        const char* symbol;
        const char* path;
        HRESULT hr;
        const char* symbolAfter;
        Entries expected;
    };
    const Case cases[] = {
        {"neither: every symbol of the document", "", "", S_OK, "",
         {{"/dataentry/MAIN/a", "MAIN.a"}, {"/dataentry/MAIN/b", "MAIN.b"}}},
        {"symbol without path", "MAIN.a", "", kXmlErrInvalidParam, "MAIN.a", {}},
        {"path alone: symbol derived", "", "/dataentry/MAIN/b", S_OK, "MAIN.b", {{"/dataentry/MAIN/b", "MAIN.b"}}},
        {"both given: taken unchanged", "Other.sym", "/dataentry/MAIN/a", S_OK, "Other.sym",
         {{"/dataentry/MAIN/a", "Other.sym"}}},
        {"path that selects nothing", "", "/dataentry/NONE", kXmlErrNoNode, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer srv;
        srv.Load("<dataentry><MAIN><a>1</a><b>2</b></MAIN></dataentry>");
        ListGuard g;
        std::string sym = c.symbol;
        EXPECT_EQ(srv.ExtractSymbols(sym, c.path, g.list), c.hr);
        EXPECT_EQ(sym, c.symbolAfter);
        EXPECT_EQ(ToEntries(g.list), c.expected);
    }
}

// ---- ReadSymbolInfo ----

TEST(XmlSymbolInfo, ShortRecordTakesOneRequest)
{
    FakeFexSync plc;
    SymRec rec;
    rec.name = "MAIN.counter";
    rec.type = "DINT";
    rec.comment = "how many";
    rec.group = 0x4020;
    rec.offset = 0x1234;
    rec.size = 4;
    rec.id = 3;
    plc.symbols["MAIN.counter"] = rec.Build();
    TestServer srv(&plc);

    FexSymbolEntry* p = nullptr;
    ASSERT_EQ(srv.ReadSymbolInfo("MAIN.counter", &p), S_OK);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(+p->indexGroup, 0x4020u);
    EXPECT_EQ(+p->indexOffset, 0x1234u);
    EXPECT_EQ(+p->size, 4u);
    EXPECT_EQ(+p->dataType, 3u);
    EXPECT_STREQ(FexSymbolName(p), "MAIN.counter");
    EXPECT_STREQ(FexSymbolTypeName(p), "DINT");
    EXPECT_STREQ(FexSymbolComment(p), "how many");
    KxFree(p);

    ASSERT_EQ(plc.log.size(), 1u);
    EXPECT_EQ(plc.log[0].group, 0xF009u);
    EXPECT_EQ(plc.log[0].offset, 0u);
    EXPECT_EQ(plc.log[0].readLength, 1030u);
    EXPECT_EQ(plc.log[0].writeLength, std::strlen("MAIN.counter") + 1);
}

TEST(XmlSymbolInfo, RecordLengthDecidesOnASecondRequest)
{
    struct Case {
        size_t commentLength;
        std::vector<ULONG> readLengths;
    };
    // Header 30 + "MAIN.s" 7 + "INT" 4 + comment c + 1 = 42 + c bytes.
    const Case cases[] = {
        {100, {1030}},
        {1030 - 42, {1030}},       // exactly the first read
        {1031 - 42, {1030, 1031}}, // one byte more
        {5000, {1030, 5042}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commentLength);
        FakeFexSync plc;
        SymRec rec;
        rec.name = "MAIN.s";
        rec.comment = std::string(c.commentLength, 'c');
        plc.symbols["MAIN.s"] = rec.Build();
        TestServer srv(&plc);
        FexSymbolEntry* p = nullptr;
        ASSERT_EQ(srv.ReadSymbolInfo("MAIN.s", &p), S_OK);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(+p->entryLength, 42 + c.commentLength);
        EXPECT_EQ(std::string(FexSymbolComment(p)), rec.comment);
        KxFree(p);
        std::vector<ULONG> lengths;
        for (const FakeRequest& r : plc.log)
            lengths.push_back(r.readLength);
        EXPECT_EQ(lengths, c.readLengths);
    }
}

TEST(XmlSymbolInfo, PlcErrorsArePassedOn)
{
    FakeFexSync plc;
    TestServer srv(&plc);
    FexSymbolEntry* p = reinterpret_cast<FexSymbolEntry*>(&plc);
    EXPECT_EQ(srv.ReadSymbolInfo("MAIN.unknown", &p), FEX_HRESULT(FEXERR_SYMBOLNOTFOUND));
    EXPECT_EQ(p, nullptr);

    // A failing second request.
    SymRec rec;
    rec.comment = std::string(2000, 'x');
    plc.symbols["MAIN.x"] = rec.Build();
    plc.override = [](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>&) {
        if (r.readLength == 1030)
            return false;
        hr = FEX_HRESULT(FEXERR_INVALIDGRP);
        return true;
    };
    p = reinterpret_cast<FexSymbolEntry*>(&plc);
    EXPECT_EQ(srv.ReadSymbolInfo("MAIN.x", &p), FEX_HRESULT(FEXERR_INVALIDGRP));
    EXPECT_EQ(p, nullptr);

    TestServer noClient;
    EXPECT_EQ(noClient.ReadSymbolInfo("MAIN.x", &p), kXmlErrFailed);
    EXPECT_EQ(p, nullptr);
}

// Answers a PLC may send that do not hold together: the upload must refuse them without reading past the
// bytes that arrived.
TEST(XmlSymbolInfo, MalformedRecordsAreRefused)
{
    SymRec good;
    good.name = "MAIN.s";
    good.comment = "c";
    const Bytes base = good.Build();
    struct Case {
        const char* what;
        std::function<Bytes()> first;   // answer to the first request
        std::function<Bytes()> second;  // answer to a second request (empty: same as first)
    };
    auto with = [&](std::function<void(Bytes&)> f) {
        return [=]() {
            Bytes b = base;
            f(b);
            return b;
        };
    };
    const Case cases[] = {
        {"fewer than four bytes", [] { return Bytes{7, 0}; }, nullptr},
        {"entry length below the header", with([](Bytes& b) { SetU32(b, 0, 12); b.resize(12); }), nullptr},
        {"header cut short", with([](Bytes& b) { SetU32(b, 0, 20); b.resize(20); }), nullptr},
        {"name longer than the record", with([](Bytes& b) { b[24] = 200; }), nullptr},
        {"comment without its NUL", with([](Bytes& b) { b[b.size() - 1] = 'x'; }), nullptr},
        {"claims far more than any record", with([](Bytes& b) { SetU32(b, 0, 0x7FFFFFFF); }), nullptr},
        {"second answer shorter than announced",
         with([](Bytes& b) { SetU32(b, 0, 1500); }),
         with([](Bytes& b) { SetU32(b, 0, 1500); })},
        {"second answer announces another length",
         with([](Bytes& b) { SetU32(b, 0, 1500); b.resize(1500); }),
         with([](Bytes& b) { SetU32(b, 0, 1400); b.resize(1500); })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFexSync plc;
        plc.override = [&](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>& data) {
            hr = S_OK;
            data = (r.readLength == 1030 || !c.second) ? c.first() : c.second();
            return true;
        };
        TestServer srv(&plc);
        FexSymbolEntry* p = reinterpret_cast<FexSymbolEntry*>(&plc);
        EXPECT_EQ(srv.ReadSymbolInfo("MAIN.s", &p), kXmlErrFailed);
        EXPECT_EQ(p, nullptr);
        EXPECT_LE(plc.log.size(), 2u);
    }
}

// ---- Attributes of symbol records ----

TEST(XmlSymbolAttributes, EncodingAndExclusion)
{
    struct Case {
        const char* what;
        Attrs attrs;
        bool guid;
        bool utf8;
        bool exclude;
    };
    const Case cases[] = {
        {"none", {}, false, false, false},
        {"UTF-8", {{"KxEncoding", "UTF-8"}}, false, true, false},
        {"UTF-8 after the type GUID", {{"KxEncoding", "UTF-8"}}, true, true, false},
        {"value compared case-sensitively", {{"KxEncoding", "utf-8"}}, false, false, false},
        {"name compared case-sensitively", {{"kxencoding", "UTF-8"}}, false, false, false},
        {"value prefix only", {{"KxEncoding", "UTF-8x"}}, false, false, false},
        {"excluded as second attribute", {{"Other", "1"}, {"KxXmlServer", "exclude"}}, true, false, true},
        {"both", {{"KxXmlServer", "exclude"}, {"KxEncoding", "UTF-8"}}, false, true, true},
        {"empty value never matches", {{"KxXmlServer", ""}}, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SymRec r;
        r.attrs = c.attrs;
        r.guid = c.guid;
        Bytes b = r.Build();
        ASSERT_TRUE(FexSymbolEntryValid(b.data(), b.size()));
        const FexSymbolEntry* e = reinterpret_cast<const FexSymbolEntry*>(b.data());
        EXPECT_EQ(IsUtf8(e), c.utf8);
        EXPECT_EQ(Exclude(e), c.exclude);
    }
    EXPECT_FALSE(IsUtf8(static_cast<const FexSymbolEntry*>(nullptr)));
    EXPECT_FALSE(Exclude(static_cast<const FexSymbolEntry*>(nullptr)));
}

TEST(XmlSymbolAttributes, BlockIsReadOnlyInsideTheRecord)
{
    SymRec r;
    r.attrs = {{"A", "1"}, {"KxEncoding", "UTF-8"}};
    Bytes full = r.Build();
    const size_t attrStart = 30 + r.name.size() + 1 + r.type.size() + 1 + 1;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        bool utf8;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, true},
        {"flag cleared", [](Bytes& b) { b[20] = 0; b[21] = 0; }, false},
        {"count larger than the attributes", [&](Bytes& b) { b[attrStart] = 9; }, true},
        {"record ends inside the second attribute",
         [&](Bytes& b) { SetU32(b, 0, uint32_t(b.size() - 3)); }, false},
        {"record ends before the count", [&](Bytes& b) { SetU32(b, 0, uint32_t(attrStart + 1)); }, false},
        {"value length past the end", [&](Bytes& b) { b[attrStart + 2 + 1 + 5 + 1] = 250; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = full;
        c.change(b);
        const Bytes exact = ExactRecord(b);
        ASSERT_TRUE(FexSymbolEntryValid(exact.data(), exact.size()));
        EXPECT_EQ(IsUtf8(reinterpret_cast<const FexSymbolEntry*>(exact.data())), c.utf8);
    }
}

} // namespace
