#include "KxRouterCore.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KxPlcHook.h"

#ifdef KX_HAVE_KXREG
#include "KxReg.h"
#endif

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace kxrouter {

namespace {

// Participants beyond this many worker threads wait for a free one; far above what the service needs.
constexpr size_t kMaxDispatchThreads = 64;
// Time a participant gets to answer a link command (Hello, Register).
constexpr uint32_t kLinkTimeoutMs = 5000;
// A peer that stops reading must not block the router's threads for ever.
constexpr int kSendTimeoutSeconds = 10;
constexpr uint16_t kFirstFreePort = 30000;
constexpr size_t kReadChunk = 64 * 1024;

thread_local const LocalPort* t_deliveringPort = nullptr;

// How long a synchronous caller of a quick request looks for its answer before it blocks: a port of this
// process (a simulated PLC) answers a few bytes within microseconds, and waking a sleeping thread costs tens
// of them on a virtual machine. The look yields the processor between checks, so that the thread that answers
// runs meanwhile, and only one caller looks at a time, so that many waiting callers do not take the
// processors from the ones that work. A large block would only be waited for twice.
constexpr std::chrono::microseconds kAnswerSpin(50);
std::atomic<int> g_spinningWaiters{0};

void SetCloexec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void ConfigureStream(int fd)
{
    SetCloexec(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one));
#endif
    timeval tv{};
    tv.tv_sec = kSendTimeoutSeconds;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

HopNetId DefaultNetId()
{
    HopNetId id;
#ifdef KX_HAVE_KXREG
    HopNetId fromReg;
    if (KxRegReadLocalMachineId(fromReg) && !fromReg.IsZero())
        return fromReg;
#endif
    const uint8_t fallback[6] = {127, 0, 0, 1, 1, 1};
    std::memcpy(id.b, fallback, 6);
    return id;
}

// Answers a request that came over the link by sending the response frame back on its connection.
class LinkRequester : public Requester {
public:
    LinkRequester(const std::shared_ptr<Connection>& conn, const FrameHeader& hdr) : m_conn(conn), m_hdr(hdr) {}
    void Complete(uint32_t error, std::vector<uint8_t>&& body) override
    {
        std::shared_ptr<Connection> conn = m_conn.lock();
        if (!conn)
            return;
        FrameHeader r;
        r.cmd = m_hdr.cmd;
        r.flags = kFlagResponse;
        r.invokeId = m_hdr.invokeId;
        r.error = error;
        r.target = m_hdr.source;
        r.source = m_hdr.target;
        FrameBody parsed;
        if (!ParseBody(r.cmd, true, error, body.data(), body.size(), parsed))
            body = error ? std::vector<uint8_t>() : EmptyResponseBody(r.cmd);
        conn->SendFrame(r, body);
    }

private:
    std::weak_ptr<Connection> m_conn;
    FrameHeader m_hdr;
};

class DiscardRequester : public Requester {
public:
    void Complete(uint32_t, std::vector<uint8_t>&&) override {}
};

}  // namespace

std::thread StartThread(std::function<void()> fn)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread t;
    try {
        t = std::thread(std::move(fn));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

uint32_t ErrorFromResult(HRESULT hr)
{
    uint32_t u = static_cast<uint32_t>(hr);
    if ((u & 0xFFFF0000u) == FEX_ERROR_BASE && (u & 0xFFFFu) != 0)
        return u & 0xFFFFu;
    return FEXERR_NOANSWER;
}

// ---- SyncWaiter, LocalPort ----

void SyncWaiter::Complete(uint32_t err, std::vector<uint8_t>&& b)
{
    {
        std::lock_guard<std::mutex> lock(m_m);
        error = err;
        body = std::move(b);
        m_done.store(true, std::memory_order_release);
    }
    // Woken after the unlock, the waiter does not block again on the mutex; the caller holds a reference.
    m_cv.notify_all();
}

bool SyncWaiter::SpinUntilDone()
{
    if (m_done.load(std::memory_order_acquire))
        return true;
    if (!spin)
        return false;
    if (g_spinningWaiters.fetch_add(1, std::memory_order_relaxed) != 0) {
        g_spinningWaiters.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    const Clock::time_point end = Clock::now() + kAnswerSpin;
    bool done;
    while (!(done = m_done.load(std::memory_order_acquire)) && Clock::now() < end)
        std::this_thread::yield();
    g_spinningWaiters.fetch_sub(1, std::memory_order_relaxed);
    return done;
}

bool SyncWaiter::WaitUntil(Clock::time_point deadline)
{
    if (SpinUntilDone())
        return true;
    std::unique_lock<std::mutex> lock(m_m);
    return m_cv.wait_until(lock, deadline, [this] { return m_done.load(std::memory_order_relaxed); });
}

void SyncWaiter::Wait()
{
    if (SpinUntilDone())
        return;
    std::unique_lock<std::mutex> lock(m_m);
    m_cv.wait(lock, [this] { return m_done.load(std::memory_order_relaxed); });
}

bool LocalPort::Enter()
{
    std::lock_guard<std::mutex> lock(m);
    if (closed)
        return false;
    ++active;
    return true;
}

void LocalPort::Leave()
{
    std::lock_guard<std::mutex> lock(m);
    if (--active == 0 || closed)
        cv.notify_all();
}

void LocalPort::Rundown()
{
    std::unique_lock<std::mutex> lock(m);
    closed = true;
    // A receiver may release its own port while handling a request; that delivery is not waited for.
    int self = (t_deliveringPort == this) ? 1 : 0;
    cv.wait(lock, [&] { return active <= self; });
}

// ---- Dispatcher ----

Dispatcher::Dispatcher(size_t maxThreads) : m_max(maxThreads) {}

Dispatcher::~Dispatcher() { Stop(); }

bool Dispatcher::Post(const Key& key, std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_m);
        if (m_stop)
            return false;
        Strand& s = m_strands[key];
        s.jobs.push_back(std::move(job));
        if (s.scheduled)
            return true;
        s.scheduled = true;
        m_ready.push_back(key);
        // Every ready strand needs a thread of its own to come: a job that blocks must not hold up another one.
        if (m_ready.size() > m_idle && m_threads.size() < m_max)
            m_threads.push_back(StartThread([this] { Worker(); }));
    }
    m_cv.notify_one();
    return true;
}

void Dispatcher::Worker()
{
    std::unique_lock<std::mutex> lock(m_m);
    for (;;) {
        ++m_idle;
        m_cv.wait(lock, [this] { return m_stop || !m_ready.empty(); });
        --m_idle;
        if (m_stop)
            return;
        Key key = m_ready.front();
        m_ready.pop_front();
        auto it = m_strands.find(key);
        if (it == m_strands.end() || it->second.jobs.empty())
            continue;
        std::function<void()> job = std::move(it->second.jobs.front());
        it->second.jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
        }
        job = nullptr;
        lock.lock();
        it = m_strands.find(key);
        if (it == m_strands.end())
            continue;
        if (it->second.jobs.empty())
            m_strands.erase(it);
        else
            m_ready.push_back(key);  // behind other strands, so that one busy sender cannot starve the rest
    }
}

