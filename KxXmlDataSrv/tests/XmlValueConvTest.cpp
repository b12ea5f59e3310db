// Value texts and code page conversions of the data server.

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "KxXmlErrors.h"
#include "XmlDataServerSettings.h"
#include "XmlValueConv.h"

namespace {

// Independent encoder used as the oracle for the converters under test.
std::string Utf8Of(uint32_t cp)
{
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// A document with the text both as an attribute value and as an element text, so that every read
// is checked at both kinds of position.
struct TextDoc {
    pugi::xml_document doc;
    pugi::xpath_node attr;
    pugi::xpath_node elem;
    explicit TextDoc(const std::string& text)
    {
        pugi::xml_node e = doc.append_child("v");
        e.append_attribute("a").set_value(text.c_str());
        e.text().set(text.c_str());
        attr = pugi::xpath_node(e.attribute("a"), e);
        elem = pugi::xpath_node(e);
    }
};

template <typename T>
struct IntRow {
    const char* text;
    HRESULT hr;
    T value;
    const char* comment;
};

// get reads a position; getNode, the form the value walk uses, the element itself.
template <typename T>
void CheckIntRows(const std::vector<IntRow<T>>& rows, HRESULT (*get)(const pugi::xpath_node&, T&),
                  HRESULT (*getNode)(pugi::xml_node, T&))
{
    for (const auto& row : rows) {
        TextDoc d(row.text);
        const T sentinel = static_cast<T>(0x5A);
        for (const pugi::xpath_node& pos : {d.attr, d.elem}) {
            T value = sentinel;
            EXPECT_EQ(row.hr, get(pos, value)) << "'" << row.text << "': " << row.comment;
            EXPECT_EQ(row.hr == 0 ? row.value : sentinel, value) << "'" << row.text << "': " << row.comment;
        }
        T value = sentinel;
        EXPECT_EQ(row.hr, getNode(d.elem.node(), value)) << "'" << row.text << "': " << row.comment;
        EXPECT_EQ(row.hr == 0 ? row.value : sentinel, value) << "'" << row.text << "': " << row.comment;
    }
}

TEST(XmlValueConvTest, GetLongForms)
{
    CheckIntRows<int32_t>({
        {"42", 0, 42, "plain"},
        {"+42", 0, 42, "plus sign"},
        {"0042", 0, 42, "leading zeros"},
        {" \t\r\n42 \n", 0, 42, "blanks around"},
        {"\v42", kXmlErrNoValue, 0, "VT is no blank of a value text"},
        {"42\f", kXmlErrNoValue, 0, "nor is FF"},
        {"-7", 0, -7, "negative"},
        {"-07", kXmlErrNoValue, 0, "zero after minus is not canonical"},
        {"-0", kXmlErrNoValue, 0, "minus zero is not canonical"},
        {"000", 0, 0, "only zeros"},
        {"", 0, 0, "empty text is zero"},
        {"   ", 0, 0, "blank text is zero"},
        {"+", kXmlErrNoValue, 0, "sign without digits"},
        {"2147483647", 0, INT32_MAX, "largest"},
        {"2147483648", kXmlErrNoValue, 0, "one above largest"},
        {"-2147483648", 0, INT32_MIN, "smallest"},
        {"-2147483649", kXmlErrNoValue, 0, "one below smallest"},
        {"4294967296", kXmlErrNoValue, 0, "wraps to 0 when cut to 32 bits"},
        {"99999999999999999999", kXmlErrNoValue, 0, "saturates the 64-bit conversion"},
        {"12abc", kXmlErrNoValue, 0, "trailing letters"},
        {"1 2", kXmlErrNoValue, 0, "two numbers"},
        {"1.5", kXmlErrNoValue, 0, "fraction"},
        {"0x1F", kXmlErrNoValue, 0, "C hexadecimal prefix"},
        {"#xFF", 0, 255, "hexadecimal"},
        {"#xFFFFFFFF", 0, -1, "bit pattern of 32 bits"},
        {"#x80000000", 0, INT32_MIN, "sign bit"},
        {"#x100000000", kXmlErrNoValue, 0, "wider than 32 bits"},
        {"#x1Fzz", 0, 31, "text after the hexadecimal number is ignored"},
        {"#x0x1F", 0, 31, "prefix accepted by the hexadecimal scan"},
        {"#x-1", 0, -1, "signed hexadecimal"},
        {"#x", kXmlErrNoValue, 0, "marker alone"},
        {"#xZZ", kXmlErrNoValue, 0, "no hexadecimal digit"},
        {"#X1F", kXmlErrNoValue, 0, "marker is case-sensitive"},
    }, XMLGetLong, XMLGetLong);
}

TEST(XmlValueConvTest, GetULongLongLongULongLongRanges)
{
    CheckIntRows<uint32_t>({
        {"4294967295", 0, UINT32_MAX, "largest"},
        {"+4294967295", 0, UINT32_MAX, "largest with sign"},
        {"4294967296", kXmlErrNoValue, 0, "one above largest"},
        {"-1", kXmlErrNoValue, 0, "negative"},
        {"-0", kXmlErrNoValue, 0, "minus zero"},
        {" -5", kXmlErrNoValue, 0, "negative after blanks"},
        {"#xFFFFFFFF", 0, UINT32_MAX, "hexadecimal largest"},
        {"#x100000000", kXmlErrNoValue, 0, "hexadecimal too wide"},
        {"#5", kXmlErrNoValue, 0, "hash without x"},
        {"0", 0, 0, "zero"},
    }, XMLGetULong, XMLGetULong);
    CheckIntRows<int64_t>({
        {"9223372036854775807", 0, INT64_MAX, "largest"},
        {"9223372036854775808", kXmlErrNoValue, 0, "one above largest"},
        {"-9223372036854775808", 0, INT64_MIN, "smallest"},
        {"-9223372036854775809", kXmlErrNoValue, 0, "one below smallest"},
        {"4294967296", 0, 4294967296LL, "above 32 bits"},
        {"#xFFFFFFFFFFFFFFFF", 0, -1, "bit pattern of 64 bits"},
        {"#x8000000000000000", 0, INT64_MIN, "sign bit"},
        {"#x10000000000000000", kXmlErrNoValue, 0, "wider than 64 bits"},
        {"-007", kXmlErrNoValue, 0, "not canonical"},
    }, XMLGetLongLong, XMLGetLongLong);
    CheckIntRows<uint64_t>({
        {"18446744073709551615", 0, UINT64_MAX, "largest"},
        {"18446744073709551616", kXmlErrNoValue, 0, "one above largest"},
        {"-1", kXmlErrNoValue, 0, "negative"},
        {"#xFFFFFFFFFFFFFFFF", 0, UINT64_MAX, "hexadecimal largest"},
        {"00018446744073709551615", 0, UINT64_MAX, "leading zeros"},
    }, XMLGetULongLong, XMLGetULongLong);
}

TEST(XmlValueConvTest, IntegersWrittenAndReadBack)
{
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    std::string text;
    for (int32_t v : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
        ASSERT_EQ(0, XMLSetLong(pos, v));
        EXPECT_EQ(std::to_string(v), XMLGetText(pos));
        int32_t back = 0;
        EXPECT_EQ(0, XMLGetLong(pos, back));
        EXPECT_EQ(v, back);
    }
    for (uint32_t v : {0u, 1u, UINT32_MAX}) {
        ASSERT_EQ(0, XMLSetULong(pos, v));
        uint32_t back = 1;
        EXPECT_EQ(0, XMLGetULong(pos, back));
        EXPECT_EQ(v, back);
    }
    for (int64_t v : {INT64_MIN, int64_t(-1), int64_t(0), INT64_MAX}) {
        ASSERT_EQ(0, XMLSetLongLong(pos, v));
        EXPECT_EQ(std::to_string(v), XMLGetText(pos));
        int64_t back = 1;
        EXPECT_EQ(0, XMLGetLongLong(pos, back));
        EXPECT_EQ(v, back);
    }
    for (uint64_t v : {uint64_t(0), UINT64_MAX}) {
        ASSERT_EQ(0, XMLSetULongLong(pos, v));
        EXPECT_EQ(std::to_string(v), XMLGetText(pos));
        uint64_t back = 1;
        EXPECT_EQ(0, XMLGetULongLong(pos, back));
        EXPECT_EQ(v, back);
    }
    // The element keeps a single text child however often it is written.
    EXPECT_EQ(pos.node().first_child(), pos.node().last_child());
    EXPECT_EQ(kXmlErrFailed, XMLSetLong(pugi::xpath_node(), 1));
}

TEST(XmlValueConvTest, FloatingPointTexts)
{
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        double value;
        bool single;
        const char* text;
    } rows[] = {
        {1.5, true, "1.5"},
        {0.1, true, "0.100000001"},
        {1e10, true, "1e+10"},
        {-0.0, true, "-0"},
        {inf, true, "inf"},
        {-inf, true, "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), true, "nan"},
        {0.1, false, "0.1"},
        {1e10, false, "10000000000"},
        {1e20, false, "1e+20"},
        // Fifteen digits unless they would not give the value back.
        {1.0 / 3.0, false, "0.33333333333333331"},
        {3.141592653589793, false, "3.1415926535897931"},
        {2.5, false, "2.5"},
    };
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    for (const auto& row : rows) {
        ASSERT_EQ(0, row.single ? XMLSetFloat(pos, static_cast<float>(row.value)) : XMLSetDouble(pos, row.value));
        EXPECT_STREQ(row.text, XMLGetText(pos)) << row.value;
    }

    const struct {
        const char* text;
        double value;
    } reads[] = {
        {"1.5", 1.5}, {" \t2.25\n", 2.25}, {"3.5xyz", 3.5}, {"abc", 0.0}, {"", 0.0}, {"1e3", 1000.0}, {"-0.5", -0.5},
        {" +1.5e1 \n", 15.0}, {"0x1p-2\t", 0.25},
    };
    for (const auto& row : reads) {
        TextDoc d(row.text);
        double dv = 99.0;
        float fv = 99.0f;
        EXPECT_EQ(0, XMLGetDouble(d.elem, dv)) << row.text;
        EXPECT_EQ(0, XMLGetFloat(d.attr, fv)) << row.text;
        EXPECT_EQ(row.value, dv) << row.text;
        EXPECT_EQ(static_cast<float>(row.value), fv) << row.text;
    }
}

TEST(XmlValueConvTest, EveryFloatSurvivesItsText)
{
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    // Nine significant digits identify every float; a spread of bit patterns covers all exponents.
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 65521) {
        const uint32_t pattern = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &pattern, sizeof f);
        if (std::isnan(f))
            continue;
        ASSERT_EQ(0, XMLSetFloat(pos, f));
        float back = 0;
        ASSERT_EQ(0, XMLGetFloat(pos, back));
        uint32_t backPattern;
        std::memcpy(&backPattern, &back, sizeof back);
        ASSERT_EQ(pattern, backPattern) << XMLGetText(pos);
    }
    for (double v : {0.1, 123456.789, -98765.4321, 1e-300, 2.5e300, 4.9e-324, 123456789012345.0, 1.0 / 3.0,
                     3.141592653589793, 0.1 + 0.2, -1.0 / 7.0}) {
        ASSERT_EQ(0, XMLSetDouble(pos, v));
        double back = 0;
        ASSERT_EQ(0, XMLGetDouble(pos, back));
        EXPECT_EQ(v, back) << XMLGetText(pos);
    }
    // Decimal texts of up to 17 digits with up to 24 behind the point (short ones are read at once, the rest
    // the long way) give what strtod gives, to the bit.
    uint64_t seed = 20261209;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        const int digits = 1 + static_cast<int>((seed >> 33) % 17);
        std::string text = (seed >> 20) & 1 ? "-" : "";
        uint64_t r = seed;
        for (int k = 0; k < digits; ++k, r = r * 6364136223846793005u + 1) {
            text += static_cast<char>('0' + (r >> 40) % 10);
        }
        const size_t fraction = (seed >> 50) % 25;
        const size_t sign = text[0] == '-' ? 1 : 0;
        while (text.size() - sign < fraction + 1)
            text.insert(sign, "0");
        text.insert(text.size() - fraction, ".");
        pugi::xml_document d;
        d.append_child("v").text().set(text.c_str());
        double back = 0;
        ASSERT_EQ(0, XMLGetDouble(pugi::xpath_node(d.first_child()), back));
        const double expected = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(0, std::memcmp(&expected, &back, sizeof back)) << text;
    }
}

