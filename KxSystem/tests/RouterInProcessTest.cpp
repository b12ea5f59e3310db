// The in-process router: ports, synchronous clients, the router's own answers.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <set>

#include "RouterTestUtil.h"

using namespace routertest;

namespace {

class RouterInProcessTest : public RouterFixture {
protected:
    void SetUp() override { StartRouter(); }
};

TEST_F(RouterInProcessTest, EveryCommandArrivesWithItsArgumentsAndItsAnswerComesBackIntact)
{
    TestReceiver recv;
    IKxFexPort* port = Connect(851, recv);
    ASSERT_NE(nullptr, port);
    IKxFexSync* sync = SyncTo(851);
    ASSERT_NE(nullptr, sync);
    const std::thread::id me = std::this_thread::get_id();

    // Read: the answer is cut to the buffer and the count reports what was placed.
    std::vector<uint8_t> buf(300, 0xEE);
    ULONG got = 0;
    EXPECT_EQ(S_OK, sync->SyncRead(0x4020, 17, 256, buf.data(), &got));
    EXPECT_EQ(256u, got);
    EXPECT_EQ(Pattern(0x4020, 17, 256), std::vector<uint8_t>(buf.begin(), buf.begin() + 256));
    EXPECT_EQ(0xEE, buf[256]) << "nothing written past the answer";

    // Write with data.
    std::vector<uint8_t> wdata = {1, 2, 3, 4, 5, 0, 0xFF};
    EXPECT_EQ(S_OK, sync->SyncWrite(0x4021, 9, static_cast<ULONG>(wdata.size()), wdata.data()));

    // ReadWrite: the receiver echoes the group and the write data, cut to the read length.
    std::vector<uint8_t> wr = {'M', 'A', 'I', 'N', '.', 'x', 0};
    std::vector<uint8_t> rd(8, 0);
    got = 0;
    EXPECT_EQ(S_OK, sync->SyncReadWrite(0xF009, 0, 8, rd.data(), static_cast<ULONG>(wr.size()), wr.data(), &got));
    EXPECT_EQ(8u, got);
    EXPECT_EQ(EchoAnswer(0xF009, wr.data(), static_cast<uint32_t>(wr.size()), 8), rd);

    USHORT state = 0, dev = 0;
    EXPECT_EQ(S_OK, sync->SyncReadState(&state, &dev));
    EXPECT_EQ(5, state);
    EXPECT_EQ(0x1234, dev);

    char name[32];
    std::memset(name, 'x', sizeof(name));
    FexVersion ver{0, 0, 0};
    EXPECT_EQ(S_OK, sync->SyncReadDeviceInfo(name, sizeof(name), &ver));
    EXPECT_STREQ("TestDevice", name);
    EXPECT_EQ(3, ver.version);
    EXPECT_EQ(2, ver.revision);
    EXPECT_EQ(38, ver.build);
    // A short name buffer gets the cut, terminated name.
    char shortName[5];
    EXPECT_EQ(S_OK, sync->SyncReadDeviceInfo(shortName, sizeof(shortName), &ver));
    EXPECT_STREQ("Test", shortName);

    std::vector<Seen> seen = recv.SeenCopy();
    ASSERT_EQ(6u, seen.size());
    struct Row {
        uint16_t cmd;
        ULONG group, offset, length;
        std::vector<uint8_t> data;
    } rows[] = {
        {kxrouter::CMD_READ, 0x4020, 17, 256, {}},
        {kxrouter::CMD_WRITE, 0x4021, 9, 7, wdata},
        {kxrouter::CMD_READWRITE, 0xF009, 0, 8, wr},
        {kxrouter::CMD_READSTATE, 0, 0, 0, {}},
        {kxrouter::CMD_READDEVICEINFO, 0, 0, 0, {}},
        {kxrouter::CMD_READDEVICEINFO, 0, 0, 0, {}},
    };
    std::set<ULONG> ids;
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].cmd, seen[i].cmd);
        EXPECT_EQ(rows[i].group, seen[i].group);
        EXPECT_EQ(rows[i].offset, seen[i].offset);
        EXPECT_EQ(rows[i].length, seen[i].length);
        EXPECT_EQ(rows[i].data, seen[i].data);
        EXPECT_EQ(netId, seen[i].from.netId) << "requests come from the local net id";
        EXPECT_NE(me, seen[i].thread) << "delivery runs on a router thread";
        ids.insert(seen[i].invokeId);
    }
    EXPECT_EQ(6u, ids.size()) << "every request has its own invoke id";
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, WriteControlAndNotificationRequestsReachTheReceiver)
{
    TestReceiver recv;
    IKxFexPort* port = Connect(852, recv);
    IKxFexSync* sync = SyncTo(852);
    uint8_t ctl[3] = {9, 8, 7};
    EXPECT_EQ(S_OK, sync->SyncWriteControl(5, 3, 3, ctl));
    auto seen = recv.SeenCopy();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(kxrouter::CMD_WRITECONTROL, seen[0].cmd);
    EXPECT_EQ(5, seen[0].state);
    EXPECT_EQ(3, seen[0].devState);
    EXPECT_EQ(std::vector<uint8_t>({9, 8, 7}), seen[0].data);
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, ConcurrentCallersOnOneSyncInterfaceEachGetTheirOwnAnswer)
{
    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* port = Connect(853, recv);
    IKxFexSync* sync = SyncTo(853);
    constexpr int kThreads = 6, kEach = 150;

    // Answers in batches, newest first, so completions arrive out of order.
    std::atomic<bool> stop{false};
    std::thread answerer([&] {
        int answered = 0;
        while (answered < kThreads * kEach && !stop) {
            std::vector<Seen> batch;
            Seen s;
            if (!recv.PopHeld(s))
                break;
            batch.push_back(s);
            {
                std::lock_guard<std::mutex> lock(recv.m);
                while (!recv.held.empty() && batch.size() < 8) {
                    batch.push_back(recv.held.front());
                    recv.held.pop_front();
                }
            }
            for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                recv.Answer(*it);
            answered += static_cast<int>(batch.size());
        }
    });

    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint8_t w[8];
                for (int k = 0; k < 8; ++k)
                    w[k] = static_cast<uint8_t>(t * 31 + i * 7 + k);
                uint8_t r[12] = {};
                ULONG got = 0;
                ULONG group = static_cast<ULONG>(0x1000 + t);
                if (sync->SyncReadWrite(group, static_cast<ULONG>(i), 12, r, 8, w, &got) != S_OK) {
                    ++failed;
                    continue;
                }
                if (got != 12 || std::vector<uint8_t>(r, r + 12) != EchoAnswer(group, w, 8, 12))
                    ++wrong;
            }
        });
    }
    for (auto& c : callers)
        c.join();
    stop = true;
    answerer.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), recv.SeenCopy().size());
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, RouterAnswersNoPortAndTimeOut)
{
    IKxFexSync* none = SyncTo(999);
    uint8_t b[4];
    ULONG got = 7;
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOPORT), none->SyncRead(1, 2, 4, b, &got));
    EXPECT_EQ(0u, got);
    // Another net id without a participant serving it.
    IKxFexSync* remote = SyncTo(851, NetId(9, 9, 9, 9, 1, 1));
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOPORT), remote->SyncWrite(1, 2, 4, b));

    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* port = Connect(854, recv);
    IKxFexSync* sync = SyncTo(854);
    ULONG t = 0;
    EXPECT_EQ(S_OK, sync->GetTimeout(&t));
    EXPECT_EQ(5000u, t) << "default time-out";
    EXPECT_EQ(S_OK, sync->SetTimeout(50));
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(FEX_HRESULT(FEXERR_TIMEOUT), sync->SyncRead(1, 2, 4, b, &got));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));

    // The late answer is dropped and reported as such; the next request gets its own answer.
    Seen late;
    ASSERT_TRUE(recv.PopHeld(late));
    EXPECT_EQ(S_FALSE, recv.Answer(late));
    recv.Set(TestReceiver::Inline);
    EXPECT_EQ(S_OK, sync->SetTimeout(kWaitMs));
    uint8_t r[4] = {};
    EXPECT_EQ(S_OK, sync->SyncRead(7, 8, 4, r, &got));
    EXPECT_EQ(Pattern(7, 8, 4), std::vector<uint8_t>(r, r + 4));

    none->Release();
    remote->Release();
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, NegativeResultWithoutAnswerIsAnsweredByTheRouterOnce)
{
    struct Row {
        HRESULT returned;
        bool answerFirst;
        HRESULT expected;
    } rows[] = {
        {FEX_HRESULT(FEXERR_SYMBOLNOTFOUND), false, FEX_HRESULT(FEXERR_SYMBOLNOTFOUND)},
        {static_cast<HRESULT>(0x98118001u), false, static_cast<HRESULT>(0x98118001u)},
        {E_FAIL, false, FEX_HRESULT(FEXERR_NOANSWER)},
        {E_OUTOFMEMORY, false, FEX_HRESULT(FEXERR_NOANSWER)},
        {static_cast<HRESULT>(0x98110000u), false, FEX_HRESULT(FEXERR_NOANSWER)},
        // The receiver answered and then failed: its answer stands, no second answer follows.
        {E_FAIL, true, S_OK},
    };
    TestReceiver recv;
    IKxFexPort* port = Connect(855, recv);
    IKxFexSync* sync = SyncTo(855);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.returned);
        recv.Set(row.answerFirst ? TestReceiver::Inline : TestReceiver::Fail, row.returned, row.answerFirst);
        uint8_t r[4] = {};
        ULONG got = 0;
        EXPECT_EQ(row.expected, sync->SyncRead(3, 4, 4, r, &got));
        // The next request must see its own answer, not a stray second answer of the previous one.
        recv.Set(TestReceiver::Inline);
        EXPECT_EQ(S_OK, sync->SyncRead(5, 6, 4, r, &got));
        EXPECT_EQ(Pattern(5, 6, 4), std::vector<uint8_t>(r, r + 4));
    }
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, AnswersWithAWrongRequesterOrInvokeIdAreDropped)
{
    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* port = Connect(856, recv);
    IKxFexSync* sync = SyncTo(856);
    std::thread caller([&] {
        uint8_t r[4] = {};
        ULONG got = 0;
        EXPECT_EQ(S_OK, sync->SyncRead(1, 1, 4, r, &got));
        EXPECT_EQ(Pattern(1, 1, 4), std::vector<uint8_t>(r, r + 4));
    });
    Seen s;
    ASSERT_TRUE(recv.PopHeld(s));
    uint8_t junk[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    HopAddr other = s.from;
    other.port ^= 1;
    EXPECT_EQ(S_FALSE, port->ReadRes(&other, s.invokeId, 0, 4, junk));
    EXPECT_EQ(S_FALSE, port->ReadRes(&s.from, s.invokeId + 1000, 0, 4, junk));
    EXPECT_EQ(S_OK, recv.Answer(s));
    EXPECT_EQ(S_FALSE, recv.Answer(s)) << "a second answer to one request is refused";
    caller.join();
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, PortTableRegistrationAndRelease)
{
    TestReceiver a, b;
    IKxFexPort* pa = Connect(860, a);
    IKxFexServer* server = nullptr;
    ASSERT_EQ(S_OK, CreateFexServer(&server));
    IKxFexPort* dup = reinterpret_cast<IKxFexPort*>(1);
    EXPECT_EQ(FEX_HRESULT(FEXERR_ADDRTAKEN),
              server->ConnectPort(860, 0, &b, &dup, KxMissingVariant(), KxMissingVariant()));
    EXPECT_EQ(nullptr, dup);

    // IKxFexServer2 counts this server's ports.
    IKxFexServer2* s2 = nullptr;
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IKxFexServer2, reinterpret_cast<void**>(&s2)));
    EXPECT_EQ(S_OK, s2->SetServerFlags(0));
    ULONG count = 9;
    EXPECT_EQ(S_OK, s2->GetPortCount(&count));
    EXPECT_EQ(0u, count);
    IKxFexPort* pb = nullptr;
    ASSERT_EQ(S_OK, server->ConnectPort(861, 0, &b, &pb, KxMissingVariant(), KxMissingVariant()));
    b.port = pb;
    EXPECT_EQ(S_OK, s2->GetPortCount(&count));
    EXPECT_EQ(1u, count);
    HopAddr addr;
    EXPECT_EQ(S_OK, pb->GetAddress(&addr));
    EXPECT_EQ(HopAddr(netId, 861), addr);

    // A zero net id in the target stands for the local one.
    IKxFexClient* client = nullptr;
    ASSERT_EQ(S_OK, CreateFexClient(&client));
    HopAddr zero;
    IKxFexSync* sync = nullptr;
    ASSERT_EQ(S_OK, client->Connect(&zero, 861, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()));
    client->Release();  // the sync interface outlives its client object
    USHORT st = 0, ds = 0;
    EXPECT_EQ(S_OK, sync->SyncReadState(&st, &ds));
    EXPECT_EQ(5, st);

    // Released, the port is gone and its number free again.
    pb->Release();
    EXPECT_EQ(S_OK, s2->GetPortCount(&count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOPORT), sync->SyncReadState(&st, &ds));
    ASSERT_EQ(S_OK, server->ConnectPort(861, 0, &b, &pb, KxMissingVariant(), KxMissingVariant()));
    b.port = pb;
    EXPECT_EQ(S_OK, sync->SyncReadState(&st, &ds));

    s2->Release();
    server->Release();
    sync->Release();
    pb->Release();
    pa->Release();
}

