// The result codes of the service, and the protocol error numbers the service, the router and a PLC answer
// with their meanings: the one place for the service's constants, its log lines and the tools.
#pragma once

#include <cstdint>

#include "platform/FreeBSD/KxWinTypes.h"

// Device-protocol results the service answers, or reacts to when a PLC answers them (FEX_ERROR_BASE plus
// the protocol's error number; a client sees the number).
constexpr HRESULT kXmlErrPlcInternal = FEX_HRESULT(0x0001);   // a PLC's internal error; to a large block transfer
                                                              // it means the block is too large (see XmlQuarterBlock)
constexpr HRESULT kXmlErrGeneral = FEX_HRESULT(0x0700);       // general failure: the service is not connected (no
                                                              // port, server list or worker), a PLC read came back
                                                              // short, a value lies beyond the memory image
constexpr HRESULT kXmlErrNotServed = FEX_HRESULT(0x0701);     // index group not served by this command
constexpr HRESULT kXmlErrInvalidSize = FEX_HRESULT(0x0705);   // a length not acceptable: of a request, of a job's
                                                              // payload, a buffer shorter than the symbol; a PLC's
                                                              // "read buffer too small"
constexpr HRESULT kXmlErrFileBusy = FEX_HRESULT(0x0708);      // the file is open for writing by another data server
constexpr HRESULT kXmlErrInvalidState = FEX_HRESULT(0x0709);  // the state does not fit: a document loaded already or
                                                              // not at all, wrong direction or sequence, an
                                                              // application server without (or with) a data server
constexpr HRESULT kXmlErrBlockTooLarge = FEX_HRESULT(0x070A); // no memory for a block this large: a PLC's answer to
                                                              // a block transfer, the service's to a read length
constexpr HRESULT kXmlErrInvalidParam = FEX_HRESULT(0x070B);  // a text that does not match its declared length; a
                                                              // symbol given without an XML path
constexpr HRESULT kXmlErrFileAccess = FEX_HRESULT(0x070C);    // a file or base directory that cannot be read, or a
                                                              // file that could not be saved
constexpr HRESULT kXmlErrAlreadyInit = FEX_HRESULT(0x0712);   // Init while the server list exists
constexpr HRESULT kXmlErrNoPlcClient = FEX_HRESULT(0x0715);   // no connection to the PLC of the address
constexpr HRESULT kXmlErrNoFreeHandle = FEX_HRESULT(0x0716);  // no free entry for a data or application server
constexpr HRESULT kXmlErrTimedOut = FEX_HRESULT(0x0719);      // the client's time-out passed before the job ran or
                                                              // while the open ran

// The service's own results, from 0x98118000.
constexpr HRESULT kXmlErrFailed = FEX_HRESULT(0x8000);        // the operation failed: no connection to the target
                                                              // device, a handle without data server, a clarify or
                                                              // load that failed, an inconsistent PLC record, bad
                                                              // arguments or a text not stored in the document
constexpr HRESULT kXmlErrNotOpen = FEX_HRESULT(0x8001);       // nothing open under this handle, or a file that
                                                              // cannot be opened (missing, or not decrypted)
constexpr HRESULT kXmlErrNoNode = FEX_HRESULT(0x8002);        // the document has no such node (no document element,
                                                              // a path step that selects nothing), or no document:
                                                              // the file or text does not parse
constexpr HRESULT kXmlErrNoValue = FEX_HRESULT(0x8003);       // no value to be had: nothing of it in the document (the
                                                              // value walks tolerate this as "not found"), a text
                                                              // that does not convert, a missing index attribute, a
                                                              // null or empty type name, a type without text form or
                                                              // whose size differs from the symbol's
constexpr HRESULT kXmlErrNoMemory = FEX_HRESULT(0x8004);      // out of memory (type memory, loading a file)
constexpr HRESULT kXmlErrCreateNode = FEX_HRESULT(0x8005);    // a node of the XML path cannot be created
constexpr HRESULT kXmlErrPathNotFound = FEX_HRESULT(0x8006);  // the XML path selects nothing for a read
constexpr HRESULT kXmlErrControlChar = FEX_HRESULT(0x8007);   // a string holds a control character
constexpr HRESULT kXmlErrCredentials = FEX_HRESULT(0x800A);   // wrong user name or password for an encrypted file; a
                                                              // credentials write with neither
constexpr HRESULT kXmlErrNoClient = FEX_HRESULT(0x8800);      // no application-server registry, or a client id that
                                                              // is zero, unknown or registered already
constexpr HRESULT kXmlErrVersion = FEX_HRESULT(0x8900);       // runtime version not acceptable

