// The protocol error numbers the service, the router and a PLC answer, with their meanings: one table for
// the service's constants, its log lines and the tools.
#pragma once

#include <cstdint>

#include "platform/FreeBSD/KxWinTypes.h"

struct KxXmlErrorEntry {
    uint32_t number;
    const char* text;
};

static const KxXmlErrorEntry kKxXmlErrors[] = {
    {0x0000, "no error"},
    {0x0001, "internal error of the device"},
    {0x0101, "no port at the target address"},
    {0x0102, "time-out: no answer in time"},
    {0x0103, "the participant went away"},
    {0x0104, "malformed frame"},
    {0x0105, "address already taken"},
    {0x0700, "general device error, or the service is not connected"},
    {0x0701, "index group not served by this command"},
    {0x0702, "invalid index group"},
    {0x0703, "invalid index offset"},
    {0x0704, "access denied"},
    {0x0705, "length not acceptable"},
    {0x0706, "invalid data"},
    {0x0707, "worker queue full"},
    {0x0708, "file is open for writing elsewhere"},
    {0x0709, "the state does not fit this request"},
    {0x070A, "out of memory, or the block is too large"},
    {0x070B, "a text does not match its declared length, or a symbol without path"},
    {0x070C, "file or base directory not found, or the file could not be saved"},
    {0x0710, "symbol not found"},
    {0x0715, "no connection to the PLC"},
    {0x0716, "no free handle"},
    {0x0719, "the request timed out before it ran"},
    {0x8000, "no connection to the device, or the operation failed"},
    {0x8001, "no such handle, or the file could not be loaded"},
    {0x8002, "node not found, or the XML does not parse"},
    {0x8003, "value or type not convertible"},
    {0x8004, "out of memory"},
    {0x8005, "a node of the XML path cannot be created"},
    {0x8006, "the XML path finds nothing"},
    {0x8007, "a string holds a control character"},
    {0x800A, "wrong credentials, or neither user name nor password"},
    {0x8800, "no such client, or no client registered"},
    {0x8900, "runtime version not acceptable"},
};

// The protocol error number of a result: 0 for success, the low 16 bits of 0x9811xxxx, else 0x700.
inline uint32_t KxXmlErrorNumber(HRESULT hr)
{
    if (hr >= 0)
        return 0;
    const uint32_t u = static_cast<uint32_t>(hr);
    return (u & 0xFFFF0000u) == 0x98110000u ? (u & 0xFFFFu) : 0x700u;
}

// The meaning of an error number; "unknown error" for numbers outside the table.
inline const char* KxXmlErrorText(uint32_t number)
{
    for (const KxXmlErrorEntry& e : kKxXmlErrors)
        if (e.number == number)
            return e.text;
    return "unknown error";
}

// The name of a device state.
inline const char* KxXmlStateText(uint32_t state)
{
    switch (state) {
    case 2: return "reset";
    case 3: return "init";
    case 4: return "start";
    case 5: return "run";
    case 6: return "stop";
    case 12: return "shutdown";
    default: return "unknown";
    }
}
