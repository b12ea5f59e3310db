// Network addresses of the router: a six-byte net id and a net id plus a 16-bit port.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/FreeBSD/KxWinTypes.h"

#pragma pack(push, 1)
// Six bytes, text form "%d.%d.%d.%d.%d.%d"; all zero stands for "not given".
struct HopNetId {
    uint8_t b[6];

    HopNetId() { std::memset(b, 0, sizeof(b)); }
    bool IsZero() const { return !(b[0] | b[1] | b[2] | b[3] | b[4] | b[5]); }
    bool operator==(const HopNetId& o) const { return std::memcmp(b, o.b, sizeof(b)) == 0; }
    bool operator!=(const HopNetId& o) const { return !(*this == o); }
    // The text form, each byte as an unsigned decimal number.
    std::string ToString() const;
};

// Net id followed by the port (little-endian); eight bytes, the wire layout.
struct HopAddr {
    HopNetId netId;
    uint16_t port;

    HopAddr() : port(0) {}
    HopAddr(const HopNetId& id, uint16_t p) : netId(id), port(p) {}
    bool operator==(const HopAddr& o) const { return std::memcmp(this, &o, sizeof(HopAddr)) == 0; }
    bool operator!=(const HopAddr& o) const { return !(*this == o); }
    // The address as one little-endian 64-bit number: net id in the low six bytes, port in the high two.
    uint64_t Key() const
    {
        uint64_t k = 0;
        for (int i = 5; i >= 0; --i)
            k = (k << 8) | netId.b[i];
        return k | (static_cast<uint64_t>(port) << 48);
    }
    bool operator<(const HopAddr& o) const { return Key() < o.Key(); }
    // "a.b.c.d.e.f:port"
    std::string ToString() const;
};
#pragma pack(pop)

static_assert(sizeof(HopNetId) == 6, "HopNetId is six bytes on the wire");
static_assert(sizeof(HopAddr) == 8, "HopAddr is eight bytes on the wire");

// Fills id from a length-prefixed text "%d.%d.%d.%d.%d.%d" (each byte the low 8 bits of its number).
// id is cleared first and stays zero unless the text yields six numbers; text after the sixth is ignored.
void BstrToNetId(const BSTR& text, HopNetId& id);

// The same for a plain NUL-terminated text; false when the text did not yield six numbers.
bool TextToNetId(const char* text, HopNetId& id);