TEST(XmlValueConvTest, DecimalPointIndependentOfProcessLocale)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = name;
            break;
        }
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    const HRESULT hrSet = XMLSetDouble(pos, 1.5);
    const std::string text = XMLGetText(pos);
    double back = 0;
    const HRESULT hrGet = XMLGetDouble(pos, back);
    const std::string after = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(0, hrSet);
    EXPECT_EQ("1.5", text);
    EXPECT_EQ(0, hrGet);
    EXPECT_EQ(1.5, back);
    EXPECT_EQ(comma, after) << "the process locale must be left alone";
}

TEST(XmlValueConvTest, Booleans)
{
    const struct {
        const char* text;
        HRESULT hr;
        bool value;
    } rows[] = {
        {"true", 0, true}, {"1", 0, true}, {" false\n", 0, false}, {"0", 0, false},
        {"TRUE", kXmlErrNoValue, false}, {"True", kXmlErrNoValue, false}, {"", kXmlErrNoValue, false},
        {"01", kXmlErrNoValue, false}, {"2", kXmlErrNoValue, false}, {"yes", kXmlErrNoValue, false},
        {" \t\r\ntrue\r\n\t ", 0, true}, {"\vtrue", kXmlErrNoValue, false}, {"false\f", kXmlErrNoValue, false},
    };
    for (const auto& row : rows) {
        TextDoc d(row.text);
        for (const pugi::xpath_node& pos : {d.attr, d.elem}) {
            bool value = !row.value;
            EXPECT_EQ(row.hr, XMLGetBoolean(pos, value)) << row.text;
            EXPECT_EQ(row.hr == 0 ? row.value : !row.value, value) << row.text;
        }
    }
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    const struct {
        bool value, numeric;
        const char* text;
    } writes[] = {{true, false, "true"}, {false, false, "false"}, {true, true, "1"}, {false, true, "0"}};
    for (const auto& w : writes) {
        ASSERT_EQ(0, XMLSetBoolean(pos, w.value, w.numeric));
        EXPECT_STREQ(w.text, XMLGetText(pos));
    }
}