void Dispatcher::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_m);
        m_stop = true;
        m_strands.clear();
        m_ready.clear();
        threads.swap(m_threads);
        m_cv.notify_all();
    }
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else if (t.joinable())
            t.join();
    }
}

size_t Dispatcher::ThreadCount()
{
    std::lock_guard<std::mutex> lock(m_m);
    return m_threads.size();
}

// ---- Connection ----

Connection::Connection(Router* router, int fd, bool upstream) : m_router(router), m_fd(fd), m_upstream(upstream) {}

Connection::~Connection()
{
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    if (m_fd >= 0)
        ::close(m_fd);
}

void Connection::Start()
{
    std::shared_ptr<Connection> self = shared_from_this();
    m_thread = StartThread([self] { self->ReadLoop(); });
}

bool Connection::Send(const std::vector<uint8_t>& frame)
{
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        const uint8_t* p = frame.data();
        size_t left = frame.size();
        while (left > 0) {
            ssize_t n = ::send(m_fd, p, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        if (left == 0)
            return true;
    }
    Close();
    return false;
}

bool Connection::SendFrame(const FrameHeader& hdr, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> frame;
    EncodeFrame(hdr, body.data(), body.size(), frame);
    return Send(frame);
}

void Connection::Close()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_closed)
        return;
    m_closed = true;
    // Wakes the reader; the descriptor itself is closed with the object so that its number is not reused early.
    ::shutdown(m_fd, SHUT_RDWR);
}

