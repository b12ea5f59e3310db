// Write direction of the value walk: memory images laid out as XML, compared as whole documents.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "XmlSerializeTestSupport.h"

using namespace kxtest;

namespace {

// ST_Data: one member of most primitive kinds, including an enumeration over INT.
void AddDataTypes(FakePlc& plc)
{
    TypeRec mode;
    mode.name = "E_MODE";
    mode.type = "INT";
    mode.id = 2;
    mode.size = 2;
    mode.flags = 0x0004;
    plc.AddType(mode);
    plc.AddType(Struct("ST_Data", 40,
                       {Mem("nCount", "INT", 2, 2, 0), Mem("fVal", "REAL", 4, 4, 4), Mem("bOn", "BOOL", 33, 1, 8),
                        Mem("sName", "STRING(10)", 30, 11, 9), Mem("nBig", "LINT", 20, 8, 24),
                        Mem("wFlags", "WORD", 18, 2, 32), Mem("eMode", "E_MODE", 65, 2, 34),
                        Mem("nD", "DINT", 3, 4, 36)}));
}

void FillData(std::vector<uint8_t>& image, int16_t count, float f, uint8_t on, const char* name, int64_t big,
              uint16_t flags, int16_t mode, int32_t d)
{
    image.assign(40, 0);
    Put(image, 0, count);
    Put(image, 4, f);
    image[8] = on;
    std::memcpy(image.data() + 9, name, std::strlen(name));
    Put(image, 24, big);
    Put(image, 32, flags);
    Put(image, 34, mode);
    Put(image, 36, d);
}

const SymRec kDataSym = Sym("MAIN.stData", "ST_Data", 65, 40);

}  // namespace

TEST(XmlSerializeTest, StructureIntoEmptyElementThenTextsOnly)
{
    FakePlc plc;
    AddDataTypes(plc);
    Walker w(plc);
    ASSERT_TRUE(w.Load("<dataentry><MAIN.stData/></dataentry>"));
    std::vector<uint8_t> image;
    FillData(image, 5, 1.5f, 2, "abc", -9000000000LL, 65535, 3, -7);
    ASSERT_EQ(w.Run(kWrite, kCreate, kDataSym, "/dataentry/MAIN.stData", image), S_OK);
    EXPECT_TRUE(w.Modified());
    EXPECT_EQ(w.Xml(), "<dataentry><MAIN.stData><nCount>5</nCount><fVal>1.5</fVal><bOn>true</bOn>"
                       "<sName>abc</sName><nBig>-9000000000</nBig><wFlags>65535</wFlags><eMode>3</eMode>"
                       "<nD>-7</nD></MAIN.stData></dataentry>");

    // A second write, without create missing, replaces the texts and adds nothing.
    FillData(image, -1, 0.1f, 0, "", 1, 0, -3, 2147483647);
    ASSERT_EQ(w.Run(kWrite, 0, kDataSym, "/dataentry/MAIN.stData", image), S_OK);
    EXPECT_EQ(w.Xml(), "<dataentry><MAIN.stData><nCount>-1</nCount><fVal>0.100000001</fVal><bOn>false</bOn>"
                       "<sName></sName><nBig>1</nBig><wFlags>0</wFlags><eMode>-3</eMode>"
                       "<nD>2147483647</nD></MAIN.stData></dataentry>");
}

