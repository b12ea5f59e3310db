// Decoding of the payloads of the file jobs (index groups 0x78..0x80).
#pragma once

#include <cstdint>

#include "Hop.h"
#include "platform/FreeBSD/KxWinTypes.h"

// One decoded job payload. Texts point into the payload and are NUL-terminated there.
struct XmlJobPayload {
    HopAddr plc;                  // open jobs: the PLC address
    uint32_t nTimeout = 0;        // open jobs: ms the client waits (0xFFFFFFFF: no limit)
    uint16_t nMode = 0;           // mode bits (open for reading/writing, read/write a symbol)
    const char* sFile = nullptr;  // open jobs: file name; clarify: source file name
    const char* sDst = nullptr;   // clarify: destination file name
    const char* sSymbol = nullptr;
    const char* sXmlPath = nullptr;
    uint16_t nSequence = 0;       // read/write a symbol
    bool bAllowPartial = false;   // read/write a symbol
    uint32_t cbData = 0;          // write a symbol: data length
    const uint8_t* pData = nullptr;
};

// Decodes the payload of job nMsg (1144..1152). Every field is read within the cbData bytes received.
// 0, kXmlErrInvalidSize when cbData differs from the length the fields declare (or is too short for them),
// kXmlErrInvalidParam when a text does not hold exactly its declared number of characters before its NUL.
HRESULT XmlDecodeJobPayload(uint32_t nMsg, const uint8_t* pData, uint32_t cbData, XmlJobPayload& job);
