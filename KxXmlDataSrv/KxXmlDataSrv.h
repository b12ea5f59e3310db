// The service object: settings, lifecycle, the server port 10600 and the dispatch of incoming requests.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <string>

#include "Hop.h"
#include "KxFex.h"
#include "KxXmlErrors.h"
#include "OsUserTools.h"
#include "XmlDataServerList.h"
#include "platform/FreeBSD/KxWinTypes.h"

#include "XmlAppServer.h"

class CXmlAppServerList;

// Lifecycle interface driven by the control loop.
struct IKxServer : IUnknown {
    virtual HRESULT Init(VARIANT v) = 0;
    virtual HRESULT Start(VARIANT v) = 0;
    virtual HRESULT Shutdown(VARIANT v) = 0;
    virtual HRESULT Stop(VARIANT v) = 0;
    virtual HRESULT Reset(VARIANT v) = 0;
    virtual HRESULT LoadConfig(IUnknown* pStorage) = 0;
    virtual HRESULT SaveConfig(IUnknown* pStorage) = 0;
    virtual HRESULT OnKxSysStart() = 0;
    virtual HRESULT OnKxSysStop() = 0;
};

// 7f0c1e52-3a94-4d6b-b2e8-9c5d1a0f6e31
static const CLSID CLSID_KxXmlDataSrv = {0x7f0c1e52, 0x3a94, 0x4d6b, {0xb2, 0xe8, 0x9c, 0x5d, 0x1a, 0x0f, 0x6e, 0x31}};

// Server port of the service.
#define KXXMLDATASRV_PORT 10600
// Registry key of the service's settings under HKEY_LOCAL_MACHINE.
#define KXXMLDATASRV_SETTINGS_KEY "Software\\Velmor\\Korvex3 Functions\\QM4410 XML Server"

class CKxXmlDataSrv : public IKxServer, public IKxFexAsync, public IXmlDataServerListOwner {
public:
    CKxXmlDataSrv();
    virtual ~CKxXmlDataSrv();
    CKxXmlDataSrv(const CKxXmlDataSrv&) = delete;
    CKxXmlDataSrv& operator=(const CKxXmlDataSrv&) = delete;

    // IUnknown (shared by both interfaces).
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // In-process methods (reachable through the object only).
    virtual HRESULT WriteXmlToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXml, BSTR sXmlPath);
    virtual HRESULT WriteXmlFileToSymbol(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath);
    virtual HRESULT WriteSymbolToXml(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sXmlPath, BSTR* psXml);
    virtual HRESULT WriteSymbolToXmlFile(BSTR sNetId, ULONG nPort, BSTR sSymbol, BSTR sFile, BSTR sXmlPath,
                                         VARIANT_BOOL bCreateMissing);
    virtual HRESULT get_IgnoreOrder(VARIANT_BOOL* pbIgnoreOrder);
    virtual HRESULT put_IgnoreOrder(VARIANT_BOOL bIgnoreOrder);
    virtual HRESULT RegisterClient(BYTE nClientId, IKxXmlServerClient* pClient);
    virtual HRESULT UnregisterClient(BYTE nClientId, IKxXmlServerClient* pClient);

    // IKxFexAsync: requests to port 10600, called on router threads.
    HRESULT Write(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength,
                  PVOID pData) override;
    HRESULT Read(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength) override;
    HRESULT ReadWrite(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength,
                      ULONG cbWriteLength, PVOID pData) override;
    HRESULT WriteControl(HopAddr* pAddr, ULONG invokeId, USHORT nState, USHORT nDevState, ULONG cbLength,
                         PVOID pData) override;
    HRESULT ReadState(HopAddr* pAddr, ULONG invokeId) override;
    HRESULT ReadDeviceInfo(HopAddr* pAddr, ULONG invokeId) override;
    HRESULT AddDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                                  FexNotificationAttrib* pAttrib) override;
    HRESULT DelDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG hNotification) override;
    HRESULT DeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG cbLength,
                               FexNotificationStream* pStream) override;

    // IKxServer: the lifecycle, called by the control loop (or, on SIGTERM, by the main thread's handler).
    HRESULT Init(VARIANT v) override;
    HRESULT Start(VARIANT v) override;
    HRESULT Shutdown(VARIANT v) override;
    HRESULT Stop(VARIANT v) override;
    HRESULT Reset(VARIANT v) override;
    HRESULT LoadConfig(IUnknown* pStorage) override;
    HRESULT SaveConfig(IUnknown* pStorage) override;
    HRESULT OnKxSysStart() override;
    HRESULT OnKxSysStop() override;

    // Responses: the only way an answer reaches a client. kXmlErrGeneral without a port; else the port's result.
    HRESULT WriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult);
    HRESULT ReadRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength, PVOID pData);
    HRESULT ReadWriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength, PVOID pData) override;

    // Fresh NUL-terminated copies of the credentials (delete[] by the caller).
    void ReadUserNamePassword(char** ppUserName, char** ppPassword) override;

    // Sets the user-mode runtime flag under the service lock.
    void SetUserModeRuntime(ULONG bUserMode);
    // The protocol state reported to ReadState.
    ULONG GetDeviceState() const { return m_nDeviceState; }
    // 0, or kXmlErrVersion after a failed system check.
    HRESULT GetSystemCheckResult() const { return m_hrSystemCheck; }
    ULONG GetWorkerCount() const { return m_nWorkerCount; }
    // The log file path InitLog chose (empty when no log was opened).
    const std::string& GetLogPath() const { return m_sLogPath; }

    // Reads the runtime version and remembers whether it is acceptable (0 or kXmlErrVersion).
    HRESULT CheckSystem();