TEST(XmlSerializeTest, PrimitiveSymbols)
{
    struct Case {
        const char* type;
        uint32_t id;
        std::vector<uint8_t> bytes;
        uint16_t mode;
        Attrs attrs;
        const char* text;  // expected element text; null: the element stays empty
        HRESULT hr;
    };
    const std::vector<Case> cases = {
        {"SINT", 16, Bytes({0x80}), 0, {}, "-128", S_OK},
        {"USINT", 17, Bytes({0xFF}), 0, {}, "255", S_OK},
        {"INT", 2, Bytes({0xFE, 0xFF}), 0, {}, "-2", S_OK},
        {"UINT", 18, Bytes({0xFF, 0xFF}), 0, {}, "65535", S_OK},
        {"UDINT", 19, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 0, {}, "4294967295", S_OK},
        {"ULINT", 21, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0, {}, "18446744073709551615", S_OK},
        {"LREAL", 5, Bytes({0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}), 0, {}, "0.1", S_OK},
        {"BOOL", 33, Bytes({2}), 0, {}, "true", S_OK},
        {"BOOL", 33, Bytes({2}), kNumericBool, {}, "1", S_OK},
        {"BOOL", 33, Bytes({0}), kNumericBool, {}, "0", S_OK},
        // Id 65 values are converted by their name.
        {"TIME", 65, Bytes({0x10, 0x27, 0, 0}), 0, {}, "10000", S_OK},
        {"INT(0..100)", 65, Bytes({0x9C, 0xFF}), 0, {}, "-100", S_OK},
        {"WORD(1..9)", 65, Bytes({0x9C, 0xFF}), 0, {}, "65436", S_OK},
        {"LTIME", 65, Bytes({1, 0, 0, 0, 0, 0, 0, 0x80}), 0, {}, "9223372036854775809", S_OK},
        // Strings: Windows-1252 unless the symbol says UTF-8.
        {"STRING(4)", 30, Bytes({0x80, 'x', 0, 0, 0}), 0, {}, "\xE2\x82\xAC" "x", S_OK},
        {"STRING(4)", 30, Bytes({0xC3, 0xA4, 0, 0, 0}), 0, {}, "\xC3\x83\xC2\xA4", S_OK},
        {"STRING(4)", 30, Bytes({0xC3, 0xA4, 0, 0, 0}), 0, {{"KxEncoding", "UTF-8"}}, "\xC3\xA4", S_OK},
        {"STRING(4)", 30, Bytes({'a', '\t', 'b', '\n', 0}), 0, {}, "a\tb\n", S_OK},
        {"STRING(4)", 30, Bytes({'a', 0x01, 'b', 0, 0}), 0, {}, nullptr, kXmlErrControlChar},
        // The last byte of a field without terminating 0 is written too, so it is checked too.
        {"STRING(3)", 30, Bytes({'a', 'b', 'c', 0x1F}), 0, {}, nullptr, kXmlErrControlChar},
        {"STRING(3)", 30, Bytes({'a', 0, 0x01, 0x01}), 0, {}, "a", S_OK},
        {"WSTRING(3)", 31, Bytes({'A', 0, 0xE4, 0, 0xAC, 0x20, 0, 0}), 0, {}, "A\xC3\xA4\xE2\x82\xAC", S_OK},
        {"WSTRING(3)", 31, Bytes({'A', 0, 0x02, 0, 0, 0, 0, 0}), 0, {}, nullptr, kXmlErrControlChar},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " -> " + (c.text ? c.text : "(none)"));
        FakePlc plc;
        Walker w(plc);
        ASSERT_TRUE(w.Load("<dataentry><MAIN.v/></dataentry>"));
        SymRec sym = Sym("MAIN.v", c.type, c.id, static_cast<uint32_t>(c.bytes.size()));
        sym.attrs = c.attrs;
        std::vector<uint8_t> image = c.bytes;
        EXPECT_EQ(w.Run(kWrite, c.mode, sym, "/dataentry/MAIN.v", image), c.hr);
        const std::string expected =
            c.text ? "<dataentry><MAIN.v>" + std::string(c.text) + "</MAIN.v></dataentry>" : "<dataentry><MAIN.v/></dataentry>";
        EXPECT_EQ(w.Xml(), expected);
        EXPECT_EQ(image, c.bytes);
    }
}

TEST(XmlSerializeTest, AttributePositionTakesThePrimitiveValue)
{
    FakePlc plc;
    Walker w(plc);
    ASSERT_TRUE(w.Load("<dataentry><MAIN v=\"old\"/></dataentry>"));
    std::vector<uint8_t> image = Bytes({0x39, 0x30});
    ASSERT_EQ(w.Run(kWrite, 0, Sym("MAIN.v", "INT", 2, 2), "/dataentry/MAIN/@v", image), S_OK);
    EXPECT_EQ(w.Xml(), "<dataentry><MAIN v=\"12345\"/></dataentry>");
}

