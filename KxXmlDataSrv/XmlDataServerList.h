// The job engine: worker threads, the table of open data servers by handle, the exclusive file paths and the
// cache of PLC connections.
#pragma once

#include "Hop.h"
#include "KxFex.h"
#include "KxHashTable.h"
#include "MessageThread.h"
#include "OsUserTools.h"

class CXmlDataServer;

// What the list needs of its owner (the service object): the response path and the credentials.
class IXmlDataServerListOwner {
public:
    // Sends the answer of a job to the requester.
    virtual HRESULT ReadWriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength,
                                 PVOID pData) = 0;
    // Fresh copies of the credentials (delete[] by the caller).
    virtual void ReadUserNamePassword(char** ppUserName, char** ppPassword) = 0;

protected:
    ~IXmlDataServerListOwner() = default;
};

// Job ids: 1144 + (index group - 0x78).
#define XMLJOB_OPEN 1144u
#define XMLJOB_CLOSE 1145u
#define XMLJOB_READ 1146u
#define XMLJOB_WRITE 1147u
#define XMLJOB_OPENREAD 1148u
#define XMLJOB_OPENWRITE 1149u
#define XMLJOB_READSYMBOL 1150u
#define XMLJOB_WRITESYMBOL 1151u
#define XMLJOB_CLARIFY 1152u

// Most worker threads.
#define XMLLIST_MAX_THREADS 25u
// First handle value; handles run 0xF000..0xFFFF.
#define XMLLIST_FIRST_HANDLE 0xF000u

struct ServerMapValue_ {
    CXmlDataServer* pServer; // owned by the table
    uint32_t nThreadKey;     // index offset of the request that opened it
    uint32_t nGeneration;    // issue number of the handle; a job queued for an earlier issue must not run
    char* sExclusive;        // key this data server holds in the path table (owned; null: none)
};

struct FexSyncMapKey_ {
    HopAddr addr;
    bool operator==(const FexSyncMapKey_& o) const { return addr == o.addr; }
};
inline uint32_t KxHashKey(const FexSyncMapKey_& key)
{
    return KxHashKey(key.addr);
}
typedef IKxFexSync* FexSyncMapValue_;

// The cache of PLC connections, one per PLC address; a cached connection stays until the cache is emptied.
typedef CHashTable<FexSyncMapKey_, FexSyncMapValue_, 600, CSyncDefault> CFexSyncCache;

// The connection to plc with one reference for the caller: the cached one, or a new connection entered in the
// cache. A new one that finds the cache full is not cached, so it goes when the caller's data server releases
// it. Null when no connection can be made.
IKxFexSync* AcquireSyncClient(CFexSyncCache& cache, const HopAddr& plc);
// Releases every cached connection and empties the cache.
void ReleaseSyncClients(CFexSyncCache& cache);

// Holds one reference on a PLC connection for the length of a scope.
class CSyncClientRef {
public:
    explicit CSyncClientRef(IKxFexSync* p) : m_p(p) {}
    ~CSyncClientRef()
    {
        if (m_p)
            m_p->Release();
    }
    CSyncClientRef(const CSyncClientRef&) = delete;
    CSyncClientRef& operator=(const CSyncClientRef&) = delete;
    IKxFexSync* Get() const { return m_p; }

private:
    IKxFexSync* m_p;
};

class CXmlDataServerList : public IMessageThreadListener {
public:
    // Starts nThreads workers (0 is taken as 1, above 25 as 25).
    CXmlDataServerList(IXmlDataServerListOwner* pOwner, uint32_t nThreads);