// The protocol error number of a result: 0 for success, the low 16 bits of 0x9811xxxx, else 0x700.
constexpr uint32_t KxXmlErrorNumber(HRESULT hr)
{
    if (hr >= 0)
        return 0;
    uint32_t u = static_cast<uint32_t>(hr);
    if ((u & 0xFFFF0000u) != FEX_ERROR_BASE)
        u = static_cast<uint32_t>(kXmlErrGeneral);
    return u & 0xFFFFu;
}

struct KxXmlErrorEntry {
    uint32_t number;
    const char* text;
};

inline constexpr KxXmlErrorEntry kKxXmlErrors[] = {
    {0x0000, "no error"},
    {KxXmlErrorNumber(kXmlErrPlcInternal), "internal error of the device"},
    {0x0101, "no port at the target address"},
    {0x0102, "time-out: no answer in time"},
    {0x0103, "the participant went away"},
    {0x0104, "malformed frame"},
    {0x0105, "address already taken"},
    {KxXmlErrorNumber(kXmlErrGeneral), "general device error, or the service is not connected"},
    {KxXmlErrorNumber(kXmlErrNotServed), "index group not served by this command"},
    {0x0702, "invalid index group"},
    {0x0703, "invalid index offset"},
    {0x0704, "access denied"},
    {KxXmlErrorNumber(kXmlErrInvalidSize), "length not acceptable"},
    {0x0706, "invalid data"},
    {0x0707, "worker queue full"},
    {KxXmlErrorNumber(kXmlErrFileBusy), "file is open for writing elsewhere"},
    {KxXmlErrorNumber(kXmlErrInvalidState), "the state does not fit this request"},
    {KxXmlErrorNumber(kXmlErrBlockTooLarge), "out of memory, or the block is too large"},
    {KxXmlErrorNumber(kXmlErrInvalidParam), "a text does not match its declared length, or a symbol without path"},
    {KxXmlErrorNumber(kXmlErrFileAccess), "file or base directory not found, or the file could not be saved"},
    {0x0710, "symbol not found"},
    {KxXmlErrorNumber(kXmlErrAlreadyInit), "the service is initialised already"},
    {KxXmlErrorNumber(kXmlErrNoPlcClient), "no connection to the PLC"},
    {KxXmlErrorNumber(kXmlErrNoFreeHandle), "no free handle"},
    {KxXmlErrorNumber(kXmlErrTimedOut), "the request timed out before it ran"},
    {KxXmlErrorNumber(kXmlErrFailed), "no connection to the device, or the operation failed"},
    {KxXmlErrorNumber(kXmlErrNotOpen), "no such handle, or the file could not be loaded"},
    {KxXmlErrorNumber(kXmlErrNoNode), "node not found, or the XML does not parse"},
    {KxXmlErrorNumber(kXmlErrNoValue), "value or type not convertible"},
    {KxXmlErrorNumber(kXmlErrNoMemory), "out of memory"},
    {KxXmlErrorNumber(kXmlErrCreateNode), "a node of the XML path cannot be created"},
    {KxXmlErrorNumber(kXmlErrPathNotFound), "the XML path finds nothing"},
    {KxXmlErrorNumber(kXmlErrControlChar), "a string holds a control character"},
    {KxXmlErrorNumber(kXmlErrCredentials), "wrong credentials, or neither user name nor password"},
    {KxXmlErrorNumber(kXmlErrNoClient), "no such client, or no client registered"},
    {KxXmlErrorNumber(kXmlErrVersion), "runtime version not acceptable"},
};

// The meaning of an error number; "unknown error" for numbers outside the table.
inline const char* KxXmlErrorText(uint32_t number)
{
    for (const KxXmlErrorEntry& e : kKxXmlErrors)
        if (e.number == number)
            return e.text;
    return "unknown error";
}

// Device states reported by ReadState.
#define KXXML_STATE_RESET 2
#define KXXML_STATE_INIT 3
#define KXXML_STATE_START 4
#define KXXML_STATE_RUN 5
#define KXXML_STATE_STOP 6
#define KXXML_STATE_SHUTDOWN 12

// The name of a device state.
inline const char* KxXmlStateText(uint32_t state)
{
    switch (state) {
    case KXXML_STATE_RESET: return "reset";
    case KXXML_STATE_INIT: return "init";
    case KXXML_STATE_START: return "start";
    case KXXML_STATE_RUN: return "run";
    case KXXML_STATE_STOP: return "stop";
    case KXXML_STATE_SHUTDOWN: return "shutdown";
    default: return "unknown";
    }
}
