// Serving a simulated PLC at a port of the router, and starting one from KX_PLC when the router starts.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxPlcHook.h"
#include "KxPlcSim.h"
#include "KxRouter.h"

namespace {

// Version answered by ReadDeviceInfo.
const FexVersion kDeviceVersion = {3, 1, 1};

// The port's receiver: turns deliveries into simulator requests and answers through the port.
class CPlcReceiver : public IKxFexAsync {
public:
    explicit CPlcReceiver(CKxPlcSim* sim) : m_sim(sim) {}

    // The port exists only once ConnectPort returns, but requests may already be delivered; they wait for it.
    void SetPort(IKxFexPort* port)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_port = port;
        m_settled = true;
        m_cv.notify_all();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IKxFexAsync) {
            *ppv = static_cast<IKxFexAsync*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by its host, which outlives the port.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT Write(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength,
                  PVOID pData) override
    {
        return Serve(Request(KxPlcWrite, indexGroup, indexOffset), pData, cbLength,
                     [&](IKxFexPort* port, KxPlcResponse& r) { return port->WriteRes(pAddr, invokeId, r.error); });
    }
    HRESULT Read(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbLength) override
    {
        return Serve(Request(KxPlcRead, indexGroup, indexOffset, cbLength), [&](IKxFexPort* port, KxPlcResponse& r) {
            return port->ReadRes(pAddr, invokeId, r.error, static_cast<ULONG>(r.data.size()), Data(r));
        });
    }
    HRESULT ReadWrite(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset, ULONG cbReadLength,
                      ULONG cbWriteLength, PVOID pData) override
    {
        return Serve(Request(KxPlcReadWrite, indexGroup, indexOffset, cbReadLength), pData, cbWriteLength,
                     [&](IKxFexPort* port, KxPlcResponse& r) {
                         return port->ReadWriteRes(pAddr, invokeId, r.error, static_cast<ULONG>(r.data.size()),
                                                   Data(r));
                     });
    }
    HRESULT WriteControl(HopAddr* pAddr, ULONG invokeId, USHORT nState, USHORT nDevState, ULONG cbLength,
                         PVOID pData) override
    {
        KxPlcRequest rq = Request(KxPlcWriteControl);
        rq.state = nState;
        rq.devState = nDevState;
        return Serve(rq, pData, cbLength, [&](IKxFexPort* port, KxPlcResponse& r) {
            return port->WriteControlRes(pAddr, invokeId, r.error);
        });
    }
    HRESULT ReadState(HopAddr* pAddr, ULONG invokeId) override
    {
        return Serve(Request(KxPlcReadState), [&](IKxFexPort* port, KxPlcResponse& r) {
            return port->ReadStateRes(pAddr, invokeId, r.error, r.state, r.devState, nullptr);
        });
    }
    HRESULT ReadDeviceInfo(HopAddr* pAddr, ULONG invokeId) override
    {
        return Serve(Request(KxPlcReadDeviceInfo), [&](IKxFexPort* port, KxPlcResponse& r) {
            BSTR name = KxSysAllocStringLen(reinterpret_cast<const char*>(r.data.data()),
                                            static_cast<uint32_t>(r.data.size()));
            if (!name)
                return E_OUTOFMEMORY;
            HRESULT hr = port->ReadDeviceInfoRes(pAddr, invokeId, r.error, name, kDeviceVersion);
            KxSysFreeString(name);
            return hr;
        });
    }
    HRESULT AddDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG indexGroup, ULONG indexOffset,
                                  FexNotificationAttrib*) override
    {
        return Serve(Request(KxPlcAddNotification, indexGroup, indexOffset), [&](IKxFexPort* port, KxPlcResponse& r) {
            return port->ReadRes(pAddr, invokeId, r.error, 0, nullptr);
        });
    }
    HRESULT DelDeviceNotification(HopAddr* pAddr, ULONG invokeId, ULONG) override
    {
        return Serve(Request(KxPlcDelNotification), [&](IKxFexPort* port, KxPlcResponse& r) {
            return port->WriteRes(pAddr, invokeId, r.error);
        });
    }
    // Notifications are sent by devices, not to them.
    HRESULT DeviceNotification(HopAddr*, ULONG, ULONG, FexNotificationStream*) override
    {
        return FEX_HRESULT(FEXERR_SRVNOTSUPP);
    }

private:
    CKxPlcSim* m_sim;
    std::mutex m_lock;
    std::condition_variable m_cv;
    IKxFexPort* m_port = nullptr;
    bool m_settled = false;

