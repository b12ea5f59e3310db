#include "XmlDataServerList.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "FileTracer.h"
#include "XmlBasePaths.h"
#include "XmlDataServer.h"
#include "XmlJobPayload.h"

namespace {

// Block 1 of a queued job: the requester's address, then the issue number of the handle the job was queued
// for (0 for the open jobs).
const uint32_t kJobHeaderSize = sizeof(HopAddr) + sizeof(uint32_t);

// Largest buffer a read job allocates: a longer answer could not travel in one frame anyway, and the
// piecewise transfer hands out the rest on the next request.
const uint32_t kMaxReadBuffer = 16u * 1024u * 1024u - 64u;

bool IsOpenJob(uint32_t nMsg)
{
    return nMsg == XMLJOB_OPEN || nMsg == XMLJOB_OPENREAD || nMsg == XMLJOB_OPENWRITE || nMsg == XMLJOB_CLARIFY;
}

// The full path of a file name: the index offset selects the boot directory (4), a user path (11..19)
// or none. False when the base directory cannot be read.
bool ComposePath(uint32_t nIndexOffset, const char* sName, std::string& sFull)
{
    const size_t cbFull = std::strlen(sName) + 1025;
    std::unique_ptr<char[]> full(new char[cbFull]);
    char dir[1024];
    if (nIndexOffset == 4) {
        if (!ReadBootPrjPath(dir, sizeof(dir)))
            return false;
        std::snprintf(full.get(), cbFull, "%s\\%s", dir, sName);
    } else if (nIndexOffset >= 11 && nIndexOffset <= 19) {
        if (!ReadUserPath(nIndexOffset - 10, dir, sizeof(dir)))
            return false;
        std::snprintf(full.get(), cbFull, "%s\\%s", dir, sName);
    } else {
        std::snprintf(full.get(), cbFull, "%s", sName);
    }
    sFull = full.get();
    return true;
}

struct CredentialCopy {
    char* user = nullptr;
    char* pass = nullptr;
    ~CredentialCopy()
    {
        delete[] user;
        delete[] pass;
    }
};

} // namespace

CXmlDataServerList::CXmlDataServerList(IXmlDataServerListOwner* pOwner, uint32_t nThreads) : m_pOwner(pOwner)
{
    OsUserInitializeCriticalSection(&m_csList);
    m_nThreadCount = nThreads == 0 ? 1 : (nThreads > XMLLIST_MAX_THREADS ? XMLLIST_MAX_THREADS : nThreads);
    for (uint32_t k = 0; k < m_nThreadCount; ++k) {
        CMessageThread* pThread = new (std::nothrow) CMessageThread(0, this);
        if (!pThread)
            continue;
        m_threads.Set(k, pThread);
        pThread->StartMessageThread(INFINITE);
    }
}

CXmlDataServerList::~CXmlDataServerList()
{
    // Workers first: no job may run while the tables and clients go away.
    for (uint32_t k = 0; k < XMLLIST_MAX_THREADS; ++k) {
        CMessageThread* pThread = nullptr;
        if (m_threads.Remove(k, &pThread))
            delete pThread;
    }
    RemoveAll();
    ReleaseSyncClients(m_clients);
    OsUserDeleteCriticalSection(&m_csList);
}

bool CXmlDataServerList::OnThreadMessage(uint32_t, uint64_t, int64_t, int&)
{
    return false;
}

bool CXmlDataServerList::OnMessageThreadInit()
{
    return true;
}

bool CXmlDataServerList::OnMessageThreadExit()
{
    return true;
}

void CXmlDataServerList::Answer(HopAddr* pAddr, uint32_t invokeId, HRESULT hr, uint32_t cbData, const void* pData)
{
    if (m_pOwner)
        m_pOwner->ReadWriteRes(pAddr, invokeId, hr, cbData, const_cast<void*>(pData));
}

