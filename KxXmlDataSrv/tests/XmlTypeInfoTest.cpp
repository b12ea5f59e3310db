// Data type records: primitive and pointer names, attributes behind the optional sections, uploads with
// their cache, aliases and type memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FakeFexSync.h"
#include "FexRecordBuilder.h"
#include "XmlDataServer.h"

using namespace fextest;

namespace {

// ---- Names ----

TEST(XmlTypeNames, IsPrimitiveByIdAndName)
{
    struct Case {
        const char* name;
        uint32_t id;
        bool primitive;
    };
    const Case cases[] = {
        {"INT", 2, true},         {"INT16", 2, true},          {"INT (0..100)", 2, true},
        {"INT(0..100)", 2, false}, {"INT(0..100)", 65, true},   {"INT (0..100)", 65, false},
        {"INTX", 2, false},       {"int", 2, false},           {"DINT", 3, true},
        {"INT32 (1..2)", 3, true}, {"REAL", 4, true},          {"FLOAT", 4, true},
        {"REAL (1..2)", 4, false}, {"LREAL", 5, true},         {"DOUBLE", 5, true},
        {"SINT", 16, true},       {"INT8 (0..1)", 16, true},   {"USINT", 17, true},
        {"BIT8", 17, true},       {"USINT (1..3)", 17, true},  {"WORD", 18, true},
        {"UINT16 (0..9)", 18, true}, {"DT", 19, true},         {"DT", 20, false},
        {"OKXID", 19, true},      {"DATE_AND_TIME", 19, true}, {"DWORD (0..7)", 19, true},
        {"TIME (0..7)", 19, false}, {"FILETIME", 20, true},    {"DCTIME", 20, true},
        {"LTOD", 21, true},       {"LWORD (0..1)", 21, true},  {"BOOL", 33, true},
        {"BIT", 33, true},        {"BOOL", 17, false},         {"STRING(80)", 30, true},
        {"STRING(80) x", 30, false}, {"STRING(80) ", 30, true}, {"STRING", 30, false},
        {"STRING(80)", 31, false}, {"WSTRING(10)", 31, true},   {"WSTRING(10)x", 31, false},
        {"WSTRING", 31, false},   {"STRING()", 30, false},      {"UINT16", 65, false},
        {"UINT16(0..5)", 65, true}, {"UINT32", 65, true},       {"LDATE_AND_TIME", 65, true},
        {"REAL", 65, false},      {"BOOL", 65, false},          {"ST_Struct", 65, false},
        {"INT", 0, false},        {"INT", 66, false},           {"", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + std::to_string(c.id));
        EXPECT_EQ(IsPrimitive(c.name, c.id), c.primitive);
    }
    EXPECT_FALSE(IsPrimitive(nullptr, 2));
}

// String type names follow the scan "STRING(%d)%s" giving exactly one conversion; compared with the C
// library's scan wherever the number fits an int.
TEST(XmlTypeNames, StringNamesScanLikeTheFormat)
{
    const char* const names[] = {"STRING(80)", "STRING( 80)", "STRING(+5)", "STRING(-5)", "STRING(80",
                                 "STRING(80x", "STRING(x)", "STRING(80)\t", "STRING(80) )", "STRING(80)) ",
                                 "STRING(80)(", "STRING()", "STRING( )", "STRING(8 0)", "STRING(80)\n"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        int n = 0;
        char rest[2];
        const bool expected = std::sscanf(name, "STRING(%d)%1s", &n, rest) == 1;
        EXPECT_EQ(IsPrimitive(name, 30), expected);
        const std::string wide = std::string("W") + name;
        EXPECT_EQ(IsPrimitive(wide.c_str(), 31), std::sscanf(wide.c_str(), "WSTRING(%d)%1s", &n, rest) == 1);
    }
    EXPECT_TRUE(IsPrimitive("STRING(99999999999999999999999)", 30));
    EXPECT_FALSE(IsPrimitive("STRING(99999999999999999999999) x", 30));
}

TEST(XmlTypeNames, IsPointerByPrefix)
{
    struct Case {
        const char* name;
        bool pointer;
    };
    const Case cases[] = {
        {"POINTER TO INT", true}, {"REFERENCE TO LREAL", true}, {"PVOID", true},
        {"POINTER", true},        {"PVOIDX", true},             {"XPOINTER TO INT", false},
        {"A POINTER", false},     {"POINTE", false},            {"REFERENC", false},
        {"pointer to int", false}, {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsPointer(c.name), c.pointer);
    }
    EXPECT_FALSE(IsPointer(nullptr));
}

// ---- Attributes behind the optional sections ----

TEST(XmlTypeAttributes, ExcludeSkipsEverySectionInOrder)
{
    struct Case {
        const char* what;
        std::function<void(TypeRec&)> shape;
        bool exclude;
    };
    const Attrs excl = {{"KxXmlServer", "exclude"}};
    const Case cases[] = {
        {"no sections", [&](TypeRec& r) { r.attrs = excl; }, true},
        {"no attribute block", [](TypeRec&) {}, false},
        {"array infos",
         [&](TypeRec& r) {
             r.dims = {{1, 3}, {0, 2}};
             r.attrs = excl;
         },
         true},
        {"sub-items with their own sections",
         [&](TypeRec& r) {
             TypeRec m = Mem("a", "INT", 2, 2, 0);
             m.attrs = {{"KxEncoding", "UTF-8"}};
             m.guid = true;
             r.members = {m, Mem("b", "INT", 2, 2, 2)};
             r.attrs = excl;
         },
         true},
        {"GUID, copy mask and methods",
         [&](TypeRec& r) {
             r.size = 13;
             r.guid = true;
             r.copyMask = true;
             r.methods = {Bytes(20, 0x77), Bytes(3, 0x66)};
             r.attrs = excl;
         },
         true},
        {"everything",
         [&](TypeRec& r) {
             r.size = 4;
             r.dims = {{0, 2}};
             r.members = {Mem("a", "INT", 2, 2, 0)};
             r.guid = true;
             r.copyMask = true;
             r.methods = {Bytes(8, 1)};
             r.attrs = {{"KxEncoding", "UTF-8"}, {"KxXmlServer", "exclude"}};
         },
         true},
        {"other value", [](TypeRec& r) { r.attrs = {{"KxXmlServer", "include"}}; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TypeRec r;
        r.name = "ST_T";
        r.comment = "a type";
        c.shape(r);
        Bytes b = r.Build();
        ASSERT_TRUE(FexDatatypeEntryValid(b.data(), b.size()));
        EXPECT_EQ(Exclude(reinterpret_cast<const FexDatatypeEntry*>(b.data())), c.exclude);
    }
    EXPECT_FALSE(Exclude(static_cast<const FexDatatypeEntry*>(nullptr)));
}

TEST(XmlTypeAttributes, SectionsThatLeaveTheRecordEndTheSearch)
{
    TypeRec r;
    r.name = "ST_T";
    r.size = 4;
    r.methods = {Bytes(8, 1)};
    r.attrs = {{"KxXmlServer", "exclude"}};
    const Bytes full = r.Build();
    const size_t methodsAt = 42 + 5 + 1 + 1; // header, name, empty type name and comment
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        bool exclude;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, true},
        {"method length zero", [&](Bytes& b) { SetU32(b, methodsAt + 2, 0); }, false},
        {"method length past the end", [&](Bytes& b) { SetU32(b, methodsAt + 2, 0x10000); }, false},
        {"copy mask larger than the record", [&](Bytes& b) { SetU32(b, 16, 0x7FFFFFF0); b[29] |= 0x02; }, false},
        {"record cut before the attributes", [&](Bytes& b) { SetU32(b, 0, uint32_t(methodsAt + 14)); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = full;
        c.change(b);
        const Bytes exact = ExactRecord(b);
        ASSERT_TRUE(FexDatatypeEntryValid(exact.data(), exact.size()));
        EXPECT_EQ(Exclude(reinterpret_cast<const FexDatatypeEntry*>(exact.data())), c.exclude);
    }
}

TEST(XmlTypeRecords, ValidatorChecksEveryLengthAgainstTheBytes)
{
    TypeRec r;
    r.name = "ST_T";
    r.type = "";
    r.dims = {{0, 4}};
    r.members = {Mem("a", "INT", 2, 2, 0), Mem("b", "DINT", 2, 4, 2)};
    const Bytes good = r.Build();
    const size_t sub0 = 42 + 5 + 1 + 1 + 8;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        size_t avail; // 0: all bytes
        bool valid;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, 0, true},
        {"fewer bytes than the entry length", [](Bytes&) {}, 60, false},
        {"entry length below the header", [](Bytes& b) { SetU32(b, 0, 41); }, 0, false},
        {"name without its NUL", [](Bytes& b) { b[42 + 4] = 'x'; }, 0, false},
        {"array infos past the end", [](Bytes& b) { b[38] = 0xFF; b[39] = 0x0F; }, 0, false},
        {"more sub-items than present", [](Bytes& b) { b[40] = 3; }, 0, false},
        {"sub-item longer than its parent", [&](Bytes& b) { SetU32(b, sub0, 0x1000); }, 0, false},
        {"sub-item shorter than a header", [&](Bytes& b) { SetU32(b, sub0, 8); }, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = good;
        c.change(b);
        EXPECT_EQ(FexDatatypeEntryValid(b.data(), c.avail ? c.avail : b.size()), c.valid);
    }

    // Nesting is limited, so a hostile record cannot exhaust the stack.
    TypeRec deep = Mem("leaf", "INT", 2, 2, 0);
    for (unsigned i = 0; i < kFexMaxTypeNesting + 1; ++i) {
        TypeRec outer;
        outer.name = "n";
        outer.members = {deep};
        deep = outer;
    }
    Bytes d = deep.Build();
    EXPECT_FALSE(FexDatatypeEntryValid(d.data(), d.size()));
}

TEST(XmlTypeRecords, AccessorsWalkMembersAndDimensions)
{
    TypeRec r;
    r.name = "ST_T";
    r.comment = "structure";
    r.size = 10;
    r.members = {Mem("a", "INT", 2, 2, 0), Mem("bb", "DINT", 2, 4, 2), Mem("ccc", "REAL", 2, 4, 6)};
    r.members[1].dims = {{-2, 5}, {1, 3}};
    r.guid = true;
    const Bytes b = r.Build();
    ASSERT_TRUE(FexDatatypeEntryValid(b.data(), b.size()));
    const FexDatatypeEntry* e = reinterpret_cast<const FexDatatypeEntry*>(b.data());
    EXPECT_STREQ(FexDatatypeName(e), "ST_T");
    EXPECT_STREQ(FexDatatypeComment(e), "structure");

    std::vector<std::string> names;
    std::vector<uint32_t> offsets;
    CFexSubItems items(e);
    while (const FexDatatypeEntry* m = items.Next()) {
        names.push_back(FexDatatypeName(m));
        offsets.push_back(+m->offset);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "bb", "ccc"}));
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 2, 6}));

    const FexDatatypeEntry* bb = FexDatatypeSubItem(e, 1);
    ASSERT_NE(bb, nullptr);
    EXPECT_STREQ(FexDatatypeTypeName(bb), "DINT");
    ASSERT_NE(FexDatatypeArrayDim(bb, 1), nullptr);
    EXPECT_EQ(+FexDatatypeArrayDim(bb, 0)->lowerBound, -2);
    EXPECT_EQ(+FexDatatypeArrayDim(bb, 0)->elements, 5u);
    EXPECT_EQ(+FexDatatypeArrayDim(bb, 1)->lowerBound, 1);
    EXPECT_EQ(FexDatatypeArrayDim(bb, 2), nullptr);
    EXPECT_EQ(FexDatatypeSubItem(e, 3), nullptr);
}

