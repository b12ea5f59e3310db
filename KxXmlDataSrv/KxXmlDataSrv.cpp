#include "KxXmlDataSrv.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "FileTracer.h"
#include "KxReg.h"
#include "KxXmlErrors.h"
#include "XmlAppServerList.h"
#include "XmlDataServerBackup.h"
#include "XmlDataServerList.h"
#include "XmlDataServerSettings.h"
#include "platform/KxOS/KxOsRegistry.h"

namespace {

const FexVersion kFexVersion = {3, 2, 38};
const char kDeviceName[] = "KxXmlDataSrv";

// Reads a double word; dflt when the value is missing, unreadable or of another type.
DWORD ReadDword(HKEY hKey, const char* name, DWORD dflt)
{
    DWORD type = 0;
    DWORD value = 0;
    DWORD cb = sizeof(value);
    if (OsRegQueryValueExA(hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb) != ERROR_SUCCESS ||
        type != REG_DWORD || cb != sizeof(value))
        return dflt;
    return value;
}

// A copy of a NUL-terminated text, bounded by the bytes that are really there.
std::string BoundedString(const BYTE* p, size_t max)
{
    const void* nul = std::memchr(p, 0, max);
    return std::string(reinterpret_cast<const char*>(p), nul ? static_cast<const BYTE*>(nul) - p : max);
}

uint16_t ReadU16(const BYTE* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

CKxXmlDataSrv::CKxXmlDataSrv()
{
    OsUserInitializeCriticalSection(&m_csService);
    ReadSettings();
}

CKxXmlDataSrv::~CKxXmlDataSrv()
{
    // Released without a Shutdown (the control loop ended without message 3): shut down first, so that the
    // list goes out of the dispatch's reach before it is destroyed and the port's rundown waits for every
    // router thread still inside this object before anything else is freed.
    if (m_pServerList || m_pPort || m_pServer)
        Shutdown(KxEmptyVariant());
    delete m_pAppServerList;
    m_pAppServerList = nullptr;
    CFileTracer::WriteLine2("KxXmlDataSrv stopped");
    CFileTracer::Close();
    if (m_pPort)
        m_pPort->Release();
    if (m_pServer)
        m_pServer->Release();
    OsUserDeleteCriticalSection(&m_csService);
}

void CKxXmlDataSrv::ReadSettings()
{
    HKEY hKey = nullptr;
    if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, KXXMLDATASRV_SETTINGS_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    m_nWorkerCount = ReadDword(hKey, "NumWorkerThreads", 10);
    CXmlDataServerSettings::m_nFexBlockSize = ReadDword(hKey, "FexBlockSize", 262144);
    // The indent is built here as a string, so a wild value would end the process before it could serve.
    m_nIdentSizeSetting = ReadDword(hKey, "XmlIdentSize", 0);
    CXmlDataServerSettings::m_nIdentSize =
        m_nIdentSizeSetting > kXmlMaxIdentSize ? kXmlMaxIdentSize : m_nIdentSizeSetting;
    CXmlDataServerSettings::m_bTrimStrings = ReadDword(hKey, "XmlTrimStrings", 0) != 0;
    CXmlDataServerSettings::m_bUseSpaces = ReadDword(hKey, "XmlUseSpaces", 0) != 0;
    CXmlDataServerSettings::m_sIndent.assign(CXmlDataServerSettings::m_nIdentSize,
                                             CXmlDataServerSettings::m_bUseSpaces ? ' ' : '\t');
    XmlBackupLoadSettings(hKey);
    OsRegCloseKey(hKey);
    if (CXmlDataServerSettings::m_pBackupFileHandling)
        CXmlDataServerSettings::m_pBackupFileHandling->CreateBackupFiles();
}

HRESULT CKxXmlDataSrv::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IKxServer)
        *ppv = static_cast<IKxServer*>(this);
    else if (riid == IID_IKxFexAsync)
        *ppv = static_cast<IKxFexAsync*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CKxXmlDataSrv::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_nRefCount));
}