TEST(XmlSerializeTest, ArraysOneTwoDimensionalAndNested)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..3] OF INT", "INT", 2, 6, {{1, 3}}));
    plc.AddType(Array("ARRAY [0..1,0..1] OF SINT", "SINT", 16, 4, {{0, 2}, {0, 2}}));
    plc.AddType(Array("ARRAY [0..1] OF INT", "INT", 2, 4, {{0, 2}}));
    plc.AddType(Array("ARRAY [1..2] OF ARRAY [0..1] OF INT", "ARRAY [0..1] OF INT", 65, 8, {{1, 2}}));
    plc.AddType(Array("ARRAY [-1..0] OF ST_P", "ST_P", 65, 8, {{-1, 2}}));
    plc.AddType(Struct("ST_P", 4, {Mem("x", "INT", 2, 2, 0), Mem("y", "INT", 2, 2, 2)}));
    struct Case {
        const char* type;
        std::vector<uint8_t> bytes;
        const char* xml;
    };
    const std::vector<Case> cases = {
        {"ARRAY [1..3] OF INT", Bytes({1, 0, 2, 0, 0xFF, 0xFF}),
         "<a index=\"1\">1</a><a index=\"2\">2</a><a index=\"3\">-1</a>"},
        {"ARRAY [0..1,0..1] OF SINT", Bytes({1, 2, 3, 4}),
         "<a index=\"0,0\">1</a><a index=\"0,1\">2</a><a index=\"1,0\">3</a><a index=\"1,1\">4</a>"},
        {"ARRAY [1..2] OF ARRAY [0..1] OF INT", Bytes({1, 0, 2, 0, 3, 0, 4, 0}),
         "<a index=\"1\"><a index=\"0\">1</a><a index=\"1\">2</a></a>"
         "<a index=\"2\"><a index=\"0\">3</a><a index=\"1\">4</a></a>"},
        {"ARRAY [-1..0] OF ST_P", Bytes({1, 0, 2, 0, 3, 0, 4, 0}),
         "<a index=\"-1\"><x>1</x><y>2</y></a><a index=\"0\"><x>3</x><y>4</y></a>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><a/><z/></r>"));
        std::vector<uint8_t> image = c.bytes;
        ASSERT_EQ(w.Run(kWrite, kCreate, Sym("MAIN.a", c.type, 65, uint32_t(c.bytes.size())), "/r/a", image), S_OK);
        EXPECT_EQ(w.Xml(), "<r>" + std::string(c.xml) + "<z/></r>");
        // Writing again finds every element: only the texts change.
        for (uint8_t& b : image)
            b = static_cast<uint8_t>(b + 1);
        ASSERT_EQ(w.Run(kWrite, kCreate, Sym("MAIN.a", c.type, 65, uint32_t(c.bytes.size())), "/r/a", image), S_OK);
        Walker fresh(plc);
        ASSERT_TRUE(fresh.Load("<r><a/><z/></r>"));
        ASSERT_EQ(fresh.Run(kWrite, kCreate, Sym("MAIN.a", c.type, 65, uint32_t(c.bytes.size())), "/r/a", image),
                  S_OK);
        EXPECT_EQ(w.Xml(), fresh.Xml());
    }
}

TEST(XmlSerializeTest, ArrayMemberRunAndTheMemberBehindIt)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..2] OF REAL", "REAL", 4, 8, {{1, 2}}));
    plc.AddType(Struct("ST_S", 12, {Mem("nCount", "INT", 2, 2, 0), Mem("arrVal", "ARRAY [1..2] OF REAL", 65, 8, 2),
                                     Mem("nLast", "USINT", 17, 1, 10)}));
    std::vector<uint8_t> image(12, 0);
    Put<int16_t>(image, 0, 5);
    Put<float>(image, 2, 1.5f);
    Put<float>(image, 6, 2.0f);
    image[10] = 9;
    const SymRec sym = Sym("MAIN.stData", "ST_S", 65, 12);

    Walker w(plc);
    ASSERT_TRUE(w.Load("<dataentry><MAIN><stData/></MAIN></dataentry>"));
    ASSERT_EQ(w.Run(kWrite, kCreate, sym, "/dataentry/MAIN/stData", image), S_OK);
    const std::string expected = "<dataentry><MAIN><stData><nCount>5</nCount><arrVal index=\"1\">1.5</arrVal>"
                                 "<arrVal index=\"2\">2</arrVal><nLast>9</nLast></stData></MAIN></dataentry>";
    EXPECT_EQ(w.Xml(), expected);
    ASSERT_EQ(w.Run(kWrite, kCreate, sym, "/dataentry/MAIN/stData", image), S_OK);
    EXPECT_EQ(w.Xml(), expected);
}

