// The link's frame decoder and encoder, against bytes written out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "KxFrame.h"

using namespace kxrouter;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Length field, then a header with the given command, flags and error; addresses 1.2.3.4.5.6:851 and
// 7.8.9.10.11.12:30000, invoke id 0x12345678.
Bytes Frame(uint16_t cmd, uint16_t flags, uint32_t error, const Bytes& body)
{
    Bytes hdr = {uint8_t(cmd), uint8_t(cmd >> 8), uint8_t(flags), uint8_t(flags >> 8), 0x78, 0x56, 0x34, 0x12};
    Bytes err = Le32(error);
    Bytes addrs = {1, 2, 3, 4, 5, 6, 0x53, 0x03, 7, 8, 9, 10, 11, 12, 0x30, 0x75};
    return Cat({Le32(static_cast<uint32_t>(28 + body.size())), hdr, err, addrs, body});
}

TEST(RouterFrameTest, DecodesAHandWrittenReadRequestAndEncodesItBackByteForByte)
{
    Bytes bytes = Frame(CMD_READ, 0, 0, Cat({Le32(0x4020), Le32(17), Le32(256)}));
    FrameHeader h;
    FrameBody b;
    FrameResult r = DecodeFrame(bytes.data(), bytes.size(), h, b);
    ASSERT_EQ(FrameStatus::Ok, r.status) << r.description;
    EXPECT_EQ(bytes.size(), r.consumed);
    EXPECT_EQ(CMD_READ, h.cmd);
    EXPECT_FALSE(h.IsResponse());
    EXPECT_EQ(0x12345678u, h.invokeId);
    const uint8_t t[6] = {1, 2, 3, 4, 5, 6}, s[6] = {7, 8, 9, 10, 11, 12};
    EXPECT_EQ(0, std::memcmp(h.target.netId.b, t, 6));
    EXPECT_EQ(851, h.target.port);
    EXPECT_EQ(0, std::memcmp(h.source.netId.b, s, 6));
    EXPECT_EQ(30000, h.source.port);
    EXPECT_EQ(0x4020u, b.group);
    EXPECT_EQ(17u, b.offset);
    EXPECT_EQ(256u, b.readLength);

    Bytes again;
    EncodeFrame(h, bytes.data() + 32, bytes.size() - 32, again);
    EXPECT_EQ(bytes, again);
}