void Connection::Join()
{
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

bool Connection::ReadAll(uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::recv(m_fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void Connection::ReadLoop()
{
    std::shared_ptr<Connection> self = shared_from_this();
    std::vector<uint8_t> buf;
    try {
        for (;;) {
            uint8_t lenBytes[4];
            if (!ReadAll(lenBytes, 4))
                break;
            uint32_t len = static_cast<uint32_t>(lenBytes[0]) | (static_cast<uint32_t>(lenBytes[1]) << 8) |
                           (static_cast<uint32_t>(lenBytes[2]) << 16) | (static_cast<uint32_t>(lenBytes[3]) << 24);
            if (CheckFrameLength(len) != FrameStatus::Ok) {
                m_router->OnBadFrame(self, nullptr);
                break;
            }
            // Grow with the bytes that really arrive, so a bare length field cannot reserve 16 MiB.
            buf.clear();
            bool ok = true;
            while (buf.size() < len) {
                size_t at = buf.size();
                size_t chunk = std::min<size_t>(kReadChunk, len - at);
                buf.resize(at + chunk);
                if (!ReadAll(buf.data() + at, chunk)) {
                    ok = false;
                    break;
                }
            }
            if (!ok)
                break;
            FrameHeader hdr;
            FrameBody body;
            FrameResult r = DecodeFramePayload(buf.data(), len, hdr, body);
            if (r.status != FrameStatus::Ok) {
                m_router->OnBadFrame(self, r.headerValid ? &hdr : nullptr);
                if (r.status == FrameStatus::BadCommand && !hdr.IsResponse())
                    continue;  // answered "not supported"; the stream is still in step
                break;
            }
            m_router->OnFrame(self, hdr, body, buf.data() + kHeaderSize, len - kHeaderSize);
            if (buf.capacity() > 4 * kReadChunk)
                std::vector<uint8_t>().swap(buf);
        }
    } catch (...) {
    }
    Close();
    m_router->OnConnectionClosed(self);
    m_finished = true;
}

// ---- Router ----

Router::Router() : m_dispatcher(kMaxDispatchThreads) {}

Router::~Router() { Stop(); }

bool Router::IsStopped()
{
    std::lock_guard<std::mutex> lock(m_m);
    return m_stopped;
}

uint32_t Router::NextId()
{
    uint32_t id;
    do
        id = ++m_nextId;
    while (id == 0);
    return id;
}

void Router::ErasePendingLocked(std::map<uint32_t, Pending>::iterator it)
{
    if (it->second.hasDeadline)
        m_deadlines.erase(it->second.deadline);
    m_pending.erase(it);
}

HopAddr Router::Resolve(const HopAddr& a) const
{
    if (!a.netId.IsZero())
        return a;
    return HopAddr(m_netId, a.port);
}

uint16_t Router::FreePortLocked()
{
    // Round robin, so that a released address is not handed out again at once while peers may still use it.
    for (uint32_t tries = 0; tries < 65536u - kFirstFreePort; ++tries) {
        uint16_t p = m_nextClientPort;
        m_nextClientPort = (m_nextClientPort == 65535) ? kFirstFreePort : static_cast<uint16_t>(m_nextClientPort + 1);
        if (m_table.find(HopAddr(m_netId, p).Key()) == m_table.end())
            return p;
    }
    return 0;
}

HRESULT Router::Start(const KxRouterConfig& cfg)
{
    m_forwardTimeoutMs = cfg.forwardTimeoutMs ? cfg.forwardTimeoutMs : 30000;
    m_timerThread = StartThread([this] { TimerLoop(); });
    if (cfg.mode == KX_ROUTER_MODE_PARTICIPANT)
        return StartParticipant(cfg);
    return StartHost(cfg);
}

HRESULT Router::StartHost(const KxRouterConfig& cfg)
{
    m_netId = cfg.netId.IsZero() ? DefaultNetId() : cfg.netId;
    if (!cfg.listen)
        return S_OK;
    if (pipe(m_wakePipe) != 0) {
        m_wakePipe[0] = m_wakePipe[1] = -1;
        return E_FAIL;
    }
    SetCloexec(m_wakePipe[0]);
    SetCloexec(m_wakePipe[1]);
    fcntl(m_wakePipe[1], F_SETFL, fcntl(m_wakePipe[1], F_GETFL) | O_NONBLOCK);
    m_listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listenFd < 0) {
        std::fprintf(stderr, "KxSystem: router socket failed: %s\n", std::strerror(errno));
        return E_FAIL;
    }
    SetCloexec(m_listenFd);
    int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(cfg.listenPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(m_listenFd, 64) != 0) {
        std::fprintf(stderr, "KxSystem: router cannot listen on 127.0.0.1:%u: %s\n", cfg.listenPort,
                     std::strerror(errno));
        return E_FAIL;
    }
    socklen_t len = sizeof(sa);
    if (getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        m_listenPort = ntohs(sa.sin_port);
    m_listenThread = StartThread([this] { ListenLoop(); });
    return S_OK;
}

HRESULT Router::StartParticipant(const KxRouterConfig& cfg)
{
    m_participant = true;
    const char* host = cfg.routerHost ? cfg.routerHost : "127.0.0.1";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    char portText[8];
    std::snprintf(portText, sizeof(portText), "%u", cfg.routerPort);
    if (getaddrinfo(host, portText, &hints, &res) != 0 || !res) {
        std::fprintf(stderr, "KxSystem: cannot resolve router %s\n", host);
        return FEX_HRESULT(FEXERR_GONE);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
        std::fprintf(stderr, "KxSystem: cannot reach router %s:%u: %s\n", host, cfg.routerPort, std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        freeaddrinfo(res);
        return FEX_HRESULT(FEXERR_GONE);
    }
    freeaddrinfo(res);
    ConfigureStream(fd);
    auto conn = std::make_shared<Connection>(this, fd, true);
    {
        std::lock_guard<std::mutex> lock(m_m);
        m_upstream = conn;
        m_conns.push_back(conn);
    }
    conn->Start();

    FrameHeader hdr;
    hdr.cmd = CMD_HELLO;
    std::shared_ptr<SyncWaiter> waiter;
    HRESULT hr = AskUpstream(conn, hdr, waiter);
    if (FAILED(hr))
        return hr;
    if (waiter->body.size() != sizeof(HopAddr))
        return FEX_HRESULT(FEXERR_MALFORMED);
    std::memcpy(&m_helloAddr, waiter->body.data(), sizeof(HopAddr));
    m_netId = m_helloAddr.netId;
    return S_OK;
}

void Router::Stop()
{
    std::vector<std::shared_ptr<Requester>> toFail;
    std::vector<std::shared_ptr<LocalPort>> ports;
    std::list<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(m_m);
        if (m_stopped)
            return;
        m_stopped = true;
        for (auto& kv : m_pending)
            toFail.push_back(kv.second.requester);
        m_pending.clear();
        m_deadlines.clear();
        for (auto& kv : m_table)
            if (kv.second.local)
                ports.push_back(kv.second.local);
        m_table.clear();
        m_timerStop = true;
        m_timerCv.notify_all();
    }
    for (auto& r : toFail)
        r->Complete(FEXERR_GONE, {});
    for (auto& p : ports) {
        std::lock_guard<std::mutex> lock(p->m);
        p->closed = true;
    }
    if (m_listenThread.joinable()) {
        char c = 1;
        ssize_t w = ::write(m_wakePipe[1], &c, 1);
        (void)w;
        m_listenThread.join();
    }
    {
        std::lock_guard<std::mutex> lock(m_m);
        conns.swap(m_conns);
        m_upstream.reset();
    }
    for (auto& c : conns)
        c->Close();
    for (auto& c : conns)
        c->Join();
    conns.clear();
    {
        // Readers of closing connections write to the wake pipe under the lock.
        std::lock_guard<std::mutex> lock(m_m);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        for (int i = 0; i < 2; ++i)
            if (m_wakePipe[i] >= 0)
                ::close(m_wakePipe[i]);
        m_wakePipe[0] = m_wakePipe[1] = -1;
    }
    if (m_timerThread.joinable())
        m_timerThread.join();
    m_dispatcher.Stop();
}

HRESULT Router::AskUpstream(const std::shared_ptr<Connection>& up, FrameHeader hdr,
                            std::shared_ptr<SyncWaiter>& waiter)
{
    waiter = std::make_shared<SyncWaiter>();
    const uint32_t id = NextId();
    {
        std::lock_guard<std::mutex> lock(m_m);
        Pending p;
        p.requester = waiter;
        p.cmd = hdr.cmd;
        p.forwardedTo = up;
        p.forwardedRaw = up.get();
        m_pending[id] = p;
    }
    hdr.invokeId = id;
    if (!up->SendFrame(hdr, {}))
        Fail(id, FEXERR_GONE);
    if (!waiter->WaitUntil(Clock::now() + std::chrono::milliseconds(kLinkTimeoutMs))) {
        if (Cancel(id))
            return FEX_HRESULT(FEXERR_TIMEOUT);
        waiter->Wait();
    }
    return waiter->error ? FEX_HRESULT(waiter->error) : S_OK;
}

HRESULT Router::ConnectPort(uint16_t nPort, IKxFexAsync* recv, std::shared_ptr<LocalPort>& out)
{
    auto port = std::make_shared<LocalPort>();
    port->recv = recv;
    if (m_participant) {
        if (nPort == 0)
            return E_INVALIDARG;
        HopAddr addr(m_netId, nPort);
        std::shared_ptr<Connection> up;
        {
            std::lock_guard<std::mutex> lock(m_m);
            if (m_stopped || !m_upstream)
                return FEX_HRESULT(FEXERR_GONE);
            if (m_table.count(addr.Key()))
                return FEX_HRESULT(FEXERR_ADDRTAKEN);
            up = m_upstream;
        }
        FrameHeader hdr;
        hdr.cmd = CMD_REGISTER;
        hdr.target = addr;
        hdr.source = m_helloAddr;
        std::shared_ptr<SyncWaiter> waiter;
        HRESULT hr = AskUpstream(up, hdr, waiter);
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> lock(m_m);
        if (m_stopped)
            return FEX_HRESULT(FEXERR_GONE);
        if (m_table.count(addr.Key()))
            return FEX_HRESULT(FEXERR_ADDRTAKEN);
        port->addr = addr;
        m_table[addr.Key()].local = port;
        out = port;
        return S_OK;
    }
    std::lock_guard<std::mutex> lock(m_m);
    if (m_stopped)
        return FEX_HRESULT(FEXERR_GONE);
    if (nPort == 0)
        nPort = FreePortLocked();
    HopAddr addr(m_netId, nPort);
    if (nPort == 0 || m_table.count(addr.Key()))
        return FEX_HRESULT(FEXERR_ADDRTAKEN);
    port->addr = addr;
    m_table[addr.Key()].local = port;
    out = port;
    return S_OK;
}

void Router::DisconnectPort(const std::shared_ptr<LocalPort>& port)
{
    std::shared_ptr<Connection> up;
    {
        std::lock_guard<std::mutex> lock(m_m);
        auto it = m_table.find(port->addr.Key());
        if (it != m_table.end() && it->second.local == port)
            m_table.erase(it);
        if (m_participant && !m_stopped)
            up = m_upstream;
    }
    if (up) {
        FrameHeader hdr;
        hdr.cmd = CMD_UNREGISTER;
        hdr.invokeId = 0;  // nobody waits for this answer
        hdr.target = port->addr;
        hdr.source = m_helloAddr;
        up->SendFrame(hdr, {});
    }
    port->Rundown();
    // Whatever was delivered to the port and not answered can no longer be answered.
    std::vector<uint32_t> orphans;
    {
        std::lock_guard<std::mutex> lock(m_m);
        for (auto& kv : m_pending)
            if (kv.second.port == port.get())
                orphans.push_back(kv.first);
    }
    for (uint32_t id : orphans)
        Fail(id, FEXERR_GONE);
}

HopAddr Router::AcquireClientAddress()
{
    std::lock_guard<std::mutex> lock(m_m);
    if (m_participant)
        return m_helloAddr;
    if (m_stopped)
        return HopAddr(m_netId, 0);
    uint16_t p = FreePortLocked();
    HopAddr a(m_netId, p);
    if (p)
        m_table[a.Key()].client = true;
    return a;
}

void Router::ReleaseClientAddress(const HopAddr& addr)
{
    std::lock_guard<std::mutex> lock(m_m);
    if (m_participant || addr.port == 0)
        return;
    auto it = m_table.find(addr.Key());
    if (it != m_table.end() && it->second.client)
        m_table.erase(it);
}

uint32_t Router::Route(Request&& req, std::shared_ptr<Requester> requester, uint32_t forwardTimeoutMs)
{
    uint32_t id = NextId();
    uint32_t error = 0;
    std::shared_ptr<LocalPort> port;
    std::shared_ptr<Connection> conn;
    HopAddr target;
    bool fromUpstream = forwardTimeoutMs == UINT32_MAX;
    if (fromUpstream)
        forwardTimeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_m);
        target = Resolve(req.target);
        if (m_stopped) {
            error = FEXERR_GONE;
        } else {
            auto it = m_table.find(target.Key());
            if (it != m_table.end() && it->second.local)
                port = it->second.local;
            else if (it != m_table.end() && !it->second.client)
                conn = it->second.conn.lock();
            else if (it == m_table.end() && m_participant && !fromUpstream)
                conn = m_upstream;
            if (!port && !conn)
                error = (m_participant && !fromUpstream && it == m_table.end()) ? FEXERR_GONE : FEXERR_NOPORT;
        }
        if (!error) {
            Pending p;
            p.requester = requester;
            p.cmd = req.cmd;
            p.source = req.source;
            p.target = target;
            p.port = port.get();
            if (conn) {
                p.forwardedTo = conn;
                p.forwardedRaw = conn.get();
            }
            if (forwardTimeoutMs) {
                p.hasDeadline = true;
                p.deadline = m_deadlines.emplace(Clock::now() + std::chrono::milliseconds(forwardTimeoutMs), id);
                // The timer sleeps until the earliest deadline; a later one is found when it wakes.
                if (p.deadline == m_deadlines.begin())
                    m_timerCv.notify_all();
            }
            m_pending[id] = std::move(p);
        }
    }
    if (error) {
        requester->Complete(error, {});
        return id;
    }
    if (port) {
        auto shared = std::make_shared<Request>(std::move(req));
        Dispatcher::Key key(shared->source.Key(), target.Key());
        if (!m_dispatcher.Post(key, [this, port, id, shared] { Deliver(port, id, *shared); }))
            Fail(id, FEXERR_GONE);
        return id;
    }
    FrameHeader hdr;
    hdr.cmd = req.cmd;
    hdr.invokeId = id;
    hdr.target = req.target;
    hdr.source = req.source;
    if (!conn->SendFrame(hdr, req.body))
        Fail(id, FEXERR_GONE);
    return id;
}

bool Router::Cancel(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_m);
    auto it = m_pending.find(id);
    if (it == m_pending.end())
        return false;
    ErasePendingLocked(it);
    return true;
}