TEST(XmlSerializeTest, BitMembers)
{
    FakePlc plc;
    plc.AddType(Struct("ST_Bits", 3, {Mem("b0", "BIT", 33, 1, 0, 0x20), Mem("b1", "BIT", 33, 1, 1, 0x20),
                                      Mem("b9", "BIT", 33, 1, 9, 0x20), Mem("bOk", "BOOL", 33, 1, 2)}));
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><s/></r>"));
    std::vector<uint8_t> image = Bytes({0x01, 0x02, 0x05});
    ASSERT_EQ(w.Run(kWrite, kCreate, Sym("MAIN.s", "ST_Bits", 65, 3), "/r/s", image), S_OK);
    EXPECT_EQ(w.Xml(), "<r><s><b0>1</b0><b1>0</b1><b9>1</b9><bOk>true</bOk></s></r>");

    // BOOL addressed by bit and BIT addressed by byte are refused.
    FakePlc bad;
    bad.AddType(Struct("ST_Bad", 1, {Mem("b", "BOOL", 33, 1, 3, 0x20)}));
    Walker wb(bad);
    ASSERT_TRUE(wb.Load("<r><s/></r>"));
    image = Bytes({0});
    EXPECT_EQ(wb.Run(kWrite, kCreate, Sym("MAIN.s", "ST_Bad", 65, 1), "/r/s", image), kXmlErrGeneral);
    FakePlc bad2;
    bad2.AddType(Struct("ST_Bad", 1, {Mem("b", "BIT", 33, 1, 0)}));
    Walker wb2(bad2);
    ASSERT_TRUE(wb2.Load("<r><s/></r>"));
    EXPECT_EQ(wb2.Run(kWrite, kCreate, Sym("MAIN.s", "ST_Bad", 65, 1), "/r/s", image), kXmlErrGeneral);
}

TEST(XmlSerializeTest, MemberEncodingsAndUtf16)
{
    TypeRec utf = Mem("sUtf", "STRING(3)", 30, 4, 0);
    utf.attrs = {{"KxEncoding", "UTF-8"}};
    FakePlc plc;
    plc.AddType(Struct("ST_Str", 14, {utf, Mem("sAnsi", "STRING(3)", 30, 4, 4), Mem("wsText", "WSTRING(2)", 31, 6, 8)}));
    std::vector<uint8_t> image = Bytes({0xC3, 0xA4, 0, 0, 0xC3, 0xA4, 0, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0});
    // The symbol's own encoding does not reach a member without one.
    SymRec sym = Sym("MAIN.s", "ST_Str", 65, 14);
    sym.attrs = {{"KxEncoding", "UTF-8"}};
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><s/></r>"));
    ASSERT_EQ(w.Run(kWrite, kCreate, sym, "/r/s", image), S_OK);
    EXPECT_EQ(w.Xml(), "<r><s><sUtf>\xC3\xA4</sUtf><sAnsi>\xC3\x83\xC2\xA4</sAnsi>"
                       "<wsText>\xF0\x9F\x98\x80</wsText></s></r>");
}