// ---- ReadDatatypeInfo ----

class TypeServer : public CXmlDataServer {
public:
    explicit TypeServer(IKxFexSync* p) : CXmlDataServer(p) {}
    const BYTE* CurrentBlock() const { return m_typeBlocks.empty() ? nullptr : m_typeBlocks.back(); }
    CDatatypeCache& Cache() { return m_typeCache; }
};

TypeRec Struct(const std::string& name, size_t commentLength = 0)
{
    TypeRec r;
    r.name = name;
    r.comment = std::string(commentLength, 'c');
    r.size = 6;
    r.members = {Mem("a", "INT", 2, 2, 0), Mem("b", "DINT", 2, 4, 2)};
    return r;
}

TypeRec Alias(const std::string& name, const std::string& base)
{
    TypeRec r;
    r.name = name;
    r.type = base;
    r.size = 6;
    return r;
}

std::vector<std::string> AskedNames(const FakeFexSync& plc)
{
    std::vector<std::string> out;
    for (const FakeRequest& r : plc.log)
        out.push_back(r.name);
    return out;
}

TEST(XmlTypeUpload, RecordIsKeptInTypeMemoryAndCached)
{
    FakeFexSync plc;
    const Bytes rec = Struct("ST_A").Build();
    plc.datatypes["ST_A"] = rec;
    TypeServer srv(&plc);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    EXPECT_EQ(srv.TypeMemoryBlockSize(), 16534u);

    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_A", &p), S_OK);
    ASSERT_EQ(static_cast<const void*>(p), static_cast<const void*>(srv.CurrentBlock()));
    EXPECT_EQ(std::memcmp(p, rec.data(), rec.size()), 0);
    EXPECT_EQ(srv.TypeMemoryUsed(), rec.size());
    ASSERT_EQ(plc.log.size(), 1u);
    EXPECT_EQ(plc.log[0].group, 0xF011u);
    EXPECT_EQ(plc.log[0].offset, 0u);
    EXPECT_EQ(plc.log[0].readLength, 16534u);
    EXPECT_EQ(plc.log[0].writeLength, 5u);

    FexDatatypeEntry* again = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_A", &again), S_OK);
    EXPECT_EQ(again, p);
    EXPECT_EQ(plc.log.size(), 1u);

    // A second type lands right behind the first, which stays in place.
    plc.datatypes["ST_B"] = Struct("ST_B", 10).Build();
    FexDatatypeEntry* pb = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_B", &pb), S_OK);
    EXPECT_EQ(reinterpret_cast<BYTE*>(pb), reinterpret_cast<BYTE*>(p) + rec.size());
    EXPECT_EQ(plc.log.back().readLength, 16534u - rec.size());
    EXPECT_EQ(std::memcmp(p, rec.data(), rec.size()), 0);
}