uint32_t CXmlDataServerList::PostThreadMessage(uint32_t nMsg, uint32_t invokeId, int32_t nLength1,
                                               const uint8_t* pBlock1, uint32_t nLength2, const uint8_t* pBlock2,
                                               uint32_t nIndexOffset, uint32_t nReadLength)
{
    // Without the requester's address nothing could be answered: the job is dropped.
    if (!pBlock1 || nLength1 != static_cast<int32_t>(sizeof(HopAddr)))
        return 0;
    HopAddr requester;
    std::memcpy(&requester, pBlock1, sizeof(requester));

    uint32_t nThreadKey = nIndexOffset;
    uint32_t nGeneration = 0;
    if (!IsOpenJob(nMsg)) {
        OsUserEnterCriticalSection(&m_csList);
        ServerMapValue_ v;
        bool found = m_handles.Lookup(static_cast<uint16_t>(nIndexOffset & 0xFFFFu), v);
        OsUserLeaveCriticalSection(&m_csList);
        if (!found) {
            Answer(&requester, invokeId, kXmlErrGeneral);
            return 0;
        }
        nThreadKey = v.nThreadKey;
        nGeneration = v.nGeneration;
    }
    CMessageThread* pThread = nullptr;
    if (!m_threads.Lookup(nThreadKey % m_nThreadCount, pThread) || !pThread) {
        Answer(&requester, invokeId, kXmlErrGeneral);
        return 0;
    }
    // The job carries the handle's issue number: should the handle be closed and issued again before the job
    // runs, the job finds another issue and leaves the new data server alone.
    uint8_t header[kJobHeaderSize];
    std::memcpy(header, &requester, sizeof(HopAddr));
    std::memcpy(header + sizeof(HopAddr), &nGeneration, sizeof(nGeneration));
    uint32_t err = pThread->PostThreadMessage(nMsg, invokeId, kJobHeaderSize, header, nLength2, pBlock2,
                                              nIndexOffset, nReadLength);
    if (err != 0)
        Answer(&requester, invokeId, static_cast<HRESULT>(FEX_ERROR_BASE | err));
    return 0;
}

bool CXmlDataServerList::OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* pBlock1, uint32_t nLength1,
                                               uint8_t* pBlock2, uint32_t nLength2, uint32_t nValue1,
                                               uint32_t nValue2, uint32_t nPostTick)
{
    if (nLength1 != kJobHeaderSize || nMsg < XMLJOB_OPEN || nMsg > XMLJOB_CLARIFY)
        return false;
    HopAddr requester;
    std::memcpy(&requester, pBlock1, sizeof(requester));
    uint32_t nGeneration = 0;
    std::memcpy(&nGeneration, pBlock1 + sizeof(HopAddr), sizeof(nGeneration));
    // Nothing that happens inside one job may end the worker or the process.
    try {
        RunJob(nMsg, nParam, &requester, nGeneration, pBlock2, nLength2, nValue1, nValue2, nPostTick);
    } catch (...) {
        CFileTracer::WriteLine0("Job %u failed with an exception", nMsg);
        Answer(&requester, nParam, kXmlErrFailed);
    }
    return true;
}

