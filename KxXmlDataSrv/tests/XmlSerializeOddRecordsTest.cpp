// Records from the PLC are untrusted: random layouts (members beyond the image, overlapping members, odd
// sizes, empty and oversized arrays, unknown types) over random documents, in both directions. The walk must
// stay inside the image (the sanitizer build checks every access), leave the image alone when writing,
// leave the document alone when reading, and always produce a document that parses again.

#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "XmlSerializeTestSupport.h"

using namespace kxtest;

namespace {

struct Prim {
    const char* name;
    uint32_t id;
    uint32_t size;
};

const Prim kPrims[] = {
    {"INT", 2, 2},       {"DINT", 3, 4},       {"REAL", 4, 4},     {"LREAL", 5, 8},   {"SINT", 16, 1},
    {"USINT", 17, 1},    {"UINT", 18, 2},      {"UDINT", 19, 4},   {"LINT", 20, 8},   {"ULINT", 21, 8},
    {"STRING(3)", 30, 4}, {"WSTRING(2)", 31, 6}, {"BOOL", 33, 1},   {"BIT", 33, 1},    {"TIME", 65, 4},
    {"INT(1..2)", 65, 2}, {"DINT", 3, 2},       {"BIT", 33, 9},     {"POINTER TO INT", 65, 8},
};

class Generator {
public:
    explicit Generator(uint32_t seed) : m_rng(seed) {}

    uint32_t Pick(uint32_t n) { return n ? std::uniform_int_distribution<uint32_t>(0, n - 1)(m_rng) : 0; }
    bool Chance(uint32_t percent) { return Pick(100) < percent; }

    // Adds a named type of at most `depth` nesting to the PLC and returns its name and size.
    std::string Type(FakePlc& plc, int depth, uint32_t& size)
    {
        const std::string name = "T" + std::to_string(m_next++);
        const uint32_t kind = depth <= 0 ? 2 : Pick(3);
        if (kind == 0) {  // structure
            size = Pick(24);
            TypeRec st = Struct(name, size, {});
            const uint32_t n = Pick(6);
            for (uint32_t i = 0; i < n; ++i)
                st.members.push_back(Member(plc, depth - 1, size, i));
            if (Chance(20))
                st.comment = "c\x01\xE9";
            plc.AddType(st);
        } else if (kind == 1) {  // array
            const Prim& p = kPrims[Pick(sizeof kPrims / sizeof kPrims[0])];
            std::string elem = p.name;
            uint32_t elemSize = p.size;
            uint32_t id = p.id;
            if (Chance(40)) {
                elem = Type(plc, depth - 1, elemSize);
                id = 65;
            }
            std::vector<std::pair<int32_t, uint32_t>> dims;
            const uint32_t d = 1 + Pick(Chance(10) ? 5 : 2);
            uint64_t count = 1;
            for (uint32_t k = 0; k < d; ++k) {
                const uint32_t c = Pick(4);
                dims.emplace_back(static_cast<int32_t>(Pick(5)) - 2, c);
                count *= c;
            }
            size = static_cast<uint32_t>(count * elemSize) + (Chance(20) ? Pick(5) : 0);
            if (Chance(10))
                size = Pick(4);
            plc.AddType(Array(name, elem, id, size, dims));
        } else {  // simple type: an alias-like record over a primitive
            const Prim& p = kPrims[Pick(sizeof kPrims / sizeof kPrims[0])];
            TypeRec t;
            t.name = name;
            t.type = p.name;
            t.id = p.id;
            t.size = p.size;
            t.flags = 0x0004;
            size = p.size;
            plc.AddType(t);
        }
        return name;
    }

    TypeRec Member(FakePlc& plc, int depth, uint32_t structSize, uint32_t index)
    {
        const std::string name = std::string(1, static_cast<char>('a' + index)) + (Chance(20) ? "X" : "");
        uint32_t size;
        std::string type;
        uint32_t id = 65;
        if (Chance(50)) {
            const Prim& p = kPrims[Pick(sizeof kPrims / sizeof kPrims[0])];
            type = p.name;
            id = p.id;
            size = p.size;
        } else if (Chance(10)) {
            type = "FB_UNKNOWN";
            size = 2;
        } else {
            type = Type(plc, depth, size);
        }
        uint32_t flags = 0;
        uint32_t offset = Pick(structSize + 4);
        if (type == "BIT" || Chance(5)) {
            flags |= 0x20;
            offset = Pick(structSize * 8 + 8);
            size = type == "BIT" ? 1 : size;
        }
        if (Chance(8))
            flags |= 0x40;
        TypeRec m = Mem(name, type, id, size, offset, flags);
        if (Chance(8))
            m.attrs.push_back({"KxXmlServer", "exclude"});
        if (Chance(8))
            m.attrs.push_back({"KxEncoding", "UTF-8"});
        if (Chance(10))
            m.comment = "m";
        return m;
    }