TEST(XmlSerializeTest, SymbolAndTypeComments)
{
    FakePlc plc;
    TypeRec st = Struct("ST_C", 4, {Mem("a", "INT", 2, 2, 0), Mem("b", "INT", 2, 2, 2)});
    st.comment = "the type";
    st.members[0].comment = "first";
    plc.AddType(st);
    SymRec sym = Sym("MAIN.c", "ST_C", 65, 4);
    sym.comment = "the symbol";
    std::vector<uint8_t> image = Bytes({1, 0, 2, 0});

    struct Case {
        uint16_t mode;
        const char* once;
        const char* twice;
    };
    const std::vector<Case> cases = {
        {kCreate, "<r><c><a>1</a><b>2</b></c></r>", "<r><c><a>1</a><b>2</b></c></r>"},
        {kCreate | kSymbolComment, "<r><!--the symbol--><c><a>1</a><b>2</b></c></r>",
         "<r><!--the symbol--><!--the symbol--><c><a>1</a><b>2</b></c></r>"},
        {kCreate | kTypeComment, "<r><!--the type--><c><!--first--><a>1</a><b>2</b></c></r>",
         "<r><!--the type--><!--the type--><c><!--first--><!--first--><a>1</a><b>2</b></c></r>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><c/></r>"));
        ASSERT_EQ(w.Run(kWrite, c.mode, sym, "/r/c", image), S_OK);
        EXPECT_EQ(w.Xml(), c.once);
        ASSERT_EQ(w.Run(kWrite, c.mode, sym, "/r/c", image), S_OK);
        EXPECT_EQ(w.Xml(), c.twice);
    }

    // Comments from the PLC lose control characters and are taken as Windows-1252 unless valid UTF-8.
    FakePlc odd;
    TypeRec st2 = Struct("ST_C", 2, {Mem("a", "INT", 2, 2, 0)});
    st2.comment = std::string("x\x01y\xE9");
    odd.AddType(st2);
    Walker w(odd);
    ASSERT_TRUE(w.Load("<r><c/></r>"));
    image = Bytes({7, 0});
    ASSERT_EQ(w.Run(kWrite, kCreate | kTypeComment, Sym("MAIN.c", "ST_C", 65, 2), "/r/c", image), S_OK);
    EXPECT_EQ(w.Xml(), "<r><!--xy\xC3\xA9--><c><a>7</a></c></r>");
}

TEST(XmlSerializeTest, CreateMissingIntoPartialDocument)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..3] OF INT", "INT", 2, 6, {{1, 3}}));
    plc.AddType(Struct("ST_P", 10, {Mem("a", "INT", 2, 2, 0), Mem("arr", "ARRAY [1..3] OF INT", 65, 6, 2),
                                     Mem("c", "INT", 2, 2, 8)}));
    std::vector<uint8_t> image = Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0});
    const SymRec sym = Sym("MAIN.p", "ST_P", 65, 10);
    struct Case {
        const char* before;
        uint16_t mode;
        const char* after;
        HRESULT hr;
    };
    const std::vector<Case> cases = {
        // Missing member in the middle, array elements 1 and 3 only: element 2 goes between them.
        {"<r><p><a>x</a><arr index=\"1\"/><arr index=\"3\"/><extra/></p></r>", kCreate,
         "<r><p><a>1</a><arr index=\"1\">2</arr><arr index=\"2\">3</arr><arr index=\"3\">4</arr><c>5</c>"
         "<extra/></p></r>",
         S_OK},
        // Without create missing nothing is added; what is there is written.
        {"<r><p><a>x</a><arr index=\"1\"/><arr index=\"3\"/><extra/></p></r>", 0,
         "<r><p><a>1</a><arr index=\"1\">2</arr><arr index=\"3\">4</arr><extra/></p></r>", S_OK},
        // A run that ends early is completed in front of the node that ended it.
        {"<r><p><arr index=\"1\"/><c/></p></r>", kCreate,
         "<r><p><a>1</a><arr index=\"1\">2</arr><arr index=\"2\">3</arr><arr index=\"3\">4</arr><c>5</c></p></r>",
         S_OK},
        // A stray lower index inside the run is passed over.
        {"<r><p><arr index=\"1\"/><arr index=\"1\">dup</arr><arr index=\"2\"/><arr index=\"3\"/></p></r>", 0,
         "<r><p><arr index=\"1\">2</arr><arr index=\"1\">dup</arr><arr index=\"2\">3</arr><arr index=\"3\">4</arr>"
         "</p></r>",
         S_OK},
        // An array whose first element has no index cannot be placed without create missing.
        {"<r><p><arr/></p></r>", 0, "<r><p><arr/></p></r>", kXmlErrNoValue},
        {"<r><p><arr/></p></r>", kCreate,
         "<r><p><a>1</a><arr index=\"1\">2</arr><arr index=\"2\">3</arr><arr index=\"3\">4</arr><c>5</c></p></r>",
         S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        Walker w(plc);
        ASSERT_TRUE(w.Load(c.before));
        EXPECT_EQ(w.Run(kWrite, c.mode, sym, "/r/p", image), c.hr);
        EXPECT_EQ(w.Xml(), c.after);
    }
}

