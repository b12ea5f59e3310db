// Read direction of the value walk: the PLC's current bytes are pre-read, then the document's values are
// merged into them.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "XmlDataServerSettings.h"
#include "XmlSerializeTestSupport.h"

using namespace kxtest;

namespace {

const uint32_t kGroup = SymRec().group;  // the index group of the symbols of Sym

// PLC memory whose byte i is a pattern that differs from anything the tests convert.
std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> m(n);
    for (size_t i = 0; i < n; ++i)
        m[i] = static_cast<uint8_t>(0xA0 + i % 31);
    return m;
}

// The little-endian bytes of a value.
template <class T>
std::vector<uint8_t> LE(T v)
{
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

// Keeps the process-wide block size of a test and puts the default back afterwards.
struct BlockSize {
    explicit BlockSize(uint32_t n) : saved(CXmlDataServerSettings::m_nFexBlockSize)
    {
        CXmlDataServerSettings::m_nFexBlockSize = n;
    }
    ~BlockSize() { CXmlDataServerSettings::m_nFexBlockSize = saved; }
    uint32_t saved;
};

}  // namespace

// One member of each row's type, read from its element into the PLC's current bytes.
TEST(XmlDeserializeTest, ValueConversionsAndRangeRules)
{
    struct Case {
        const char* type;
        uint32_t id;
        uint32_t size;
        const char* element;  // the member's element as it stands in the document
        std::vector<uint8_t> expected;
        Attrs attrs;
    };
    const std::vector<Case> cases = {
        {"SINT", 16, 1, "<v>300</v>", Bytes({44}), {}},           // the low 8 bits
        {"USINT", 17, 1, "<v>300</v>", Bytes({0xA0}), {}},        // out of range: kept
        {"USINT", 17, 1, "<v>255</v>", Bytes({0xFF}), {}},
        {"BYTE", 17, 1, "<v>#xFF</v>", Bytes({0xFF}), {}},
        {"INT", 2, 2, "<v>abc</v>", Bytes({0xA0, 0xA1}), {}},     // not a number: kept
        {"INT", 2, 2, "<v>70000</v>", Bytes({0x70, 0x11}), {}},   // the low 16 bits
        {"UINT", 18, 2, "<v>70000</v>", Bytes({0xA0, 0xA1}), {}},
        {"UINT", 18, 2, "<v>65535</v>", Bytes({0xFF, 0xFF}), {}},
        {"DINT", 3, 4, "<v/>", Bytes({0, 0, 0, 0}), {}},          // empty text is 0
        {"DINT", 3, 4, "<v>-2</v>", Bytes({0xFE, 0xFF, 0xFF, 0xFF}), {}},
        {"UDINT", 19, 4, "<v>-1</v>", Bytes({0xA0, 0xA1, 0xA2, 0xA3}), {}},
        {"LINT", 20, 8, "<v>-9000000000</v>", LE<int64_t>(-9000000000LL), {}},
        {"ULINT", 21, 8, "<v>18446744073709551615</v>", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), {}},
        {"REAL", 4, 4, "<v>1.5xyz</v>", LE<float>(1.5f), {}},
        {"LREAL", 5, 8, "<v>-2.25e3</v>", LE<double>(-2250.0), {}},
        {"BOOL", 33, 1, "<v/>", Bytes({0xA0}), {}},               // an empty boolean is not converted
        {"BOOL", 33, 1, "<v>TRUE</v>", Bytes({0xA0}), {}},
        {"BOOL", 33, 1, "<v>true</v>", Bytes({1}), {}},
        {"BOOL", 33, 1, "<v>0</v>", Bytes({0}), {}},
        // Id 65 by name; an INT of another size is not converted.
        {"INT(0..100)", 65, 2, "<v>-5</v>", Bytes({0xFB, 0xFF}), {}},
        {"TIME", 65, 4, "<v>1000</v>", Bytes({0xE8, 0x03, 0, 0}), {}},
        {"LWORD(0..9)", 65, 8, "<v>#x10</v>", Bytes({0x10, 0, 0, 0, 0, 0, 0, 0}), {}},
        // Strings: Windows-1252 unless the member says UTF-8; UTF-16 for wide strings.
        {"STRING(3)", 30, 4, "<v>\xC3\xA9\xE2\x82\xAC</v>", Bytes({0xE9, 0x80, 0, 0}), {}},
        {"STRING(3)", 30, 4, "<v>\xC3\xA9</v>", Bytes({0xC3, 0xA9, 0, 0}), {{"KxEncoding", "UTF-8"}}},
        {"STRING(3)", 30, 4, "<v/>", Bytes({0, 0, 0, 0}), {}},
        {"STRING(3)", 30, 4, "<v><x/>y</v>", Bytes({0xA0, 0xA1, 0xA2, 0xA3}), {}},
        {"WSTRING(3)", 31, 8, "<v>A\xE2\x82\xAC</v>", Bytes({'A', 0, 0xAC, 0x20, 0, 0, 0, 0}), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.element);
        TypeRec member = Mem("v", c.type, c.id, c.size, 0);
        member.attrs = c.attrs;
        FakePlc plc;
        plc.AddType(Struct("ST_V", c.size, {member}));
        plc.memory[kGroup] = Pattern(c.size);
        Walker w(plc);
        const std::string doc = "<r><s>" + std::string(c.element) + "</s></r>";
        ASSERT_TRUE(w.Load(doc.c_str()));
        const std::string before = w.Xml();
        std::vector<uint8_t> image(c.size, 0x55);
        EXPECT_EQ(w.Run(kRead, 0, Sym("MAIN.s", "ST_V", 65, c.size), "/r/s", image), S_OK);
        EXPECT_EQ(image, c.expected);
        EXPECT_EQ(w.Xml(), before);
        EXPECT_FALSE(w.Modified());
    }
}