TEST_F(RouterInProcessTest, RequestsOfOneSenderArriveInOrder)
{
    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* port = Connect(862, recv);
    IKxFexSync* sync = SyncTo(862);
    constexpr int kN = 50;
    std::thread caller([&] {
        for (int i = 0; i < kN; ++i) {
            uint8_t w = static_cast<uint8_t>(i);
            EXPECT_EQ(S_OK, sync->SyncWrite(0x10, static_cast<ULONG>(i), 1, &w));
        }
    });
    for (int i = 0; i < kN; ++i) {
        Seen s;
        ASSERT_TRUE(recv.PopHeld(s));
        EXPECT_EQ(static_cast<ULONG>(i), s.offset);
        recv.Answer(s);
    }
    caller.join();
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, AReceiverMayCallAnotherPortAndWaitForIt)
{
    // Port A answers each request by reading from port B first; many at once must not deadlock.
    TestReceiver b;
    IKxFexPort* pb = Connect(871, b);
    IKxFexSync* toB = SyncTo(871);
    TestReceiver a;
    a.onRequest = [&](const Seen& s) {
        uint8_t r[4];
        ULONG got = 0;
        EXPECT_EQ(S_OK, toB->SyncRead(s.group, s.offset, 4, r, &got));
        EXPECT_EQ(Pattern(s.group, s.offset, 4), std::vector<uint8_t>(r, r + 4));
    };
    IKxFexPort* pa = Connect(870, a);
    std::vector<std::thread> callers;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            IKxFexSync* toA = SyncTo(870);
            for (int i = 0; i < 25; ++i) {
                uint8_t r[4];
                ULONG got = 0;
                if (toA->SyncRead(static_cast<ULONG>(t), static_cast<ULONG>(i), 4, r, &got) == S_OK &&
                    std::vector<uint8_t>(r, r + 4) == Pattern(static_cast<ULONG>(t), static_cast<ULONG>(i), 4))
                    ++ok;
            }
            toA->Release();
        });
    }
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(100, ok.load());
    pa->Release();
    toB->Release();
    pb->Release();
}