TEST(XmlValueConvTest, PositionTexts)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r a='x'><e>t</e><c><!--k-->u<z/>w</c><d><![CDATA[cd]]></d><n/><m><z/></m></r>",
                                pugi::parse_default | pugi::parse_comments));
    pugi::xml_node r = doc.child("r");
    EXPECT_STREQ("x", XMLGetText(pugi::xpath_node(r.attribute("a"), r)));
    EXPECT_STREQ("t", XMLGetText(pugi::xpath_node(r.child("e"))));
    EXPECT_STREQ("t", XMLGetText(pugi::xpath_node(r.child("e").first_child())));
    EXPECT_STREQ("u", XMLGetText(pugi::xpath_node(r.child("c")))) << "first text child, not first child";
    EXPECT_STREQ("cd", XMLGetText(pugi::xpath_node(r.child("d"))));
    EXPECT_STREQ("", XMLGetText(pugi::xpath_node(r.child("n"))));
    EXPECT_STREQ("", XMLGetText(pugi::xpath_node()));

    EXPECT_EQ(0, XMLSetText(pugi::xpath_node(r.child("c")), "v"));
    EXPECT_STREQ("v", r.child("c").first_child().next_sibling().value()) << "first text child replaced";
    EXPECT_EQ(0, XMLSetText(pugi::xpath_node(r.child("m")), "p"));
    EXPECT_STREQ("p", r.child("m").last_child().value()) << "text appended";
    EXPECT_EQ(kXmlErrFailed, XMLSetText(pugi::xpath_node(r.child("c").first_child()), "q")) << "comment";
    EXPECT_EQ(kXmlErrFailed, XMLSetText(pugi::xpath_node(), "q"));
}