void CXmlDataServerList::RunJob(uint32_t nMsg, uint32_t invokeId, HopAddr* pAddr, uint32_t nGeneration,
                                const uint8_t* pData, uint32_t cbData, uint32_t nIndexOffset, uint32_t nReadLength,
                                uint32_t nPostTick)
{
    const uint16_t nHandle = static_cast<uint16_t>(nIndexOffset & 0xFFFFu);
    XmlJobPayload job;
    HRESULT hr = XmlDecodeJobPayload(nMsg, pData, cbData, job);
    if (FAILED(hr)) {
        Answer(pAddr, invokeId, hr);
        return;
    }

    // A data job acts only on the data server it was queued for (see PostThreadMessage).
    CXmlDataServer* pServer = nullptr;
    switch (nMsg) {
    case XMLJOB_CLOSE:
        Answer(pAddr, invokeId, RemoveServer(nHandle, false, nGeneration));
        return;

    case XMLJOB_READ:
    case XMLJOB_READSYMBOL: {
        const uint32_t cb = nReadLength > kMaxReadBuffer ? kMaxReadBuffer : nReadLength;
        std::unique_ptr<BYTE[]> buf(new (std::nothrow) BYTE[cb ? cb : 1]);
        if (!buf) {
            Answer(pAddr, invokeId, kXmlErrBlockTooLarge);
            return;
        }
        uint32_t cbRead = 0;
        hr = LookupServer(nHandle, nGeneration, &pServer);
        if (FAILED(hr)) {
            Answer(pAddr, invokeId, hr);
            return;
        }
        if (nMsg == XMLJOB_READ)
            hr = pServer->Read(cb, buf.get(), &cbRead);
        else
            hr = pServer->Read(job.nMode, job.sSymbol, job.sXmlPath, cb, buf.get(), job.nSequence,
                               job.bAllowPartial, &cbRead);
        if (FAILED(hr)) {
            RemoveServer(nHandle, false, nGeneration);
            Answer(pAddr, invokeId, hr);
        } else {
            Answer(pAddr, invokeId, hr, cbRead, buf.get());
        }
        return;
    }

    case XMLJOB_WRITE:
    case XMLJOB_WRITESYMBOL:
        hr = LookupServer(nHandle, nGeneration, &pServer);
        if (FAILED(hr)) {
            Answer(pAddr, invokeId, hr);
            return;
        }
        if (nMsg == XMLJOB_WRITE)
            hr = pServer->Write(job.cbData, job.pData);
        else
            hr = pServer->Write(job.nMode, job.sSymbol, job.sXmlPath, job.cbData, job.pData, job.nSequence,
                                job.bAllowPartial);
        if (FAILED(hr))
            RemoveServer(nHandle, true, nGeneration);
        Answer(pAddr, invokeId, hr);
        return;

    default:
        break;
    }

    // The open jobs.
    if (job.nTimeout != 0xFFFFFFFFu && static_cast<uint32_t>(OsUserGetTickCount() - nPostTick) >= job.nTimeout) {
        Answer(pAddr, invokeId, kXmlErrTimedOut);
        return;
    }
    std::string full1, full2;
    if (!ComposePath(nIndexOffset, job.sFile, full1) ||
        (nMsg == XMLJOB_CLARIFY && !ComposePath(nIndexOffset, job.sDst, full2))) {
        Answer(pAddr, invokeId, kXmlErrFileAccess);
        return;
    }

    CredentialCopy cred;
    if (m_pOwner)
        m_pOwner->ReadUserNamePassword(&cred.user, &cred.pass);

    uint16_t nNewHandle = 0;
    switch (nMsg) {
    case XMLJOB_OPEN:
        hr = Add(job.plc, nIndexOffset, full1.c_str(), cred.user, cred.pass, job.nTimeout, nPostTick, &nNewHandle);
        break;
    case XMLJOB_OPENREAD:
        hr = AddRead(job.plc, nIndexOffset, job.nMode, full1.c_str(), job.sSymbol, job.sXmlPath, cred.user,
                     cred.pass, job.nTimeout, nPostTick, &nNewHandle);
        break;
    case XMLJOB_OPENWRITE:
        hr = AddWrite(job.plc, nIndexOffset, job.nMode, full1.c_str(), job.sSymbol, job.sXmlPath, cred.user,
                      cred.pass, job.nTimeout, nPostTick, &nNewHandle);
        break;
    default:
        hr = AddClarify(job.plc, nIndexOffset, full1.c_str(), full2.c_str(), cred.user, cred.pass, job.nTimeout,
                        nPostTick, &nNewHandle);
        break;
    }
    if (FAILED(hr)) {
        Answer(pAddr, invokeId, hr);
        return;
    }
    uint8_t handle[4] = {static_cast<uint8_t>(nNewHandle & 0xFF), static_cast<uint8_t>(nNewHandle >> 8), 0, 0};
    Answer(pAddr, invokeId, hr, sizeof(handle), handle);
}

HRESULT CXmlDataServerList::Add(const HopAddr& plc, uint32_t nThreadKey, const char* sFile, const char* sUser,
                                const char* sPass, uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle)
{
    return AddServer(OPEN_GENERIC, plc, nThreadKey, 0, sFile, nullptr, nullptr, nullptr, sUser, sPass, nTimeout,
                     nPostTick, pnHandle);
}

HRESULT CXmlDataServerList::AddRead(const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode, const char* sFile,
                                    const char* sSymbol, const char* sXmlPath, const char* sUser, const char* sPass,
                                    uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle)
{
    return AddServer(OPEN_READ, plc, nThreadKey, nMode, sFile, sSymbol, sXmlPath, nullptr, sUser, sPass, nTimeout,
                     nPostTick, pnHandle);
}

