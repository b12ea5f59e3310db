// Application servers: in-process clients receive the XML text of one PLC symbol that a device-protocol
// client fed through index groups 0x8001 (open), 0x8003 (data) and 0x8002 (close).
#pragma once

#include <memory>

#include "Hop.h"
#include "KxFex.h"
#include "KxString.h"
#include "platform/FreeBSD/KxWinTypes.h"

class CXmlDataServer;

// Callback of an in-process client.
struct IKxXmlServerClient : IUnknown {
    // The finished XML text of an application server, its symbol name and XML path, and the cookie the
    // device-protocol client gave. All texts are length-prefixed strings owned by the caller.
    virtual HRESULT OnWriteXml(BSTR sXml, BSTR sSymbol, BSTR sXmlPath, LONG nCookie) = 0;
};

// 5b2d9c71-0e4a-4f38-9d16-7a3c8e1f2b90
static const IID IID_IKxXmlServerClient = {
    0x5b2d9c71, 0x0e4a, 0x4f38, {0x9d, 0x16, 0x7a, 0x3c, 0x8e, 0x1f, 0x2b, 0x90}};

// One registered client: holds one reference to its callback.
class CXmlServerClient {
public:
    explicit CXmlServerClient(IKxXmlServerClient* pClient);
    ~CXmlServerClient();
    CXmlServerClient(const CXmlServerClient&) = delete;
    CXmlServerClient& operator=(const CXmlServerClient&) = delete;

    IKxXmlServerClient* Client() const { return m_pClient; }

private:
    IKxXmlServerClient* m_pClient;
};

// One application server: a data server that writes one symbol into an in-memory document.
class CXmlAppServer {
public:
    CXmlAppServer(std::shared_ptr<CXmlServerClient> pClient, const char* sSymbol, LONG nCookie);
    ~CXmlAppServer();
    CXmlAppServer(const CXmlAppServer&) = delete;
    CXmlAppServer& operator=(const CXmlAppServer&) = delete;

    // Opens the data server for writing the symbol under "/dataentry/<symbol>". kXmlErrInvalidState when open already.
    HRESULT Open(IKxFexSync* pSync, const HopAddr& target);
    // Passes a piece of the symbol's value to the data server. kXmlErrInvalidState without a data server.
    HRESULT Write(uint32_t cbLength, const BYTE* pData);
    // Takes the document's text and destroys the data server. kXmlErrInvalidState without a data server.
    HRESULT Close();

    const std::shared_ptr<CXmlServerClient>& Owner() const { return m_pClient; }
    const CString& Symbol() const { return m_sSymbol; }
    const CString& XmlPath() const { return m_sXmlPath; }
    LONG Cookie() const { return m_nCookie; }
    // The finished text (length-prefixed), null until a successful Close.
    BSTR Xml() const { return m_sXml; }

private:
    CXmlDataServer* m_pDataServer = nullptr;
    std::shared_ptr<CXmlServerClient> m_pClient;
    CString m_sSymbol;
    CString m_sXmlPath;
    LONG m_nCookie;
    BSTR m_sXml = nullptr;
};