void Router::Call(Request&& req, uint32_t timeoutMs, uint32_t* pError, std::vector<uint8_t>& body, bool quick)
{
    auto waiter = std::make_shared<SyncWaiter>();
    waiter->spin = quick;
    uint32_t id = Route(std::move(req), waiter, 0);
    if (timeoutMs == INFINITE) {
        waiter->Wait();
    } else if (!waiter->WaitUntil(Clock::now() + std::chrono::milliseconds(timeoutMs))) {
        if (Cancel(id)) {
            *pError = FEXERR_TIMEOUT;
            body.clear();
            return;
        }
        waiter->Wait();  // the answer is being handed over right now
    }
    *pError = waiter->error;
    body = std::move(waiter->body);
}

void Router::Deliver(const std::shared_ptr<LocalPort>& port, uint32_t id, Request& req)
{
    {
        std::lock_guard<std::mutex> lock(m_m);
        if (m_pending.find(id) == m_pending.end())
            return;  // the requester gave up before its turn came
    }
    if (!port->Enter()) {
        Fail(id, FEXERR_NOPORT);
        return;
    }
    // The receiver gets writable buffers, as it would from the wire: the request's own body, which nobody
    // reads after this delivery.
    std::vector<uint8_t>& bytes = req.body;
    FrameBody b;
    HRESULT hr = E_FAIL;
    if (ParseBody(req.cmd, false, 0, bytes.data(), bytes.size(), b)) {
        HopAddr src = req.source;
        PVOID data = b.dataLen ? bytes.data() + (b.data - bytes.data()) : nullptr;
        IKxFexAsync* r = port->recv;
        t_deliveringPort = port.get();
        try {
            switch (req.cmd) {
            case CMD_WRITE:
                hr = r->Write(&src, id, b.group, b.offset, b.dataLen, data);
                break;
            case CMD_READ:
                hr = r->Read(&src, id, b.group, b.offset, b.readLength);
                break;
            case CMD_READWRITE:
                hr = r->ReadWrite(&src, id, b.group, b.offset, b.readLength, b.dataLen, data);
                break;
            case CMD_WRITECONTROL:
                hr = r->WriteControl(&src, id, b.state, b.devState, b.dataLen, data);
                break;
            case CMD_READSTATE:
                hr = r->ReadState(&src, id);
                break;
            case CMD_READDEVICEINFO:
                hr = r->ReadDeviceInfo(&src, id);
                break;
            case CMD_ADDNOTIFICATION:
                hr = r->AddDeviceNotification(&src, id, b.group, b.offset, &b.attrib);
                break;
            case CMD_DELNOTIFICATION:
                hr = r->DelDeviceNotification(&src, id, b.handle);
                break;
            case CMD_NOTIFICATION:
                hr = r->DeviceNotification(&src, id, b.dataLen,
                                           reinterpret_cast<FexNotificationStream*>(bytes.data()));
                break;
            default:
                hr = FEX_HRESULT(FEXERR_SRVNOTSUPP);
                break;
            }
        } catch (...) {
            hr = E_FAIL;
        }
        t_deliveringPort = nullptr;
    } else {
        hr = FEX_HRESULT(FEXERR_MALFORMED);
    }
    port->Leave();
    if (FAILED(hr))
        Fail(id, ErrorFromResult(hr));
    else if (req.cmd == CMD_NOTIFICATION)
        Answer(id, 0, {}, nullptr, nullptr, nullptr, 0, false);  // one-way: delivered is done
}

