// The registry of in-process clients, their open application servers and the connections to targets.
#pragma once

#include <memory>
#include <mutex>

#include "KxHashTable.h"
#include "XmlAppServer.h"
#include "XmlDataServerList.h"

// Most application servers open at a time.
#define XMLAPP_MAX_SERVERS 1000u

class CXmlAppServerList {
public:
    // pOwner sends the responses of index group 0x8002.
    explicit CXmlAppServerList(IXmlDataServerListOwner* pOwner);
    // Destroys every application server (no client is called) and releases the connections.
    ~CXmlAppServerList();
    CXmlAppServerList(const CXmlAppServerList&) = delete;
    CXmlAppServerList& operator=(const CXmlAppServerList&) = delete;

    // 0, or kXmlErrNoClient for id 0, a null client or an id already registered.
    HRESULT RegisterClient(BYTE nClientId, IKxXmlServerClient* pClient);
    // Closes the client's open application servers without calling it, then forgets it. kXmlErrNoClient for id 0
    // or an id not registered. After it returns the client is never called again.
    HRESULT UnregisterClient(BYTE nClientId);
    // Opens an application server for the client; *pnHandle receives its handle. kXmlErrNoClient (client),
    // kXmlErrFailed (no connection), kXmlErrNoFreeHandle (no free entry), or the open's error.
    HRESULT AddServer(BYTE nClientId, const HopAddr& target, const char* sSymbol, LONG nCookie, uint32_t* pnHandle);
    // Closes the application server, answers the requester, then hands the text to the client.
    // kXmlErrNotOpen (nothing sent) when no server has this handle; otherwise 0.
    HRESULT RemoveServer(HopAddr* pRequester, ULONG invokeId, uint16_t nHandle);
    // Closes and destroys an application server without answering anyone; kXmlErrNotOpen for no such handle.
    HRESULT RemoveServer(uint16_t nHandle);
    // Feeds data to an application server; kXmlErrNotOpen for no such handle.
    HRESULT Write(uint16_t nHandle, uint32_t cbLength, const BYTE* pData);
    // The connection to target with one reference for the caller (AcquireSyncClient); null on failure.
    IKxFexSync* GetSyncClient(const HopAddr& target);

    size_t GetServerCount() { return m_servers.GetCount(); }
    size_t GetConnectionCount() { return m_connections.GetCount(); }

private:
    IXmlDataServerListOwner* m_pOwner;
    uint16_t m_nHandle = 0xF000;
    CHashTableDyn<uint16_t, CXmlAppServer*, CSyncDefault> m_servers;
    CHashTable<uint8_t, std::shared_ptr<CXmlServerClient>, 255, CSyncDefault> m_clients;
    CFexSyncCache m_connections;
    // Serialises the operations on application servers, so that a data server is used by one thread at a
    // time and a server is never destroyed while another request works on it. Not held while responses are
    // sent or clients are called.
    std::mutex m_opLock;
    // Held while a client is called and while a client is removed: once UnregisterClient returns, no call
    // to that client is in progress or can start.
    std::recursive_mutex m_callLock;
};