    // A document around element "s": empty, or with random children named like members and array runs.
    std::string Document()
    {
        std::string xml = "<r><s>";
        const uint32_t n = Chance(30) ? 0 : Pick(8);
        for (uint32_t i = 0; i < n; ++i) {
            const std::string name(1, static_cast<char>("abcdeS"[Pick(6)]));
            xml += "<" + name;
            if (Chance(60))
                xml += " index=\"" + std::to_string(static_cast<int>(Pick(6)) - 2) + (Chance(20) ? ",1" : "") + "\"";
            xml += ">";
            xml += Chance(50) ? std::to_string(Pick(300)) : (Chance(50) ? "<a>1</a><b index=\"0\">x</b>" : "");
            xml += "</" + name + ">";
        }
        return xml + "</s></r>";
    }

private:
    std::mt19937 m_rng;
    unsigned m_next = 0;
};

}  // namespace

TEST(XmlSerializeOddRecordsTest, RandomLayoutsStayInsideImageAndDocument)
{
    const std::set<HRESULT> allowed = {S_OK,
                                       static_cast<HRESULT>(0x98118000),
                                       static_cast<HRESULT>(0x98118002),
                                       static_cast<HRESULT>(0x98118003),
                                       static_cast<HRESULT>(0x98118005),
                                       static_cast<HRESULT>(0x98118007),
                                       static_cast<HRESULT>(0x98110700)};
    const uint16_t modes[] = {0, kCreate, kIgnoreOrder, kCreate | kIgnoreOrder, kCreate | kTypeComment | kSymbolComment};
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        SCOPED_TRACE(seed);
        Generator gen(seed);
        FakePlc plc;
        uint32_t typeSize = 0;
        const std::string type = gen.Type(plc, 3, typeSize);
        // The symbol's size usually matches its type, sometimes not.
        const uint32_t symSize = gen.Chance(70) ? typeSize : gen.Pick(typeSize + 8);
        SymRec sym = Sym("MAIN.s", type, 65, symSize);
        sym.comment = "sym";
        std::vector<uint8_t> memory(symSize);
        for (uint8_t& b : memory)
            b = static_cast<uint8_t>(gen.Pick(256));
        plc.memory[sym.group] = memory;
        const uint16_t mode = modes[gen.Pick(sizeof modes / sizeof modes[0])];

        Walker w(plc);
        ASSERT_TRUE(w.Load(gen.Document().c_str()));
        std::vector<uint8_t> image = memory;
        const HRESULT hrWrite = w.Run(kWrite, mode, sym, "/r/s", image);
        EXPECT_TRUE(allowed.count(hrWrite)) << std::hex << hrWrite;
        EXPECT_EQ(image, memory);
        const std::string written = w.Xml();
        pugi::xml_document again;
        EXPECT_TRUE(again.load_string(written.c_str())) << written;

        std::vector<uint8_t> back(symSize, 0x55);
        const HRESULT hrRead = w.Run(kRead, mode & kIgnoreOrder, sym, "/r/s", back);
        EXPECT_TRUE(allowed.count(hrRead)) << std::hex << hrRead;
        EXPECT_EQ(w.Xml(), written);
    }
}

// A chain of nested structures deeper than the walk follows ends with the inner values left alone.
TEST(XmlSerializeOddRecordsTest, DeepNestingIsCut)
{
    FakePlc plc;
    const int depth = 100;
    for (int i = depth - 1; i >= 0; --i) {
        const std::string inner = i == depth - 1 ? "INT" : "ST_D" + std::to_string(i + 1);
        plc.AddType(Struct("ST_D" + std::to_string(i), 2,
                           {Mem("n", inner, i == depth - 1 ? 2 : 65, 2, 0), Mem("v", "INT", 2, 2, 0)}));
    }
    Walker w(plc);
    ASSERT_TRUE(w.Load("<r><s/></r>"));
    std::vector<uint8_t> image = Bytes({7, 0});
    const SymRec sym = Sym("MAIN.s", "ST_D0", 65, 2);
    ASSERT_EQ(w.Run(kWrite, kCreate, sym, "/r/s", image), S_OK);
    // Every level down to the limit holds n (the next level) and v; the deepest level followed is empty.
    const std::string xml = w.Xml();
    size_t levels = 0;
    for (size_t at = xml.find("<v>7</v>"); at != std::string::npos; at = xml.find("<v>7</v>", at + 1))
        ++levels;
    EXPECT_EQ(levels, CXmlDataServer::kMaxSerializeDepth);
}