TEST(XmlValueConvTest, Windows1252HighRange)
{
    // The code page's characters at 0x80-0x9F; 0xFFFD marks the five unassigned bytes.
    const uint32_t table[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
        0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
    };
    int assigned = 0;
    for (unsigned b = 0x80; b <= 0x9F; ++b) {
        const char byte = static_cast<char>(b);
        const uint32_t cp = table[b - 0x80];
        EXPECT_EQ(Utf8Of(cp), Windows1252ToUtf8(&byte, 1)) << std::hex << b;
        const std::string utf8 = Utf8Of(cp);
        const std::string back = Utf8ToWindows1252(utf8.data(), utf8.size());
        if (cp == 0xFFFD) {
            EXPECT_EQ("", back) << "U+FFFD has no byte";
        } else {
            ++assigned;
            EXPECT_EQ(std::string(1, byte), back) << std::hex << b;
        }
    }
    EXPECT_EQ(27, assigned);
    // Outside 0x80-0x9F a byte is its own code point, the 0 byte included.
    for (unsigned b = 0; b <= 0xFF; ++b) {
        if (b >= 0x80 && b <= 0x9F)
            continue;
        const char byte = static_cast<char>(b);
        EXPECT_EQ(Utf8Of(b), Windows1252ToUtf8(&byte, 1)) << std::hex << b;
    }
    unsigned char out = 0;
    EXPECT_TRUE(CodePoint2Windows1252(0x81, out));
    EXPECT_EQ(0x81, out) << "C1 code points keep their value";
    out = 0x11;
    EXPECT_FALSE(CodePoint2Windows1252(0x4E2D, out));
    EXPECT_FALSE(CodePoint2Windows1252(0xFFFD, out));
    EXPECT_EQ(0x11, out);
}