    bool OnThreadMessage(uint32_t nMsg, uint64_t wParam, int64_t lParam, int& nResult) override;
    bool OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* pBlock1, uint32_t nLength1,
                               uint8_t* pBlock2, uint32_t nLength2, uint32_t nValue1, uint32_t nValue2,
                               uint32_t nPostTick) override;
    bool OnMessageThreadInit() override;
    bool OnMessageThreadExit() override;
    // Stops the workers, destroys what is still open (saving modified documents) and releases the clients.
    virtual ~CXmlDataServerList();
    // Closes and destroys every open data server (modified documents are saved).
    virtual void RemoveAll();

    // Hands a job to the worker of its data server; answers the requester itself when it cannot. Always 0.
    // pBlock1 is the requester's HopAddr (nLength1 = 8), pBlock2 the request's write data.
    uint32_t PostThreadMessage(uint32_t nMsg, uint32_t invokeId, int32_t nLength1, const uint8_t* pBlock1,
                               uint32_t nLength2, const uint8_t* pBlock2, uint32_t nIndexOffset,
                               uint32_t nReadLength);

    uint32_t GetThreadCount() const { return m_nThreadCount; }

    // Opens a data server and issues its handle (the open jobs). pnHandle receives the handle on success.
    HRESULT Add(const HopAddr& plc, uint32_t nThreadKey, const char* sFile, const char* sUser, const char* sPass,
                uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle);
    HRESULT AddRead(const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode, const char* sFile,
                    const char* sSymbol, const char* sXmlPath, const char* sUser, const char* sPass,
                    uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle);
    HRESULT AddWrite(const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode, const char* sFile,
                     const char* sSymbol, const char* sXmlPath, const char* sUser, const char* sPass,
                     uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle);
    HRESULT AddClarify(const HopAddr& plc, uint32_t nThreadKey, const char* sSrc, const char* sDst,
                       const char* sUser, const char* sPass, uint32_t nTimeout, uint32_t nPostTick,
                       uint16_t* pnHandle);
    // Closes and destroys the data server of nHandle (saving unless bDiscard). kXmlErrNotOpen for no such handle.
    HRESULT Remove(uint16_t nHandle, bool bDiscard);
    // Data of the selected symbol of a data server.
    HRESULT Read(uint16_t nHandle, uint32_t cbLength, BYTE* pBuffer, uint32_t* pcbRead);
    HRESULT Write(uint16_t nHandle, uint32_t cbLength, const BYTE* pData);
    HRESULT Read(uint16_t nHandle, uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                 BYTE* pBuffer, uint16_t nSequence, bool bAllowPartial, uint32_t* pcbRead);
    HRESULT Write(uint16_t nHandle, uint16_t nMode, const char* sSymbol, const char* sXmlPath, uint32_t cbLength,
                  const BYTE* pData, uint16_t nSequence, bool bAllowPartial);
    // Creates a data server for plc under a new handle; sExclusive (optional) is locked for it.
    HRESULT GetXmlServer(const HopAddr& plc, uint32_t nThreadKey, const char* sExclusive, uint16_t* pnHandle,
                         CXmlDataServer** ppServer);
    // The PLC client of an address with one reference for the caller (AcquireSyncClient); null on failure.
    IKxFexSync* GetSyncClient(const HopAddr& plc);
    // Number of open data servers.
    size_t GetServerCount() { return m_handles.GetCount(); }

private:
    enum EOpenKind { OPEN_GENERIC, OPEN_READ, OPEN_WRITE, OPEN_CLARIFY };
    HRESULT AddServer(EOpenKind kind, const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode, const char* sFile,
                      const char* sSymbol, const char* sXmlPath, const char* sDst, const char* sUser,
                      const char* sPass, uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle);
    void RunJob(uint32_t nMsg, uint32_t invokeId, HopAddr* pAddr, uint32_t nGeneration, const uint8_t* pData,
                uint32_t cbData, uint32_t nIndexOffset, uint32_t nReadLength, uint32_t nPostTick);
    // The data server of nHandle; with nGeneration other than 0 only while the handle is still that issue.
    HRESULT LookupServer(uint16_t nHandle, uint32_t nGeneration, CXmlDataServer** ppServer);
    HRESULT RemoveServer(uint16_t nHandle, bool bDiscard, uint32_t nGeneration);
    void Answer(HopAddr* pAddr, uint32_t invokeId, HRESULT hr, uint32_t cbData = 0, const void* pData = nullptr);

    uint16_t m_nNextHandle = XMLLIST_FIRST_HANDLE;
    uint32_t m_nGeneration = 0;  // issue number of the last handle issued
    uint32_t m_nThreadCount = 1;
    IXmlDataServerListOwner* m_pOwner;
    CRITICAL_SECTION m_csList;
    CHashTableDyn<uint16_t, ServerMapValue_, CSyncDefault> m_handles;
    CHashTableString<CXmlDataServer*, CSyncDefault> m_paths;
    CFexSyncCache m_clients;
    CHashTable<uint32_t, CMessageThread*, 25, CSyncDefault> m_threads;
};