private:
    // Sends one response through the port under the service lock: send(port)'s result, or kXmlErrGeneral
    // without a port.
    template <class Send>
    HRESULT Respond(Send send);
    // Takes the port out of the responses' reach under the service lock, then releases it.
    void ReleasePort();
    // Logs sDoing, enters device state nState and logs sDone; S_OK.
    HRESULT EnterState(ULONG nState, const char* sDoing, const char* sDone);
    // The system check result when it refuses in-process calls (logged), else 0.
    HRESULT InProcessRefused();
    // The frame of an in-process method: the system check's refusal, E_POINTER without pRequired, *psOut (when
    // given) set to null, then open(data server) on a temporary data server without connection, which is closed
    // afterwards. The open's result; with bSaveFails a failed save at the close fails the call.
    template <class Open>
    HRESULT InProcessOpen(const void* pRequired, BSTR* psOut, bool bSaveFails, Open open);
    // nMode plus ignore order when the IgnoreOrder property is set.
    uint16_t InProcessMode(uint16_t nMode) const;
    // The application-server registry, or null while no client has registered.
    CXmlAppServerList* AppServerList();
    // Index groups 0x8001..0x8003 (lengths already checked).
    HRESULT DispatchAppServer(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                              ULONG cbWriteLength, const BYTE* pData);
    void InitLog();
    void ReadSettings();
    HRESULT WriteCredentials(HopAddr* pAddr, ULONG invokeId, ULONG cbLength, const BYTE* pData);
    // True while a port is connected (read under the service lock).
    bool HasPort();

    volatile LONG m_nRefCount = 0;
    ULONG m_bUserModeRuntime = 0;
    IKxFexServer* m_pServer = nullptr;
    IKxFexPort* m_pPort = nullptr;
    // Written by Init and Start on the control thread while router threads read them for every request.
    std::atomic<HRESULT> m_hrSystemCheck{S_OK};
    CXmlDataServerList* m_pServerList = nullptr;
    std::shared_mutex m_rwList; // guards the list pointer against Shutdown
    CXmlAppServerList* m_pAppServerList = nullptr;
    std::atomic<LONG> m_bIgnoreOrder{0}; // set by one client thread, read by the in-process calls of others
    CRITICAL_SECTION m_csService;
    ULONG m_nWorkerCount = 10;
    DWORD m_nIdentSizeSetting = 0; // XmlIdentSize as stored, before it was bounded
    std::atomic<ULONG> m_nDeviceState{KXXML_STATE_STOP};
    std::string m_sUserName;
    std::string m_sPassword;
    std::string m_sLogPath;
};

// Creates the service object, stores its IKxServer (one reference) in *ppSrv. 0, or E_POINTER/E_OUTOFMEMORY.
HRESULT CreateKxXmlDataSrv(IKxServer** ppSrv, ULONG bUserMode);