bool Router::Answer(uint32_t id, uint32_t error, std::vector<uint8_t>&& body, const LocalPort* fromPort,
                    const HopAddr* requester, const Connection* fromConn, uint16_t cmd, bool checkCmd)
{
    std::shared_ptr<Requester> req;
    uint16_t pendingCmd;
    {
        std::lock_guard<std::mutex> lock(m_m);
        auto it = m_pending.find(id);
        if (it == m_pending.end())
            return false;
        const Pending& p = it->second;
        if (fromPort && p.port != fromPort)
            return false;
        if (requester && p.source != *requester)
            return false;
        if (fromConn && p.forwardedRaw != fromConn)
            return false;
        req = p.requester;
        pendingCmd = p.cmd;
        ErasePendingLocked(it);
    }
    if (checkCmd && cmd != pendingCmd) {
        error = FEXERR_MALFORMED;
        body.clear();
    }
    if (pendingCmd >= CMD_WRITE && pendingCmd <= CMD_NOTIFICATION) {
        FrameBody parsed;
        if (!ParseBody(pendingCmd, true, error, body.data(), body.size(), parsed))
            body = error ? std::vector<uint8_t>() : EmptyResponseBody(pendingCmd);
    }
    req->Complete(error, std::move(body));
    return true;
}

void Router::Fail(uint32_t id, uint32_t error)
{
    Answer(id, error, {}, nullptr, nullptr, nullptr, 0, false);
}