HRESULT CXmlDataServerList::AddWrite(const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode, const char* sFile,
                                     const char* sSymbol, const char* sXmlPath, const char* sUser,
                                     const char* sPass, uint32_t nTimeout, uint32_t nPostTick, uint16_t* pnHandle)
{
    return AddServer(OPEN_WRITE, plc, nThreadKey, nMode, sFile, sSymbol, sXmlPath, nullptr, sUser, sPass, nTimeout,
                     nPostTick, pnHandle);
}

HRESULT CXmlDataServerList::AddClarify(const HopAddr& plc, uint32_t nThreadKey, const char* sSrc, const char* sDst,
                                       const char* sUser, const char* sPass, uint32_t nTimeout, uint32_t nPostTick,
                                       uint16_t* pnHandle)
{
    return AddServer(OPEN_CLARIFY, plc, nThreadKey, 0, sSrc, nullptr, nullptr, sDst, sUser, sPass, nTimeout,
                     nPostTick, pnHandle);
}

HRESULT CXmlDataServerList::AddServer(EOpenKind kind, const HopAddr& plc, uint32_t nThreadKey, uint16_t nMode,
                                      const char* sFile, const char* sSymbol, const char* sXmlPath,
                                      const char* sDst, const char* sUser, const char* sPass, uint32_t nTimeout,
                                      uint32_t nPostTick, uint16_t* pnHandle)
{
    const char* sExclusive = nullptr;
    if (kind == OPEN_WRITE)
        sExclusive = sFile;
    else if (kind == OPEN_CLARIFY)
        sExclusive = sDst;

    uint16_t nHandle = 0;
    CXmlDataServer* pServer = nullptr;
    HRESULT hr = GetXmlServer(plc, nThreadKey, sExclusive, &nHandle, &pServer);
    if (FAILED(hr))
        return hr;
    // Write and clarify opens leave nothing behind when they fail or come too late: the file stays as it was.
    const bool discard = kind == OPEN_WRITE || kind == OPEN_CLARIFY;
    try {
        pServer->SetCredentials(sUser ? sUser : "", sPass ? sPass : "");
        switch (kind) {
        case OPEN_GENERIC: hr = pServer->Open(plc, 0, sFile, nullptr); break;
        case OPEN_READ: hr = pServer->OpenRead(plc, nMode, sFile, sSymbol, sXmlPath, nullptr); break;
        case OPEN_WRITE: hr = pServer->OpenWrite(plc, nMode, sFile, sSymbol, sXmlPath, nullptr); break;
        case OPEN_CLARIFY: hr = pServer->OpenClarify(sFile, sDst); break;
        }
    } catch (...) {
        // The job ends with the exception; the handle and its path must not outlive it.
        Remove(nHandle, discard);
        throw;
    }
    if (FAILED(hr)) {
        Remove(nHandle, discard);
        return hr;
    }
    if (nTimeout != 0xFFFFFFFFu && static_cast<uint32_t>(OsUserGetTickCount() - nPostTick) > nTimeout) {
        Remove(nHandle, discard);
        return kXmlErrTimedOut;
    }
    if (pnHandle)
        *pnHandle = nHandle;
    return hr;
}

IKxFexSync* AcquireSyncClient(CFexSyncCache& cache, const HopAddr& plc)
{
    FexSyncMapKey_ key{plc};
    IKxFexSync* pSync = nullptr;
    // Cached connections leave only with the whole cache, so one found here stays valid for the AddRef.
    if (cache.Lookup(key, pSync) && pSync) {
        pSync->AddRef();
        return pSync;
    }

    IKxFexClient* pClient = nullptr;
    if (FAILED(CreateFexClient(&pClient)) || !pClient)
        return nullptr;
    HopAddr target = plc;
    pSync = nullptr;
    HRESULT hr = pClient->Connect(&target, plc.port, 0, &pSync, 0, KxEmptyVariant(), KxEmptyVariant());
    pClient->Release();
    if (FAILED(hr) || !pSync)
        return nullptr;

    // Another thread may have connected the same address meanwhile: keep one and hand that out.
    cache.Lock();
    IKxFexSync* pCached = nullptr;
    if (cache.Lookup(key, pCached) && pCached) {
        pCached->AddRef();
        cache.Unlock();
        pSync->Release();
        return pCached;
    }
    EHashInsert res = cache.Set(key, pSync);
    if (res != HASH_FULL)
        pSync->AddRef();  // the cache's own reference
    cache.Unlock();
    if (res == HASH_FULL)
        CFileTracer::WriteLine0("Connection cache full, PLC client not cached");
    return pSync;
}

