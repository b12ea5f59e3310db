#include "XmlAppServer.h"

#include <new>
#include <string>

#include "XmlDataServer.h"

CXmlServerClient::CXmlServerClient(IKxXmlServerClient* pClient) : m_pClient(pClient)
{
    if (m_pClient)
        m_pClient->AddRef();
}

CXmlServerClient::~CXmlServerClient()
{
    if (m_pClient)
        m_pClient->Release();
}

CXmlAppServer::CXmlAppServer(std::shared_ptr<CXmlServerClient> pClient, const char* sSymbol, LONG nCookie)
    : m_pClient(std::move(pClient)), m_sSymbol(sSymbol ? sSymbol : ""), m_nCookie(nCookie)
{
    m_sXmlPath = CString("/dataentry/") + m_sSymbol;
}

CXmlAppServer::~CXmlAppServer()
{
    delete m_pDataServer;
    KxSysFreeString(m_sXml);
}

HRESULT CXmlAppServer::Open(IKxFexSync* pSync, const HopAddr& target)
{
    if (m_pDataServer)
        return kXmlErrInvalidState;
    m_pDataServer = new (std::nothrow) CXmlDataServer(pSync);
    if (!m_pDataServer)
        return E_OUTOFMEMORY;
    HRESULT hr = m_pDataServer->OpenWrite(target, 0x0001, "", m_sSymbol, m_sXmlPath, nullptr);
    if (FAILED(hr)) {
        delete m_pDataServer;
        m_pDataServer = nullptr;
    }
    return hr;
}

HRESULT CXmlAppServer::Write(uint32_t cbLength, const BYTE* pData)
{
    if (!m_pDataServer)
        return kXmlErrInvalidState;
    return m_pDataServer->Write(cbLength, pData);
}

HRESULT CXmlAppServer::Close()
{
    if (!m_pDataServer)
        return kXmlErrInvalidState;
    std::string text;
    HRESULT hr = m_pDataServer->GetXml(text);
    if (SUCCEEDED(hr)) {
        KxSysFreeString(m_sXml);
        m_sXml = KxSysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
    }
    // The document lives only in memory: nothing is saved.
    m_pDataServer->Close(true);
    delete m_pDataServer;
    m_pDataServer = nullptr;
    return hr;
}
