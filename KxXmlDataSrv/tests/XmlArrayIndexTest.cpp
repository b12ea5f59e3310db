// Index attributes of array element nodes, subscript arithmetic and array node creation.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "XmlDataServer.h"

namespace {

class CTestServer : public CXmlDataServer {
public:
    void SetLcId(bool on) { m_bLcId = on; }
};

using Dims = std::vector<FexDatatypeArrayInfo>;

std::string Join(const std::vector<int32_t>& s)
{
    std::string out;
    for (size_t k = 0; k < s.size(); ++k)
        out += (k ? "," : "") + std::to_string(s[k]);
    return out;
}

TEST(XmlArrayIndexTest, IndexTextsOfOneToFourDimensions)
{
    const struct {
        const char* text;
        int dims;
        bool ok;
        std::vector<int32_t> subscripts;
        const char* comment;
    } rows[] = {
        {"3", 1, true, {3}, "one dimension"},
        {"-2", 1, true, {-2}, "negative"},
        {"+5", 1, true, {5}, "plus sign"},
        {" 3", 1, true, {3}, "blank before the number"},
        {"3 \t\n", 1, true, {3}, "blanks after the last number"},
        {"3x", 1, false, {}, "letter after the number"},
        {"3 4", 1, false, {}, "second number"},
        {"3,", 1, false, {}, "comma after the last number"},
        {"", 1, false, {}, "empty"},
        {"x", 1, false, {}, "no number"},
        {"0x10", 1, false, {}, "hexadecimal"},
        {"2147483647", 1, true, {2147483647}, "largest subscript"},
        {"-2147483648", 1, true, {INT32_MIN}, "smallest subscript"},
        {"2147483648", 1, false, {}, "subscript overflow"},
        {"2,1", 2, true, {2, 1}, "two dimensions"},
        {"2, 1", 2, true, {2, 1}, "blank after the comma"},
        {"2 ,1", 2, false, {}, "blank before the comma"},
        {"2;1", 2, false, {}, "other separator"},
        {"2", 2, false, {}, "too few numbers"},
        {"2,1,0", 2, false, {}, "too many numbers"},
        {"1,-2,3", 3, true, {1, -2, 3}, "three dimensions"},
        {" 1, 2, 3 ", 3, true, {1, 2, 3}, "blanks around every number"},
        {"1,2 ,3", 3, false, {}, "blank before the second comma"},
        {"0,0,0,9", 4, true, {0, 0, 0, 9}, "four dimensions"},
        {"0,0,0,9a", 4, false, {}, "trailing letter after four"},
        {"1", 5, false, {}, "five dimensions"},
        {"1", 0, false, {}, "no dimension"},
    };
    CTestServer server;
    pugi::xml_document doc;
    pugi::xml_node e = doc.append_child("a");
    pugi::xml_attribute index = e.append_attribute("index");
    for (const auto& row : rows) {
        index.set_value(row.text);
        std::vector<int32_t> got(4, 77);
        EXPECT_EQ(row.ok ? S_OK : kXmlErrNoValue, server.ReadIndexAttribute(e, got.data(), row.dims)) << row.comment;
        std::vector<int32_t> expected = row.subscripts;
        if (!row.ok)
            expected.clear();
        expected.resize(4, 77);
        EXPECT_EQ(expected, got) << row.comment << ": subscripts only written on success";
    }
}

TEST(XmlArrayIndexTest, WrittenTextsReadBack)
{
    CTestServer server;
    pugi::xml_document doc;
    pugi::xml_node e = doc.append_child("a");
    const std::vector<std::vector<int32_t>> cases = {{7}, {-3, 0}, {INT32_MIN, INT32_MAX, 1}, {1, 2, 3, 4}};
    for (const auto& s : cases) {
        const int d = static_cast<int>(s.size());
        ASSERT_EQ(S_OK, CXmlDataServer::WriteIndexAttribute(e, s.data(), d));
        EXPECT_EQ(Join(s), e.attribute("index").value()) << "decimal, commas without blanks";
        std::vector<int32_t> back(s.size());
        EXPECT_EQ(S_OK, server.ReadIndexAttribute(e, back.data(), d));
        EXPECT_EQ(s, back);
    }
    EXPECT_EQ(e.first_attribute(), e.last_attribute()) << "the existing attribute is reused";
    const int32_t one[1] = {1};
    EXPECT_EQ(kXmlErrGeneral, CXmlDataServer::WriteIndexAttribute(e, one, 0));
    EXPECT_EQ(kXmlErrGeneral, CXmlDataServer::WriteIndexAttribute(e, one, 5));
    EXPECT_EQ(kXmlErrNoValue, CXmlDataServer::WriteIndexAttribute(pugi::xml_node(), one, 1));
    for (pugi::xml_node_type kind : {pugi::node_pcdata, pugi::node_comment}) {
        pugi::xml_node other = e.append_child(kind);
        EXPECT_EQ(S_OK, CXmlDataServer::WriteIndexAttribute(other, one, 1)) << "no attribute, nothing written";
        EXPECT_FALSE(other.first_attribute());
    }
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    EXPECT_EQ("<a index=\"1,2,3,4\"><!----></a>", out.str());
}

TEST(XmlArrayIndexTest, IndexAndLcIdAttributes)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<r><both LcId='9' index='4'/><lcid LcId='9'/><none x='1'/><bare/>"
                                "<twice index='1' index2='x' INDEX='3'/></r>"));
    pugi::xml_node r = doc.child("r");
    const struct {
        const char* node;
        bool lcid;
        HRESULT hr;
        const char* text;
    } rows[] = {
        {"both", false, S_OK, "4"}, {"both", true, S_OK, "4"},      {"lcid", false, kXmlErrNoValue, nullptr},
        {"lcid", true, S_OK, ""},   {"none", true, kXmlErrNoValue, nullptr}, {"bare", true, kXmlErrNoValue, nullptr},
        {"twice", false, S_OK, "1"}, {"missing", true, kXmlErrNoValue, nullptr},
    };
    for (const auto& row : rows) {
        CTestServer server;
        server.SetLcId(row.lcid);
        const char* text = nullptr;
        EXPECT_EQ(row.hr, server.GetIndexAttribute(r.child(row.node), text)) << row.node << " lcid " << row.lcid;
        if (row.text) {
            EXPECT_STREQ(row.text, text) << row.node;
        }
        // An LcId marks the element as indexed, yet never yields subscripts.
        int32_t s = 55;
        const HRESULT read = server.ReadIndexAttribute(r.child(row.node), &s, 1);
        EXPECT_EQ(row.text && *row.text ? S_OK : kXmlErrNoValue, read) << row.node;
    }
}