void ReleaseSyncClients(CFexSyncCache& cache)
{
    IKxFexSync* pSync = nullptr;
    while (cache.RemoveFirst(&pSync)) {
        if (pSync)
            pSync->Release();
    }
}

IKxFexSync* CXmlDataServerList::GetSyncClient(const HopAddr& plc)
{
    return AcquireSyncClient(m_clients, plc);
}

HRESULT CXmlDataServerList::GetXmlServer(const HopAddr& plc, uint32_t nThreadKey, const char* sExclusive,
                                         uint16_t* pnHandle, CXmlDataServer** ppServer)
{
    // The data server takes its own reference; this one goes with the call.
    CSyncClientRef sync(GetSyncClient(plc));
    if (!sync.Get())
        return kXmlErrNoPlcClient;

    // The key entered into the path table is kept with the handle, so that exactly this key is removed again.
    char* sKey = nullptr;
    if (sExclusive) {
        const size_t cbKey = std::strlen(sExclusive) + 1;
        sKey = new (std::nothrow) char[cbKey];
        if (!sKey)
            return kXmlErrNoFreeHandle;
        std::memcpy(sKey, sExclusive, cbKey);
    }

    OsUserEnterCriticalSection(&m_csList);
    CXmlDataServer* pOther = nullptr;
    if (sKey && m_paths.Lookup(sKey, pOther)) {
        OsUserLeaveCriticalSection(&m_csList);
        delete[] sKey;
        return kXmlErrFileBusy;
    }

    uint16_t nHandle;
    if (m_handles.GetCount() == 0) {
        nHandle = static_cast<uint16_t>(m_nNextHandle + 1);
        if (nHandle == 0)
            nHandle = XMLLIST_FIRST_HANDLE;
    } else {
        nHandle = m_nNextHandle;
        // The table holds at most 1000 entries, so a free value turns up within 1001 candidates.
        for (unsigned tries = 0; tries <= 0x1000; ++tries) {
            if (nHandle == 0)
                nHandle = XMLLIST_FIRST_HANDLE;
            if (!m_handles.Contains(nHandle))
                break;
            ++nHandle;
        }
    }
    m_nNextHandle = nHandle;

    CXmlDataServer* pServer = new (std::nothrow) CXmlDataServer(sync.Get());
    if (!pServer) {
        OsUserLeaveCriticalSection(&m_csList);
        delete[] sKey;
        return kXmlErrNoFreeHandle;
    }
    if (++m_nGeneration == 0)
        m_nGeneration = 1;  // 0 stands for the open jobs, which have no handle yet
    ServerMapValue_ v{pServer, nThreadKey, m_nGeneration, sKey};
    if (!m_handles.Add(nHandle, v)) {
        OsUserLeaveCriticalSection(&m_csList);
        delete pServer;
        delete[] sKey;
        return kXmlErrNoFreeHandle;
    }
    // A full path table leaves the path unregistered; the removal finds another holder or none and skips it.
    if (sKey)
        m_paths.Set(sKey, pServer);
    OsUserLeaveCriticalSection(&m_csList);
    *pnHandle = nHandle;
    *ppServer = pServer;
    return S_OK;
}

HRESULT CXmlDataServerList::Remove(uint16_t nHandle, bool bDiscard)
{
    return RemoveServer(nHandle, bDiscard, 0);
}