ULONG CKxXmlDataSrv::Release()
{
    LONG n = InterlockedDecrement(&m_nRefCount);
    if (n == 0)
        delete this;
    return static_cast<ULONG>(n);
}

void CKxXmlDataSrv::SetUserModeRuntime(ULONG bUserMode)
{
    OsUserEnterCriticalSection(&m_csService);
    m_bUserModeRuntime = bUserMode;
    OsUserLeaveCriticalSection(&m_csService);
}

void CKxXmlDataSrv::InitLog()
{
    DWORD level = 1, maxSize = 10000, writeThrough = 0;
    HKEY hKey = nullptr;
    if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, KXXMLDATASRV_SETTINGS_KEY, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        level = ReadDword(hKey, "LogLevel", 1);
        maxSize = ReadDword(hKey, "LogMaxFileSize", 10000);
        writeThrough = ReadDword(hKey, "LogWriteThrough", 0);
        OsRegCloseKey(hKey);
    }
    m_sLogPath.clear();
    if (level == 0) {
        // No log: the verdicts kept for it are dropped rather than held for the life of the process.
        XmlBackupWritePendingLog();
        return;
    }

    OsUserEnterCriticalSection(&m_csService);
    ULONG userMode = m_bUserModeRuntime;
    OsUserLeaveCriticalSection(&m_csService);
    std::string suffix;
    if (userMode) {
        IKxFexClient* pClient = nullptr;
        if (SUCCEEDED(CreateFexClient(&pClient)) && pClient) {
            IKxFexHelper* pHelper = nullptr;
            if (SUCCEEDED(pClient->QueryInterface(IID_IKxFexHelper, reinterpret_cast<void**>(&pHelper))) &&
                pHelper) {
                HopNetId id;
                if (SUCCEEDED(pHelper->GetLocalNetId(&id))) {
                    char buf[40];
                    std::snprintf(buf, sizeof(buf), "_%d.%d.%d.%d.%d.%d", id.b[0], id.b[1], id.b[2], id.b[3],
                                  id.b[4], id.b[5]);
                    suffix = buf;
                }
                pHelper->Release();
            }
            pClient->Release();
        }
    }

    char* installDir = nullptr;
    if (KxRegReadInstallDir(&installDir) && installDir && *installDir)
        m_sLogPath = std::string(installDir) + "/../Functions/QM4410-XML-Server/KxXmlDataSrv";
    else
        m_sLogPath = "/tmp/KxXmlDataSrv";
    KxRegPathFree(installDir);
    m_sLogPath += suffix + ".log";
    CFileTracer::Open(m_sLogPath.c_str(), level, maxSize, writeThrough != 0);
    // The settings and the backup configuration were read before the log existed.
    if (m_nIdentSizeSetting != CXmlDataServerSettings::m_nIdentSize)
        CFileTracer::WriteLine0("XmlIdentSize %u is too large, an indent of %u is used", m_nIdentSizeSetting,
                                CXmlDataServerSettings::m_nIdentSize);
    XmlBackupWritePendingLog();
}

HRESULT CKxXmlDataSrv::CheckSystem()
{
    CFileTracer::WriteLine2("Performing system check...");
    // Decided locally and published once: requests arriving during a repeated check see the old or the
    // new result, never a passing value in between.
    HRESULT hrCheck = S_OK;
    bool ok = false;
    HKEY hKey = nullptr;
    if (OsRegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Velmor\\Korvex3", 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        char version[1024];
        DWORD type = 0;
        DWORD cb = sizeof(version);
        if (OsRegQueryValueExA(hKey, "CurrentVersion", nullptr, &type, reinterpret_cast<BYTE*>(version), &cb) ==
                ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && cb > 0 && cb <= sizeof(version) &&
            version[cb - 1] == '\0')
            ok = std::strcmp(version, "3.0") != 0;
        OsRegCloseKey(hKey);
    }
    if (!ok) {
        CFileTracer::WriteLine0("System check failed: Invalid Korvex version");
        hrCheck = kXmlErrVersion;
    }
    m_hrSystemCheck = hrCheck;
    if (hrCheck < 0)
        CFileTracer::WriteLine0("System check failed: HRESULT=\"0x%x\"", static_cast<unsigned>(hrCheck));
    else
        CFileTracer::WriteLine2("System check was successfull");
    return hrCheck;
}