TEST(XmlArrayIndexTest, IndexAndElementAreInverseOverWholeArrays)
{
    const std::vector<Dims> arrays = {
        {{1, 3}}, {{-2, 5}}, {{1, 2}, {0, 3}}, {{-1, 2}, {5, 1}, {0, 3}}, {{0, 2}, {-3, 3}, {1, 2}, {10, 2}},
    };
    for (const Dims& info : arrays) {
        const int d = static_cast<int>(info.size());
        uint64_t n = 1;
        for (const auto& dim : info)
            n *= dim.elements;
        std::vector<int32_t> previous;
        for (uint64_t linear = 0; linear < n; ++linear) {
            std::vector<int32_t> s(info.size());
            CXmlDataServer::CalculateArrayIndex(info.data(), d, linear, s.data());
            for (int k = 0; k < d; ++k) {
                EXPECT_GE(s[k], info[k].lowerBound);
                EXPECT_LT(s[k], info[k].lowerBound + static_cast<int32_t>(info[k].elements));
            }
            if (!previous.empty()) {
                EXPECT_LT(previous, s) << "ascending, first dimension most significant";
            }
            uint64_t back = n + 1;
            EXPECT_TRUE(CXmlDataServer::CalculateArrayElement(info.data(), d, s.data(), back));
            EXPECT_EQ(linear, back) << Join(s);
            EXPECT_EQ(0, CXmlDataServer::CheckArrayIndex(s.data(), info.data(), d, linear));
            if (linear > 0) {
                EXPECT_EQ(1, CXmlDataServer::CheckArrayIndex(s.data(), info.data(), d, linear - 1));
            }
            if (linear + 1 < n) {
                EXPECT_EQ(-1, CXmlDataServer::CheckArrayIndex(s.data(), info.data(), d, linear + 1));
            }
            previous = s;
        }
    }
}

TEST(XmlArrayIndexTest, SubscriptArithmeticCases)
{
    const Dims a2x3 = {{1, 2}, {0, 3}};
    int32_t s[2];
    CXmlDataServer::CalculateArrayIndex(a2x3.data(), 2, 4, s);
    EXPECT_EQ(2, s[0]);
    EXPECT_EQ(1, s[1]);
    const int32_t before[2] = {1, 2};
    EXPECT_EQ(-1, CXmlDataServer::CheckArrayIndex(before, a2x3.data(), 2, 3)) << "the first dimension decides";

    const struct {
        std::vector<int32_t> subscripts;
        bool inside;
        uint64_t linear;
        const char* comment;
    } rows[] = {
        {{2, 1}, true, 4, "inside"},
        {{1, 5}, false, 0, "second subscript beyond its dimension must not alias element 5"},
        {{0, 0}, false, 0, "below the lower bound"},
        {{3, 0}, false, 0, "beyond the last row"},
        {{INT32_MIN, INT32_MAX}, false, 0, "extreme subscripts"},
    };
    for (const auto& row : rows) {
        uint64_t linear = 12345;
        EXPECT_EQ(row.inside, CXmlDataServer::CalculateArrayElement(a2x3.data(), 2, row.subscripts.data(), linear))
            << row.comment;
        EXPECT_EQ(row.inside ? row.linear : 12345u, linear) << row.comment;
    }
    uint64_t linear = 9;
    EXPECT_TRUE(CXmlDataServer::CalculateArrayElement(a2x3.data(), 0, s, linear));
    EXPECT_EQ(0u, linear);

    const Dims empty = {{4, 0}};
    CXmlDataServer::CalculateArrayIndex(empty.data(), 1, 3, s);
    EXPECT_EQ(4, s[0]) << "an empty dimension does not divide by zero";
    EXPECT_FALSE(CXmlDataServer::CalculateArrayElement(empty.data(), 1, s, linear));
}