// Members and array elements the document lacks keep the PLC's bytes; the result tells whether anything
// was found. What is not found when reading is not found when writing without create missing either, and
// leaves the document as it was.
TEST(XmlDeserializeTest, MergeKeepsWhatTheDocumentLacks)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..3] OF INT", "INT", 2, 6, {{1, 3}}));
    plc.AddType(Struct("ST_M", 12, {Mem("nCount", "INT", 2, 2, 0), Mem("b", "INT", 2, 2, 2),
                                     Mem("arr", "ARRAY [1..3] OF INT", 65, 6, 4), Mem("c", "USINT", 17, 1, 10)}));
    const std::vector<uint8_t> plcBytes = Pattern(12);
    plc.memory[kGroup] = plcBytes;
    auto with = [&](std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> changes) {
        std::vector<uint8_t> v = plcBytes;
        for (const auto& ch : changes)
            std::memcpy(v.data() + ch.first, ch.second.data(), ch.second.size());
        return v;
    };
    const std::vector<uint8_t> arrBytes(plcBytes.begin(), plcBytes.begin() + 6);
    struct Case {
        const char* doc;
        uint16_t mode;
        HRESULT hr;
        std::vector<uint8_t> expected;  // the image, as long as the symbol
        const char* type = "ST_M";
    };
    const std::vector<Case> cases = {
        {"<r><s><NCOUNT>7</NCOUNT></s></r>", 0, S_OK, with({{0, Bytes({7, 0})}})},
        // Reverse order: in order only the first declared member is found (it stands last).
        {"<r><s><c>9</c><b>8</b><nCount>7</nCount></s></r>", 0, S_OK, with({{0, Bytes({7, 0})}})},
        {"<r><s><c>9</c><b>8</b><nCount>7</nCount></s></r>", kIgnoreOrder, S_OK,
         with({{0, Bytes({7, 0, 8, 0})}, {10, Bytes({9})}})},
        // Array elements 1 and 3 only: element 2 keeps its bytes; extra elements and text are ignored.
        {"<r><s>text<x/><arr index=\"1\">1</arr><arr index=\"3\">3</arr><!--c--><c>9</c></s></r>", 0, S_OK,
         with({{4, Bytes({1, 0})}, {8, Bytes({3, 0})}, {10, Bytes({9})}})},
        // The run ends early: the rest keeps its bytes, the member behind it is still found.
        {"<r><s><arr index=\"1\">1</arr><c>9</c></s></r>", 0, S_OK, with({{4, Bytes({1, 0})}, {10, Bytes({9})}})},
        // With ignore order each member takes the first element of its name, wherever the others stand.
        {"<r><s><b>8</b><nCount>7</nCount><b>6</b><c>9</c></s></r>", kIgnoreOrder, S_OK,
         with({{0, Bytes({7, 0, 8, 0})}, {10, Bytes({9})}})},
        {"<r><s><nCount>7</nCount><NCOUNT>5</NCOUNT><b>8</b></s></r>", kIgnoreOrder, S_OK,
         with({{0, Bytes({7, 0, 8, 0})}})},
        {"<r><s>text<x/><nCount>7</nCount><arr index=\"1\">1</arr><arr index=\"3\">3</arr><!--c--><c>9</c></s></r>",
         kIgnoreOrder, S_OK, with({{0, Bytes({7, 0})}, {4, Bytes({1, 0})}, {8, Bytes({3, 0})}, {10, Bytes({9})}})},
        {"<r><s><c>9</c><x/>tail</s></r>", kIgnoreOrder, S_OK, with({{10, Bytes({9})}})},
        // With ignore order an index outside the array is ignored.
        {"<r><s><arr index=\"7\">7</arr><arr index=\"2\">2</arr></s></r>", kIgnoreOrder, S_OK,
         with({{6, Bytes({2, 0})}})},
        // A stray element with a lower index is passed over in order.
        {"<r><s><arr index=\"1\">1</arr><arr index=\"1\">5</arr><arr index=\"2\">2</arr></s></r>", 0, S_OK,
         with({{4, Bytes({1, 0, 2, 0})}})},
        // The first array element without index: the array keeps all its bytes.
        {"<r><s><arr>1</arr><arr index=\"2\">2</arr></s></r>", 0, kXmlErrNoValue, plcBytes},
        // No member has an element: nothing found. No children at all: success, all bytes kept.
        {"<r><s><other>1</other></s></r>", 0, kXmlErrNoValue, plcBytes},
        {"<r><s/></r>", 0, S_OK, plcBytes},
        // Only elements outside the array: every element keeps its bytes, so nothing was found; neither
        // was anything in a structure whose only element is such an array.
        {"<r><s index=\"5\">5</s></r>", 0, kXmlErrNoValue, arrBytes, "ARRAY [1..3] OF INT"},
        {"<r><s index=\"0\">0</s></r>", 0, kXmlErrNoValue, arrBytes, "ARRAY [1..3] OF INT"},
        {"<r><s index=\"0\">0</s><s index=\"4\">4</s></r>", kIgnoreOrder, kXmlErrNoValue, arrBytes,
         "ARRAY [1..3] OF INT"},
        {"<r><s><arr index=\"5\">5</arr></s></r>", 0, kXmlErrNoValue, plcBytes},
        {"<r><s><arr index=\"0\">0</arr></s></r>", 0, kXmlErrNoValue, plcBytes},
        {"<r><s><arr index=\"7\">7</arr></s></r>", kIgnoreOrder, kXmlErrNoValue, plcBytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.doc);
        const SymRec sym = Sym("MAIN.s", c.type, 65, static_cast<uint32_t>(c.expected.size()));
        Walker w(plc);
        ASSERT_TRUE(w.Load(c.doc));
        std::vector<uint8_t> image(c.expected.size(), 0x55);
        EXPECT_EQ(w.Run(kRead, c.mode, sym, "/r/s", image), c.hr);
        EXPECT_EQ(image, c.expected);
        if (c.hr != kXmlErrNoValue)
            continue;
        const std::string before = w.Xml();
        EXPECT_EQ(w.Run(kWrite, c.mode, sym, "/r/s", image), kXmlErrNoValue);
        EXPECT_FALSE(w.Modified());
        EXPECT_EQ(w.Xml(), before);
    }
}

