// libFuzzer target for the link's frame decoder: arbitrary bytes as they could arrive on a connection.
// Every frame that decodes must encode back to the same bytes and decode again to the same fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "KxFrame.h"

using namespace kxrouter;

namespace {

bool SameBody(const FrameBody& a, const FrameBody& b)
{
    return a.group == b.group && a.offset == b.offset && a.readLength == b.readLength && a.handle == b.handle &&
           a.state == b.state && a.devState == b.devState && a.dataLen == b.dataLen &&
           std::memcmp(&a.version, &b.version, sizeof(a.version)) == 0 &&
           std::memcmp(&a.attrib, &b.attrib, sizeof(a.attrib)) == 0 &&
           (a.dataLen == 0 || std::memcmp(a.data, b.data, a.dataLen) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Copy into a block of exactly the input's size so that any read past it is caught.
    std::vector<uint8_t> in(data, data + size);
    size_t at = 0;
    while (at < in.size()) {
        FrameHeader h;
        FrameBody b;
        FrameResult r = DecodeFrame(in.data() + at, in.size() - at, h, b);
        if (r.status != FrameStatus::Ok) {
            if (r.status != FrameStatus::NeedMore && r.consumed == 0 && r.headerValid)
                std::abort();  // a readable header always belongs to a complete frame
            break;
        }
        if (r.consumed < 4 + kHeaderSize || r.consumed > in.size() - at)
            std::abort();
        std::vector<uint8_t> again;
        EncodeFrame(h, in.data() + at + 4 + kHeaderSize, r.consumed - 4 - kHeaderSize, again);
        if (again.size() != r.consumed || std::memcmp(again.data(), in.data() + at, r.consumed) != 0)
            std::abort();
        FrameHeader h2;
        FrameBody b2;
        if (DecodeFrame(again.data(), again.size(), h2, b2).status != FrameStatus::Ok || !SameBody(b, b2))
            std::abort();
        // The same body read as every command, request and answer: must never read outside it.
        const uint8_t* body = in.data() + at + 4 + kHeaderSize;
        size_t bodyLen = r.consumed - 4 - kHeaderSize;
        for (uint16_t cmd = 1; cmd <= 0x102; cmd = (cmd == 9) ? 0x100 : cmd + 1) {
            FrameBody any;
            ParseBody(cmd, false, 0, body, bodyLen, any);
            ParseBody(cmd, true, h.error, body, bodyLen, any);
            if (any.dataLen && (any.data < body || any.data + any.dataLen > body + bodyLen))
                std::abort();
        }
        at += r.consumed;
    }
    return 0;
}