TEST(XmlArrayIndexTest, ArrayNodes)
{
    pugi::xml_document doc;
    pugi::xml_node parent = doc.append_child("p");
    const Dims a13 = {{1, 3}};
    const Dims neg = {{-2, 5}};
    const Dims a2x3 = {{1, 2}, {0, 3}};
    pugi::xml_node n3 = CXmlDataServer::AddArrayNode(parent, "v", a13.data(), 1, 2);
    pugi::xml_node n1 = CXmlDataServer::AddArrayNodeBefore(parent, n3, "v", a13.data(), 1, 0);
    pugi::xml_node n2 = CXmlDataServer::AddArrayNodeBefore(parent, n3, "v", a13.data(), 1, 1);
    ASSERT_TRUE(n1 && n2 && n3);
    ASSERT_TRUE(CXmlDataServer::AddArrayNode(parent, "w", neg.data(), 1, 0));
    ASSERT_TRUE(CXmlDataServer::AddArrayNode(parent, "x", a2x3.data(), 2, 4));
    std::string shape;
    for (pugi::xml_node c : parent.children())
        shape += std::string(c.name()) + "[" + c.attribute("index").value() + "]";
    EXPECT_EQ("v[1]v[2]v[3]w[-2]x[2,1]", shape);

    pugi::xml_document other;
    pugi::xml_node stranger = other.append_child("s");
    const size_t before = static_cast<size_t>(std::distance(parent.begin(), parent.end()));
    EXPECT_FALSE(CXmlDataServer::AddArrayNode(parent, "v", a13.data(), 0, 0)) << "no dimension";
    EXPECT_FALSE(CXmlDataServer::AddArrayNode(parent, "v", a13.data(), 5, 0)) << "five dimensions";
    EXPECT_FALSE(CXmlDataServer::AddArrayNode(pugi::xml_node(), "v", a13.data(), 1, 0)) << "no parent";
    EXPECT_FALSE(CXmlDataServer::AddArrayNode(parent, nullptr, a13.data(), 1, 0)) << "no name";
    EXPECT_FALSE(CXmlDataServer::AddArrayNodeBefore(parent, pugi::xml_node(), "v", a13.data(), 1, 0)) << "no sibling";
    EXPECT_FALSE(CXmlDataServer::AddArrayNodeBefore(parent, stranger, "v", a13.data(), 1, 0)) << "foreign sibling";
    EXPECT_EQ(before, static_cast<size_t>(std::distance(parent.begin(), parent.end()))) << "nothing left behind";
}

TEST(XmlArrayIndexTest, NodeBeforeAndTextAttribute)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<?xml version='1.0'?><p a='1'><s/><!--c--></p>",
                                pugi::parse_default | pugi::parse_declaration | pugi::parse_comments));
    pugi::xml_node p = doc.child("p");
    pugi::xml_node s = p.child("s");
    pugi::xml_node made;
    EXPECT_EQ(S_OK, CXmlDataServer::XMLAddNodeBefore(pugi::xpath_node(p), s, "n", made));
    EXPECT_EQ(made, p.first_child());
    EXPECT_STREQ("n", made.name());

    const struct {
        pugi::xpath_node position;
        pugi::xml_node sibling;
        const char* name;
        const char* comment;
    } refused[] = {
        {pugi::xpath_node(p.attribute("a"), p), s, "n", "attribute position"},
        {pugi::xpath_node(), s, "n", "no position"},
        {pugi::xpath_node(p.last_child()), s, "n", "comment position"},
        {pugi::xpath_node(p), pugi::xml_node(), "n", "no sibling"},
        {pugi::xpath_node(p), s, nullptr, "no name"},
        {pugi::xpath_node(s), p, "n", "sibling not a child of the position"},
    };
    for (const auto& row : refused) {
        made = p;
        EXPECT_EQ(kXmlErrCreateNode, CXmlDataServer::XMLAddNodeBefore(row.position, row.sibling, row.name, made))
            << row.comment;
        EXPECT_FALSE(made) << row.comment;
    }

    pugi::xml_attribute added = CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(p), "a", "2");
    ASSERT_TRUE(added);
    EXPECT_EQ(added, p.last_attribute()) << "appended even when the name exists";
    EXPECT_STREQ("2", added.value());
    EXPECT_TRUE(CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(doc.first_child()), "encoding", "utf-8"))
        << "declarations carry attributes";
    EXPECT_FALSE(CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(p.attribute("a"), p), "b", "1"));
    EXPECT_FALSE(CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(p.last_child()), "b", "1"));
    EXPECT_FALSE(CXmlDataServer::XMLAddTextAttribute(pugi::xpath_node(), "b", "1"));
}

}  // namespace
