#include "XmlAppServerList.h"

#include <new>
#include <vector>

#include "KxXmlErrors.h"

CXmlAppServerList::CXmlAppServerList(IXmlDataServerListOwner* pOwner)
    : m_pOwner(pOwner), m_servers(XMLAPP_MAX_SERVERS, 1)
{
}

CXmlAppServerList::~CXmlAppServerList()
{
    std::lock_guard<std::mutex> op(m_opLock);
    CXmlAppServer* pServer = nullptr;
    while (m_servers.RemoveFirst(&pServer))
        delete pServer;
    std::shared_ptr<CXmlServerClient> pClient;
    while (m_clients.RemoveFirst(&pClient))
        pClient.reset();
    ReleaseSyncClients(m_connections);
}

HRESULT CXmlAppServerList::RegisterClient(BYTE nClientId, IKxXmlServerClient* pClient)
{
    if (nClientId == 0 || !pClient)
        return kXmlErrNoClient;
    std::shared_ptr<CXmlServerClient> wrapper;
    try {
        wrapper = std::make_shared<CXmlServerClient>(pClient);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (!m_clients.Add(nClientId, wrapper))
        return kXmlErrNoClient;
    return S_OK;
}

HRESULT CXmlAppServerList::UnregisterClient(BYTE nClientId)
{
    if (nClientId == 0)
        return kXmlErrNoClient;
    std::vector<CXmlAppServer*> orphans;
    {
        // The call lock first: a client being called may itself wait for a request that needs the
        // operation lock, so that lock is never held while waiting for the call lock.
        std::lock_guard<std::recursive_mutex> call(m_callLock);
        std::lock_guard<std::mutex> op(m_opLock);
        std::shared_ptr<CXmlServerClient> pClient;
        if (!m_clients.Remove(nClientId, &pClient))
            return kXmlErrNoClient;
        // The client's open servers are closed with it: none of them may call it later.
        std::vector<uint16_t> handles;
        m_servers.ForEach([&](uint16_t h, CXmlAppServer* p) {
            if (p && p->Owner() == pClient)
                handles.push_back(h);
        });
        for (uint16_t h : handles) {
            CXmlAppServer* p = nullptr;
            if (m_servers.Remove(h, &p))
                orphans.push_back(p);
        }
    }
    for (CXmlAppServer* p : orphans)
        delete p;
    return S_OK;
}

IKxFexSync* CXmlAppServerList::GetSyncClient(const HopAddr& target)
{
    return AcquireSyncClient(m_connections, target);
}

HRESULT CXmlAppServerList::AddServer(BYTE nClientId, const HopAddr& target, const char* sSymbol, LONG nCookie,
                                     uint32_t* pnHandle)
{
    if (nClientId == 0)
        return kXmlErrNoClient;
    // The client is looked up under the operation lock, so that an UnregisterClient running meanwhile
    // cannot leave a server behind that still holds the removed client.
    std::lock_guard<std::mutex> op(m_opLock);
    std::shared_ptr<CXmlServerClient> pClient;
    if (!m_clients.Lookup(nClientId, pClient) || !pClient)
        return kXmlErrNoClient;
    // The data server takes its own reference; this one goes when the open finishes, so a connection the
    // full cache could not keep lives exactly as long as its server.
    CSyncClientRef sync(GetSyncClient(target));
    if (!sync.Get())
        return kXmlErrFailed;

    uint16_t nHandle;
    if (m_servers.GetCount() == 0) {
        nHandle = m_nHandle == 0xFFFF ? 0xF000 : static_cast<uint16_t>(m_nHandle + 1);
        m_nHandle = nHandle;
    } else {
        if (m_nHandle == 0)
            m_nHandle = 0xF000;
        // Handles stay within 0xF000..0xFFFF: past 0xFFFF the search goes on at 0xF000, never at 0.
        unsigned tries = 0;
        while (m_servers.Contains(m_nHandle) && tries++ < 0x1000)
            m_nHandle = m_nHandle == 0xFFFF ? 0xF000 : static_cast<uint16_t>(m_nHandle + 1);
        nHandle = m_nHandle;
    }

    CXmlAppServer* pServer = new (std::nothrow) CXmlAppServer(pClient, sSymbol ? sSymbol : "", nCookie);
    if (!pServer)
        return E_OUTOFMEMORY;
    if (!m_servers.Add(nHandle, pServer)) {
        delete pServer;
        return kXmlErrNoFreeHandle;
    }
    HRESULT hr = pServer->Open(sync.Get(), target);
    if (FAILED(hr)) {
        m_servers.Remove(nHandle);
        delete pServer;
        return hr;
    }
    if (pnHandle)
        *pnHandle = nHandle;
    return hr;
}

HRESULT CXmlAppServerList::RemoveServer(HopAddr* pRequester, ULONG invokeId, uint16_t nHandle)
{
    CXmlAppServer* pServer = nullptr;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> op(m_opLock);
        if (!m_servers.Remove(nHandle, &pServer) || !pServer)
            return kXmlErrNotOpen;
        hr = pServer->Close();
    }
    if (m_pOwner)
        m_pOwner->ReadWriteRes(pRequester, invokeId, hr, 0, nullptr);
    if (SUCCEEDED(hr) && pServer->Xml()) {
        std::lock_guard<std::recursive_mutex> call(m_callLock);
        // Only a client that is still registered is called.
        bool registered = false;
        m_clients.ForEach([&](uint8_t, const std::shared_ptr<CXmlServerClient>& c) {
            if (c == pServer->Owner())
                registered = true;
        });
        if (registered) {
            BSTR sSymbol = KxSysAllocString(pServer->Symbol());
            BSTR sPath = KxSysAllocString(pServer->XmlPath());
            if (sSymbol && sPath)
                pServer->Owner()->Client()->OnWriteXml(pServer->Xml(), sSymbol, sPath, pServer->Cookie());
            KxSysFreeString(sSymbol);
            KxSysFreeString(sPath);
        }
    }
    delete pServer;
    return S_OK;
}

HRESULT CXmlAppServerList::RemoveServer(uint16_t nHandle)
{
    CXmlAppServer* pServer = nullptr;
    {
        std::lock_guard<std::mutex> op(m_opLock);
        if (!m_servers.Remove(nHandle, &pServer) || !pServer)
            return kXmlErrNotOpen;
    }
    delete pServer;
    return S_OK;
}

HRESULT CXmlAppServerList::Write(uint16_t nHandle, uint32_t cbLength, const BYTE* pData)
{
    std::lock_guard<std::mutex> op(m_opLock);
    CXmlAppServer* pServer = nullptr;
    if (!m_servers.Lookup(nHandle, pServer) || !pServer)
        return kXmlErrNotOpen;
    return pServer->Write(cbLength, pData);
}