HRESULT CXmlDataServerList::RemoveServer(uint16_t nHandle, bool bDiscard, uint32_t nGeneration)
{
    OsUserEnterCriticalSection(&m_csList);
    ServerMapValue_ v;
    if (!m_handles.Lookup(nHandle, v) || (nGeneration != 0 && v.nGeneration != nGeneration)) {
        OsUserLeaveCriticalSection(&m_csList);
        return kXmlErrNotOpen;
    }
    if (!v.pServer) {
        OsUserLeaveCriticalSection(&m_csList);
        return kXmlErrFailed;
    }
    m_handles.Remove(nHandle);
    CXmlDataServer* pHolder = nullptr;
    if (v.sExclusive && m_paths.Lookup(v.sExclusive, pHolder) && pHolder == v.pServer)
        m_paths.Remove(v.sExclusive);
    OsUserLeaveCriticalSection(&m_csList);
    delete[] v.sExclusive;

    HRESULT hr = v.pServer->Close(bDiscard);
    delete v.pServer;
    return hr;
}

HRESULT CXmlDataServerList::LookupServer(uint16_t nHandle, uint32_t nGeneration, CXmlDataServer** ppServer)
{
    OsUserEnterCriticalSection(&m_csList);
    ServerMapValue_ v;
    bool found = m_handles.Lookup(nHandle, v) && (nGeneration == 0 || v.nGeneration == nGeneration);
    OsUserLeaveCriticalSection(&m_csList);
    if (!found)
        return kXmlErrNotOpen;
    if (!v.pServer)
        return kXmlErrFailed;
    *ppServer = v.pServer;
    return S_OK;
}

HRESULT CXmlDataServerList::Read(uint16_t nHandle, uint32_t cbLength, BYTE* pBuffer, uint32_t* pcbRead)
{
    CXmlDataServer* pServer = nullptr;
    HRESULT hr = LookupServer(nHandle, 0, &pServer);
    return FAILED(hr) ? hr : pServer->Read(cbLength, pBuffer, pcbRead);
}

HRESULT CXmlDataServerList::Write(uint16_t nHandle, uint32_t cbLength, const BYTE* pData)
{
    CXmlDataServer* pServer = nullptr;
    HRESULT hr = LookupServer(nHandle, 0, &pServer);
    return FAILED(hr) ? hr : pServer->Write(cbLength, pData);
}

HRESULT CXmlDataServerList::Read(uint16_t nHandle, uint16_t nMode, const char* sSymbol, const char* sXmlPath,
                                 uint32_t cbLength, BYTE* pBuffer, uint16_t nSequence, bool bAllowPartial,
                                 uint32_t* pcbRead)
{
    CXmlDataServer* pServer = nullptr;
    HRESULT hr = LookupServer(nHandle, 0, &pServer);
    return FAILED(hr) ? hr
                      : pServer->Read(nMode, sSymbol, sXmlPath, cbLength, pBuffer, nSequence, bAllowPartial, pcbRead);
}

HRESULT CXmlDataServerList::Write(uint16_t nHandle, uint16_t nMode, const char* sSymbol, const char* sXmlPath,
                                  uint32_t cbLength, const BYTE* pData, uint16_t nSequence, bool bAllowPartial)
{
    CXmlDataServer* pServer = nullptr;
    HRESULT hr = LookupServer(nHandle, 0, &pServer);
    return FAILED(hr) ? hr : pServer->Write(nMode, sSymbol, sXmlPath, cbLength, pData, nSequence, bAllowPartial);
}

void CXmlDataServerList::RemoveAll()
{
    // Quiesce the workers first: a data server must not be destroyed under a job that is still using it.
    // Jobs still queued are dropped; their requesters are answered by the router when the port goes.
    for (uint32_t k = 0; k < m_nThreadCount; ++k) {
        CMessageThread* pThread = nullptr;
        if (m_threads.Lookup(k, pThread) && pThread)
            pThread->StopMessageThread();
    }
    for (;;) {
        OsUserEnterCriticalSection(&m_csList);
        ServerMapValue_ v{nullptr, 0, 0, nullptr};
        uint16_t nHandle = 0;
        bool taken = m_handles.RemoveFirst(&v, &nHandle);
        if (taken && v.sExclusive) {
            CXmlDataServer* pHolder = nullptr;
            if (m_paths.Lookup(v.sExclusive, pHolder) && pHolder == v.pServer)
                m_paths.Remove(v.sExclusive);
        }
        OsUserLeaveCriticalSection(&m_csList);
        if (!taken)
            break;
        delete[] v.sExclusive;
        if (v.pServer) {
            v.pServer->Close(false);
            delete v.pServer;
        }
    }
    m_paths.RemoveAll();
}