TEST(XmlTypeUpload, AliasChainIsFollowedAndEveryNameCached)
{
    FakeFexSync plc;
    const Bytes st = Struct("ST_S").Build();
    plc.datatypes["T_A"] = Alias("T_A", "T_B").Build();
    plc.datatypes["T_B"] = Alias("T_B", "ST_S").Build();
    plc.datatypes["ST_S"] = st;
    TypeServer srv(&plc);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);

    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("T_A", &p), S_OK);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(FexDatatypeName(p), "ST_S");
    EXPECT_EQ(AskedNames(plc), (std::vector<std::string>{"T_A", "T_B", "ST_S"}));
    // Only the structure's record occupies type memory; the alias records were overwritten.
    EXPECT_EQ(srv.TypeMemoryUsed(), st.size());
    EXPECT_EQ(std::memcmp(p, st.data(), st.size()), 0);

    for (const char* name : {"T_A", "T_B", "ST_S"}) {
        SCOPED_TRACE(name);
        FexDatatypeEntry* q = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo(name, &q), S_OK);
        EXPECT_EQ(q, p);
    }
    EXPECT_EQ(plc.log.size(), 3u);
    EXPECT_EQ(srv.Cache().GetCount(), 3u);
}

TEST(XmlTypeUpload, OnlyPlainRenamesAreAliases)
{
    struct Case {
        const char* what;
        std::function<void(TypeRec&)> change;
        size_t uploads;
    };
    std::vector<Case> cases = {
        {"plain rename", [](TypeRec&) {}, 2},
        {"array of the base", [](TypeRec& r) { r.dims = {{0, 2}}; }, 1},
        {"structure", [](TypeRec& r) { r.members = {Mem("a", "INT", 2, 2, 0)}; }, 1},
        {"no type name", [](TypeRec& r) { r.type = ""; }, 1},
    };
    for (uint32_t flag : {0x4u, 0x8u, 0x40u, 0x400u, 0x800u, 0x2000u, 0x100000u})
        cases.push_back({"flag", [flag](TypeRec& r) { r.flags = flag; }, 1});
    for (uint32_t flag : {0x20u, 0x80u, 0x200u, 0x1000u})
        cases.push_back({"flag that does not block", [flag](TypeRec& r) { r.flags = flag; }, 2});
    for (const Case& c : cases) {
        TypeRec a = Alias("T_A", "ST_S");
        c.change(a);
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(a.flags));
        FakeFexSync plc;
        plc.datatypes["T_A"] = a.Build();
        plc.datatypes["ST_S"] = Struct("ST_S").Build();
        TypeServer srv(&plc);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo("T_A", &p), S_OK);
        EXPECT_EQ(plc.log.size(), c.uploads);
        EXPECT_STREQ(FexDatatypeName(p), c.uploads == 2 ? "ST_S" : "T_A");
    }
}