HRESULT Router::AnswerFromPort(const std::shared_ptr<LocalPort>& port, const HopAddr* requester, uint32_t invokeId,
                               uint32_t error, std::vector<uint8_t>&& body)
{
    if (IsStopped())
        return FEX_HRESULT(FEXERR_GONE);
    return Answer(invokeId, error & 0xFFFFu, std::move(body), port.get(), requester, nullptr, 0, false) ? S_OK
                                                                                                        : S_FALSE;
}

void Router::OnFrame(const std::shared_ptr<Connection>& conn, const FrameHeader& hdr, const FrameBody& body,
                     const uint8_t* rawBody, size_t rawLen)
{
    (void)body;
    if (hdr.IsResponse()) {
        std::vector<uint8_t> b;
        if (hdr.cmd == CMD_HELLO) {
            b.resize(sizeof(HopAddr));
            std::memcpy(b.data(), &hdr.target, sizeof(HopAddr));
        } else {
            b.assign(rawBody, rawBody + rawLen);
        }
        Answer(hdr.invokeId, hdr.error & 0xFFFFu, std::move(b), nullptr, nullptr, conn.get(), hdr.cmd, true);
        return;
    }
    if (hdr.cmd >= CMD_HELLO) {
        HandleLinkCommand(conn, hdr);
        return;
    }
    Request req;
    req.cmd = hdr.cmd;
    req.target = hdr.target;
    req.source = hdr.source;
    req.body.assign(rawBody, rawBody + rawLen);
    auto requester = std::make_shared<LinkRequester>(conn, hdr);
    // Requests from the router this process joined are only for its own ports; forwarding them back would loop.
    Route(std::move(req), requester, conn->Upstream() ? UINT32_MAX : m_forwardTimeoutMs);
}

