// The simulated PLC of the router stand-in: a device described by an XML file that answers symbol and data
// type information requests and reads and writes of its symbol memory, with fault injection for tests.
// See docs/plc-description.md for the description format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Hop.h"
#include "platform/FreeBSD/KxWinTypes.h"

#if defined(__GNUC__)
#define KXPLC_API __attribute__((visibility("default")))
#else
#define KXPLC_API
#endif

// Index groups the simulator answers besides its symbol memory.
#define KXPLC_GROUP_SYMINFO 0xF009u    // ReadWrite: symbol information record by name
#define KXPLC_GROUP_TYPEINFO 0xF011u   // ReadWrite: data type information record by name
#define KXPLC_DEFAULT_GROUP 0x4040u    // index group of symbol memory unless the description names another
#define KXPLC_DEFAULT_PORT 851u        // port served unless the description names another

// Commands of a request, numbered like the slots of IKxFexAsync.
enum EKxPlcCommand : uint16_t {
    KxPlcWrite = 1,
    KxPlcRead = 2,
    KxPlcReadWrite = 3,
    KxPlcWriteControl = 4,
    KxPlcReadState = 5,
    KxPlcReadDeviceInfo = 6,
    KxPlcAddNotification = 7,
    KxPlcDelNotification = 8,
};

// One request as the simulator received it (also the entry of the request log).
struct KxPlcRequest {
    uint16_t command = 0;             // EKxPlcCommand
    uint32_t group = 0;               // index group (Write, Read, ReadWrite)
    uint32_t offset = 0;              // index offset
    uint32_t readLength = 0;          // bytes asked for (Read, ReadWrite)
    std::vector<uint8_t> writeData;   // bytes sent (Write, ReadWrite, WriteControl)
    uint16_t state = 0;               // WriteControl: requested state
    uint16_t devState = 0;            // WriteControl: requested device state
};

// The answer to one request.
struct KxPlcResponse {
    uint32_t error = 0;              // 16-bit protocol error number, 0 for success
    std::vector<uint8_t> data;       // answered bytes (Read, ReadWrite)
    uint16_t state = 0;              // ReadState
    uint16_t devState = 0;           // ReadState
};

// Outcome of loading a description: ok, or a readable message naming what was wrong.
struct KxPlcLoadResult {
    bool ok = false;
    std::string description;
    explicit operator bool() const { return ok; }
};

// Fault injection settings; the defaults inject nothing.
struct KxPlcFaults {
    uint32_t maxBlock = 0;        // largest memory Read/Write accepted, larger ones answer 0x070A; 0 = no limit
    uint32_t shortBy = 0;         // answers with data carry this many bytes fewer than they should; 0 = none
    uint32_t delayMs = 0;         // every answer is held back this many milliseconds; 0 = none
    uint32_t failCount = 0;       // the next failCount requests answer failError
    uint32_t failError = 0x0700;  // error number of those failed requests
};

// What a symbol name resolves to (a whole symbol or an element inside one).
struct KxPlcSymbolInfo {
    std::string name;       // canonical spelling, declared names and subscripts as "[i,j]"
    std::string typeName;   // the value's type name
    uint32_t group = 0;     // index group of its memory
    uint32_t offset = 0;    // index offset of its first byte
    uint32_t size = 0;      // bytes (1 for a BIT member, which lives in that byte)
    uint32_t typeId = 0;    // data type id
    int bit = -1;           // bit inside the byte for a BIT member, else -1
};

// The simulated PLC. Thread-safe: requests may arrive on several threads at once.
class KXPLC_API CKxPlcSim {
public:
    CKxPlcSim();
    ~CKxPlcSim();
    CKxPlcSim(const CKxPlcSim&) = delete;
    CKxPlcSim& operator=(const CKxPlcSim&) = delete;

    // Replaces the device by the one described in the file; on failure the previous device stays.
    KxPlcLoadResult LoadFile(const std::string& path);
    // Replaces the device by the one described in the text; on failure the previous device stays.
    KxPlcLoadResult LoadString(const std::string& xml);

    // Answers one request (applies faults, logs it). Never throws.
    KxPlcResponse Handle(const KxPlcRequest& request);
    // The same with the bytes sent held by the caller (data, length) instead of request.writeData, which is
    // not read: only the log copies them.
    KxPlcResponse Handle(const KxPlcRequest& request, const void* data, uint32_t length);
    // Shorthands for Handle; each returns the error number and fills out with the answered bytes.
    uint32_t ReadWrite(uint32_t group, uint32_t offset, uint32_t readLength, const void* writeData,
                       uint32_t writeLength, std::vector<uint8_t>& out);
    uint32_t Read(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>& out);
    uint32_t Write(uint32_t group, uint32_t offset, const void* data, uint32_t length);

    // Resolves a symbol name as 0xF009 would, without logging or faults; false for an unknown name.
    bool Resolve(const std::string& name, KxPlcSymbolInfo& info) const;
    // Copies memory directly (no faults, no log); false outside the memory of the group.
    bool Peek(uint32_t group, uint32_t offset, uint32_t length, std::vector<uint8_t>& out) const;
    // Writes memory directly (no faults, no log); false outside the memory of the group.
    bool Poke(uint32_t group, uint32_t offset, const void* data, uint32_t length);

    // Current fault settings (initially those of the description, else none).
    KxPlcFaults GetFaults() const;
    // Replaces the fault settings.
    void SetFaults(const KxPlcFaults& faults);
    // Largest memory block accepted; 0 = no limit.
    void SetMaxBlock(uint32_t bytes);
    // Answers with data carry this many bytes fewer; 0 = none.
    void SetShortBy(uint32_t bytes);
    // Every answer waits this many milliseconds; 0 = none.
    void SetDelay(uint32_t milliseconds);
    // The next count requests answer error instead of being served.
    void FailNext(uint32_t count, uint32_t error = 0x0700);

    // Copy of the requests received since the last ClearLog (the last 100000, holding at most 64 MiB of data).
    std::vector<KxPlcRequest> GetLog() const;
    void ClearLog();
    // Whether requests are logged (initially yes). Off, a long run such as a benchmark keeps no copies of
    // the data it writes.
    void SetLogging(bool on);

    // Port the description asks to serve at the local net id; default 851.
    uint16_t GetPort() const;
    // Name answered by ReadDeviceInfo (the description's "name", default "KxPlcSim").
    std::string GetDeviceName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// Serves a simulator at a port of the process's router until stopped or destroyed.
class KXPLC_API CKxPlcSimHost {
public:
    CKxPlcSimHost();
    ~CKxPlcSimHost();
    CKxPlcSimHost(const CKxPlcSimHost&) = delete;
    CKxPlcSimHost& operator=(const CKxPlcSimHost&) = delete;

    // Connects the port (0 = the simulator's own port) and answers its requests with sim, which must outlive
    // the host. Calls FexInitialize first. Returns the router's error (FEX_HRESULT(FEXERR_ADDRTAKEN) when the port
    // is taken).
    HRESULT Start(CKxPlcSim* sim, uint16_t port = 0);
    // Disconnects the port; waits for answers in progress. Harmless when not started.
    void Stop();
    // The address being served (zero before Start).
    HopAddr GetAddress() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