HRESULT CKxXmlDataSrv::Init(VARIANT)
{
    // Refused before anything is touched: workers and router threads are writing to the log that InitLog
    // would reopen, and the device state and system check result are theirs to read.
    if (m_pServerList) {
        CFileTracer::WriteLine2("Initializing...");
        CFileTracer::WriteLine0("Initialization failed: Server list is already initialized");
        return kXmlErrAlreadyInit;
    }
    InitLog();
    OsUserEnterCriticalSection(&m_csService);
    ULONG userMode = m_bUserModeRuntime;
    OsUserLeaveCriticalSection(&m_csService);
    if (!userMode)
        CheckSystem();
    CFileTracer::WriteLine2("Initializing...");
    m_nDeviceState = KXXML_STATE_INIT;

    IKxFexAsync* pAsync = nullptr;
    QueryInterface(IID_IKxFexAsync, reinterpret_cast<void**>(&pAsync));

    CFileTracer::WriteLine2("Creating fex server instance...");
    FexInitialize();
    if (m_pServer) {
        m_pServer->Release();
        m_pServer = nullptr;
    }
    HRESULT hr = CreateFexServer(&m_pServer);
    if (SUCCEEDED(hr)) {
        IKxFexServer2* pServer2 = nullptr;
        if (SUCCEEDED(m_pServer->QueryInterface(IID_IKxFexServer2, reinterpret_cast<void**>(&pServer2))) &&
            pServer2) {
            pServer2->SetServerFlags(0);
            pServer2->Release();
        }
        CFileTracer::WriteLine2("Successfully created fex server instance. Connectiong to fex port...");
        ReleasePort();
        // Requests may arrive on router threads as soon as the port is connected, so the port is
        // published under the service lock rather than written there by ConnectPort.
        IKxFexPort* pNewPort = nullptr;
        hr = m_pServer->ConnectPort(KXXMLDATASRV_PORT, 0, pAsync, &pNewPort, KxMissingVariant(),
                                    KxMissingVariant());
        if (SUCCEEDED(hr) && !pNewPort)
            hr = E_POINTER;
        if (SUCCEEDED(hr)) {
            OsUserEnterCriticalSection(&m_csService);
            m_pPort = pNewPort;
            OsUserLeaveCriticalSection(&m_csService);
        }
        if (FAILED(hr)) {
            m_pServer->Release();
            m_pServer = nullptr;
            CFileTracer::WriteLine0("Initialization failed: Failed to connect to Port HRESULT=\"0x%x\")",
                                    static_cast<unsigned>(hr));
        } else {
            CFileTracer::WriteLine2("Successfully connected to Port");
            CXmlDataServerList* pList = new (std::nothrow) CXmlDataServerList(this, m_nWorkerCount);
            if (pList) {
                std::unique_lock<std::shared_mutex> listGuard(m_rwList);
                m_pServerList = pList;
            } else {
                hr = E_OUTOFMEMORY;
            }
        }
    } else {
        m_pServer = nullptr;
    }

    if (pAsync)
        pAsync->Release();
    if (FAILED(hr)) {
        CFileTracer::WriteLine0("Initialization failed: HRESULT=\"0x%x\"", static_cast<unsigned>(hr));
    } else {
        CFileTracer::WriteLine2("Initialization was successfull");
        m_nDeviceState = KXXML_STATE_START;
    }
    return hr;
}

HRESULT CKxXmlDataSrv::Start(VARIANT)
{
    CFileTracer::WriteLine2("Starting...");
    CheckSystem();
    m_nDeviceState = KXXML_STATE_RUN;
    CFileTracer::WriteLine2("Start was successfull");
    return S_OK;
}