TEST(XmlTypeUpload, LargeRecordIsProbedAndGetsALargerBlock)
{
    struct Case {
        size_t commentLength;
        uint32_t newBlock;  // 2 * max(2 * 16534, needed)
    };
    const size_t fixed = Struct("ST_X").Build().size();
    const Case cases[] = {
        {20000, 2 * 2 * 16534},
        {40000 - fixed, 2 * 40000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commentLength);
        FakeFexSync plc;
        const Bytes big = Struct("ST_L", c.commentLength).Build();
        plc.datatypes["ST_L"] = big;
        TypeServer srv(&plc);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo("ST_L", &p), S_OK);
        ASSERT_EQ(plc.log.size(), 3u);
        EXPECT_EQ(plc.log[0].readLength, 16534u);
        EXPECT_EQ(plc.log[1].readLength, 4u);
        EXPECT_EQ(plc.log[2].readLength, c.newBlock);
        EXPECT_EQ(srv.TypeMemoryBlockCount(), 2u);
        EXPECT_EQ(srv.TypeMemoryBlockSize(), c.newBlock);
        EXPECT_GE(srv.TypeMemoryBlockSize(), 4u * 16534u);
        EXPECT_EQ(static_cast<const void*>(p), static_cast<const void*>(srv.CurrentBlock()));
        EXPECT_EQ(srv.TypeMemoryUsed(), big.size());
        EXPECT_EQ(std::memcmp(p, big.data(), big.size()), 0);
    }
}

