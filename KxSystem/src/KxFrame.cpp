#include "KxFrame.h"

#include <cstring>

namespace kxrouter {
namespace {

uint16_t Rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Rd32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Wr16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Wr32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
HopAddr RdAddr(const uint8_t* p)
{
    HopAddr a;
    std::memcpy(a.netId.b, p, 6);
    a.port = Rd16(p + 6);
    return a;
}
void WrAddr(uint8_t* p, const HopAddr& a)
{
    std::memcpy(p, a.netId.b, 6);
    Wr16(p + 6, a.port);
}

// A body that ends with "u32 length, data" must hold exactly that many bytes after the fixed part.
bool TailData(const uint8_t* p, size_t n, size_t lenAt, FrameBody& out)
{
    if (n < lenAt + 4)
        return false;
    uint32_t len = Rd32(p + lenAt);
    if (n - (lenAt + 4) != len)
        return false;
    out.dataLen = len;
    out.data = p + lenAt + 4;
    return true;
}

FrameResult Fail(FrameStatus s, size_t consumed, bool header, const char* text)
{
    FrameResult r;
    r.status = s;
    r.consumed = consumed;
    r.headerValid = header;
    r.description = text;
    return r;
}

}  // namespace

bool IsKnownCommand(uint16_t cmd)
{
    return (cmd >= CMD_WRITE && cmd <= CMD_NOTIFICATION) || (cmd >= CMD_HELLO && cmd <= CMD_UNREGISTER);
}

bool ParseBody(uint16_t cmd, bool response, uint32_t error, const uint8_t* p, size_t n, FrameBody& out)
{
    out = FrameBody();
    if (response && error != 0 && n == 0)
        return true;
    if (!response) {
        switch (cmd) {
        case CMD_WRITE:
            if (n < 12)
                return false;
            out.group = Rd32(p);
            out.offset = Rd32(p + 4);
            return TailData(p, n, 8, out);
        case CMD_READ:
            if (n != 12)
                return false;
            out.group = Rd32(p);
            out.offset = Rd32(p + 4);
            out.readLength = Rd32(p + 8);
            return true;
        case CMD_READWRITE:
            if (n < 16)
                return false;
            out.group = Rd32(p);
            out.offset = Rd32(p + 4);
            out.readLength = Rd32(p + 8);
            return TailData(p, n, 12, out);
        case CMD_WRITECONTROL:
            if (n < 8)
                return false;
            out.state = Rd16(p);
            out.devState = Rd16(p + 2);
            return TailData(p, n, 4, out);
        case CMD_READSTATE:
        case CMD_READDEVICEINFO:
        case CMD_HELLO:
        case CMD_REGISTER:
        case CMD_UNREGISTER:
            return n == 0;
        case CMD_ADDNOTIFICATION:
            if (n != 24)
                return false;
            out.group = Rd32(p);
            out.offset = Rd32(p + 4);
            out.attrib.cbLength = Rd32(p + 8);
            out.attrib.nTransMode = Rd32(p + 12);
            out.attrib.nMaxDelay = Rd32(p + 16);
            out.attrib.nCycleTime = Rd32(p + 20);
            return true;
        case CMD_DELNOTIFICATION:
            if (n != 4)
                return false;
            out.handle = Rd32(p);
            return true;
        case CMD_NOTIFICATION:
            return TailData(p, n, 0, out);
        default:
            return false;
        }
    }
    switch (cmd) {
    case CMD_READ:
    case CMD_READWRITE:
        return TailData(p, n, 0, out);
    case CMD_READSTATE:
        if (n != 4)
            return false;
        out.state = Rd16(p);
        out.devState = Rd16(p + 2);
        return true;
    case CMD_READDEVICEINFO: {
        if (n < 6)
            return false;
        out.version.version = p[0];
        out.version.revision = p[1];
        out.version.build = Rd16(p + 2);
        uint16_t len = Rd16(p + 4);
        if (n - 6 != len)
            return false;
        out.dataLen = len;
        out.data = p + 6;
        return true;
    }
    case CMD_ADDNOTIFICATION:
        if (n != 4)
            return false;
        out.handle = Rd32(p);
        return true;
    case CMD_WRITE:
    case CMD_WRITECONTROL:
    case CMD_DELNOTIFICATION:
    case CMD_NOTIFICATION:
    case CMD_HELLO:
    case CMD_REGISTER:
    case CMD_UNREGISTER:
        return n == 0;
    default:
        return false;
    }
}

FrameStatus CheckFrameLength(uint32_t length)
{
    if (length > kMaxFrameLength)
        return FrameStatus::TooLarge;
    if (length < kHeaderSize)
        return FrameStatus::TooShort;
    return FrameStatus::Ok;
}

FrameResult DecodeFramePayload(const uint8_t* p, size_t n, FrameHeader& hdr, FrameBody& body)
{
    body = FrameBody();
    if (n < kHeaderSize)
        return Fail(FrameStatus::TooShort, 0, false, "frame shorter than its header");
    hdr.cmd = Rd16(p);
    hdr.flags = Rd16(p + 2);
    hdr.invokeId = Rd32(p + 4);
    hdr.error = Rd32(p + 8);
    hdr.target = RdAddr(p + 12);
    hdr.source = RdAddr(p + 20);
    // An error answer without a body needs no layout, so it decodes even for a command this side does not know
    // (the router's "not supported" answer to it).
    bool bareError = hdr.IsResponse() && hdr.error != 0 && n == kHeaderSize;
    if (!IsKnownCommand(hdr.cmd) && !bareError)
        return Fail(FrameStatus::BadCommand, n + 4, true, "unknown command");
    if (!bareError && !ParseBody(hdr.cmd, hdr.IsResponse(), hdr.error, p + kHeaderSize, n - kHeaderSize, body))
        return Fail(FrameStatus::BadBody, n + 4, true, "body does not fit its command");
    FrameResult r;
    r.status = FrameStatus::Ok;
    r.consumed = n + 4;
    r.headerValid = true;
    r.description = "ok";
    return r;
}

FrameResult DecodeFrame(const uint8_t* p, size_t n, FrameHeader& hdr, FrameBody& body)
{
    if (n < 4)
        return Fail(FrameStatus::NeedMore, 0, false, "length field incomplete");
    uint32_t len = Rd32(p);
    FrameStatus s = CheckFrameLength(len);
    if (s == FrameStatus::TooLarge)
        return Fail(s, 0, false, "length field above the limit");
    if (s == FrameStatus::TooShort)
        return Fail(s, 0, false, "length field below the header size");
    if (n - 4 < len)
        return Fail(FrameStatus::NeedMore, 0, false, "frame incomplete");
    return DecodeFramePayload(p + 4, len, hdr, body);
}

void EncodeFrame(const FrameHeader& hdr, const uint8_t* body, size_t bodyLen, std::vector<uint8_t>& out)
{
    size_t at = out.size();
    out.resize(at + 4 + kHeaderSize + bodyLen);
    uint8_t* p = out.data() + at;
    Wr32(p, static_cast<uint32_t>(kHeaderSize + bodyLen));
    p += 4;
    Wr16(p, hdr.cmd);
    Wr16(p + 2, hdr.flags);
    Wr32(p + 4, hdr.invokeId);
    Wr32(p + 8, hdr.error);
    WrAddr(p + 12, hdr.target);
    WrAddr(p + 20, hdr.source);
    if (bodyLen)
        std::memcpy(p + kHeaderSize, body, bodyLen);
}

BodyWriter& BodyWriter::U8(uint8_t v)
{
    m_bytes.push_back(v);
    return *this;
}
BodyWriter& BodyWriter::U16(uint16_t v)
{
    uint8_t b[2];
    Wr16(b, v);
    return Bytes(b, 2);
}
BodyWriter& BodyWriter::U32(uint32_t v)
{
    uint8_t b[4];
    Wr32(b, v);
    return Bytes(b, 4);
}
BodyWriter& BodyWriter::Bytes(const void* p, size_t n)
{
    if (n)
        m_bytes.insert(m_bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    return *this;
}

std::vector<uint8_t> EmptyResponseBody(uint16_t cmd)
{
    switch (cmd) {
    case CMD_READ:
    case CMD_READWRITE:
    case CMD_READSTATE:
    case CMD_ADDNOTIFICATION:
        return std::vector<uint8_t>(4, 0);
    case CMD_READDEVICEINFO:
        return std::vector<uint8_t>(6, 0);
    default:
        return {};
    }
}

const char* FrameStatusName(FrameStatus s)
{
    switch (s) {
    case FrameStatus::Ok:
        return "Ok";
    case FrameStatus::NeedMore:
        return "NeedMore";
    case FrameStatus::TooLarge:
        return "TooLarge";
    case FrameStatus::TooShort:
        return "TooShort";
    case FrameStatus::BadBody:
        return "BadBody";
    case FrameStatus::BadCommand:
        return "BadCommand";
    }
    return "?";
}

}  // namespace kxrouter