TEST(XmlSerializeTest, IgnoreOrderWithShuffledMembersAndElements)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..3] OF INT", "INT", 2, 6, {{1, 3}}));
    plc.AddType(Struct("ST_O", 12, {Mem("a", "INT", 2, 2, 0), Mem("b", "INT", 2, 2, 2),
                                     Mem("arr", "ARRAY [1..3] OF INT", 65, 6, 4), Mem("c", "INT", 2, 2, 10)}));
    std::vector<uint8_t> image = Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0});
    const SymRec sym = Sym("MAIN.o", "ST_O", 65, 12);
    struct Case {
        const char* before;
        uint16_t mode;
        const char* after;
    };
    const std::vector<Case> cases = {
        {"<r><o><C/><arr index=\"3\"/><arr index=\"7\"/><arr index=\"1\"/><B/><arr index=\"2\"/><A/></o></r>",
         kIgnoreOrder,
         "<r><o><C>6</C><arr index=\"3\">5</arr><arr index=\"7\"/><arr index=\"1\">3</arr><B>2</B>"
         "<arr index=\"2\">4</arr><A>1</A></o></r>"},
        // In order, members are found only behind the previous one: of c, b, a only a is found.
        {"<r><o><c/><b/><a/></o></r>", 0, "<r><o><c/><b/><a>1</a></o></r>"},
        {"<r><o><c/><b/><a/></o></r>", kIgnoreOrder, "<r><o><c>6</c><b>2</b><a>1</a></o></r>"},
        // New members keep declaration order: in front of the nearest later member that has an element.
        {"<r><o><c/><a/></o></r>", kIgnoreOrder | kCreate,
         "<r><o><b>2</b><arr index=\"1\">3</arr><arr index=\"2\">4</arr><arr index=\"3\">5</arr><c>6</c><a>1</a>"
         "</o></r>"},
        // Missing array elements are created behind the last one made.
        {"<r><o><a/><b/><arr index=\"2\"/><c/></o></r>", kIgnoreOrder | kCreate,
         "<r><o><a>1</a><b>2</b><arr index=\"2\">4</arr><arr index=\"1\">3</arr><arr index=\"3\">5</arr><c>6</c>"
         "</o></r>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        Walker w(plc);
        ASSERT_TRUE(w.Load(c.before));
        EXPECT_EQ(w.Run(kWrite, c.mode, sym, "/r/o", image), S_OK);
        EXPECT_EQ(w.Xml(), c.after);
    }
}

