#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "XmlDataServerList.h"
#include "XmlJobPayload.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void U16(Bytes& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void U32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void Text(Bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}
void Addr(Bytes& b)
{
    const uint8_t a[8] = {1, 2, 3, 4, 5, 6, 0x53, 0x03};
    b.insert(b.end(), a, a + 8);
}

// Job 1148/1149 with declared lengths that may differ from the texts.
Bytes OpenRw(const std::string& f, const std::string& s, const std::string& p, int da = 0, int db = 0, int dc = 0)
{
    Bytes b;
    Addr(b);
    U32(b, 5000);
    U16(b, 0x0003);
    U16(b, uint16_t(f.size() + da));
    U16(b, uint16_t(s.size() + db));
    U16(b, uint16_t(p.size() + dc));
    Text(b, f);
    Text(b, s);
    Text(b, p);
    return b;
}

HRESULT Decode(uint32_t msg, const Bytes& b, XmlJobPayload& job)
{
    return XmlDecodeJobPayload(msg, b.data(), uint32_t(b.size()), job);
}

TEST(XmlJobPayload, OpenForWritingFields)
{
    Bytes b = OpenRw("a.xml", "MAIN.x", "/dataentry/MAIN.x");
    XmlJobPayload job;
    ASSERT_EQ(S_OK, Decode(XMLJOB_OPENWRITE, b, job));
    EXPECT_EQ(0x0353, job.plc.port);
    EXPECT_EQ(6, job.plc.netId.b[5]);
    EXPECT_EQ(5000u, job.nTimeout);
    EXPECT_EQ(3, job.nMode);
    EXPECT_STREQ("a.xml", job.sFile);
    EXPECT_STREQ("MAIN.x", job.sSymbol);
    EXPECT_STREQ("/dataentry/MAIN.x", job.sXmlPath);
}

TEST(XmlJobPayload, LengthSumAndTextChecks)
{
    struct Row {
        Bytes payload;
        HRESULT expected;
        const char* what;
    };
    Bytes extra = OpenRw("a", "b", "c");
    extra.push_back(0);
    Bytes nulInside = OpenRw("ab", "b", "c");
    nulInside[21] = 0; // "a\0" where two characters were declared
    std::vector<Row> rows = {
        {OpenRw("a", "b", "c"), S_OK, "well formed"},
        {OpenRw("", "", ""), S_OK, "three empty texts"},
        {extra, (HRESULT)0x98110705, "one byte more than declared"},
        {OpenRw("ab", "b", "c", +1, -1, 0), (HRESULT)0x9811070B, "lengths shifted between texts"},
        {nulInside, (HRESULT)0x9811070B, "NUL inside a text"},
        {Bytes(19, 0), (HRESULT)0x98110705, "shorter than the fixed fields"},
        {Bytes(), (HRESULT)0x98110705, "nothing at all"},
    };
    for (const Row& r : rows) {
        XmlJobPayload job;
        EXPECT_EQ(r.expected, Decode(XMLJOB_OPENREAD, r.payload, job)) << r.what;
    }
}

TEST(XmlJobPayload, WriteSymbolDataLengthCannotWrap)
{
    Bytes b;
    U32(b, 0xFFFFFFF0u); // data length that would wrap a 32-bit sum back onto the payload size
    U16(b, 0);
    U16(b, 1);
    U16(b, 1);
    U16(b, 0);
    b.push_back(0);
    Text(b, "s");
    Text(b, "p");
    b.resize(b.size() + 4, 0xAA);
    XmlJobPayload job;
    EXPECT_EQ((HRESULT)0x98110705, Decode(XMLJOB_WRITESYMBOL, b, job));

    Bytes ok;
    U32(ok, 4);
    U16(ok, 0x10);
    U16(ok, 1);
    U16(ok, 1);
    U16(ok, 2);
    ok.push_back(1);
    Text(ok, "s");
    Text(ok, "p");
    U32(ok, 0x11223344);
    ASSERT_EQ(S_OK, Decode(XMLJOB_WRITESYMBOL, ok, job));
    EXPECT_EQ(4u, job.cbData);
    EXPECT_EQ(2, job.nSequence);
    EXPECT_TRUE(job.bAllowPartial);
    EXPECT_EQ(0x44, job.pData[0]);
    EXPECT_EQ(ok.data() + ok.size() - 4, job.pData);
}

TEST(XmlJobPayload, ReadSymbolOpenAndClarify)
{
    Bytes rs;
    U16(rs, 4);
    U16(rs, 3);
    U16(rs, 2);
    U16(rs, 7);
    rs.push_back(0);
    Text(rs, "abc");
    Text(rs, "/x");
    XmlJobPayload job;
    ASSERT_EQ(S_OK, Decode(XMLJOB_READSYMBOL, rs, job));
    EXPECT_STREQ("abc", job.sSymbol);
    EXPECT_STREQ("/x", job.sXmlPath);
    EXPECT_EQ(7, job.nSequence);
    EXPECT_FALSE(job.bAllowPartial);

    Bytes open;
    Addr(open);
    U32(open, 0xFFFFFFFFu);
    U16(open, 5);
    Text(open, "f.xml");
    ASSERT_EQ(S_OK, Decode(XMLJOB_OPEN, open, job));
    EXPECT_STREQ("f.xml", job.sFile);
    EXPECT_EQ(0xFFFFFFFFu, job.nTimeout);
    open.pop_back();
    EXPECT_EQ((HRESULT)0x98110705, Decode(XMLJOB_OPEN, open, job));

    Bytes cl;
    Addr(cl);
    U32(cl, 100);
    U16(cl, 1);
    U16(cl, 1);
    Text(cl, "s");
    Text(cl, "d");
    ASSERT_EQ(S_OK, Decode(XMLJOB_CLARIFY, cl, job));
    EXPECT_STREQ("s", job.sFile);
    EXPECT_STREQ("d", job.sDst);
    cl[16] = 0;
    EXPECT_EQ((HRESULT)0x9811070B, Decode(XMLJOB_CLARIFY, cl, job));
}

} // namespace
