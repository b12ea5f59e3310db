#include <gtest/gtest.h>

#include "Hop.h"
#include "KxBstr.h"

namespace {

struct NetIdCase {
    const char* text;
    uint8_t expected[6];
};

// The bytes are the low 8 bits of each number; anything but six numbers leaves zero.
const NetIdCase kCases[] = {
    {"5.23.11.4.1.1", {5, 23, 11, 4, 1, 1}},
    {"300.1.1.1.1.1", {44, 1, 1, 1, 1, 1}},
    {"-1.0.0.0.1.1", {255, 0, 0, 0, 1, 1}},
    {"1.2.3.4.5", {0, 0, 0, 0, 0, 0}},
    {"", {0, 0, 0, 0, 0, 0}},
    {"1.2.3.4.5.6:851", {1, 2, 3, 4, 5, 6}},
    {"a.b.c.d.e.f", {0, 0, 0, 0, 0, 0}},
};

TEST(HopNetId, BstrToNetIdTable)
{
    for (const NetIdCase& c : kCases) {
        CKxBstr text(c.text);
        HopNetId id;
        id.b[0] = 0xAA; // must be cleared
        BstrToNetId(text.ref(), id);
        EXPECT_EQ(0, std::memcmp(id.b, c.expected, 6)) << c.text;
    }
}

TEST(HopNetId, NullAndZeroLengthStringsGiveZero)
{
    HopNetId id;
    id.b[3] = 7;
    BSTR none = nullptr;
    BstrToNetId(none, id);
    EXPECT_TRUE(id.IsZero());

    // A count of 0 wins over the characters behind it.
    BSTR s = KxSysAllocString("1.2.3.4.5.6");
    uint32_t zero = 0;
    std::memcpy(s - 4, &zero, 4);
    BstrToNetId(s, id);
    EXPECT_TRUE(id.IsZero());
    KxSysFreeString(s);
}

TEST(HopNetId, TextForm)
{
    HopNetId id;
    ASSERT_TRUE(TextToNetId("192.168.200.4.1.1", id));
    EXPECT_EQ("192.168.200.4.1.1", id.ToString());
    EXPECT_EQ("192.168.200.4.1.1:851", HopAddr(id, 851).ToString());
}

TEST(HopAddr, LayoutEqualityAndKey)
{
    HopAddr a, b;
    EXPECT_EQ(a, b);
    EXPECT_EQ(0u, a.Key());
    ASSERT_TRUE(TextToNetId("1.2.3.4.5.6", a.netId));
    a.port = 0x0353;
    const uint8_t wire[8] = {1, 2, 3, 4, 5, 6, 0x53, 0x03};
    EXPECT_EQ(0, std::memcmp(&a, wire, 8));
    EXPECT_EQ(0x0353060504030201ull, a.Key());
    EXPECT_NE(a, b);
    EXPECT_TRUE(b < a);
}

TEST(KxBstr, CountPrecedesTextAndNulFollows)
{
    BSTR s = KxSysAllocStringLen("abc\0def", 7);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(7u, KxSysStringLen(s));
    EXPECT_EQ('\0', s[7]);
    EXPECT_EQ(0, std::memcmp(s, "abc\0def", 7));
    KxSysFreeString(s);
    KxSysFreeString(nullptr);
    EXPECT_EQ(0u, KxSysStringLen(nullptr));
}

} // namespace
