// The in-process methods of the service object: one open on a temporary data server each.
#include <memory>
#include <new>

#include "FileTracer.h"
#include "KxXmlDataSrv.h"
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

HRESULT CKxXmlDataSrv::WriteXmlToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXml, BSTR sXmlPath)
{
    HRESULT hr = InProcessRefused();
    if (FAILED(hr))
        return hr;
    if (!sXml)
        return E_POINTER;
    std::unique_ptr<CXmlDataServer> ds(new (std::nothrow) CXmlDataServer());
    if (!ds)
        return E_OUTOFMEMORY;
    hr = ds->OpenRead(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_TRANSFER), "", Text(sSymbol), Text(sXmlPath),
                      sXml);
    ds->Close(false);
    return hr;
}

HRESULT CKxXmlDataSrv::WriteXmlFileToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath)
{
    HRESULT hr = InProcessRefused();
    if (FAILED(hr))
        return hr;
    if (!sFile)
        return E_POINTER;
    std::unique_ptr<CXmlDataServer> ds(new (std::nothrow) CXmlDataServer());
    if (!ds)
        return E_OUTOFMEMORY;
    hr = ds->OpenRead(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_TRANSFER), sFile, Text(sSymbol),
                      Text(sXmlPath), nullptr);
    ds->Close(false);
    return hr;
}

HRESULT CKxXmlDataSrv::WriteSymbolToXml(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXmlPath, BSTR* psXml)
{
    HRESULT hr = InProcessRefused();
    if (FAILED(hr))
        return hr;
    if (!psXml)
        return E_POINTER;
    *psXml = nullptr;
    std::unique_ptr<CXmlDataServer> ds(new (std::nothrow) CXmlDataServer());
    if (!ds)
        return E_OUTOFMEMORY;
    hr = ds->OpenWrite(TargetOf(sNetId, nPort), InProcessMode(XMLDS_MODE_CREATE | XMLDS_MODE_TRANSFER), "",
                       Text(sSymbol), Text(sXmlPath), psXml);
    ds->Close(false);
    return hr;
}

HRESULT CKxXmlDataSrv::WriteSymbolToXmlFile(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath,
                                            VARIANT_BOOL bCreateMissing)
{
    HRESULT hr = InProcessRefused();
    if (FAILED(hr))
        return hr;
    if (!sFile)
        return E_POINTER;
    uint16_t mode = XMLDS_MODE_TRANSFER;
    if (bCreateMissing == VARIANT_TRUE)
        mode |= XMLDS_MODE_CREATE;
    std::unique_ptr<CXmlDataServer> ds(new (std::nothrow) CXmlDataServer());
    if (!ds)
        return E_OUTOFMEMORY;
    hr = ds->OpenWrite(TargetOf(sNetId, nPort), InProcessMode(mode), sFile, Text(sSymbol), Text(sXmlPath), nullptr);
    // Closing saves what the open stored; a failed save fails the call.
    HRESULT hrClose = ds->Close(false);
    if (SUCCEEDED(hr) && FAILED(hrClose))
        hr = hrClose;
    return hr;
}

HRESULT CKxXmlDataSrv::RegisterClient(BYTE, IKxXmlServerClient*)
{
    return E_NOTIMPL;
}

HRESULT CKxXmlDataSrv::UnregisterClient(BYTE, IKxXmlServerClient*)
{
    return E_NOTIMPL;
}
