// The process's router: port table, request delivery, outstanding requests and the TCP link.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KxFex.h"
#include "KxFrame.h"
#include "KxRouter.h"

namespace kxrouter {

using Clock = std::chrono::steady_clock;

// Starts a thread with SIGTERM blocked, so that the signal reaches the process's main thread.
std::thread StartThread(std::function<void()> fn);

// The 16-bit protocol error number a receiver's result stands for.
uint32_t ErrorFromResult(HRESULT hr);

// One request as it travels through the router; body in the wire layout of its command.
struct Request {
    uint16_t cmd = 0;
    HopAddr target;
    HopAddr source;
    std::vector<uint8_t> body;
};

// Whoever waits for the answer of one request. Complete is called exactly once.
class Requester {
public:
    virtual ~Requester() = default;
    virtual void Complete(uint32_t error, std::vector<uint8_t>&& body) = 0;
};

// A blocking requester for synchronous calls.
class SyncWaiter : public Requester {
public:
    void Complete(uint32_t error, std::vector<uint8_t>&& body) override;
    // Waits until completed or until the deadline; true when completed.
    bool WaitUntil(Clock::time_point deadline);
    void Wait();
    uint32_t error = 0;
    std::vector<uint8_t> body;
    bool spin = false;  // the answer is expected within microseconds: looked for before the caller blocks

private:
    // With spin, looks for the answer a short while; true when it came.
    bool SpinUntilDone();
    std::mutex m_m;
    std::condition_variable m_cv;
    std::atomic<bool> m_done{false};  // set under m_m; also looked at without it
};

// A port of this process: the receiver and the rundown of deliveries in progress.
struct LocalPort {
    HopAddr addr;
    IKxFexAsync* recv = nullptr;
    std::mutex m;
    std::condition_variable cv;
    int active = 0;
    bool closed = false;
    bool Enter();
    void Leave();
    // Marks the port closed and waits until no other thread delivers to it.
    void Rundown();
};

class Connection;
class Router;

// Serial queues ("strands") on a growing pool of threads: jobs of one strand run one after another in posting
// order; different strands run in parallel. A new thread starts whenever work waits and no thread is idle,
// so a job that blocks (e.g. on a request to another port) never holds up another strand.
class Dispatcher {
public:
    explicit Dispatcher(size_t maxThreads);
    ~Dispatcher();
    using Key = std::pair<uint64_t, uint64_t>;
    // False after Stop.
    bool Post(const Key& key, std::function<void()> job);
    // Drops queued jobs and joins the threads.
    void Stop();
    size_t ThreadCount();

private:
    struct Strand {
        std::deque<std::function<void()>> jobs;
        bool scheduled = false;
    };
    void Worker();
    std::mutex m_m;
    std::condition_variable m_cv;
    std::map<Key, Strand> m_strands;
    std::deque<Key> m_ready;
    std::vector<std::thread> m_threads;
    size_t m_idle = 0;
    size_t m_max;
    bool m_stop = false;
};

// One TCP connection of the link: a participant at the host, or the host at a participant.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Router* router, int fd, bool upstream);
    ~Connection();
    void Start();
    // Writes one whole frame; false (and the connection closes) when that fails.
    bool Send(const std::vector<uint8_t>& frame);
    bool SendFrame(const FrameHeader& hdr, const std::vector<uint8_t>& body);
    void Close();
    void Join();
    bool Finished() const { return m_finished.load(); }
    bool Upstream() const { return m_upstream; }

    // Owned by the router's lock.
    bool hasHello = false;
    HopAddr helloAddr;
    std::set<uint64_t> registrations;

private:
    void ReadLoop();
    bool ReadAll(uint8_t* p, size_t n);
    Router* m_router;
    int m_fd;
    bool m_upstream;
    std::mutex m_sendMutex;
    std::mutex m_closeMutex;
    bool m_closed = false;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

// The router. One instance runs per process at a time (see KxRouterStart); objects hold it by shared_ptr.
class Router : public std::enable_shared_from_this<Router> {
public:
    Router();
    ~Router();
    HRESULT Start(const KxRouterConfig& cfg);
    void Stop();

    bool IsParticipant() const { return m_participant; }
    bool IsStopped();
    HopNetId LocalNetId() const { return m_netId; }
    uint16_t ListenPort() const { return m_listenPort; }
    HopAddr ParticipantAddress() const { return m_helloAddr; }