void Router::HandleLinkCommand(const std::shared_ptr<Connection>& conn, const FrameHeader& hdr)
{
    FrameHeader r;
    r.cmd = hdr.cmd;
    r.flags = kFlagResponse;
    r.invokeId = hdr.invokeId;
    r.target = hdr.source;
    r.source = hdr.target;
    {
        std::lock_guard<std::mutex> lock(m_m);
        if (m_stopped || conn->Upstream()) {
            r.error = m_stopped ? FEXERR_GONE : FEXERR_SRVNOTSUPP;
        } else if (hdr.cmd == CMD_HELLO) {
            if (!conn->hasHello) {
                uint16_t p = FreePortLocked();
                if (p == 0) {
                    r.error = FEXERR_ADDRTAKEN;
                } else {
                    conn->hasHello = true;
                    conn->helloAddr = HopAddr(m_netId, p);
                    Entry& e = m_table[conn->helloAddr.Key()];
                    e.conn = conn;
                    e.connRaw = conn.get();
                }
            }
            if (conn->hasHello) {
                r.target = conn->helloAddr;
                r.source = HopAddr(m_netId, 0);
            }
        } else if (hdr.cmd == CMD_REGISTER) {
            HopAddr a = Resolve(hdr.target);
            if (a.port == 0 || m_table.count(a.Key())) {
                r.error = FEXERR_ADDRTAKEN;
            } else {
                Entry& e = m_table[a.Key()];
                e.conn = conn;
                e.connRaw = conn.get();
                conn->registrations.insert(a.Key());
            }
        } else {
            HopAddr a = Resolve(hdr.target);
            auto it = m_table.find(a.Key());
            if (it != m_table.end() && it->second.connRaw == conn.get() && conn->registrations.erase(a.Key()))
                m_table.erase(it);
            else
                r.error = FEXERR_NOPORT;
        }
    }
    conn->SendFrame(r, {});
}

void Router::OnBadFrame(const std::shared_ptr<Connection>& conn, const FrameHeader* hdr)
{
    if (hdr && !hdr->IsResponse()) {
        FrameHeader r;
        r.cmd = hdr->cmd;
        r.flags = kFlagResponse;
        r.invokeId = hdr->invokeId;
        r.error = IsKnownCommand(hdr->cmd) ? FEXERR_MALFORMED : FEXERR_SRVNOTSUPP;
        r.target = hdr->source;
        r.source = hdr->target;
        conn->SendFrame(r, {});
    }
}

void Router::OnConnectionClosed(const std::shared_ptr<Connection>& conn)
{
    std::vector<uint32_t> orphans;
    {
        std::lock_guard<std::mutex> lock(m_m);
        for (uint64_t key : conn->registrations) {
            auto it = m_table.find(key);
            if (it != m_table.end() && it->second.connRaw == conn.get())
                m_table.erase(it);
        }
        conn->registrations.clear();
        if (conn->hasHello) {
            auto it = m_table.find(conn->helloAddr.Key());
            if (it != m_table.end() && it->second.connRaw == conn.get())
                m_table.erase(it);
        }
        for (auto& kv : m_pending)
            if (kv.second.forwardedRaw == conn.get())
                orphans.push_back(kv.first);
        if (m_wakePipe[1] >= 0) {
            char c = 0;
            ssize_t w = ::write(m_wakePipe[1], &c, 1);
            (void)w;
        }
    }
    for (uint32_t id : orphans)
        Fail(id, FEXERR_GONE);
}

void Router::ReapConnections(bool all)
{
    std::list<std::shared_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(m_m);
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            if (all || (*it)->Finished()) {
                done.push_back(*it);
                it = m_conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done)
        c->Join();
}

void Router::ListenLoop()
{
    for (;;) {
        pollfd fds[2];
        fds[0].fd = m_listenFd;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = m_wakePipe[0];
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents) {
            char drain[64];
            ssize_t r = ::read(m_wakePipe[0], drain, sizeof(drain));
            (void)r;
            if (IsStopped())
                return;
            ReapConnections(false);
        }
        if (fds[0].revents & POLLIN) {
            int fd = ::accept(m_listenFd, nullptr, nullptr);
            if (fd < 0)
                continue;
            ConfigureStream(fd);
            try {
                auto conn = std::make_shared<Connection>(this, fd, false);
                {
                    std::lock_guard<std::mutex> lock(m_m);
                    if (m_stopped)
                        return;  // conn closes its descriptor on destruction
                    m_conns.push_back(conn);
                }
                conn->Start();
            } catch (...) {
            }
        }
    }
}

void Router::TimerLoop()
{
    std::unique_lock<std::mutex> lock(m_m);
    while (!m_timerStop) {
        if (m_deadlines.empty()) {
            m_timerCv.wait(lock);
            continue;
        }
        auto first = m_deadlines.begin();
        Clock::time_point next = first->first;  // a copy: the entry may go while we wait
        if (Clock::now() < next) {
            m_timerCv.wait_until(lock, next);
            continue;
        }
        uint32_t id = first->second;
        auto it = m_pending.find(id);
        if (it == m_pending.end() || !it->second.hasDeadline || it->second.deadline != first) {
            m_deadlines.erase(first);  // cannot happen: entries leave with their request
            continue;
        }
        lock.unlock();
        Fail(id, FEXERR_TIMEOUT);
        lock.lock();
    }
}

// ---- the process's router ----

