// Records answered by the simulated PLC, decoded and compared with bytes worked out by hand.
#include <gtest/gtest.h>

#include <cstdio>

#include "KxFex.h"
#include "KxPlcDecode.h"
#include "KxPlcSim.h"

using namespace plctest;

namespace {

// "9E 00 01" -> bytes.
void Hex(std::vector<uint8_t>& out, const char* text)
{
    unsigned int v;
    int used;
    while (std::sscanf(text, " %2x%n", &v, &used) == 1) {
        out.push_back(static_cast<uint8_t>(v));
        text += used;
    }
}

// Characters and their NUL.
void Txt(std::vector<uint8_t>& out, const char* text)
{
    out.insert(out.end(), text, text + std::strlen(text) + 1);
}

class PlcRecordTest : public ::testing::Test {
protected:
    CKxPlcSim sim;
    void SetUp() override
    {
        KxPlcLoadResult r = sim.LoadFile(DataFile("records.xml"));
        ASSERT_TRUE(r.ok) << r.description;
    }
    std::vector<uint8_t> Info(uint32_t group, const std::string& name, uint32_t readLength = 0x10000,
                              uint32_t* error = nullptr)
    {
        std::vector<uint8_t> out;
        uint32_t e = sim.ReadWrite(group, 0, readLength, name.c_str(), static_cast<uint32_t>(name.size() + 1), out);
        if (error)
            *error = e;
        else
            EXPECT_EQ(e, 0u) << name;
        return out;
    }
    TypeRec Type(const std::string& name)
    {
        TypeRec r;
        std::vector<uint8_t> b = Info(KXPLC_GROUP_TYPEINFO, name);
        EXPECT_TRUE(DecodeType(b, r)) << name;
        return r;
    }
    SymRec Sym(const std::string& name)
    {
        SymRec r;
        std::vector<uint8_t> b = Info(KXPLC_GROUP_SYMINFO, name);
        EXPECT_TRUE(DecodeSymbol(b, r)) << name;
        EXPECT_EQ(r.length, b.size());
        EXPECT_EQ(r.consumed, b.size()) << name;
        return r;
    }
};

TEST_F(PlcRecordTest, StructureRecordMatchesHandBytes)
{
    std::vector<uint8_t> want;
    Hex(want, "9E 00 00 00  01 00 00 00  00 00 00 00  00 00 00 00");  // length 158, three free words
    Hex(want, "08 00 00 00  00 00 00 00  41 00 00 00  01 00 00 00");  // size 8, offset 0, id 65, flags
    Hex(want, "07 00  00 00  04 00  00 00  02 00");                   // name, type, comment, dims, members
    Txt(want, "ST_Pair");
    Txt(want, "");
    Txt(want, "pair");
    Hex(want, "32 00 00 00  01 00 00 00  00 00 00 00  00 00 00 00");  // member nA: length 50
    Hex(want, "02 00 00 00  00 00 00 00  02 00 00 00  02 00 00 00");  // size 2, offset 0, INT, member
    Hex(want, "02 00  03 00  00 00  00 00  00 00");
    Txt(want, "nA");
    Txt(want, "INT");
    Txt(want, "");
    Hex(want, "34 00 00 00  01 00 00 00  00 00 00 00  00 00 00 00");  // member fB: length 52
    Hex(want, "04 00 00 00  04 00 00 00  04 00 00 00  02 00 00 00");  // size 4, offset 4, REAL, member
    Hex(want, "02 00  04 00  01 00  00 00  00 00");
    Txt(want, "fB");
    Txt(want, "REAL");
    Txt(want, "b");
    ASSERT_EQ(want.size(), 158u);
    EXPECT_EQ(Info(KXPLC_GROUP_TYPEINFO, "ST_Pair"), want);
    // Type names are matched without regard to case; the record keeps the declared spelling.
    EXPECT_EQ(Info(KXPLC_GROUP_TYPEINFO, "st_pair"), want);
}

TEST_F(PlcRecordTest, SymbolRecordMatchesHandBytes)
{
    std::vector<uint8_t> want;
    Hex(want, "34 00 00 00  40 40 00 00  00 00 00 00  08 00 00 00");  // length 52, group 0x4040, offset 0, size 8
    Hex(want, "41 00 00 00  00 00 00 00  0B 00  07 00  01 00");         // id 65, flags 0, name/type/comment
    Txt(want, "MAIN.stPair");
    Txt(want, "ST_Pair");
    Txt(want, "c");
    EXPECT_EQ(Info(KXPLC_GROUP_SYMINFO, "MAIN.stPair"), want);
    EXPECT_EQ(Info(KXPLC_GROUP_SYMINFO, "main.STPAIR"), want);
}

TEST_F(PlcRecordTest, ArrayOfStructures)
{
    TypeRec t = Type("ARRAY [1..3] OF ST_Pair");
    EXPECT_EQ(t.name, "ARRAY [1..3] OF ST_Pair");
    EXPECT_EQ(t.type, "ST_Pair");
    EXPECT_EQ(t.size, 24u);
    EXPECT_EQ(t.id, 65u);
    ASSERT_EQ(t.dims.size(), 1u);
    EXPECT_EQ(t.dims[0].first, 1);
    EXPECT_EQ(t.dims[0].second, 3u);
    EXPECT_TRUE(t.subs.empty());
    // header + name + type name + empty comment + one array info
    EXPECT_EQ(t.length, 42u + 24 + 8 + 1 + 8);

    // A spelling without blanks reaches the same type.
    TypeRec t2 = Type("array[1..3]of ST_PAIR");
    EXPECT_EQ(t2.name, t.name);

    SymRec s = Sym("MAIN.aPairs");
    EXPECT_EQ(s.type, "ARRAY [1..3] OF ST_Pair");
    EXPECT_EQ(s.offset, 8u);  // behind MAIN.stPair, aligned to 4
    EXPECT_EQ(s.size, 24u);
    EXPECT_EQ(s.id, 65u);

    SymRec e = Sym("MAIN.aPairs[2].fB");
    EXPECT_EQ(e.name, "MAIN.aPairs[2].fB");
    EXPECT_EQ(e.offset, 8u + 8 + 4);
    EXPECT_EQ(e.size, 4u);
    EXPECT_EQ(e.id, 4u);
    EXPECT_EQ(e.type, "REAL");
    EXPECT_EQ(e.comment, "b");
}

TEST_F(PlcRecordTest, AliasChainEndsAtTheStructure)
{
    struct Row {
        const char* name;
        const char* typeName;
        uint32_t size, id;
        const char* comment;
    } rows[] = {
        {"T_Outer", "T_Middle", 8, 65, "outer"},
        {"T_Middle", "ST_Pair", 8, 65, ""},
        {"T_Dist", "T_Len", 8, 5, "distance"},
        {"T_Len", "LREAL", 8, 5, ""},
    };
    for (const Row& r : rows) {
        TypeRec t = Type(r.name);
        EXPECT_EQ(t.name, r.name);
        EXPECT_EQ(t.type, r.typeName) << r.name;
        EXPECT_EQ(t.size, r.size) << r.name;
        EXPECT_EQ(t.id, r.id) << r.name;
        EXPECT_EQ(t.comment, r.comment) << r.name;
        // Nothing marks an alias except an empty shape with a type name: no flag a client treats as a stopper.
        EXPECT_EQ(t.flags & 0x102C4Cu, 0u) << r.name;
        EXPECT_TRUE(t.dims.empty() && t.subs.empty()) << r.name;
        EXPECT_EQ(t.length, 42u + std::strlen(r.name) + std::strlen(r.typeName) + std::strlen(r.comment) + 3);
    }
    // Following the chain as a client does ends at records that are not aliases.
    TypeRec base = Type("LREAL");
    EXPECT_EQ(base.type, "");
    EXPECT_EQ(base.size, 8u);
    EXPECT_EQ(base.id, 5u);
    EXPECT_EQ(Type("ST_Pair").subs.size(), 2u);
}

TEST_F(PlcRecordTest, TypeWithAttributesCommentsGuidMaskAndMethods)
{
    std::vector<uint8_t> raw = Info(KXPLC_GROUP_TYPEINFO, "ST_Tagged");
    TypeRec t;
    ASSERT_TRUE(DecodeType(raw, t));
    EXPECT_EQ(t.comment, "Tagged type");
    EXPECT_EQ(t.size, 20u);
    EXPECT_EQ(t.flags, 0x0001u | 0x0080 | 0x0200 | 0x0800 | 0x1000);
    EXPECT_EQ(t.guid, (std::vector<uint8_t>{4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16}));
    // Bytes that hold values are marked; byte 7 is padding before the INT array.
    std::vector<uint8_t> mask(20, 0xFF);
    mask[7] = 0;
    EXPECT_EQ(t.copyMask, mask);
    ASSERT_EQ(t.methodLengths.size(), 2u);
    EXPECT_EQ(t.methodLengths[0], 20u + 6 + 5 + 3);  // "Start", "BOOL", "go"
    EXPECT_EQ(t.methodLengths[1], 20u + 5 + 1 + 1);  // "Stop"
    ASSERT_EQ(t.attrs.size(), 2u);
    EXPECT_EQ(t.attrs[0].name, "KxXmlServer");
    EXPECT_EQ(t.attrs[0].value, "exclude");
    EXPECT_EQ(t.attrs[1].name, "Unit");
    EXPECT_EQ(t.attrs[1].value, "mm");
    // The attribute block is the last section: it ends the record.
    EXPECT_EQ(t.consumed, raw.size());

    struct Row {
        const char* name;
        const char* type;
        uint32_t size, offset, id, flags;
        const char* comment;
        size_t dims, attrs;
    } rows[] = {
        {"sText", "STRING(5)", 6, 0, 30, 0x0002 | 0x1000, "text", 0, 1},
        {"bOn", "BIT", 1, 48, 33, 0x0002 | 0x0020, "", 0, 0},
        {"bOff", "BIT", 1, 49, 33, 0x0002 | 0x0020, "off", 0, 0},
        {"nHidden", "WORD", 2, 0, 18, 0x0002 | 0x0040, "", 0, 0},
        {"aVals", "ARRAY [-1..1,0..1] OF INT", 12, 8, 2, 0x0002, "", 2, 0},
    };
    ASSERT_EQ(t.subs.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const TypeRec& m = t.subs[i];
        const Row& r = rows[i];
        EXPECT_EQ(m.name, r.name);
        EXPECT_EQ(m.type, r.type) << r.name;
        EXPECT_EQ(m.size, r.size) << r.name;
        EXPECT_EQ(m.offset, r.offset) << r.name;
        EXPECT_EQ(m.id, r.id) << r.name;
        EXPECT_EQ(m.flags, r.flags) << r.name;
        EXPECT_EQ(m.comment, r.comment) << r.name;
        EXPECT_EQ(m.dims.size(), r.dims) << r.name;
        EXPECT_EQ(m.attrs.size(), r.attrs) << r.name;
        EXPECT_EQ(m.consumed, m.length) << r.name;
    }
    EXPECT_EQ(t.subs[0].attrs[0].name, "KxEncoding");
    EXPECT_EQ(t.subs[0].attrs[0].value, "UTF-8");
    EXPECT_EQ(t.subs[4].dims[0], (std::pair<int32_t, uint32_t>(-1, 3)));
    EXPECT_EQ(t.subs[4].dims[1], (std::pair<int32_t, uint32_t>(0, 2)));
}

TEST_F(PlcRecordTest, SymbolWithEncodingAttributeAndGuid)
{
    SymRec s = Sym("MAIN.sUtf");
    EXPECT_EQ(s.flags, 0x0008u | 0x1000);
    EXPECT_EQ(s.type, "STRING(10)");
    EXPECT_EQ(s.id, 30u);
    EXPECT_EQ(s.size, 11u);
    EXPECT_EQ(s.offset, 32u);
    EXPECT_EQ(s.guid,
              (std::vector<uint8_t>{0xa3, 0xa2, 0xa1, 0xa0, 0xb1, 0xb0, 0xc1, 0xc0, 0xd0, 0xd1, 0xe0, 0xe1, 0xe2,
                                    0xe3, 0xe4, 0xe5}));
    ASSERT_EQ(s.attrs.size(), 1u);
    EXPECT_EQ(s.attrs[0].name, "KxEncoding");
    EXPECT_EQ(s.attrs[0].value, "UTF-8");
    // 30 + "MAIN.sUtf" + "STRING(10)" + "" + GUID + count + (2 + "KxEncoding" + "UTF-8")
    EXPECT_EQ(s.length, 30u + 10 + 11 + 1 + 16 + 2 + (2 + 11 + 6));
    // A UTF-8 symbol keeps the bytes of its initial text.
    std::vector<uint8_t> mem;
    ASSERT_EQ(sim.Read(0x4040, 32, 11, mem), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mem.data())), "a\xC3\xB1"
                                                                 "b");

    // Members answered by name carry their own attributes, not the symbol's.
    SymRec m = Sym("MAIN.stTagged.sText");
    EXPECT_EQ(m.group, 0x4020u);
    EXPECT_EQ(m.flags, 0x1000u);
    ASSERT_EQ(m.attrs.size(), 1u);
    EXPECT_EQ(m.attrs[0].value, "UTF-8");
    EXPECT_EQ(Sym("MAIN.stTagged.aVals[0,1]").flags, 0u);
}