TEST(XmlTypeUpload, NearlyFullBlockIsReplacedBeforeTheUpload)
{
    struct Case {
        uint32_t leftAfterFirst;
        std::vector<ULONG> secondReads;  // read lengths of the uploads for the second type
    };
    const Case cases[] = {
        {41, {2 * 2 * 16534}},             // too little for any record: a new block first
        {42, {42, 4, 2 * 2 * 16534}},      // room for a header only: the PLC refuses, probe, new block
    };
    const size_t fixed = Struct("ST_X").Build().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leftAfterFirst);
        FakeFexSync plc;
        plc.datatypes["ST_F"] = Struct("ST_F", 16534 - c.leftAfterFirst - fixed).Build();
        plc.datatypes["ST_2"] = Struct("ST_2").Build();
        TypeServer srv(&plc);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* first = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo("ST_F", &first), S_OK);
        ASSERT_EQ(srv.TypeMemoryBlockSize() - srv.TypeMemoryUsed(), c.leftAfterFirst);
        const Bytes firstCopy(reinterpret_cast<BYTE*>(first), reinterpret_cast<BYTE*>(first) + first->entryLength);

        FexDatatypeEntry* second = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo("ST_2", &second), S_OK);
        std::vector<ULONG> reads;
        for (size_t i = 1; i < plc.log.size(); ++i)
            reads.push_back(plc.log[i].readLength);
        EXPECT_EQ(reads, c.secondReads);
        EXPECT_EQ(srv.TypeMemoryBlockCount(), 2u);
        EXPECT_EQ(static_cast<const void*>(second), static_cast<const void*>(srv.CurrentBlock()));
        // Earlier records never move.
        EXPECT_EQ(std::memcmp(first, firstCopy.data(), firstCopy.size()), 0);
    }
}

