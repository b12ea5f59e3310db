// Helpers shared by the router tests: a scripted receiver, a router per test, a raw link client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxFrame.h"
#include "KxRouter.h"

namespace routertest {

using kxrouter::FrameBody;
using kxrouter::FrameHeader;

// Safety net for waits that normally end at once.
constexpr int kWaitMs = 10000;

inline HopNetId NetId(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f)
{
    HopNetId id;
    const uint8_t v[6] = {a, b, c, d, e, f};
    std::memcpy(id.b, v, 6);
    return id;
}

// Bytes a receiver answers to a Read: a function of group, offset and position.
inline std::vector<uint8_t> Pattern(uint32_t group, uint32_t offset, uint32_t len)
{
    std::vector<uint8_t> v(len);
    for (uint32_t i = 0; i < len; ++i)
        v[i] = static_cast<uint8_t>(group * 7 + offset * 3 + i);
    return v;
}

// Answer to a ReadWrite: the group (4 bytes LE) followed by the write data, cut to the read length.
inline std::vector<uint8_t> EchoAnswer(uint32_t group, const uint8_t* data, uint32_t len, uint32_t readLen)
{
    std::vector<uint8_t> v(4 + static_cast<size_t>(len));
    for (int i = 0; i < 4; ++i)
        v[i] = static_cast<uint8_t>(group >> (8 * i));
    if (len)
        std::memcpy(v.data() + 4, data, len);
    if (v.size() > readLen)
        v.resize(readLen);
    return v;
}

// One request as the receiver saw it.
struct Seen {
    uint16_t cmd = 0;
    HopAddr from;
    ULONG invokeId = 0;
    ULONG group = 0, offset = 0, length = 0;
    USHORT state = 0, devState = 0;
    FexNotificationAttrib attrib{0, 0, 0, 0};
    ULONG handle = 0;
    std::vector<uint8_t> data;
    std::thread::id thread;
};

// A port's receiver. Inline: answers within the call. Hold: keeps requests for the test to answer.
// Fail: returns failResult without answering.
class TestReceiver : public IKxFexAsync {
public:
    enum Mode { Inline, Hold, Fail };
    // Behaviour for the requests that arrive from now on; answerThenFail: Inline answer, then a negative result.
    void Set(Mode mode, HRESULT failResult = E_FAIL, bool answerThenFail = false)
    {
        std::lock_guard<std::mutex> lock(m);
        m_mode = mode;
        m_failResult = failResult;
        m_answerThenFail = answerThenFail;
    }
    std::atomic<IKxFexPort*> port{nullptr};  // set once ConnectPort returned; requests may already be running
    std::function<void(const Seen&)> onRequest;  // runs inside the delivery (Inline mode), before the answer

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IKxFexAsync) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT Write(HopAddr* a, ULONG id, ULONG g, ULONG o, ULONG n, PVOID p) override
    {
        Seen s = Make(kxrouter::CMD_WRITE, a, id);
        s.group = g, s.offset = o, s.length = n;
        s.data.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
        return Take(s);
    }
    HRESULT Read(HopAddr* a, ULONG id, ULONG g, ULONG o, ULONG n) override
    {
        Seen s = Make(kxrouter::CMD_READ, a, id);
        s.group = g, s.offset = o, s.length = n;
        return Take(s);
    }
    HRESULT ReadWrite(HopAddr* a, ULONG id, ULONG g, ULONG o, ULONG rn, ULONG wn, PVOID p) override
    {
        Seen s = Make(kxrouter::CMD_READWRITE, a, id);
        s.group = g, s.offset = o, s.length = rn;
        s.data.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + wn);
        return Take(s);
    }
    HRESULT WriteControl(HopAddr* a, ULONG id, USHORT st, USHORT ds, ULONG n, PVOID p) override
    {
        Seen s = Make(kxrouter::CMD_WRITECONTROL, a, id);
        s.state = st, s.devState = ds;
        s.data.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
        return Take(s);
    }
    HRESULT ReadState(HopAddr* a, ULONG id) override { return Take(Make(kxrouter::CMD_READSTATE, a, id)); }
    HRESULT ReadDeviceInfo(HopAddr* a, ULONG id) override { return Take(Make(kxrouter::CMD_READDEVICEINFO, a, id)); }
    HRESULT AddDeviceNotification(HopAddr* a, ULONG id, ULONG g, ULONG o, FexNotificationAttrib* at) override
    {
        Seen s = Make(kxrouter::CMD_ADDNOTIFICATION, a, id);
        s.group = g, s.offset = o, s.attrib = *at;
        return Take(s);
    }
    HRESULT DelDeviceNotification(HopAddr* a, ULONG id, ULONG h) override
    {
        Seen s = Make(kxrouter::CMD_DELNOTIFICATION, a, id);
        s.handle = h;
        return Take(s);
    }
    HRESULT DeviceNotification(HopAddr* a, ULONG id, ULONG n, FexNotificationStream* st) override
    {
        Seen s = Make(kxrouter::CMD_NOTIFICATION, a, id);
        s.length = n;
        s.data.assign(st->data, st->data + n);
        return Take(s);
    }

    // Answers a request the way Inline mode does.
    HRESULT Answer(const Seen& s)
    {
        HopAddr from = s.from;
        IKxFexPort* port = this->port.load();
        if (!port)
            return E_UNEXPECTED;
        switch (s.cmd) {
        case kxrouter::CMD_WRITE:
            return port->WriteRes(&from, s.invokeId, 0);
        case kxrouter::CMD_READ: {
            auto v = Pattern(s.group, s.offset, s.length);
            return port->ReadRes(&from, s.invokeId, 0, static_cast<ULONG>(v.size()), v.data());
        }
        case kxrouter::CMD_READWRITE: {
            auto v = EchoAnswer(s.group, s.data.data(), static_cast<uint32_t>(s.data.size()), s.length);
            return port->ReadWriteRes(&from, s.invokeId, 0, static_cast<ULONG>(v.size()), v.data());
        }
        case kxrouter::CMD_WRITECONTROL:
            return port->WriteControlRes(&from, s.invokeId, 0);
        case kxrouter::CMD_READSTATE: {
            FexNotificationAttrib zero{0, 0, 0, 0};
            return port->ReadStateRes(&from, s.invokeId, 0, 5, 0x1234, &zero);
        }
        case kxrouter::CMD_READDEVICEINFO: {
            CKxBstr name("TestDevice");
            return port->ReadDeviceInfoRes(&from, s.invokeId, 0, name, FexVersion{3, 2, 38});
        }
        case kxrouter::CMD_ADDNOTIFICATION:
            return port->AddDeviceNotificationRes(&from, s.invokeId, 0, 0x4200 + s.group);
        case kxrouter::CMD_DELNOTIFICATION:
            return port->DelDeviceNotificationRes(&from, s.invokeId, s.handle == 7 ? 0 : FEXERR_NOTFOUND);
        default:
            return S_OK;  // a notification needs no answer
        }
    }

    // Waits until at least n requests were seen; false on the safety time-out.
    bool WaitSeen(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return seen.size() >= n; });
    }
    // Takes the oldest held request; false on the safety time-out.
    bool PopHeld(Seen& out)
    {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return !held.empty(); }))
            return false;
        out = held.front();
        held.pop_front();
        return true;
    }
    std::vector<Seen> SeenCopy()
    {
        std::lock_guard<std::mutex> lock(m);
        return seen;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Seen> seen;
    std::deque<Seen> held;

private:
    static Seen Make(uint16_t cmd, HopAddr* a, ULONG id)
    {
        Seen s;
        s.cmd = cmd;
        s.from = *a;
        s.invokeId = id;
        s.thread = std::this_thread::get_id();
        return s;
    }
    HRESULT Take(const Seen& s)
    {
        Mode mode;
        HRESULT failResult;
        bool answerThenFail;
        {
            std::lock_guard<std::mutex> lock(m);
            mode = m_mode;
            failResult = m_failResult;
            answerThenFail = m_answerThenFail;
            seen.push_back(s);
            if (mode == Hold)
                held.push_back(s);
            cv.notify_all();
        }
        if (mode == Hold)
            return S_OK;
        if (mode == Fail)
            return failResult;
        if (onRequest)
            onRequest(s);
        HRESULT hr = Answer(s);
        if (answerThenFail)
            return E_FAIL;
        return hr;
    }
    Mode m_mode = Inline;
    HRESULT m_failResult = E_FAIL;
    bool m_answerThenFail = false;
};