TEST_F(RouterInProcessTest, ReleasingAPortOrStoppingTheRouterAnswersWaitingRequesters)
{
    // The result of a read through sync that recv holds until stop() has run.
    auto heldRead = [](IKxFexSync* sync, TestReceiver& recv, auto stop) {
        HRESULT hr = S_OK;
        std::thread caller([&] {
            uint8_t r[4];
            ULONG got = 0;
            hr = sync->SyncRead(1, 1, 4, r, &got);
        });
        EXPECT_TRUE(recv.WaitSeen(1));
        stop();
        caller.join();
        return hr;
    };
    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* port = Connect(880, recv);
    IKxFexSync* sync = SyncTo(880);
    // nobody can answer any more
    EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), heldRead(sync, recv, [&] { port->Release(); }));

    TestReceiver recv2;
    recv2.Set(TestReceiver::Hold);
    IKxFexPort* port2 = Connect(881, recv2);
    IKxFexSync* sync2 = SyncTo(881);
    EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), heldRead(sync2, recv2, [] { KxRouterStop(); }));
    // Objects kept past the router's end fail cleanly.
    uint8_t r[4];
    ULONG got = 0;
    EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), sync2->SyncRead(1, 1, 4, r, &got));
    Seen s;
    ASSERT_TRUE(recv2.PopHeld(s));
    EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), recv2.Answer(s));
    sync->Release();
    sync2->Release();
    port2->Release();
}