HRESULT CKxXmlDataSrv::Shutdown(VARIANT)
{
    CFileTracer::WriteLine2("Shutting down...");
    m_nDeviceState = KXXML_STATE_SHUTDOWN;
    CXmlDataServerList* pList;
    {
        std::unique_lock<std::shared_mutex> listGuard(m_rwList);
        pList = m_pServerList;
        m_pServerList = nullptr;
    }
    if (pList) {
        pList->RemoveAll();
        delete pList;
    }
    ReleasePort();
    IKxFexServer* pServer = m_pServer;
    m_pServer = nullptr;
    if (pServer)
        pServer->Release();
    CFileTracer::WriteLine2("Shutdown was successfull");
    return S_OK;
}

HRESULT CKxXmlDataSrv::EnterState(ULONG nState, const char* sDoing, const char* sDone)
{
    CFileTracer::WriteLine2("%s", sDoing);
    m_nDeviceState = nState;
    CFileTracer::WriteLine2("%s", sDone);
    return S_OK;
}

HRESULT CKxXmlDataSrv::Stop(VARIANT)
{
    return EnterState(KXXML_STATE_STOP, "Stopping...", "Stop was successfull");
}

HRESULT CKxXmlDataSrv::Reset(VARIANT)
{
    return EnterState(KXXML_STATE_RESET, "Resetting...", "Reset was sucessfull");
}

HRESULT CKxXmlDataSrv::LoadConfig(IUnknown*)
{
    return S_OK;
}

HRESULT CKxXmlDataSrv::SaveConfig(IUnknown*)
{
    return S_OK;
}

HRESULT CKxXmlDataSrv::OnKxSysStart()
{
    return S_OK;
}

HRESULT CKxXmlDataSrv::OnKxSysStop()
{
    return S_OK;
}

void CKxXmlDataSrv::ReleasePort()
{
    OsUserEnterCriticalSection(&m_csService);
    IKxFexPort* pPort = m_pPort;
    m_pPort = nullptr;
    OsUserLeaveCriticalSection(&m_csService);
    if (pPort)
        pPort->Release();
}

template <class Send>
HRESULT CKxXmlDataSrv::Respond(Send send)
{
    OsUserEnterCriticalSection(&m_csService);
    HRESULT hr = m_pPort ? send(m_pPort) : kXmlErrGeneral;
    OsUserLeaveCriticalSection(&m_csService);
    return hr;
}

HRESULT CKxXmlDataSrv::WriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult)
{
    return Respond([&](IKxFexPort* pPort) { return pPort->WriteRes(pAddr, invokeId, KxXmlErrorNumber(hrResult)); });
}

HRESULT CKxXmlDataSrv::ReadRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength, PVOID pData)
{
    return Respond([&](IKxFexPort* pPort) {
        return pPort->ReadRes(pAddr, invokeId, KxXmlErrorNumber(hrResult), cbLength, pData);
    });
}

HRESULT CKxXmlDataSrv::ReadWriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength, PVOID pData)
{
    return Respond([&](IKxFexPort* pPort) {
        return pPort->ReadWriteRes(pAddr, invokeId, KxXmlErrorNumber(hrResult), cbLength, pData);
    });
}

void CKxXmlDataSrv::ReadUserNamePassword(char** ppUserName, char** ppPassword)
{
    OsUserEnterCriticalSection(&m_csService);
    if (ppUserName) {
        *ppUserName = new (std::nothrow) char[m_sUserName.size() + 1];
        if (*ppUserName)
            std::memcpy(*ppUserName, m_sUserName.c_str(), m_sUserName.size() + 1);
    }
    if (ppPassword) {
        *ppPassword = new (std::nothrow) char[m_sPassword.size() + 1];
        if (*ppPassword)
            std::memcpy(*ppPassword, m_sPassword.c_str(), m_sPassword.size() + 1);
    }
    OsUserLeaveCriticalSection(&m_csService);
}

bool CKxXmlDataSrv::HasPort()
{
    OsUserEnterCriticalSection(&m_csService);
    bool has = m_pPort != nullptr;
    OsUserLeaveCriticalSection(&m_csService);
    return has;
}