TEST(XmlSerializeTest, PassedOverPointersAndExcluded)
{
    TypeRec excluded = Mem("nSecret", "INT", 2, 2, 4);
    excluded.attrs = {{"KxXmlServer", "exclude"}};
    FakePlc plc;
    plc.AddType(Struct("ST_X", 8, {Mem("a", "INT", 2, 2, 0), Mem("pRef", "POINTER TO INT", 65, 2, 2),
                                    excluded, Mem("hidden", "INT", 2, 2, 999, 0x40), Mem("z", "INT", 2, 2, 6)}));
    std::vector<uint8_t> image = Bytes({1, 0, 2, 0, 3, 0, 4, 0});
    const SymRec sym = Sym("MAIN.x", "ST_X", 65, 8);

    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><x/></r>"));
    ASSERT_EQ(w.Run(kWrite, kCreate, sym, "/r/x", image), S_OK);
    EXPECT_EQ(w.Xml(), "<r><x><a>1</a><pRef/><nSecret/><z>4</z></x></r>");

    Walker w2(plc);
    ASSERT_TRUE(w2.Load("<r><x><a/><pRef>old</pRef><nSecret>old</nSecret><hidden>old</hidden><z/></x></r>"));
    ASSERT_EQ(w2.Run(kWrite, 0, sym, "/r/x", image), S_OK);
    EXPECT_EQ(w2.Xml(), "<r><x><a>1</a><pRef>old</pRef><nSecret>old</nSecret><hidden>old</hidden><z>4</z></x></r>");

    // A pointer or excluded symbol writes nothing and still counts as a change.
    struct Case {
        SymRec sym;
    };
    SymRec ptr = Sym("MAIN.p", "POINTER TO ST_X", 65, 8);
    SymRec ex = Sym("MAIN.x", "ST_X", 65, 8);
    ex.attrs = {{"KxXmlServer", "exclude"}};
    for (const SymRec& s : {ptr, ex}) {
        Walker w3(plc);
        ASSERT_TRUE(w3.Load("<r><x/></r>"));
        EXPECT_EQ(w3.Run(kWrite, kCreate, s, "/r/x", image), S_OK);
        EXPECT_TRUE(w3.Modified());
        EXPECT_EQ(w3.Xml(), "<r><x/></r>");
    }
}