    // Registers a local port (nPort 0: a free one from 30000 up). FEX_HRESULT(0x0105) when taken.
    HRESULT ConnectPort(uint16_t nPort, IKxFexAsync* recv, std::shared_ptr<LocalPort>& out);
    // Unregisters it, waiting for deliveries in progress on other threads.
    void DisconnectPort(const std::shared_ptr<LocalPort>& port);
    // The answer of a local port; S_FALSE when no such request waits (already answered or given up).
    HRESULT AnswerFromPort(const std::shared_ptr<LocalPort>& port, const HopAddr* requester, uint32_t invokeId,
                           uint32_t error, std::vector<uint8_t>&& body);

    // Address a local synchronous client sends from; released with ReleaseClientAddress.
    HopAddr AcquireClientAddress();
    void ReleaseClientAddress(const HopAddr& addr);

    // Routes req; the requester is completed exactly once (possibly before this returns).
    // A requester that gives up calls Cancel with the returned id; true when it was still outstanding.
    uint32_t Route(Request&& req, std::shared_ptr<Requester> requester, uint32_t forwardTimeoutMs);
    bool Cancel(uint32_t id);

    // A synchronous request: router error number in *pError (0 = answered), answer body in body. quick: few
    // bytes go each way, so a port of this process answers within microseconds.
    void Call(Request&& req, uint32_t timeoutMs, uint32_t* pError, std::vector<uint8_t>& body, bool quick = false);

    // From connections.
    void OnFrame(const std::shared_ptr<Connection>& conn, const FrameHeader& hdr, const FrameBody& body,
                 const uint8_t* rawBody, size_t rawLen);
    void OnBadFrame(const std::shared_ptr<Connection>& conn, const FrameHeader* hdr);
    void OnConnectionClosed(const std::shared_ptr<Connection>& conn);

    size_t DispatcherThreads() { return m_dispatcher.ThreadCount(); }

private:
    struct Pending {
        std::shared_ptr<Requester> requester;
        uint16_t cmd = 0;
        HopAddr source;
        HopAddr target;
        LocalPort* port = nullptr;         // delivered to this local port
        std::weak_ptr<Connection> forwardedTo;
        Connection* forwardedRaw = nullptr;
        bool hasDeadline = false;          // router time-out, an entry of m_deadlines
        std::multimap<Clock::time_point, uint32_t>::iterator deadline;
    };
    struct Entry {
        std::shared_ptr<LocalPort> local;
        std::weak_ptr<Connection> conn;
        Connection* connRaw = nullptr;
        bool client = false;
    };

    HopAddr Resolve(const HopAddr& a) const;
    // Removes an outstanding request with its time-out entry; call with m_m held.
    void ErasePendingLocked(std::map<uint32_t, Pending>::iterator it);
    uint16_t FreePortLocked();
    void Deliver(const std::shared_ptr<LocalPort>& port, uint32_t id, Request& req);
    bool Answer(uint32_t id, uint32_t error, std::vector<uint8_t>&& body, const LocalPort* fromPort,
                const HopAddr* requester, const Connection* fromConn, uint16_t cmd, bool checkCmd);
    void Fail(uint32_t id, uint32_t error);
    uint32_t NextId();
    void ListenLoop();
    void TimerLoop();
    void ReapConnections(bool all);
    HRESULT StartHost(const KxRouterConfig& cfg);
    HRESULT StartParticipant(const KxRouterConfig& cfg);
    void HandleLinkCommand(const std::shared_ptr<Connection>& conn, const FrameHeader& hdr);
    // Sends a link command (hdr without its invoke id) to the router this participant joined and waits for the
    // answer (kLinkTimeoutMs); 0x0102 on time-out, else the answer's error as an HRESULT (0: S_OK).
    HRESULT AskUpstream(const std::shared_ptr<Connection>& up, FrameHeader hdr, std::shared_ptr<SyncWaiter>& waiter);

    std::mutex m_m;
    bool m_stopped = false;
    bool m_participant = false;
    HopNetId m_netId;
    HopAddr m_helloAddr;
    std::shared_ptr<Connection> m_upstream;
    std::map<uint64_t, Entry> m_table;
    std::map<uint32_t, Pending> m_pending;
    std::multimap<Clock::time_point, uint32_t> m_deadlines;
    std::list<std::shared_ptr<Connection>> m_conns;
    std::atomic<uint32_t> m_nextId{0};
    uint16_t m_nextClientPort = 30000;
    uint32_t m_forwardTimeoutMs = 30000;

    Dispatcher m_dispatcher;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    uint16_t m_listenPort = 0;
    std::thread m_listenThread;
    std::thread m_timerThread;
    std::condition_variable m_timerCv;
    bool m_timerStop = false;
};

// The running router, or null.
std::shared_ptr<Router> CurrentRouter();
// The running router, started from the environment when none runs; null (and *pHr set) when that fails.
std::shared_ptr<Router> EnsureRouter(HRESULT* pHr);

}  // namespace kxrouter