TEST(RouterFrameTest, BodyLayoutsPerCommand)
{
    struct Row {
        const char* what;
        uint16_t cmd;
        uint16_t flags;
        uint32_t error;
        Bytes body;
        FrameStatus status;
    } rows[] = {
        {"write", CMD_WRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(3), {9, 9, 9}}), FrameStatus::Ok},
        {"write, data shorter than its length", CMD_WRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(4), {9, 9, 9}}),
         FrameStatus::BadBody},
        {"write, data longer than its length", CMD_WRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(2), {9, 9, 9}}),
         FrameStatus::BadBody},
        {"write, length near 4 GiB", CMD_WRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(0xFFFFFFFFu)}),
         FrameStatus::BadBody},
        {"read, 11 bytes", CMD_READ, 0, 0, Bytes(11, 0), FrameStatus::BadBody},
        {"readwrite", CMD_READWRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(8), Le32(2), {'a', 0}}), FrameStatus::Ok},
        {"readwrite, no write length", CMD_READWRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(8)}), FrameStatus::BadBody},
        {"writecontrol", CMD_WRITECONTROL, 0, 0, Cat({{5, 0, 3, 0}, Le32(1), {7}}), FrameStatus::Ok},
        {"readstate with a body", CMD_READSTATE, 0, 0, {0}, FrameStatus::BadBody},
        {"readdeviceinfo", CMD_READDEVICEINFO, 0, 0, {}, FrameStatus::Ok},
        {"add notification", CMD_ADDNOTIFICATION, 0, 0, Bytes(24, 1), FrameStatus::Ok},
        {"add notification, 23 bytes", CMD_ADDNOTIFICATION, 0, 0, Bytes(23, 1), FrameStatus::BadBody},
        {"del notification", CMD_DELNOTIFICATION, 0, 0, Le32(7), FrameStatus::Ok},
        {"notification", CMD_NOTIFICATION, 0, 0, Cat({Le32(2), {1, 2}}), FrameStatus::Ok},
        {"hello with a body", CMD_HELLO, 0, 0, {1}, FrameStatus::BadBody},
        {"register", CMD_REGISTER, 0, 0, {}, FrameStatus::Ok},
        {"unknown request", 0x55, 0, 0, {}, FrameStatus::BadCommand},
        {"command 0", 0, 0, 0, {}, FrameStatus::BadCommand},
        {"command 0x103", 0x103, 0, 0, {}, FrameStatus::BadCommand},
        // responses
        {"read answer", CMD_READ, 1, 0, Cat({Le32(2), {4, 5}}), FrameStatus::Ok},
        {"read answer without body", CMD_READ, 1, 0, {}, FrameStatus::BadBody},
        {"read error answer without body", CMD_READ, 1, 0x710, {}, FrameStatus::Ok},
        {"read error answer with a bad body", CMD_READ, 1, 0x710, {1}, FrameStatus::BadBody},
        {"write answer with a body", CMD_WRITE, 1, 0, {0}, FrameStatus::BadBody},
        {"readstate answer", CMD_READSTATE, 1, 0, {5, 0, 0, 0}, FrameStatus::Ok},
        {"deviceinfo answer", CMD_READDEVICEINFO, 1, 0, {3, 2, 38, 0, 2, 0, 'h', 'i'}, FrameStatus::Ok},
        {"deviceinfo answer, name cut", CMD_READDEVICEINFO, 1, 0, {3, 2, 38, 0, 3, 0, 'h', 'i'},
         FrameStatus::BadBody},
        {"add notification answer", CMD_ADDNOTIFICATION, 1, 0, Le32(9), FrameStatus::Ok},
        {"unknown command, bare error answer", 0x55, 1, FEXERR_SRVNOTSUPP, {}, FrameStatus::Ok},
        {"unknown command, success answer", 0x55, 1, 0, {}, FrameStatus::BadCommand},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes bytes = Frame(row.cmd, row.flags, row.error, row.body);
        FrameHeader h;
        FrameBody b;
        FrameResult r = DecodeFrame(bytes.data(), bytes.size(), h, b);
        EXPECT_EQ(row.status, r.status) << FrameStatusName(r.status) << ": " << r.description;
        EXPECT_TRUE(r.headerValid) << "a complete frame always yields its header";
        EXPECT_EQ(row.cmd, h.cmd);
        EXPECT_EQ(bytes.size(), r.consumed);
    }
}

TEST(RouterFrameTest, FieldsOfTheBodiesAreLittleEndian)
{
    Bytes rw = Frame(CMD_READWRITE, 0, 0, Cat({Le32(0xF009), Le32(0x01020304), Le32(0x100), Le32(3), {'a', 'b', 0}}));
    FrameHeader h;
    FrameBody b;
    ASSERT_EQ(FrameStatus::Ok, DecodeFrame(rw.data(), rw.size(), h, b).status);
    EXPECT_EQ(0xF009u, b.group);
    EXPECT_EQ(0x01020304u, b.offset);
    EXPECT_EQ(0x100u, b.readLength);
    ASSERT_EQ(3u, b.dataLen);
    EXPECT_EQ(0, std::memcmp(b.data, "ab", 3));
    EXPECT_EQ(rw.data() + rw.size() - 3, b.data) << "data points into the given bytes";

    Bytes wc = Frame(CMD_WRITECONTROL, 0, 0, Cat({{0x34, 0x12, 0x78, 0x56}, Le32(0)}));
    ASSERT_EQ(FrameStatus::Ok, DecodeFrame(wc.data(), wc.size(), h, b).status);
    EXPECT_EQ(0x1234, b.state);
    EXPECT_EQ(0x5678, b.devState);
    EXPECT_EQ(0u, b.dataLen);

    Bytes di = Frame(CMD_READDEVICEINFO, 1, 0, {3, 2, 0x26, 0x01, 1, 0, 'X'});
    ASSERT_EQ(FrameStatus::Ok, DecodeFrame(di.data(), di.size(), h, b).status);
    EXPECT_EQ(3, b.version.version);
    EXPECT_EQ(2, b.version.revision);
    EXPECT_EQ(0x126, b.version.build);

    Bytes an = Frame(CMD_ADDNOTIFICATION, 0, 0, Cat({Le32(1), Le32(2), Le32(3), Le32(4), Le32(5), Le32(6)}));
    ASSERT_EQ(FrameStatus::Ok, DecodeFrame(an.data(), an.size(), h, b).status);
    EXPECT_EQ(3u, b.attrib.cbLength);
    EXPECT_EQ(4u, b.attrib.nTransMode);
    EXPECT_EQ(5u, b.attrib.nMaxDelay);
    EXPECT_EQ(6u, b.attrib.nCycleTime);
}