TEST_F(RouterInProcessTest, DeliveryThreadsBlockSigtermSoThatItReachesTheMainThread)
{
    TestReceiver recv;
    std::atomic<int> blocked{-1};
    recv.onRequest = [&](const Seen&) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        blocked = sigismember(&mask, SIGTERM);
    };
    // The calling thread itself leaves SIGTERM open.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t old;
    pthread_sigmask(SIG_UNBLOCK, &term, &old);
    IKxFexPort* port = Connect(890, recv);
    IKxFexSync* sync = SyncTo(890);
    USHORT st, ds;
    EXPECT_EQ(S_OK, sync->SyncReadState(&st, &ds));
    EXPECT_EQ(1, blocked.load());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sync->Release();
    port->Release();
}

TEST_F(RouterInProcessTest, ClientHelperAndInterfaceIdentities)
{
    IKxFexClient* client = nullptr;
    ASSERT_EQ(S_OK, CreateFexClient(&client));
    IKxFexHelper* helper = nullptr;
    ASSERT_EQ(S_OK, client->QueryInterface(IID_IKxFexHelper, reinterpret_cast<void**>(&helper)));
    HopNetId id;
    EXPECT_EQ(S_OK, helper->GetLocalNetId(&id));
    EXPECT_EQ(netId, id);
    EXPECT_EQ(S_OK, helper->SetDefaultTimeout(1234));
    HopAddr target(netId, 851);
    IKxFexSync* sync = nullptr;
    ASSERT_EQ(S_OK, client->Connect(&target, 0, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()));
    ULONG t = 0;
    EXPECT_EQ(S_OK, sync->GetTimeout(&t));
    EXPECT_EQ(1234u, t);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, client->QueryInterface(IID_IKxFexServer2, &p));
    EXPECT_EQ(nullptr, p);
    IKxFexSync* same = nullptr;
    EXPECT_EQ(S_OK, sync->QueryInterface(IID_IKxFexSync, reinterpret_cast<void**>(&same)));
    EXPECT_EQ(sync, same);
    same->Release();

    // Missing pointers are refused, not dereferenced.
    EXPECT_EQ(E_POINTER, sync->SyncRead(1, 2, 4, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, sync->SyncWrite(1, 2, 4, nullptr));
    sync->Release();
    EXPECT_EQ(E_POINTER, client->Connect(nullptr, 0, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()));
    EXPECT_EQ(nullptr, sync);

    helper->Release();
    client->Release();
}