TEST(XmlTypeUpload, CacheHoldsAThousandNames)
{
    FakeFexSync plc;
    TypeServer srv(&plc);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    std::vector<FexDatatypeEntry*> got;
    for (int i = 0; i <= 1000; ++i) {
        std::string name = "ST_" + std::to_string(i);
        plc.datatypes[name] = Struct(name).Build();
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo(name.c_str(), &p), S_OK) << name;
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(FexDatatypeName(p), name.c_str());
        got.push_back(p);
    }
    EXPECT_EQ(srv.Cache().GetCount(), 1000u);

    // The first thousand come from the cache, the 1001st is uploaded again.
    const size_t requests = plc.log.size();
    for (int i : {0, 500, 999}) {
        FexDatatypeEntry* p = nullptr;
        ASSERT_EQ(srv.ReadDatatypeInfo(("ST_" + std::to_string(i)).c_str(), &p), S_OK);
        EXPECT_EQ(p, got[i]);
    }
    EXPECT_EQ(plc.log.size(), requests);
    FexDatatypeEntry* last = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_1000", &last), S_OK);
    EXPECT_STREQ(FexDatatypeName(last), "ST_1000");
    ASSERT_GT(plc.log.size(), requests);
    EXPECT_EQ(plc.log.back().name, "ST_1000");
    EXPECT_EQ(srv.Cache().GetCount(), 1000u);
}

