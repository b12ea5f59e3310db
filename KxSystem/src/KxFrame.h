// Frames of the router's TCP link: a u32 length, a 28-byte header and a command body, all little-endian.
// The decoder checks a frame completely before anyone acts on it; it never reads past the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KxFex.h"

namespace kxrouter {

constexpr uint32_t kHeaderSize = 28;
// Largest accepted value of the length field (header plus body).
constexpr uint32_t kMaxFrameLength = 16u * 1024u * 1024u;
// Largest body a frame can carry.
constexpr uint32_t kMaxBodyLength = kMaxFrameLength - kHeaderSize;
constexpr uint16_t kFlagResponse = 0x0001;

// Commands; 1 to 9 follow the slot order of IKxFexAsync.
enum : uint16_t {
    CMD_WRITE = 1,
    CMD_READ = 2,
    CMD_READWRITE = 3,
    CMD_WRITECONTROL = 4,
    CMD_READSTATE = 5,
    CMD_READDEVICEINFO = 6,
    CMD_ADDNOTIFICATION = 7,
    CMD_DELNOTIFICATION = 8,
    CMD_NOTIFICATION = 9,
    CMD_HELLO = 0x100,
    CMD_REGISTER = 0x101,
    CMD_UNREGISTER = 0x102,
};

// True for the commands above.
bool IsKnownCommand(uint16_t cmd);

// The fixed header that follows the length field.
struct FrameHeader {
    uint16_t cmd = 0;
    uint16_t flags = 0;
    uint32_t invokeId = 0;
    uint32_t error = 0;
    HopAddr target;
    HopAddr source;
    bool IsResponse() const { return (flags & kFlagResponse) != 0; }
};

// The fields of a body, as far as the command has them. data/dataLen point into the decoded bytes.
struct FrameBody {
    uint32_t group = 0;
    uint32_t offset = 0;
    uint32_t readLength = 0;  // Read / ReadWrite requests
    uint32_t handle = 0;      // DelDeviceNotification request, AddDeviceNotification response
    uint16_t state = 0;       // WriteControl request, ReadState response
    uint16_t devState = 0;
    FexVersion version{0, 0, 0};
    FexNotificationAttrib attrib{0, 0, 0, 0};
    const uint8_t* data = nullptr;  // write data, read data, notification data or device name
    uint32_t dataLen = 0;
};

enum class FrameStatus {
    Ok,          // a whole frame was decoded
    NeedMore,    // the bytes end before the frame does
    TooLarge,    // the length field exceeds kMaxFrameLength
    TooShort,    // the length field is below the header size
    BadBody,     // the body does not have the layout of its command
    BadCommand,  // unknown command
};

// What DecodeFrame found: status, bytes consumed by the frame (length field included) and a readable text.
// headerValid tells whether hdr was filled (the header was readable even if the body was not).
struct FrameResult {
    FrameStatus status = FrameStatus::NeedMore;
    size_t consumed = 0;
    bool headerValid = false;
    const char* description = "";
};

// Decodes the first frame of p[0..n). On Ok, body's pointers point into p.
FrameResult DecodeFrame(const uint8_t* p, size_t n, FrameHeader& hdr, FrameBody& body);

// Checks the length field alone (the first four bytes of a frame): Ok, TooShort or TooLarge.
FrameStatus CheckFrameLength(uint32_t length);

// Decodes the header and body of a frame without its length field (p = header, n = header plus body).
FrameResult DecodeFramePayload(const uint8_t* p, size_t n, FrameHeader& hdr, FrameBody& body);

// Checks a body against the layout of its command and fills out; false when it does not fit.
// An error response may have an empty body.
bool ParseBody(uint16_t cmd, bool response, uint32_t error, const uint8_t* p, size_t n, FrameBody& out);

// Appends a whole frame (length field, header, body) to out.
void EncodeFrame(const FrameHeader& hdr, const uint8_t* body, size_t bodyLen, std::vector<uint8_t>& out);

// Little-endian body builder.
class BodyWriter {
public:
    BodyWriter& U8(uint8_t v);
    BodyWriter& U16(uint16_t v);
    BodyWriter& U32(uint32_t v);
    BodyWriter& Bytes(const void* p, size_t n);
    std::vector<uint8_t>& Get() { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// A well-formed stand-in body for a success answer of cmd when an answer came without one
// (e.g. WriteRes used to answer a Read): a zero length or zero fields.
std::vector<uint8_t> EmptyResponseBody(uint16_t cmd);

// Short name of a status for logs and tests.
const char* FrameStatusName(FrameStatus s);

}  // namespace kxrouter