// Starts a hosting router for one test and stops it afterwards.
class RouterFixture : public ::testing::Test {
protected:
    HopNetId netId = NetId(5, 6, 7, 8, 1, 1);
    bool listen = false;

    void StartRouter(uint32_t forwardTimeoutMs = 0)
    {
        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        cfg.listen = listen ? 1 : 0;
        cfg.netId = netId;
        cfg.forwardTimeoutMs = forwardTimeoutMs;
        ASSERT_EQ(S_OK, KxRouterStart(&cfg));
    }
    void TearDown() override { KxRouterStop(); }

    // Connects port nPort to recv through a fresh server object.
    IKxFexPort* Connect(USHORT nPort, TestReceiver& recv)
    {
        IKxFexServer* server = nullptr;
        EXPECT_EQ(S_OK, CreateFexServer(&server));
        if (!server)
            return nullptr;
        IKxFexPort* port = nullptr;
        HRESULT hr = server->ConnectPort(nPort, 0, &recv, &port, KxMissingVariant(), KxMissingVariant());
        server->Release();
        EXPECT_EQ(S_OK, hr);
        recv.port = port;
        return port;
    }
    // A synchronous interface to nPort of the local net id.
    IKxFexSync* SyncTo(USHORT nPort, HopNetId id = HopNetId())
    {
        IKxFexClient* client = nullptr;
        EXPECT_EQ(S_OK, CreateFexClient(&client));
        if (!client)
            return nullptr;
        HopAddr target(id.IsZero() ? netId : id, 0);
        IKxFexSync* sync = nullptr;
        EXPECT_EQ(S_OK, client->Connect(&target, nPort, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()));
        client->Release();
        return sync;
    }
};