    IKxFexPort* Port()
    {
        std::unique_lock<std::mutex> g(m_lock);
        m_cv.wait(g, [this] { return m_settled; });
        return m_port;
    }
    // Waits for the port, lets the simulator handle rq with the bytes sent (p, n), which stay in the
    // delivery's buffer, and sends the answer with answer (port, response).
    template <class F>
    HRESULT Serve(const KxPlcRequest& rq, F answer)
    {
        return Serve(rq, nullptr, 0, answer);
    }
    template <class F>
    HRESULT Serve(const KxPlcRequest& rq, PVOID p, ULONG n, F answer)
    {
        IKxFexPort* port = Port();
        if (!port)
            return FEX_HRESULT(FEXERR_NOTREADY);
        KxPlcResponse r = m_sim->Handle(rq, p, p ? n : 0);
        return answer(port, r);
    }
    static KxPlcRequest Request(uint16_t command, uint32_t group = 0, uint32_t offset = 0, uint32_t readLength = 0)
    {
        KxPlcRequest rq;
        rq.command = command;
        rq.group = group;
        rq.offset = offset;
        rq.readLength = readLength;
        return rq;
    }
    // The answered bytes, null when there are none.
    static PVOID Data(KxPlcResponse& r) { return r.data.empty() ? nullptr : r.data.data(); }
};

}  // namespace

struct CKxPlcSimHost::Impl {
    std::mutex lock;
    std::unique_ptr<CPlcReceiver> receiver;
    IKxFexServer* server = nullptr;
    IKxFexPort* port = nullptr;
    HopAddr addr;
};

CKxPlcSimHost::CKxPlcSimHost() : m_pImpl(std::make_unique<Impl>()) {}

CKxPlcSimHost::~CKxPlcSimHost()
{
    Stop();
}

HRESULT CKxPlcSimHost::Start(CKxPlcSim* sim, uint16_t port)
{
    if (!sim)
        return E_POINTER;
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    if (m_pImpl->port)
        return E_UNEXPECTED;
    try {
        HRESULT hr = FexInitialize();
        if (FAILED(hr))
            return hr;
        IKxFexServer* server = nullptr;
        hr = CreateFexServer(&server);
        if (FAILED(hr))
            return hr;
        auto receiver = std::make_unique<CPlcReceiver>(sim);
        IKxFexPort* fexPort = nullptr;
        hr = server->ConnectPort(port ? port : sim->GetPort(), 0, receiver.get(), &fexPort, KxMissingVariant(),
                                 KxMissingVariant());
        // Requests that came in before ConnectPort returned are answered now, or refused when it failed.
        receiver->SetPort(SUCCEEDED(hr) ? fexPort : nullptr);
        if (FAILED(hr) || !fexPort) {
            server->Release();
            return FAILED(hr) ? hr : E_FAIL;
        }
        fexPort->GetAddress(&m_pImpl->addr);
        m_pImpl->receiver = std::move(receiver);
        m_pImpl->server = server;
        m_pImpl->port = fexPort;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void CKxPlcSimHost::Stop()
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    // Releasing the port waits for deliveries in progress, so the receiver can go afterwards.
    if (m_pImpl->port)
        m_pImpl->port->Release();
    if (m_pImpl->server)
        m_pImpl->server->Release();
    m_pImpl->port = nullptr;
    m_pImpl->server = nullptr;
    m_pImpl->receiver.reset();
    m_pImpl->addr = HopAddr();
}

HopAddr CKxPlcSimHost::GetAddress() const
{
    std::lock_guard<std::mutex> g(m_pImpl->lock);
    return m_pImpl->addr;
}

// ---- the simulator started from KX_PLC ----

namespace {

std::mutex g_envLock;
std::unique_ptr<CKxPlcSim> g_envSim;
std::unique_ptr<CKxPlcSimHost> g_envHost;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT KxPlcSimStartFromEnv()
{
    const char* path = std::getenv("KX_PLC");
    // Only the process that hosts the router serves the PLC; its participants (the client tool, a standalone
    // simulator) inherit the same environment and must not claim the address as well.
    if (!path || !*path || KxRouterIsParticipant())
        return S_OK;
    try {
        std::lock_guard<std::mutex> g(g_envLock);
        if (g_envHost)
            return S_OK;
        auto sim = std::make_unique<CKxPlcSim>();
        KxPlcLoadResult r = sim->LoadFile(path);
        if (!r.ok) {
            std::fprintf(stderr, "KxSystem: KX_PLC: %s\n", r.description.c_str());
            return E_FAIL;
        }
        auto host = std::make_unique<CKxPlcSimHost>();
        HRESULT hr = host->Start(sim.get());
        if (FAILED(hr)) {
            std::fprintf(stderr, "KxSystem: KX_PLC: cannot serve port %u: 0x%08X\n", sim->GetPort(),
                         static_cast<unsigned>(hr));
            return hr;
        }
        g_envSim = std::move(sim);
        g_envHost = std::move(host);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" __attribute__((visibility("default"))) void KxPlcSimStopAll()
{
    std::lock_guard<std::mutex> g(g_envLock);
    if (g_envHost)
        g_envHost->Stop();
    g_envHost.reset();
    g_envSim.reset();
}