TEST(XmlTypeUpload, FailuresLeaveTypeMemoryUnchanged)
{
    FexDatatypeEntry* const sentinel = reinterpret_cast<FexDatatypeEntry*>(uintptr_t(0x10));
    const Bytes st = Struct("ST_S").Build();
    struct Case {
        const char* what;
        const char* name;
        std::function<void(FakeFexSync&)> setup;
        HRESULT hr;
        bool outputNull; // else unchanged
    };
    const Case cases[] = {
        {"null name", nullptr, [](FakeFexSync&) {}, kXmlErrNoValue, false},
        {"empty name", "", [](FakeFexSync&) {}, kXmlErrNoValue, false},
        {"unknown to the PLC", "ST_X", [](FakeFexSync&) {}, FEX_HRESULT(FEXERR_SYMBOLNOTFOUND), true},
        {"alias of an unknown type", "T_A",
         [](FakeFexSync& p) { p.datatypes["T_A"] = Alias("T_A", "ST_X").Build(); }, FEX_HRESULT(FEXERR_SYMBOLNOTFOUND), true},
        {"alias loop", "T_A",
         [](FakeFexSync& p) {
             p.datatypes["T_A"] = Alias("T_A", "T_B").Build();
             p.datatypes["T_B"] = Alias("T_B", "T_A").Build();
         },
         kXmlErrFailed, true},
        {"alias of itself", "T_A", [](FakeFexSync& p) { p.datatypes["T_A"] = Alias("T_A", "T_A").Build(); },
         kXmlErrFailed, true},
        {"entry length beyond the bytes", "ST_S",
         [&](FakeFexSync& p) {
             Bytes b = st;
             SetU32(b, 0, uint32_t(b.size() + 8));
             p.datatypes["ST_S"] = b;
         },
         kXmlErrFailed, true},
        {"member beyond its parent", "ST_S",
         [&](FakeFexSync& p) {
             Bytes b = st;
             SetU32(b, 42 + 5 + 1 + 1, 0x400);
             p.datatypes["ST_S"] = b;
         },
         kXmlErrFailed, true},
        {"probe fails", "ST_S",
         [&](FakeFexSync& p) {
             p.override = [](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>&) {
                 hr = r.readLength == 4 ? FEX_HRESULT(FEXERR_INVALIDGRP) : FEX_HRESULT(FEXERR_INVALIDSIZE);
                 return true;
             };
         },
         FEX_HRESULT(FEXERR_INVALIDGRP), true},
        {"probe answers a length below a header", "ST_S",
         [&](FakeFexSync& p) {
             p.override = [](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>& d) {
                 hr = r.readLength == 4 ? S_OK : FEX_HRESULT(FEXERR_INVALIDSIZE);
                 d = {8, 0, 0, 0};
                 return true;
             };
         },
         kXmlErrFailed, true},
        {"probe answers an impossible length", "ST_S",
         [&](FakeFexSync& p) {
             p.override = [](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>& d) {
                 hr = r.readLength == 4 ? S_OK : FEX_HRESULT(FEXERR_INVALIDSIZE);
                 d = {0xF0, 0xFF, 0xFF, 0xFF};
                 return true;
             };
         },
         kXmlErrNoMemory, false},
        {"record larger than the block after the probe", "ST_S",
         [&](FakeFexSync& p) {
             p.override = [](const FakeRequest& r, HRESULT& hr, std::vector<uint8_t>& d) {
                 hr = r.readLength == 4 ? S_OK : FEX_HRESULT(FEXERR_INVALIDSIZE);
                 d = {0x00, 0x01, 0, 0};
                 return true;
             };
         },
         FEX_HRESULT(FEXERR_INVALIDSIZE), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFexSync plc;
        c.setup(plc);
        TypeServer srv(&plc);
        ASSERT_EQ(srv.InitTypeMemory(), S_OK);
        FexDatatypeEntry* p = sentinel;
        EXPECT_EQ(srv.ReadDatatypeInfo(c.name, &p), c.hr);
        EXPECT_EQ(p, c.outputNull ? nullptr : sentinel);
        EXPECT_EQ(srv.TypeMemoryUsed(), 0u);
        EXPECT_EQ(srv.Cache().GetCount(), 0u);
        EXPECT_LE(plc.log.size(), 3u);
    }
}

TEST(XmlTypeUpload, FreedTypeMemoryTakesTheCacheAlong)
{
    FakeFexSync plc;
    plc.datatypes["ST_S"] = Struct("ST_S").Build();
    TypeServer srv(&plc);
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_S", &p), S_OK);
    srv.FreeTypeMemory();
    EXPECT_EQ(srv.TypeMemoryBlockCount(), 0u);
    EXPECT_EQ(srv.Cache().GetCount(), 0u);

    // Reopened: the record is uploaded anew into the new block instead of read from freed memory.
    ASSERT_EQ(srv.InitTypeMemory(), S_OK);
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_S", &p), S_OK);
    EXPECT_EQ(static_cast<const void*>(p), static_cast<const void*>(srv.CurrentBlock()));
    EXPECT_EQ(plc.log.size(), 2u);
}

TEST(XmlTypeUpload, WithoutAFirstBlockTheGrowthRuleStillApplies)
{
    FakeFexSync plc;
    const Bytes st = Struct("ST_S").Build();
    plc.datatypes["ST_S"] = st;
    TypeServer srv(&plc);
    FexDatatypeEntry* p = nullptr;
    ASSERT_EQ(srv.ReadDatatypeInfo("ST_S", &p), S_OK);
    ASSERT_NE(p, nullptr);
    // 84 bytes cannot take the record: probe, then a block of 2 * max(2 * 84, record).
    ASSERT_EQ(plc.log.size(), 3u);
    EXPECT_EQ(plc.log[0].readLength, 84u);
    EXPECT_EQ(plc.log[2].readLength, 2 * std::max<size_t>(2 * 84, st.size()));
    EXPECT_EQ(srv.TypeMemoryBlockCount(), 2u);
}

} // namespace