TEST(XmlDeserializeTest, BitsPassedOverAndExcludedKeepTheirBytes)
{
    TypeRec excluded = Mem("ex", "INT", 2, 2, 4);
    excluded.attrs = {{"KxXmlServer", "exclude"}};
    FakePlc plc;
    plc.AddType(Struct("ST_B", 8, {Mem("b0", "BIT", 33, 1, 0, 0x20), Mem("b5", "BIT", 33, 1, 5, 0x20),
                                    Mem("b9", "BIT", 33, 1, 9, 0x20), Mem("p", "POINTER TO INT", 65, 2, 2),
                                    excluded, Mem("h", "INT", 2, 2, 6, 0x40)}));
    plc.memory[kGroup] = Bytes({0xF0, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><s><b0>1</b0><b5>0</b5><b9>true</b9><p>1</p><ex>1</ex><h>1</h></s></r>"));
    std::vector<uint8_t> image(8, 0);
    ASSERT_EQ(w.Run(kRead, 0, Sym("MAIN.s", "ST_B", 65, 8), "/r/s", image), S_OK);
    EXPECT_EQ(image, Bytes({0xD1, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

// The image is pre-read in blocks; blocks the PLC refuses as too large are quartered.
TEST(XmlDeserializeTest, PreReadInBlocks)
{
    typedef std::vector<std::pair<uint32_t, uint32_t>> Reads;
    struct Case {
        const char* what;
        uint32_t block;
        uint32_t size;
        uint32_t refuseAbove;
        HRESULT refuseCode;
        Reads reads;
        bool complete;  // every byte came from the PLC
    };
    const uint32_t o = 0x100;  // the symbol's index offset
    const std::vector<Case> cases = {
        {"one read", 262144, 5000, 0xFFFFFFFF, 0, {{o, 5000}}, true},
        {"blocks", 1000, 2500, 0xFFFFFFFF, 0, {{o, 1000}, {o + 1000, 1000}, {o + 2000, 500}}, true},
        {"quartered", 262144, 300000, 65536, kXmlErrBlockTooLarge,
         {{o, 262144},
          {o, 65536},
          {o + 65536, 65536},
          {o + 131072, 65536},
          {o + 196608, 65536},
          {o + 262144, 37856}},
         true},
        {"device error quartered", 0x5000, 0x5000, 0x4000, kXmlErrPlcInternal,
         {{o, 0x5000}, {o, 0x1400}, {o + 0x1400, 0x1400}, {o + 0x2800, 0x1400}, {o + 0x3C00, 0x1400}}, true},
        {"small block refused", 262144, 0x4000, 0x100, kXmlErrBlockTooLarge, {{o, 0x4000}}, false},
        {"device error on a small block", 262144, 0x4000, 0x100, kXmlErrPlcInternal, {{o, 0x4000}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BlockSize block(c.block);
        FakePlc plc;
        // Two DINT members at the ends; the bytes between them are padding that must come from the PLC.
        plc.AddType(Struct("ST_Big", c.size, {Mem("a", "DINT", 3, 4, 0), Mem("z", "DINT", 3, 4, c.size - 4)}));
        plc.memory[kGroup] = Pattern(o + c.size);
        plc.refuseAbove = c.refuseAbove;
        plc.refuseCode = c.refuseCode;
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><s><a>7</a></s></r>"));
        std::vector<uint8_t> image(c.size, 0x55);
        ASSERT_EQ(w.Run(kRead, 0, Sym("MAIN.s", "ST_Big", 65, c.size, o), "/r/s", image), S_OK);
        EXPECT_EQ(plc.reads, c.reads);
        std::vector<uint8_t> expected(c.size, 0x55);
        if (c.complete)
            expected.assign(plc.memory[kGroup].begin() + o, plc.memory[kGroup].end());
        Put<int32_t>(expected, 0, 7);
        EXPECT_EQ(image, expected);
    }
}

TEST(XmlDeserializeTest, PlcFailureMidwayKeepsTheRest)
{
    BlockSize block(100);
    FakePlc plc;
    plc.AddType(Struct("ST_S", 250, {Mem("a", "DINT", 3, 4, 0)}));
    plc.memory[kGroup] = Pattern(150);  // the third block lies beyond the PLC's memory
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><s><a>7</a></s></r>"));
    std::vector<uint8_t> image(250, 0x55);
    ASSERT_EQ(w.Run(kRead, 0, Sym("MAIN.s", "ST_S", 65, 250), "/r/s", image), S_OK);
    std::vector<uint8_t> expected = Pattern(100);
    expected.resize(250, 0x55);
    Put<int32_t>(expected, 0, 7);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(plc.reads, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 100}, {100, 100}}));
}

TEST(XmlDeserializeTest, PrimitiveSymbolIsNotPreRead)
{
    FakePlc plc;
    plc.memory[kGroup] = Pattern(2);
    for (const char* text : {"abc", "-3"}) {
        Walker w(plc);
        const std::string doc = std::string("<r><v>") + text + "</v></r>";
        ASSERT_TRUE(w.Load(doc.c_str()));
        std::vector<uint8_t> image = Bytes({0x34, 0x12});
        EXPECT_EQ(w.Run(kRead, 0, Sym("MAIN.v", "INT", 2, 2), "/r/v", image), S_OK);
        EXPECT_EQ(image, std::string(text) == "abc" ? Bytes({0x34, 0x12}) : Bytes({0xFD, 0xFF}));
    }
    EXPECT_TRUE(plc.reads.empty());
}

TEST(XmlDeserializeTest, RoundTripImageToXmlToImage)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [0..1,1..2] OF INT", "INT", 2, 8, {{0, 2}, {1, 2}}));
    plc.AddType(Array("ARRAY [1..2] OF ST_In", "ST_In", 65, 12, {{1, 2}}));
    plc.AddType(Struct("ST_In", 6, {Mem("f", "REAL", 4, 4, 0), Mem("k", "SINT", 16, 1, 4), Mem("u", "BOOL", 33, 1, 5)}));
    TypeRec utf = Mem("sUtf", "STRING(5)", 30, 6, 62);
    utf.attrs = {{"KxEncoding", "UTF-8"}};
    plc.AddType(Struct("ST_All", 80,
                       {Mem("i", "INT", 2, 2, 0), Mem("d", "LREAL", 5, 8, 8), Mem("m", "ARRAY [0..1,1..2] OF INT", 65, 8, 16),
                        Mem("arr", "ARRAY [1..2] OF ST_In", 65, 12, 24), Mem("b0", "BIT", 33, 1, 288, 0x20),
                        Mem("b3", "BIT", 33, 1, 291, 0x20), Mem("s", "STRING(10)", 30, 11, 37),
                        Mem("w", "WSTRING(3)", 31, 8, 48), Mem("t", "TIME", 65, 4, 56), utf,
                        Mem("q", "ULINT", 21, 8, 68)}));
    std::vector<uint8_t> original(80, 0);
    Put<int16_t>(original, 0, -12345);
    Put<double>(original, 8, 1234.5678);
    for (int k = 0; k < 4; ++k)
        Put<int16_t>(original, 16 + 2 * k, static_cast<int16_t>(1000 * k - 1));
    Put<float>(original, 24, 0.1f);
    original[28] = 0x80;
    original[29] = 1;
    Put<float>(original, 30, -1e-7f);
    original[34] = 0x7F;
    original[36] = 0x09;  // bits 0 and 3
    std::memcpy(original.data() + 37, "caf\xE9 \x80", 6);
    const uint16_t wide[] = {0x41, 0x20AC, 0x7A};
    std::memcpy(original.data() + 48, wide, sizeof wide);
    Put<uint32_t>(original, 56, 86400000u);
    std::memcpy(original.data() + 62, "\xC3\xA4\xC3\xB6", 4);
    Put<uint64_t>(original, 68, 0xFEDCBA9876543210ull);

    for (uint16_t mode : {uint16_t(0), kIgnoreOrder}) {
        SCOPED_TRACE(mode);
        Walker w(plc);
        ASSERT_TRUE(w.Load("<dataentry><MAIN.all/></dataentry>"));
        std::vector<uint8_t> image = original;
        const SymRec sym = Sym("MAIN.all", "ST_All", 65, 80);
        ASSERT_EQ(w.Run(kWrite, kCreate | mode, sym, "/dataentry/MAIN.all", image), S_OK);
        EXPECT_EQ(image, original);
        const std::string xml = w.Xml();

        plc.memory[kGroup] = std::vector<uint8_t>(80, 0);
        std::vector<uint8_t> back(80, 0x55);
        ASSERT_EQ(w.Run(kRead, mode, sym, "/dataentry/MAIN.all", back), S_OK);
        EXPECT_EQ(back, original);
        EXPECT_EQ(w.Xml(), xml);
    }
}

// The image bookkeeping is checked before every conversion; the value step turns the exception into an
// error result.
TEST(XmlDeserializeTest, InconsistentCursorThrowsAndTheValueStepCatches)
{
    FakePlc plc;
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><v>5</v></r>"));
    std::vector<uint8_t> image;
    w.Select(kRead, 0, Sym("MAIN.v", "INT", 2, 2), image);
    w.m_pCursor = image.data() + 1;  // remaining still claims 2 bytes
    s_szMemErr[0] = '\0';
    try {
        w.GetValue(pugi::xpath_node(w.Document().child("r").child("v")), "INT", 2, 2);
        ADD_FAILURE() << "no exception";
    } catch (int e) {
        EXPECT_EQ(e, KX_MEM_ERROR);
    }
    EXPECT_STREQ(s_szMemErr, "CXmlDataServer::GetValue data inconsistency");

    w.Select(kRead, 0, Sym("MAIN.v", "INT", 2, 2), image);
    w.m_pCursor = image.data() + 1;
    EXPECT_EQ(w.SerializeSymbol(w.Document().select_node("/r/v")), static_cast<HRESULT>(0x98118004));
    EXPECT_EQ(image, Bytes({0, 0}));
}

TEST(XmlDeserializeTest, ValuesBeyondTheImageAreRefused)
{
    FakePlc plc;
    plc.AddType(Struct("ST_Far", 4, {Mem("a", "INT", 2, 2, 0), Mem("b", "INT", 2, 2, 3)}));
    plc.AddType(Struct("ST_Big", 64, {Mem("a", "INT", 2, 2, 0)}));
    plc.memory[kGroup] = Pattern(64);
    for (const char* type : {"ST_Far", "ST_Big"}) {
        SCOPED_TRACE(type);
        Walker w(plc);
        ASSERT_TRUE(w.Load("<r><s><a>1</a><b>2</b></s></r>"));
        std::vector<uint8_t> image(4, 0x55);
        EXPECT_EQ(w.Run(kRead, 0, Sym("MAIN.s", type, 65, 4), "/r/s", image), kXmlErrGeneral);
        // Nothing past the value that lies outside the image was written.
        EXPECT_EQ(image[2], std::string(type) == "ST_Far" ? 0xA2 : 0x55);
    }
}

// The whole read road of a data server: the document's values are merged into the PLC's current bytes and
// written back; what the document lacks or cannot convert stays as the PLC held it.
TEST(XmlDeserializeTest, OpenReadMergesIntoThePlc)
{
    FakePlc plc;
    plc.AddType(Array("ARRAY [1..3] OF INT", "INT", 2, 6, {{1, 3}}));
    plc.AddType(Struct("ST_M", 12, {Mem("nCount", "INT", 2, 2, 0), Mem("b", "USINT", 17, 1, 2),
                                     Mem("arr", "ARRAY [1..3] OF INT", 65, 6, 4), Mem("c", "INT", 2, 2, 10)}));
    const SymRec sym = Sym("MAIN.s", "ST_M", 65, 12, 0x20);
    plc.AddSymbol(sym);
    const std::vector<uint8_t> before = Pattern(0x20 + 12);
    plc.memory[kGroup] = before;
    CXmlDataServer server(&plc);
    const HopAddr addr = {};
    ASSERT_EQ(server.OpenRead(addr, XMLDS_MODE_TRANSFER, "", "MAIN.s", "/dataentry/MAIN/s",
                              "<dataentry><MAIN><s><nCount>-2</nCount><b>300</b><arr index=\"2\">7</arr>"
                              "<arr index=\"3\">x</arr></s></MAIN></dataentry>"),
              S_OK);
    std::vector<uint8_t> expected = before;
    Put<int16_t>(expected, 0x20 + 0, -2);  // b keeps its byte: 300 is out of range
    Put<int16_t>(expected, 0x20 + 6, 7);   // arr[3] keeps its bytes: x is no number
    EXPECT_EQ(plc.memory[kGroup], expected);
    EXPECT_EQ(plc.writes, 1u);
    EXPECT_EQ(server.Close(true), S_OK);

    // A document in which nothing of the value is found writes nothing into the PLC.
    ASSERT_EQ(server.OpenRead(addr, XMLDS_MODE_TRANSFER, "", "MAIN.s", "/dataentry/MAIN/s",
                              "<dataentry><MAIN><s><arr index=\"5\">5</arr></s></MAIN></dataentry>"),
              kXmlErrNoValue);
    EXPECT_EQ(plc.writes, 1u);
    EXPECT_EQ(server.Close(true), S_OK);
}
