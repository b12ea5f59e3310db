// The router's objects behind the entry points: server object, port, client object and synchronous interface.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxRefCounted.h"
#include "KxRouterCore.h"

using namespace kxrouter;

namespace {

constexpr ULONG kDefaultTimeoutMs = 5000;

// Largest write data that still fits one frame of the link with the fixed fields in front of it.
constexpr ULONG kMaxWriteData = kMaxBodyLength - 16;
// A synchronous request that moves at most this many bytes either way is answered by a port of this process
// within microseconds: its caller looks for the answer before it blocks.
constexpr uint64_t kQuickBytes = 4096;

HRESULT GoneResult() { return FEX_HRESULT(FEXERR_GONE); }

// ---- port ----

// Port count of a server object; shared with its ports, which may outlive it.
struct ServerState {
    std::atomic<ULONG> ports{0};
    std::atomic<ULONG> flags{0};
};

class CFexPort : public IKxFexPort, public CRefCounted {
public:
    CFexPort(std::shared_ptr<Router> router, std::shared_ptr<LocalPort> port, std::shared_ptr<ServerState> server)
        : m_router(std::move(router)), m_port(std::move(port)), m_server(std::move(server))
    {
        ++m_server->ports;
    }
    ~CFexPort() override
    {
        try {
            m_router->DisconnectPort(m_port);
        } catch (...) {
        }
        --m_server->ports;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = riid == IID_IUnknown || riid == IID_IKxFexPort;
        return Answer(known ? static_cast<IKxFexPort*>(this) : nullptr, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT WriteRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) override { return Send(pAddr, invokeId, nError, {}); }
    HRESULT ReadRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG cbLength, PVOID pData) override
    {
        return SendData(pAddr, invokeId, nError, cbLength, pData);
    }
    HRESULT ReadWriteRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG cbLength, PVOID pData) override
    {
        return SendData(pAddr, invokeId, nError, cbLength, pData);
    }
    HRESULT WriteControlRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) override
    {
        return Send(pAddr, invokeId, nError, {});
    }
    HRESULT ReadStateRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, USHORT nState, USHORT nDevState,
                         FexNotificationAttrib*) override
    {
        try {
            BodyWriter w;
            w.U16(nState).U16(nDevState);
            return Send(pAddr, invokeId, nError, std::move(w.Get()));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT ReadDeviceInfoRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, BSTR sName, FexVersion version) override
    {
        try {
            uint32_t len = std::min<uint32_t>(KxSysStringLen(sName), 0xFFFFu);
            BodyWriter w;
            w.U8(version.version).U8(version.revision).U16(version.build).U16(static_cast<uint16_t>(len));
            w.Bytes(sName, len);
            return Send(pAddr, invokeId, nError, std::move(w.Get()));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT GetAddress(HopAddr* pAddr) override
    {
        if (!pAddr)
            return E_POINTER;
        *pAddr = m_port->addr;
        return S_OK;
    }
    HRESULT AddDeviceNotificationRes(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG hNotification) override
    {
        try {
            BodyWriter w;
            w.U32(hNotification);
            return Send(pAddr, invokeId, nError, std::move(w.Get()));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT DelDeviceNotificationRes(HopAddr* pAddr, ULONG invokeId, ULONG nError) override
    {
        return Send(pAddr, invokeId, nError, {});
    }

private:
    HRESULT SendData(HopAddr* pAddr, ULONG invokeId, ULONG nError, ULONG cbLength, PVOID pData)
    {
        if (cbLength && !pData)
            return E_POINTER;
        if (cbLength > kMaxBodyLength - 4)
            return E_INVALIDARG;
        try {
            BodyWriter w;
            w.U32(cbLength).Bytes(pData, cbLength);
            return Send(pAddr, invokeId, nError, std::move(w.Get()));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT Send(HopAddr* pAddr, ULONG invokeId, ULONG nError, std::vector<uint8_t>&& body)
    {
        if (!pAddr)
            return E_POINTER;
        try {
            return m_router->AnswerFromPort(m_port, pAddr, invokeId, nError, std::move(body));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    std::shared_ptr<Router> m_router;
    std::shared_ptr<LocalPort> m_port;
    std::shared_ptr<ServerState> m_server;
};

// ---- server object ----

class CFexServer : public IKxFexServer, public IKxFexServer2, public CRefCounted {
public:
    explicit CFexServer(std::shared_ptr<Router> router)
        : m_router(std::move(router)), m_state(std::make_shared<ServerState>())
    {
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        void* pItf = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKxFexServer)
            pItf = static_cast<IKxFexServer*>(this);
        else if (riid == IID_IKxFexServer2)
            pItf = static_cast<IKxFexServer2*>(this);
        return Answer(pItf, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT ConnectPort(USHORT nPort, ULONG, IKxFexAsync* pRecv, IKxFexPort** ppPort, VARIANT, VARIANT) override
    {
        if (!ppPort)
            return E_POINTER;
        *ppPort = nullptr;
        if (!pRecv)
            return E_POINTER;
        try {
            std::shared_ptr<LocalPort> port;
            HRESULT hr = m_router->ConnectPort(nPort, pRecv, port);
            if (FAILED(hr))
                return hr;
            *ppPort = new CFexPort(m_router, port, m_state);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT GetServerFlags(ULONG* pFlags) override
    {
        if (!pFlags)
            return E_POINTER;
        *pFlags = m_state->flags;
        return S_OK;
    }
    HRESULT GetPortCount(ULONG* pCount) override
    {
        if (!pCount)
            return E_POINTER;
        *pCount = m_state->ports;
        return S_OK;
    }
    HRESULT SetServerFlags(ULONG nFlags) override
    {
        m_state->flags = nFlags;
        return S_OK;
    }

private:
    std::shared_ptr<Router> m_router;
    std::shared_ptr<ServerState> m_state;
};

// ---- synchronous interface ----

class CFexSync : public IKxFexSync, public CRefCounted {
public:
    CFexSync(std::shared_ptr<Router> router, const HopAddr& target, ULONG timeoutMs)
        : m_router(std::move(router)), m_target(target), m_timeout(timeoutMs)
    {
        m_source = m_router->AcquireClientAddress();
    }
    ~CFexSync() override { m_router->ReleaseClientAddress(m_source); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = riid == IID_IUnknown || riid == IID_IKxFexSync;
        return Answer(known ? static_cast<IKxFexSync*>(this) : nullptr, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT SyncWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbLength, PVOID pData) override
    {
        if (cbLength && !pData)
            return E_POINTER;
        if (cbLength > kMaxWriteData)
            return E_INVALIDARG;
        return Run(CMD_WRITE, [&](BodyWriter& w) { w.U32(indexGroup).U32(indexOffset).U32(cbLength).Bytes(pData, cbLength); },
                   [](const FrameBody&) {});
    }
    HRESULT SyncWriteControl(USHORT nState, USHORT nDevState, ULONG cbLength, PVOID pData) override
    {
        if (cbLength && !pData)
            return E_POINTER;
        if (cbLength > kMaxWriteData)
            return E_INVALIDARG;
        return Run(CMD_WRITECONTROL, [&](BodyWriter& w) { w.U16(nState).U16(nDevState).U32(cbLength).Bytes(pData, cbLength); },
                   [](const FrameBody&) {});
    }
    HRESULT SyncRead(ULONG indexGroup, ULONG indexOffset, ULONG cbLength, PVOID pData, ULONG* pcbRead) override
    {
        if (cbLength && !pData)
            return E_POINTER;
        if (pcbRead)
            *pcbRead = 0;
        return Run(CMD_READ, [&](BodyWriter& w) { w.U32(indexGroup).U32(indexOffset).U32(cbLength); },
                   [&](const FrameBody& b) { CopyOut(b, cbLength, pData, pcbRead); }, cbLength);
    }
    HRESULT SyncReadWrite(ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength, PVOID pReadData, ULONG cbWriteLength,
                          PVOID pWriteData, ULONG* pcbRead) override
    {
        if ((cbReadLength && !pReadData) || (cbWriteLength && !pWriteData))
            return E_POINTER;
        if (cbWriteLength > kMaxWriteData)
            return E_INVALIDARG;
        if (pcbRead)
            *pcbRead = 0;
        return Run(CMD_READWRITE,
                   [&](BodyWriter& w) {
                       w.U32(indexGroup).U32(indexOffset).U32(cbReadLength).U32(cbWriteLength).Bytes(pWriteData,
                                                                                                      cbWriteLength);
                   },
                   [&](const FrameBody& b) { CopyOut(b, cbReadLength, pReadData, pcbRead); }, cbReadLength);
    }
    HRESULT SyncReadState(USHORT* pnState, USHORT* pnDevState) override
    {
        return Run(CMD_READSTATE, [](BodyWriter&) {},
                   [&](const FrameBody& b) {
                       if (pnState)
                           *pnState = b.state;
                       if (pnDevState)
                           *pnDevState = b.devState;
                   });
    }
    HRESULT SyncReadDeviceInfo(char* sName, ULONG cbName, FexVersion* pVersion) override
    {
        if (cbName && !sName)
            return E_POINTER;
        return Run(CMD_READDEVICEINFO, [](BodyWriter&) {},
                   [&](const FrameBody& b) {
                       if (pVersion)
                           *pVersion = b.version;
                       if (cbName) {
                           size_t n = std::min<size_t>(b.dataLen, cbName - 1);
                           if (n)
                               std::memcpy(sName, b.data, n);
                           sName[n] = '\0';
                       }
                   });
    }
    HRESULT SetTimeout(ULONG nMilliseconds) override
    {
        m_timeout = nMilliseconds;
        return S_OK;
    }
    HRESULT GetTimeout(ULONG* pnMilliseconds) override
    {
        if (!pnMilliseconds)
            return E_POINTER;
        *pnMilliseconds = m_timeout;
        return S_OK;
    }

private:
    static void CopyOut(const FrameBody& b, ULONG cap, PVOID out, ULONG* pcb)
    {
        ULONG n = std::min<ULONG>(b.dataLen, cap);
        if (n)
            std::memcpy(out, b.data, n);
        if (pcb)
            *pcb = n;
    }

    // cbAsked: the bytes the answer may carry. A request that moves few bytes either way is quick.
    template <typename Build, typename Take>
    HRESULT Run(uint16_t cmd, Build build, Take take, uint64_t cbAsked = 0)
    {
        try {
            Request req;
            req.cmd = cmd;
            req.target = m_target;
            req.source = m_source;
            BodyWriter w;
            build(w);
            req.body = std::move(w.Get());
            uint32_t error = 0;
            std::vector<uint8_t> answer;
            const bool quick = req.body.size() + cbAsked <= kQuickBytes;
            m_router->Call(std::move(req), m_timeout, &error, answer, quick);
            if (error)
                return FEX_HRESULT(error);
            FrameBody b;
            if (!ParseBody(cmd, true, 0, answer.data(), answer.size(), b))
                return FEX_HRESULT(FEXERR_MALFORMED);
            take(b);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    std::shared_ptr<Router> m_router;
    HopAddr m_target;
    HopAddr m_source;
    std::atomic<ULONG> m_timeout;
};

// ---- client object ----

class CFexClient : public IKxFexClient, public IKxFexHelper, public CRefCounted {
public:
    explicit CFexClient(std::shared_ptr<Router> router) : m_router(std::move(router)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        void* pItf = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKxFexClient)
            pItf = static_cast<IKxFexClient*>(this);
        else if (riid == IID_IKxFexHelper)
            pItf = static_cast<IKxFexHelper*>(this);
        return Answer(pItf, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT Connect(HopAddr* pTarget, USHORT nPort, ULONG, IKxFexSync** ppSync, ULONG, VARIANT, VARIANT) override
    {
        if (!ppSync)
            return E_POINTER;
        *ppSync = nullptr;
        if (!pTarget)
            return E_POINTER;
        try {
            HopAddr target = *pTarget;
            if (nPort)
                target.port = nPort;
            *ppSync = new CFexSync(m_router, target, m_defaultTimeout);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT SetDefaultTimeout(ULONG nMilliseconds) override
    {
        m_defaultTimeout = nMilliseconds;
        return S_OK;
    }
    HRESULT GetDefaultTimeout(ULONG* pnMilliseconds) override
    {
        if (!pnMilliseconds)
            return E_POINTER;
        *pnMilliseconds = m_defaultTimeout;
        return S_OK;
    }
    HRESULT GetLocalNetId(HopNetId* pNetId) override
    {
        if (!pNetId)
            return E_POINTER;
        if (m_router->IsStopped())
            return GoneResult();
        *pNetId = m_router->LocalNetId();
        return S_OK;
    }

private:
    std::shared_ptr<Router> m_router;
    std::atomic<ULONG> m_defaultTimeout{kDefaultTimeoutMs};
};

// A new object of class T on the process's router, which starts from the environment on first use.
template <class T, class I>
HRESULT CreateOnRouter(I** ppObject)
{
    if (!ppObject)
        return E_POINTER;
    *ppObject = nullptr;
    try {
        HRESULT hr;
        std::shared_ptr<Router> r = EnsureRouter(&hr);
        if (!r)
            return hr;
        *ppObject = new T(r);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

KXSYSTEM_API HRESULT FexInitialize()
{
    HRESULT hr = S_OK;
    try {
        EnsureRouter(&hr);
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    return hr;
}

KXSYSTEM_API HRESULT CreateFexServer(IKxFexServer** ppServer)
{
    return CreateOnRouter<CFexServer>(ppServer);
}

KXSYSTEM_API HRESULT CreateFexClient(IKxFexClient** ppClient)
{
    return CreateOnRouter<CFexClient>(ppClient);
}