TEST_F(PlcRecordTest, EnumerationKeepsItsBaseAndValues)
{
    std::vector<uint8_t> raw = Info(KXPLC_GROUP_TYPEINFO, "E_Color");
    TypeRec t;
    ASSERT_TRUE(DecodeType(raw, t));
    EXPECT_EQ(t.type, "USINT");
    EXPECT_EQ(t.id, 17u);
    EXPECT_EQ(t.size, 1u);
    // The enumeration flag keeps it from being taken for an alias; its values follow the known sections.
    EXPECT_EQ(t.flags, 0x0001u | 0x2000);
    std::vector<uint8_t> tail(raw.begin() + t.consumed, raw.end());
    std::vector<uint8_t> want;
    Hex(want, "03 00");
    Hex(want, "03");
    Txt(want, "Red");
    Hex(want, "00  05");
    Txt(want, "Green");
    Hex(want, "05  04");
    Txt(want, "Blue");
    Hex(want, "06");
    EXPECT_EQ(tail, want);
    std::vector<uint8_t> mem;
    ASSERT_EQ(sim.Read(0x4040, 43, 1, mem), 0u);
    EXPECT_EQ(mem[0], 6);
}

TEST_F(PlcRecordTest, BuiltInTypes)
{
    struct Row {
        const char* ask;
        const char* name;
        uint32_t id, size;
    } rows[] = {
        {"INT", "INT", 2, 2},           {"dint", "DINT", 3, 4},
        {"REAL", "REAL", 4, 4},         {"LREAL", "LREAL", 5, 8},
        {"SINT", "SINT", 16, 1},        {"BYTE", "BYTE", 17, 1},
        {"WORD", "WORD", 18, 2},        {"UDINT", "UDINT", 19, 4},
        {"TIME", "TIME", 19, 4},        {"LINT", "LINT", 20, 8},
        {"ULINT", "ULINT", 21, 8},      {"LTIME", "LTIME", 21, 8},
        {"BOOL", "BOOL", 33, 1},        {"STRING(80)", "STRING(80)", 30, 81},
        {"STRING", "STRING(80)", 30, 81}, {"string( 5 )", "STRING(5)", 30, 6},
        {"WSTRING(10)", "WSTRING(10)", 31, 22}, {"POINTER TO ST_Pair", "POINTER TO ST_Pair", 21, 8},
        {"REFERENCE TO LREAL", "REFERENCE TO LREAL", 21, 8},
        {"ARRAY [1..2,0..2] OF INT", "ARRAY [1..2,0..2] OF INT", 2, 12},
        {"ARRAY [1..2] OF ARRAY [0..2] OF INT", "ARRAY [1..2] OF ARRAY [0..2] OF INT", 65, 12},
        {"ARRAY [0..1] OF T_Dist", "ARRAY [0..1] OF T_Dist", 5, 16},
        {"ARRAY [1..2] OF STRING(3)", "ARRAY [1..2] OF STRING(3)", 30, 8},
        {"ARRAY [0..1,0..1,0..1,0..1] OF BYTE", "ARRAY [0..1,0..1,0..1,0..1] OF BYTE", 17, 16},
    };
    for (const Row& r : rows) {
        TypeRec t = Type(r.ask);
        EXPECT_EQ(t.name, r.name) << r.ask;
        EXPECT_EQ(t.id, r.id) << r.ask;
        EXPECT_EQ(t.size, r.size) << r.ask;
        // Pointers and primitives carry no type name, so a client never follows them as aliases.
        if (std::strncmp(r.name, "ARRAY", 5) != 0) {
            EXPECT_EQ(t.type, "") << r.ask;
        }
    }
    EXPECT_EQ(Type("ARRAY [1..2] OF ARRAY [0..2] OF INT").type, "ARRAY [0..2] OF INT");

    const char* unknown[] = {"", "NOPE", "STRING(0)", "STRING(x)", "ARRAY [2..1] OF INT",
                             "ARRAY [0..1,0..1,0..1,0..1,0..1] OF INT", "ARRAY [0..1] OF BIT",
                             "POINTER TO NOPE", "ARRAY [0..1] INT", "ARRAY [0..200000000] OF LREAL"};
    for (const char* u : unknown) {
        uint32_t err = 0;
        std::vector<uint8_t> b = Info(KXPLC_GROUP_TYPEINFO, u, 1024, &err);
        EXPECT_EQ(err, FEXERR_SYMBOLNOTFOUND) << u;
        EXPECT_TRUE(b.empty()) << u;
    }
}

}  // namespace