TEST(RouterLifecycleTest, StartTwiceIsRefusedAndStopAllowsAFreshRouter)
{
    KxRouterConfig cfg;
    KxRouterConfigInit(&cfg);
    cfg.netId = NetId(1, 2, 3, 4, 5, 6);
    ASSERT_EQ(S_OK, KxRouterStart(&cfg));
    EXPECT_EQ(1, KxRouterIsRunning());
    EXPECT_EQ(0, KxRouterIsParticipant());
    EXPECT_EQ(0, KxRouterListenPort());
    EXPECT_EQ(static_cast<HRESULT>(0x800700B7u), KxRouterStart(&cfg));
    KxRouterStop();
    EXPECT_EQ(0, KxRouterIsRunning());
    HopNetId id;
    EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), KxRouterGetLocalNetId(&id));
    cfg.netId = NetId(1, 2, 3, 4, 5, 7);
    ASSERT_EQ(S_OK, KxRouterStart(&cfg));
    EXPECT_EQ(S_OK, KxRouterGetLocalNetId(&id));
    EXPECT_EQ(cfg.netId, id);
    KxRouterStop();
    KxRouterStop();  // a second stop is harmless
}

}  // namespace

namespace {

// Restores one environment variable when the scope ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : m_name(name)
    {
        const char* v = getenv(name);
        m_had = v != nullptr;
        if (v)
            m_value = v;
    }
    ~EnvGuard()
    {
        if (m_had)
            setenv(m_name, m_value.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_value;
};

TEST(RouterLifecycleTest, EnvironmentChoosesHostingOrJoining)
{
    EnvGuard g1("KX_ROUTER"), g2("KX_ROUTER_PORT"), g3("KX_PLC");
    unsetenv("KX_PLC");
    // A port that refuses connections: bound, never listening.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    socklen_t len = sizeof(sa);
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len));
    const std::string refused = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));

    struct Row {
        const char* router;      // null: unset
        const char* routerPort;  // null: unset
        HRESULT result;
        int running, participant;
    } rows[] = {
        {nullptr, "0", S_OK, 1, 0},
        {"", "0", S_OK, 1, 0},
        {"localhost", "0", E_INVALIDARG, 0, 0},
        {"127.0.0.1:notaport", "0", E_INVALIDARG, 0, 0},
        {"127.0.0.1:0", "0", E_INVALIDARG, 0, 0},
        {refused.c_str(), "0", FEX_HRESULT(FEXERR_GONE), 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.router ? row.router : "(unset)");
        if (row.router)
            setenv("KX_ROUTER", row.router, 1);
        else
            unsetenv("KX_ROUTER");
        setenv("KX_ROUTER_PORT", row.routerPort, 1);
        EXPECT_EQ(row.result, FexInitialize());
        EXPECT_EQ(row.running, KxRouterIsRunning());
        EXPECT_EQ(row.participant, KxRouterIsParticipant());
        EXPECT_EQ(0, KxRouterListenPort());
        if (row.running) {
            EXPECT_EQ(S_OK, FexInitialize()) << "a second call keeps the running router";
        } else {
            IKxFexClient* client = reinterpret_cast<IKxFexClient*>(1);
            EXPECT_EQ(row.result, CreateFexClient(&client)) << "no router, no client";
            EXPECT_EQ(nullptr, client);
        }
        KxRouterStop();
    }
    ::close(fd);
}

}  // namespace