// Records come from the PLC: odd ones end the walk with an error or are passed over, never read past.
TEST(XmlSerializeTest, OddRecords)
{
    FakePlc plc;
    plc.AddType(Struct("ST_Far", 4, {Mem("a", "INT", 2, 2, 0), Mem("b", "INT", 2, 2, 3)}));
    plc.AddType(Struct("ST_Self", 4, {Mem("a", "INT", 2, 2, 0), Mem("me", "ST_Self", 65, 4, 0)}));
    plc.AddType(Array("ARRAY [1..0] OF INT", "INT", 2, 0, {{1, 0}}));
    plc.AddType(Struct("ST_Empty", 2, {Mem("e", "ARRAY [1..0] OF INT", 65, 0, 0), Mem("a", "INT", 2, 2, 0)}));
    plc.AddType(Array("ARRAY [1..8] OF INT", "INT", 2, 4, {{1, 8}}));
    plc.AddType(Array("ARRAY [1..2,1..2,1..2,1..2,1..2] OF SINT", "SINT", 16, 32, {{1, 2}, {1, 2}, {1, 2}, {1, 2}, {1, 2}}));
    plc.AddType(Struct("ST_Unknown", 4, {Mem("u", "FB_NOWHERE", 65, 2, 0), Mem("a", "INT", 2, 2, 2)}));
    plc.AddType(Struct("ST_Wide", 2, {Mem("a", "DINT", 3, 2, 0)}));
    plc.AddType(Struct("ST_Big", 64, {Mem("a", "INT", 2, 2, 0)}));
    // Members that all overlap: without a bound the walk would take 2^40 steps.
    for (int level = 0; level < 40; ++level) {
        const std::string inner = level == 0 ? "INT" : "ST_L" + std::to_string(level - 1);
        const uint32_t id = level == 0 ? 2 : 65;
        plc.AddType(Struct("ST_L" + std::to_string(level), 2, {Mem("x", inner, id, 2, 0), Mem("y", inner, id, 2, 0)}));
    }
    struct Case {
        const char* type;
        uint32_t size;
        HRESULT hr;
        const char* xml;
    };
    const std::vector<Case> cases = {
        {"ST_Far", 4, kXmlErrGeneral, "<r><s><a>1</a></s></r>"},
        {"ST_Self", 4, S_OK, "<r><s><a>1</a><me/></s></r>"},
        {"ST_Empty", 2, S_OK, "<r><s><e/><a>1</a></s></r>"},
        {"ARRAY [1..8] OF INT", 4, kXmlErrNoValue, "<r><s/></r>"},
        {"ARRAY [1..2,1..2,1..2,1..2,1..2] OF SINT", 32, kXmlErrNoValue, "<r><s/></r>"},
        {"ST_Unknown", 4, S_OK, "<r><s><u/><a>0</a></s></r>"},
        {"ST_Wide", 2, kXmlErrNoValue, "<r><s><a/></s></r>"},
        {"ST_Big", 2, S_OK, "<r><s><a>1</a></s></r>"},
        {"ST_L39", 2, static_cast<HRESULT>(0x98118000), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><s/></r>"));
        std::vector<uint8_t> image(c.size, 0);
        image[0] = 1;
        const std::vector<uint8_t> before = image;
        EXPECT_EQ(w.Run(kWrite, kCreate, Sym("MAIN.s", c.type, 65, c.size), "/r/s", image), c.hr);
        if (c.xml) {
            EXPECT_EQ(w.Xml(), c.xml);
        }
        EXPECT_EQ(image, before);
    }
}

TEST(XmlSerializeTest, PrimitiveRecordMustMatchTheSymbolSize)
{
    FakePlc plc;
    // T_Count only renames UDINT: the record the walk gets is UDINT's own, whose name is primitive.
    TypeRec alias;
    alias.name = "T_Count";
    alias.type = "UDINT";
    alias.id = 19;
    alias.size = 4;
    plc.AddType(alias);
    TypeRec udint;
    udint.name = "UDINT";
    udint.id = 19;
    udint.size = 4;
    plc.AddType(udint);
    for (uint32_t size : {4u, 2u}) {
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><v/></r>"));
        std::vector<uint8_t> image(size, 0xFF);
        EXPECT_EQ(w.Run(kWrite, 0, Sym("MAIN.v", "T_Count", 65, size), "/r/v", image), size == 4 ? S_OK : kXmlErrNoValue);
        EXPECT_EQ(w.Xml(), size == 4 ? "<r><v>4294967295</v></r>" : "<r><v/></r>");
    }
}

// The whole write road of a data server: the symbol's element is made in an empty document, the PLC's
// bytes are read and laid out; a second open merges into a partial document.
TEST(XmlSerializeTest, OpenWriteIntoEmptyAndPartialDocuments)
{
    FakePlc plc;
    AddDataTypes(plc);
    plc.AddSymbol(kDataSym);
    std::vector<uint8_t> image;
    FillData(image, 5, 1.5f, 2, "abc", -9000000000LL, 65535, 3, -7);
    plc.memory[kDataSym.group] = image;
    const HopAddr addr = {};
    struct Case {
        const char* initial;  // null: the default document
        const char* xml;
    };
    const std::vector<Case> cases = {
        {nullptr,
         "<dataentry><MAIN><stData><nCount>5</nCount><fVal>1.5</fVal><bOn>true</bOn><sName>abc</sName>"
         "<nBig>-9000000000</nBig><wFlags>65535</wFlags><eMode>3</eMode><nD>-7</nD></stData></MAIN></dataentry>"},
        // Missing members go in front of the next element not yet passed: the extra x stays behind them.
        {"<dataentry><MAIN><stData><x>keep</x><NBIG>0</NBIG><nD/></stData></MAIN></dataentry>",
         "<dataentry><MAIN><stData><nCount>5</nCount><fVal>1.5</fVal><bOn>true</bOn><sName>abc</sName><x>keep</x>"
         "<NBIG>-9000000000</NBIG><wFlags>65535</wFlags><eMode>3</eMode><nD>-7</nD></stData></MAIN></dataentry>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initial ? c.initial : "default");
        CXmlDataServer server(&plc);
        BSTR text = c.initial ? KxSysAllocString(c.initial) : nullptr;
        BSTR initial = text;
        ASSERT_EQ(server.OpenWrite(addr, kCreate | XMLDS_MODE_TRANSFER, "", "MAIN.stData", "/dataentry/MAIN/stData",
                                   &text),
                  S_OK);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), c.xml);
        if (text != initial)
            KxSysFreeString(text);
        KxSysFreeString(initial);
        EXPECT_EQ(server.Close(true), S_OK);
    }
}