TEST(RouterFrameTest, TruncatedInputNeedsMoreAndLeavesNoHeader)
{
    Bytes bytes = Frame(CMD_WRITE, 0, 0, Cat({Le32(1), Le32(2), Le32(3), {9, 9, 9}}));
    for (size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        FrameHeader h;
        FrameBody b;
        FrameResult r = DecodeFrame(bytes.data(), n, h, b);
        EXPECT_EQ(FrameStatus::NeedMore, r.status);
        EXPECT_EQ(0u, r.consumed);
        EXPECT_FALSE(r.headerValid);
        EXPECT_EQ(0, h.cmd);
    }
}

TEST(RouterFrameTest, LengthFieldLimits)
{
    struct Row {
        uint32_t length;
        FrameStatus status;
    } rows[] = {
        {0, FrameStatus::TooShort},
        {27, FrameStatus::TooShort},
        {28, FrameStatus::Ok},
        {kMaxFrameLength, FrameStatus::Ok},
        {kMaxFrameLength + 1, FrameStatus::TooLarge},
        {0xFFFFFFFFu, FrameStatus::TooLarge},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        EXPECT_EQ(row.status, CheckFrameLength(row.length));
        // With only the length field there, a refused length is told at once; an accepted one waits for more.
        Bytes bytes = Le32(row.length);
        FrameHeader h;
        FrameBody b;
        FrameResult r = DecodeFrame(bytes.data(), bytes.size(), h, b);
        EXPECT_EQ(row.status == FrameStatus::Ok ? FrameStatus::NeedMore : row.status, r.status);
    }
}

TEST(RouterFrameTest, FramesFollowingEachOtherDecodeOneByOne)
{
    Bytes first = Frame(CMD_READSTATE, 0, 0, {});
    Bytes second = Frame(CMD_READ, 1, 0, Cat({Le32(1), {0xAB}}));
    Bytes both = Cat({first, second});
    FrameHeader h;
    FrameBody b;
    FrameResult r = DecodeFrame(both.data(), both.size(), h, b);
    ASSERT_EQ(FrameStatus::Ok, r.status);
    EXPECT_EQ(CMD_READSTATE, h.cmd);
    ASSERT_EQ(first.size(), r.consumed);
    r = DecodeFrame(both.data() + r.consumed, both.size() - r.consumed, h, b);
    ASSERT_EQ(FrameStatus::Ok, r.status);
    EXPECT_EQ(CMD_READ, h.cmd);
    EXPECT_TRUE(h.IsResponse());
    ASSERT_EQ(1u, b.dataLen);
    EXPECT_EQ(0xAB, b.data[0]);
}

TEST(RouterFrameTest, StandInAnswerBodiesDecodeForTheirCommand)
{
    for (uint16_t cmd = CMD_WRITE; cmd <= CMD_NOTIFICATION; ++cmd) {
        SCOPED_TRACE(cmd);
        Bytes body = EmptyResponseBody(cmd);
        FrameBody b;
        EXPECT_TRUE(ParseBody(cmd, true, 0, body.data(), body.size(), b));
        EXPECT_EQ(0u, b.dataLen);
    }
}

}  // namespace