TEST(XmlValueConvTest, LenientUtf8ToWindows1252)
{
    const struct {
        std::string in, out;
        const char* comment;
    } rows[] = {
        {"A\xC3\xA9" "B", "A\xE9" "B", "two-byte character"},
        {"\xE2\x82\xAC", "\x80", "euro sign"},
        {"x\xE4\xB8\xAD" "y", "xy", "CJK character dropped"},
        {"\xF0\x9F\x98\x80Z", "Z", "four-byte character dropped"},
        {"\xC1\x81", "A", "overlong form decoded"},
        {"A\xC3", "A", "lead byte at the end"},
        {"\xC3" "A", "A", "lead byte without continuation skipped"},
        {"\x80" "A", "A", "stray continuation byte"},
        {"\xE2\x82" "A", "A", "cut three-byte sequence"},
        {"\xF0\x9F\x98Z", "Z", "cut four-byte sequence"},
        {"\xFF\xFE" "A", "A", "bytes that never lead"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.out, Utf8ToWindows1252(row.in.data(), row.in.size())) << row.comment;
}

TEST(XmlValueConvTest, Utf16BothWays)
{
    const struct {
        std::string utf8;
        std::u16string utf16;
        const char* comment;
    } rows[] = {
        {"A\xC3\xA9\xE2\x82\xAC", u"A\u00E9\u20AC", "one unit each"},
        {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, "surrogate pair"},
        {"\xF0\x90\x80\x80", {0xD800, 0xDC00}, "first supplementary"},
        {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}, "last code point"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.utf16, Utf8ToUtf16(row.utf8.data(), row.utf8.size())) << row.comment;
        EXPECT_EQ(row.utf8, Utf16ToUtf8(row.utf16.data(), row.utf16.size())) << row.comment;
    }
    const struct {
        std::string in;
        std::u16string out;
        const char* comment;
    } invalid[] = {
        {"\xC0\x80", u"", "overlong zero"},
        {"A\xC1\x81" "B", u"AB", "overlong letter"},
        {"\xE0\x81\x81", u"", "overlong three-byte form"},
        {"\xF0\x80\x81\x81", u"", "overlong four-byte form"},
        {"\xED\xA0\x80", u"", "encoded surrogate"},
        {"\xF4\x90\x80\x80", u"", "above U+10FFFF"},
        {"\xE2\x82", u"", "cut sequence"},
        {"x\xFFy", u"xy", "invalid byte"},
    };
    for (const auto& row : invalid)
        EXPECT_EQ(row.out, Utf8ToUtf16(row.in.data(), row.in.size())) << row.comment;
    const struct {
        std::u16string in;
        std::string out;
        const char* comment;
    } unpaired[] = {
        {{0x41, 0xD83D}, "A", "high surrogate at the end"},
        {{0xDE00, 0x42}, "B", "low surrogate alone"},
        {{0xD83D, 0x43}, "C", "high surrogate before a letter"},
        {{0xDE00, 0xD83D}, "", "pair in the wrong order"},
    };
    for (const auto& row : unpaired)
        EXPECT_EQ(row.out, Utf16ToUtf8(row.in.data(), row.in.size())) << row.comment;
}

struct TrimGuard {
    bool saved = CXmlDataServerSettings::m_bTrimStrings;
    explicit TrimGuard(bool trim) { CXmlDataServerSettings::m_bTrimStrings = trim; }
    ~TrimGuard() { CXmlDataServerSettings::m_bTrimStrings = saved; }
};