// A participant speaking the link protocol over a plain socket.
class RawLink {
public:
    ~RawLink() { Close(); }
    bool Connect(uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    }
    void Close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool SendBytes(const std::vector<uint8_t>& b)
    {
        size_t at = 0;
        while (at < b.size()) {
            ssize_t n = ::send(fd, b.data() + at, b.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    bool Send(uint16_t cmd, uint16_t flags, uint32_t invokeId, uint32_t error, const HopAddr& target,
              const HopAddr& source, const std::vector<uint8_t>& body = {})
    {
        FrameHeader h;
        h.cmd = cmd;
        h.flags = flags;
        h.invokeId = invokeId;
        h.error = error;
        h.target = target;
        h.source = source;
        std::vector<uint8_t> f;
        kxrouter::EncodeFrame(h, body.data(), body.size(), f);
        return SendBytes(f);
    }
    // Reads one frame; false on end of stream, a frame that does not decode, or the safety time-out.
    bool Recv(FrameHeader& h, std::vector<uint8_t>& body)
    {
        uint8_t len[4];
        if (!RecvAll(len, 4))
            return false;
        uint32_t n = len[0] | (len[1] << 8) | (len[2] << 16) | (static_cast<uint32_t>(len[3]) << 24);
        if (n < kxrouter::kHeaderSize || n > kxrouter::kMaxFrameLength)
            return false;
        std::vector<uint8_t> all(4 + n);
        std::memcpy(all.data(), len, 4);
        if (!RecvAll(all.data() + 4, n))
            return false;
        FrameBody b;
        if (kxrouter::DecodeFrame(all.data(), all.size(), h, b).status != kxrouter::FrameStatus::Ok)
            return false;
        body.assign(all.begin() + 4 + kxrouter::kHeaderSize, all.end());
        return true;
    }
    // True when the peer closed the connection (after any frames still queued).
    bool WaitClosed()
    {
        uint8_t buf[256];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kWaitMs) <= 0)
                return false;
            ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n == 0)
                return true;
            if (n < 0)
                return errno == ECONNRESET;
        }
    }
    // Hello; the address the router assigned, or a zero address on failure.
    HopAddr Hello(uint32_t invokeId = 1)
    {
        if (!Send(kxrouter::CMD_HELLO, 0, invokeId, 0, HopAddr(), HopAddr()))
            return HopAddr();
        FrameHeader h;
        std::vector<uint8_t> b;
        if (!Recv(h, b) || h.cmd != kxrouter::CMD_HELLO || !h.IsResponse() || h.invokeId != invokeId)
            return HopAddr();
        return h.target;
    }
    // A link command answered with its error number; 0xFFFFFFFF when no answer came.
    uint32_t Command(uint16_t cmd, const HopAddr& target, uint32_t invokeId)
    {
        if (!Send(cmd, 0, invokeId, 0, target, self))
            return 0xFFFFFFFFu;
        FrameHeader h;
        std::vector<uint8_t> b;
        if (!Recv(h, b) || h.cmd != cmd || !h.IsResponse() || h.invokeId != invokeId)
            return 0xFFFFFFFFu;
        return h.error;
    }

    int fd = -1;
    HopAddr self;

private:
    bool RecvAll(uint8_t* p, size_t n)
    {
        while (n > 0) {
            pollfd pf{fd, POLLIN, 0};
            if (::poll(&pf, 1, kWaitMs) <= 0)
                return false;
            ssize_t r = ::recv(fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
};

inline std::vector<uint8_t> U32s(std::initializer_list<uint32_t> vals, const std::vector<uint8_t>& tail = {})
{
    kxrouter::BodyWriter w;
    for (uint32_t v : vals)
        w.U32(v);
    w.Bytes(tail.data(), tail.size());
    return w.Get();
}

}  // namespace routertest