HRESULT CKxXmlDataSrv::Read(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG, ULONG cbLength)
{
    if (!HasPort())
        return kXmlErrGeneral;
    if (indexGroup != 0x81)
        return ReadRes(pAddr, invokeId, kXmlErrNotServed, 0, nullptr);
    if (cbLength == 0)
        return ReadRes(pAddr, invokeId, kXmlErrInvalidSize, 0, nullptr);
    OsUserEnterCriticalSection(&m_csService);
    BYTE set = (!m_sUserName.empty() || !m_sPassword.empty()) ? 1 : 0;
    OsUserLeaveCriticalSection(&m_csService);
    return ReadRes(pAddr, invokeId, S_OK, 1, &set);
}

HRESULT CKxXmlDataSrv::Write(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG, ULONG cbLength, PVOID pData)
{
    if (!HasPort())
        return kXmlErrGeneral;
    if (indexGroup != 0x81)
        return WriteRes(pAddr, invokeId, kXmlErrNotServed);
    return WriteCredentials(pAddr, invokeId, cbLength, static_cast<const BYTE*>(pData));
}

HRESULT CKxXmlDataSrv::WriteCredentials(HopAddr* pAddr, ULONG invokeId, ULONG cbLength, const BYTE* pData)
{
    if (cbLength <= 7) {
        OsUserEnterCriticalSection(&m_csService);
        m_sUserName.clear();
        m_sPassword.clear();
        OsUserLeaveCriticalSection(&m_csService);
        return WriteRes(pAddr, invokeId, S_OK);
    }
    if (!pData)
        return WriteRes(pAddr, invokeId, kXmlErrInvalidSize);
    uint32_t u = ReadU16(pData + 4);
    uint32_t p = ReadU16(pData + 6);
    if (cbLength != u + p + 10)
        return WriteRes(pAddr, invokeId, kXmlErrInvalidSize);
    if (u == 0 && p == 0)
        return WriteRes(pAddr, invokeId, kXmlErrCredentials);
    const BYTE* pUser = pData + 8;
    const BYTE* pPass = pData + 9 + u;
    if (pUser[0] == 0 && pPass[0] == 0)
        return WriteRes(pAddr, invokeId, kXmlErrCredentials);
    // Each text is taken up to its NUL, but never beyond its own field.
    std::string user = BoundedString(pUser, u + 1);
    std::string pass = BoundedString(pPass, p + 1);
    OsUserEnterCriticalSection(&m_csService);
    m_sUserName = user;
    m_sPassword = pass;
    OsUserLeaveCriticalSection(&m_csService);
    return WriteRes(pAddr, invokeId, S_OK);
}

HRESULT CKxXmlDataSrv::ReadWrite(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                                 ULONG cbReadLength, ULONG cbWriteLength, PVOID pData)
{
    // Shutdown takes this lock exclusively before it destroys the list, so the list outlives the dispatch.
    std::shared_lock<std::shared_mutex> listGuard(m_rwList);
    CXmlDataServerList* pList = m_pServerList;
    if (!pList || !HasPort())
        return kXmlErrGeneral;
    const HRESULT hrCheck = m_hrSystemCheck;
    if (hrCheck < 0) {
        HRESULT hr = ReadWriteRes(pAddr, invokeId, hrCheck, 0, nullptr);
        CFileTracer::WriteLine0("Invalid Korvex Version");
        return hr;
    }

    const int32_t sRead = static_cast<int32_t>(cbReadLength);
    const int32_t sWrite = static_cast<int32_t>(cbWriteLength);
    bool ok;
    switch (indexGroup) {
    case 0x78: ok = cbWriteLength >= 15 && cbReadLength >= 4; break;
    case 0x79: ok = cbWriteLength == 0 && cbReadLength == 0; break;
    case 0x7A: ok = cbWriteLength == 0 && sRead > 0; break;
    case 0x7B: ok = sWrite > 0 && cbReadLength == 0; break;
    case 0x7C:
    case 0x7D: ok = cbWriteLength >= 21 && cbReadLength >= 4; break;
    case 0x7E: ok = cbWriteLength >= 10 && sRead > 0; break;
    case 0x7F: ok = cbWriteLength >= 14 && cbReadLength == 0; break;
    case 0x80: ok = cbWriteLength >= 17 && cbReadLength >= 4; break;
    case 0x8001: ok = cbWriteLength >= 20 && cbReadLength >= 4; break;
    case 0x8002: ok = cbWriteLength == 0 && cbReadLength == 0; break;
    case 0x8003: ok = sWrite > 0 && cbReadLength == 0; break;
    default: return ReadWriteRes(pAddr, invokeId, kXmlErrNotServed, 0, nullptr);
    }
    if (!ok)
        return ReadWriteRes(pAddr, invokeId, kXmlErrInvalidSize, 0, nullptr);

    if (indexGroup >= 0x78 && indexGroup <= 0x80) {
        pList->PostThreadMessage(XMLJOB_OPEN + (indexGroup - 0x78), invokeId, sizeof(HopAddr),
                                 reinterpret_cast<const uint8_t*>(pAddr), cbWriteLength,
                                 static_cast<const uint8_t*>(pData), indexOffset, cbReadLength);
        return S_OK;
    }
    return DispatchAppServer(pAddr, invokeId, indexGroup, indexOffset, cbWriteLength, static_cast<const BYTE*>(pData));
}