std::string Field(const char* f, size_t n)
{
    return std::string(f, n);
}

TEST(XmlValueConvTest, ReadEightBitStrings)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r a=' \xE2\x82\xAC x '><t> \xE2\x82\xAC x\n</t><k><!--c-->text</k><e/>"
                                "<d><![CDATA[cd]]></d><w>a\xE4\xB8\xAD" "b</w><u>a\xC3\xA9\xE2\x82\xAC</u></r>",
                                pugi::parse_default | pugi::parse_comments));
    pugi::xml_node r = doc.child("r");
    const pugi::xpath_node attr(r.attribute("a"), r);
    const struct {
        pugi::xpath_node pos;
        bool trim, utf8;
        size_t size;
        HRESULT hr;
        std::string field;
        const char* comment;
    } rows[] = {
        {attr, true, false, 8, 0, std::string(" \x80 x \0\0\0", 8), "attribute keeps blanks when trimming"},
        {pugi::xpath_node(r.child("t")), true, false, 8, 0, std::string("\x80 x\0\0\0\0\0", 8), "trimmed"},
        {pugi::xpath_node(r.child("t")), false, false, 8, 0, std::string(" \x80 x\n\0\0\0", 8), "untrimmed"},
        {pugi::xpath_node(r.child("k")), false, false, 4, kXmlErrNoValue, "\xAA\xAA\xAA\xAA", "comment first"},
        {pugi::xpath_node(r.child("e")), false, false, 4, 0, std::string(4, '\0'), "no children"},
        {pugi::xpath_node(), false, false, 4, 0, std::string(4, '\0'), "no node"},
        {pugi::xpath_node(r.child("d")), false, false, 4, 0, std::string("cd\0\0", 4), "CDATA"},
        {pugi::xpath_node(r.child("d")), false, false, 2, 0, std::string("c\0", 2), "ASCII cut"},
        {pugi::xpath_node(r.child("u")), false, false, 2, 0, std::string("a\0", 2), "cut before a non-ASCII byte"},
        {pugi::xpath_node(r.child("w")), false, false, 4, 0, std::string("ab\0\0", 4), "CJK dropped"},
        {pugi::xpath_node(r.child("t")), true, false, 3, 0, std::string("\x80 \0", 3), "cut, 0 kept at the end"},
        {pugi::xpath_node(r.child("u")), false, true, 7, 0, std::string("a\xC3\xA9\xE2\x82\xAC", 7), "UTF-8 bytes"},
        {pugi::xpath_node(r.child("u")), false, true, 4, 0, std::string("a\xC3\xA9\0", 4), "cut at a character"},
        {pugi::xpath_node(r.child("u")), false, true, 3, 0, std::string("a\0\0", 3), "never half a character"},
    };
    for (const auto& row : rows) {
        TrimGuard trim(row.trim);
        std::vector<char> field(row.size, '\xAA');
        EXPECT_EQ(row.hr, XMLGetStringImpl(row.pos, field.data(), field.size(), row.utf8)) << row.comment;
        EXPECT_EQ(row.field, Field(field.data(), field.size())) << row.comment;
        if (!row.pos.attribute()) {
            std::vector<char> viaNode(row.size, '\xAA');
            EXPECT_EQ(row.hr, XMLGetStringImpl(row.pos.node(), viaNode.data(), viaNode.size(), row.utf8))
                << row.comment;
            EXPECT_EQ(row.field, Field(viaNode.data(), viaNode.size())) << row.comment;
        }
    }
    char one = 'x';
    EXPECT_EQ(kXmlErrFailed, XMLGetStringImpl(attr, &one, 0, false));
    EXPECT_EQ(kXmlErrFailed, XMLGetStringImpl(attr, static_cast<char*>(nullptr), 4, false));
}

