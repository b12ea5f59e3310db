// The in-process methods of the service object: one open on a temporary data server each.
#include <cstring>
#include <memory>
#include <new>

#include "FileTracer.h"
#include "KxXmlDataSrv.h"
#include "XmlAppServerList.h"
#include "XmlDataServer.h"

namespace {

const char* Text(BSTR s)
{
    return s ? s : "";
}

HopAddr TargetOf(BSTR sNetId, ULONG nPort)
{
    HopAddr addr;
    BstrToNetId(sNetId, addr.netId);
    addr.port = static_cast<uint16_t>(nPort);
    return addr;
}

} // namespace

HRESULT CKxXmlDataSrv::InProcessRefused()
{
    if (m_hrSystemCheck < 0) {
        CFileTracer::WriteLine0("Invalid Korvex Version");
        return m_hrSystemCheck;
    }
    return S_OK;
}

uint16_t CKxXmlDataSrv::InProcessMode(uint16_t nMode) const
{
    return static_cast<uint16_t>(nMode | (m_bIgnoreOrder ? XMLDS_MODE_IGNOREORDER : 0));
}

template <class Open>
HRESULT CKxXmlDataSrv::InProcessOpen(const void* pRequired, BSTR* psOut, bool bSaveFails, Open open)
{
    HRESULT hr = InProcessRefused();
    if (FAILED(hr))
        return hr;
    if (!pRequired)
        return E_POINTER;
    if (psOut)
        *psOut = nullptr;
    std::unique_ptr<CXmlDataServer> ds(new (std::nothrow) CXmlDataServer());
    if (!ds)
        return E_OUTOFMEMORY;
    hr = open(*ds);
    // Closing saves what a write open stored.
    HRESULT hrClose = ds->Close(false);
    if (bSaveFails && SUCCEEDED(hr) && FAILED(hrClose))
        hr = hrClose;
    return hr;
}

HRESULT CKxXmlDataSrv::WriteXmlToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXml, BSTR sXmlPath)
{
    return InProcessOpen(sXml, nullptr, false, [&](CXmlDataServer& ds) {
        return ds.OpenRead(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_TRANSFER), "", Text(sSymbol),
                           Text(sXmlPath), sXml);
    });
}

HRESULT CKxXmlDataSrv::WriteXmlFileToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath)
{
    return InProcessOpen(sFile, nullptr, false, [&](CXmlDataServer& ds) {
        return ds.OpenRead(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_TRANSFER), sFile, Text(sSymbol),
                           Text(sXmlPath), nullptr);
    });
}

HRESULT CKxXmlDataSrv::WriteSymbolToXml(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXmlPath, BSTR* psXml)
{
    return InProcessOpen(psXml, psXml, false, [&](CXmlDataServer& ds) {
        return ds.OpenWrite(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER), "",
                            Text(sSymbol), Text(sXmlPath), psXml);
    });
}

HRESULT CKxXmlDataSrv::WriteSymbolToXmlFile(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath,
                                            VARIANT_BOOL bCreateMissing)
{
    // A failed save fails the call.
    return InProcessOpen(sFile, nullptr, true, [&](CXmlDataServer& ds) {
        uint16_t mode = XMLDS_MODE_TRANSFER;
        if (bCreateMissing == VARIANT_TRUE)
            mode |= XMLDS_MODE_CREATE;
        return ds.OpenWrite(TargetOf(sNetId, nPort), InProcessMode(mode), sFile, Text(sSymbol), Text(sXmlPath),
                            nullptr);
    });
}

HRESULT CKxXmlDataSrv::RegisterClient(BYTE nClientId, IKxXmlServerClient* pClient)
{
    OsUserEnterCriticalSection(&m_csService);
    if (!m_pAppServerList)
        m_pAppServerList = new (std::nothrow) CXmlAppServerList(this);
    CXmlAppServerList* pList = m_pAppServerList;
    OsUserLeaveCriticalSection(&m_csService);
    if (!pList)
        return E_OUTOFMEMORY;
    return pList->RegisterClient(nClientId, pClient);
}

HRESULT CKxXmlDataSrv::UnregisterClient(BYTE nClientId, IKxXmlServerClient*)
{
    CXmlAppServerList* pList = AppServerList();
    if (!pList)
        return E_FAIL;
    return pList->UnregisterClient(nClientId);
}

CXmlAppServerList* CKxXmlDataSrv::AppServerList()
{
    OsUserEnterCriticalSection(&m_csService);
    CXmlAppServerList* pList = m_pAppServerList;
    OsUserLeaveCriticalSection(&m_csService);
    return pList;
}

HRESULT CKxXmlDataSrv::DispatchAppServer(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                                         ULONG cbWriteLength, const BYTE* pData)
{
    CXmlAppServerList* pList = AppServerList();
    if (!pList)
        return ReadWriteRes(pAddr, invokeId, kXmlErrNoClient, 0, nullptr);
    const uint16_t nHandle = static_cast<uint16_t>(indexOffset & 0xFFFFu);
    switch (indexGroup) {
    case 0x8001: {
        // Target (8), not read (4), cookie (4), name length (2), client id (1), name and NUL.
        const uint32_t n = static_cast<uint32_t>(pData[16] | (pData[17] << 8));
        if (cbWriteLength != n + 20)
            return ReadWriteRes(pAddr, invokeId, kXmlErrInvalidSize, 0, nullptr);
        const char* sName = reinterpret_cast<const char*>(pData + 19);
        // A name whose real length differs from its field is dropped without an answer.
        const void* nul = std::memchr(sName, 0, n + 1);
        if (!nul || static_cast<const char*>(nul) - sName != static_cast<ptrdiff_t>(n))
            return S_OK;
        HopAddr target;
        std::memcpy(&target, pData, sizeof(target));
        LONG cookie;
        std::memcpy(&cookie, pData + 12, sizeof(cookie));
        uint32_t handle = 0;
        HRESULT hr = pList->AddServer(pData[18], target, sName, cookie, &handle);
        if (FAILED(hr))
            return ReadWriteRes(pAddr, invokeId, hr, 0, nullptr);
        uint8_t out[4] = {uint8_t(handle), uint8_t(handle >> 8), uint8_t(handle >> 16), uint8_t(handle >> 24)};
        return ReadWriteRes(pAddr, invokeId, S_OK, sizeof(out), out);
    }
    case 0x8002:
        return pList->RemoveServer(pAddr, invokeId, nHandle);
    default:
        return ReadWriteRes(pAddr, invokeId, pList->Write(nHandle, cbWriteLength, pData), 0, nullptr);
    }
}