HRESULT CKxXmlDataSrv::WriteControl(HopAddr*, ULONG, USHORT, USHORT, ULONG, PVOID)
{
    CFileTracer::WriteLine2("Received write control request.");
    return E_NOTIMPL;
}

HRESULT CKxXmlDataSrv::ReadState(HopAddr* pAddr, ULONG invokeId)
{
    return Respond([&](IKxFexPort* pPort) {
        FexNotificationAttrib zero;
        std::memset(&zero, 0, sizeof(zero));
        return pPort->ReadStateRes(pAddr, invokeId, 0, static_cast<USHORT>(m_nDeviceState.load()), 0, &zero);
    });
}

HRESULT CKxXmlDataSrv::ReadDeviceInfo(HopAddr* pAddr, ULONG invokeId)
{
    return Respond([&](IKxFexPort* pPort) {
        CKxBstr name(kDeviceName);
        return pPort->ReadDeviceInfoRes(pAddr, invokeId, 0, name, kFexVersion);
    });
}

HRESULT CKxXmlDataSrv::AddDeviceNotification(HopAddr*, ULONG, ULONG, ULONG, FexNotificationAttrib*)
{
    CFileTracer::WriteLine2("Received add device notification request.");
    return E_NOTIMPL;
}

HRESULT CKxXmlDataSrv::DelDeviceNotification(HopAddr*, ULONG, ULONG)
{
    CFileTracer::WriteLine2("Received del device notification request.");
    return E_NOTIMPL;
}

HRESULT CKxXmlDataSrv::DeviceNotification(HopAddr*, ULONG, ULONG, FexNotificationStream*)
{
    CFileTracer::WriteLine2("Received device notification.");
    return E_NOTIMPL;
}

HRESULT CKxXmlDataSrv::get_IgnoreOrder(VARIANT_BOOL* pbIgnoreOrder)
{
    if (pbIgnoreOrder)
        *pbIgnoreOrder = m_bIgnoreOrder ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CKxXmlDataSrv::put_IgnoreOrder(VARIANT_BOOL bIgnoreOrder)
{
    m_bIgnoreOrder = bIgnoreOrder == VARIANT_TRUE ? 1 : 0;
    return S_OK;
}

HRESULT CreateKxXmlDataSrv(IKxServer** ppSrv, ULONG bUserMode)
{
    if (!ppSrv)
        return E_POINTER;
    std::printf("CreateKxXmlDataSrv\n");
    CKxXmlDataSrv* p = new (std::nothrow) CKxXmlDataSrv();
    if (!p)
        return E_OUTOFMEMORY;
    *ppSrv = static_cast<IKxServer*>(p);
    p->AddRef();
    p->SetUserModeRuntime(bUserMode);
    std::printf("CreateKxXmlDataSrv succeed\n");
    std::fflush(stdout);
    return S_OK;
}