namespace {
std::mutex g_lifeMutex;
std::shared_ptr<Router> g_router;

bool ParseU16(const char* s, uint16_t& out)
{
    if (!s || !*s)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno || *end || v > 65535)
        return false;
    out = static_cast<uint16_t>(v);
    return true;
}

// KX_ROUTER names a router to join; otherwise the process hosts one, listening on KX_ROUTER_PORT.
HRESULT ConfigFromEnv(KxRouterConfig& cfg, std::string& host)
{
    KxRouterConfigInit(&cfg);
    const char* join = std::getenv("KX_ROUTER");
    if (join && *join) {
        std::string s(join);
        size_t colon = s.rfind(':');
        uint16_t port = 0;
        if (colon == std::string::npos || colon == 0 || !ParseU16(s.c_str() + colon + 1, port) || port == 0) {
            std::fprintf(stderr, "KxSystem: KX_ROUTER \"%s\" is not host:port\n", join);
            return E_INVALIDARG;
        }
        host = s.substr(0, colon);
        cfg.mode = KX_ROUTER_MODE_PARTICIPANT;
        cfg.routerHost = host.c_str();
        cfg.routerPort = port;
        return S_OK;
    }
    cfg.mode = KX_ROUTER_MODE_HOST;
    cfg.startPlc = 1;  // only the hosting process runs the PLC of KX_PLC; participants bring their own
    uint16_t port = 10650;
    const char* p = std::getenv("KX_ROUTER_PORT");
    if (p && *p && !ParseU16(p, port)) {
        std::fprintf(stderr, "KxSystem: KX_ROUTER_PORT \"%s\" is not a port number, using 10650\n", p);
        port = 10650;
    }
    cfg.listen = port != 0;
    cfg.listenPort = port;
    return S_OK;
}
}  // namespace

std::shared_ptr<Router> CurrentRouter()
{
    std::lock_guard<std::mutex> lock(g_lifeMutex);
    return g_router;
}

std::shared_ptr<Router> EnsureRouter(HRESULT* pHr)
{
    std::shared_ptr<Router> r = CurrentRouter();
    if (r) {
        *pHr = S_OK;
        return r;
    }
    HRESULT hr = KxRouterStart(nullptr);
    r = CurrentRouter();
    *pHr = r ? S_OK : hr;
    return r;
}

}  // namespace kxrouter

using namespace kxrouter;

KXSYSTEM_API void KxRouterConfigInit(KxRouterConfig* pConfig)
{
    if (!pConfig)
        return;
    *pConfig = KxRouterConfig();
    pConfig->mode = KX_ROUTER_MODE_HOST;
    pConfig->routerPort = 10650;
}

KXSYSTEM_API HRESULT KxRouterStart(const KxRouterConfig* pConfig)
{
    try {
        KxRouterConfig cfg;
        std::string host;
        if (!pConfig || pConfig->mode == KX_ROUTER_MODE_ENV) {
            HRESULT hr = ConfigFromEnv(cfg, host);
            if (FAILED(hr))
                return hr;
        } else {
            cfg = *pConfig;
        }
        std::shared_ptr<Router> r;
        {
            std::lock_guard<std::mutex> lock(g_lifeMutex);
            if (g_router)
                return static_cast<HRESULT>(0x800700B7u);
            r = std::make_shared<Router>();
            HRESULT hr = r->Start(cfg);
            if (FAILED(hr)) {
                r->Stop();
                return hr;
            }
            g_router = r;
        }
        // Outside the lock: the simulator connects its port through the entry points.
        if (cfg.startPlc && KxPlcSimStartFromEnv)
            KxPlcSimStartFromEnv();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

KXSYSTEM_API void KxRouterStop()
{
    std::shared_ptr<Router> r = CurrentRouter();
    if (!r)
        return;
    if (KxPlcSimStopAll)
        KxPlcSimStopAll();
    {
        std::lock_guard<std::mutex> lock(g_lifeMutex);
        if (g_router == r)
            g_router.reset();
    }
    r->Stop();
}

KXSYSTEM_API int KxRouterIsRunning() { return CurrentRouter() ? 1 : 0; }

KXSYSTEM_API int KxRouterIsParticipant()
{
    std::shared_ptr<Router> r = CurrentRouter();
    return r && r->IsParticipant() ? 1 : 0;
}

KXSYSTEM_API uint16_t KxRouterListenPort()
{
    std::shared_ptr<Router> r = CurrentRouter();
    return r ? r->ListenPort() : 0;
}

KXSYSTEM_API HRESULT KxRouterGetLocalNetId(HopNetId* pNetId)
{
    if (!pNetId)
        return E_POINTER;
    std::shared_ptr<Router> r = CurrentRouter();
    if (!r)
        return FEX_HRESULT(FEXERR_GONE);
    *pNetId = r->LocalNetId();
    return S_OK;
}

KXSYSTEM_API HRESULT KxRouterGetParticipantAddress(HopAddr* pAddr)
{
    if (!pAddr)
        return E_POINTER;
    std::shared_ptr<Router> r = CurrentRouter();
    if (!r || !r->IsParticipant())
        return FEX_HRESULT(FEXERR_GONE);
    *pAddr = r->ParticipantAddress();
    return S_OK;
}