TEST(XmlValueConvTest, ReadSixteenBitStrings)
{
    TextDoc d("A\xF0\x9F\x98\x80\xFF" "B");
    // Offset 1: a field inside a PLC image need not be aligned.
    const struct {
        size_t size;
        std::vector<uint8_t> bytes;
        const char* comment;
    } rows[] = {
        {12, {0x41, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x42, 0, 0, 0, 0, 0}, "pair, invalid byte skipped"},
        {8, {0x41, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}, "exactly filled, last unit 0"},
        {6, {0x41, 0, 0, 0, 0, 0}, "pair not split"},
        {1, {0}, "no room for a unit"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> image(row.size + 1, 0xAA);
        char16_t* field = reinterpret_cast<char16_t*>(image.data() + 1);
        EXPECT_EQ(0, XMLGetStringImpl(d.elem, field, row.size)) << row.comment;
        EXPECT_EQ(row.bytes, std::vector<uint8_t>(image.begin() + 1, image.end())) << row.comment;
        EXPECT_EQ(0xAA, image[0]) << row.comment;
    }
}

TEST(XmlValueConvTest, WriteEightBitStrings)
{
    const struct {
        std::string field;
        bool utf8;
        std::string text;
        const char* comment;
    } rows[] = {
        {std::string("\x80\0", 2), false, "\xE2\x82\xAC", "euro sign"},
        {"abc", false, "abc", "no 0: the whole field"},
        {std::string("ab\0cd", 5), false, "ab", "up to the first 0"},
        {std::string("\x81\x8D\x8F\x90\x9D", 5), false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
         "unassigned bytes"},
        {"\xC3\xA9\xE2\x82\xAC", true, "\xC3\xA9\xE2\x82\xAC", "UTF-8 byte for byte"},
        {"a\xFF" "b", true, "a\xEF\xBF\xBD" "b", "invalid UTF-8 replaced"},
    };
    pugi::xml_document doc;
    pugi::xml_node e = doc.append_child("v");
    e.append_attribute("a");
    for (const auto& row : rows) {
        for (const pugi::xpath_node& pos : {pugi::xpath_node(e.attribute("a"), e), pugi::xpath_node(e)}) {
            EXPECT_EQ(0, XMLSetString(pos, row.field.data(), row.field.size(), row.utf8)) << row.comment;
            EXPECT_EQ(row.text, XMLGetText(pos)) << row.comment;
        }
    }
    EXPECT_EQ(kXmlErrFailed, XMLSetString(pugi::xpath_node(e), static_cast<const char*>(nullptr), 4, false));
    EXPECT_EQ(kXmlErrFailed, XMLSetString(pugi::xpath_node(), "x", 1, false));
}

TEST(XmlValueConvTest, EightBitStringsRoundTrip)
{
    // Every byte the code page assigns survives writing and reading back.
    std::string field;
    for (unsigned b = 1; b <= 0xFF; ++b)
        if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D)
            field += static_cast<char>(b);
    field += '\0';
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    TrimGuard trim(false);
    for (bool utf8 : {false, true}) {
        const std::string source = utf8 ? Windows1252ToUtf8(field.data(), field.size()) : field;
        ASSERT_EQ(0, XMLSetString(pos, source.data(), source.size(), utf8));
        std::vector<char> back(source.size(), '\xAA');
        ASSERT_EQ(0, XMLGetStringImpl(pos, back.data(), back.size(), utf8));
        EXPECT_EQ(source, Field(back.data(), back.size())) << (utf8 ? "UTF-8" : "Windows-1252");
    }
}

TEST(XmlValueConvTest, WriteSixteenBitStrings)
{
    const struct {
        std::vector<uint8_t> bytes;
        std::string text;
        const char* comment;
    } rows[] = {
        {{0x41, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x42, 0}, "A\xF0\x9F\x98\x80" "B", "pair, no 0 unit: up to the end"},
        {{0x41, 0, 0, 0, 0x42, 0}, "A", "up to the first 0 unit"},
        {{0x3D, 0xD8, 0x43, 0, 0x00, 0xDE}, "C", "unpaired surrogates dropped"},
        {{0xAC, 0x20, 0x44}, "\xE2\x82\xAC", "odd trailing byte ignored"},
    };
    pugi::xml_document doc;
    pugi::xpath_node pos(doc.append_child("v"));
    for (const auto& row : rows) {
        std::vector<uint8_t> image(row.bytes.size() + 1);
        std::memcpy(image.data() + 1, row.bytes.data(), row.bytes.size());
        const char16_t* field = reinterpret_cast<const char16_t*>(image.data() + 1);
        EXPECT_EQ(0, XMLSetString(pos, field, row.bytes.size())) << row.comment;
        EXPECT_EQ(row.text, XMLGetText(pos)) << row.comment;
    }
    EXPECT_EQ(kXmlErrFailed, XMLSetString(pos, static_cast<const char16_t*>(nullptr), 4));
}

}  // namespace
