// The router's TCP link: raw participants on a socket and a second process in participant mode.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <map>

#include "RouterTestUtil.h"

extern char** environ;

using namespace routertest;
using namespace kxrouter;

namespace {

class TcpLinkTest : public RouterFixture {
protected:
    void SetUp() override
    {
        listen = true;
        StartRouter();
        port = KxRouterListenPort();
        ASSERT_NE(0, port);
    }
    // A raw participant that said Hello.
    bool Join(RawLink& l)
    {
        if (!l.Connect(port))
            return false;
        l.self = l.Hello();
        return l.self.port != 0;
    }
    // Sends one request and reads its answer; false when no well-formed answer with that invoke id came.
    bool Roundtrip(RawLink& l, uint16_t cmd, uint32_t invokeId, const HopAddr& target,
                   const std::vector<uint8_t>& body, FrameHeader& h, std::vector<uint8_t>& answer)
    {
        return l.Send(cmd, 0, invokeId, 0, target, l.self, body) && l.Recv(h, answer) && h.invokeId == invokeId;
    }
    uint16_t port = 0;
};

TEST_F(TcpLinkTest, HelloAssignsEachParticipantItsOwnAddress)
{
    RawLink a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(a.Send(CMD_HELLO, 0, 0xABCDEF01u, 0, HopAddr(), HopAddr()));
    FrameHeader h;
    std::vector<uint8_t> body;
    ASSERT_TRUE(a.Recv(h, body));
    EXPECT_EQ(CMD_HELLO, h.cmd);
    EXPECT_EQ(kFlagResponse, h.flags);
    EXPECT_EQ(0xABCDEF01u, h.invokeId);
    EXPECT_EQ(0u, h.error);
    EXPECT_EQ(netId, h.target.netId);
    EXPECT_GE(h.target.port, 30000);
    EXPECT_TRUE(body.empty());
    HopAddr addrB = b.Hello(5);
    EXPECT_EQ(netId, addrB.netId);
    EXPECT_GE(addrB.port, 30000);
    EXPECT_NE(h.target.port, addrB.port);
    // A second Hello on the same connection keeps the address.
    EXPECT_EQ(h.target, a.Hello(2));
}

TEST_F(TcpLinkTest, RequestsFromAParticipantReachALocalPortAndAnswersComeBackWithSwappedAddresses)
{
    TestReceiver recv;
    IKxFexPort* p = Connect(851, recv);
    RawLink l;
    ASSERT_TRUE(Join(l));
    HopAddr target(netId, 851);

    std::vector<uint8_t> name = {'T', 'e', 's', 't', 'D', 'e', 'v', 'i', 'c', 'e'};
    std::vector<uint8_t> devInfo = {3, 2, 38, 0, 10, 0};
    devInfo.insert(devInfo.end(), name.begin(), name.end());
    std::vector<uint8_t> rwData = {1, 2, 3};
    kxrouter::BodyWriter readAns;
    readAns.U32(6).Bytes(Pattern(0x4020, 4, 6).data(), 6);
    kxrouter::BodyWriter rwAns;
    auto echo = EchoAnswer(0x88, rwData.data(), 3, 100);
    rwAns.U32(static_cast<uint32_t>(echo.size())).Bytes(echo.data(), echo.size());
    struct Row {
        uint16_t cmd;
        std::vector<uint8_t> body;
        std::vector<uint8_t> answer;
    } rows[] = {
        {CMD_READ, U32s({0x4020, 4, 6}), readAns.Get()},
        {CMD_WRITE, U32s({0x4020, 4, 3}, {9, 9, 9}), {}},
        {CMD_READWRITE, U32s({0x88, 0, 100, 3}, rwData), rwAns.Get()},
        {CMD_READSTATE, {}, {5, 0, 0x34, 0x12}},
        {CMD_READDEVICEINFO, {}, devInfo},
        {CMD_WRITECONTROL, {5, 0, 0, 0, 0, 0, 0, 0}, {}},
        {CMD_ADDNOTIFICATION, U32s({0x11, 0, 4, 3, 0, 100}), U32s({0x4211})},
        {CMD_DELNOTIFICATION, U32s({7}), {}},
        {CMD_NOTIFICATION, U32s({2}, {0xAA, 0xBB}), {}},
    };
    uint32_t invoke = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cmd);
        FrameHeader h;
        std::vector<uint8_t> answer;
        ASSERT_TRUE(Roundtrip(l, row.cmd, ++invoke, target, row.body, h, answer));
        EXPECT_EQ(row.cmd, h.cmd);
        EXPECT_TRUE(h.IsResponse());
        EXPECT_EQ(0u, h.error);
        EXPECT_EQ(l.self, h.target);
        EXPECT_EQ(target, h.source);
        EXPECT_EQ(row.answer, answer);
    }
    // The receiver saw the participant's address as the requester, and the notification fields.
    auto seen = recv.SeenCopy();
    for (const Seen& s : seen)
        EXPECT_EQ(l.self, s.from);
    ASSERT_EQ(9u, seen.size());
    EXPECT_EQ(4u, seen[6].attrib.cbLength);
    EXPECT_EQ(3u, seen[6].attrib.nTransMode);
    EXPECT_EQ(100u, seen[6].attrib.nCycleTime);
    EXPECT_EQ(7u, seen[7].handle);
    EXPECT_EQ(std::vector<uint8_t>({0xAA, 0xBB}), seen[8].data);
    // A refused delete carries the receiver's error.
    {
        FrameHeader h;
        std::vector<uint8_t> answer;
        ASSERT_TRUE(Roundtrip(l, CMD_DELNOTIFICATION, 150, target, U32s({8}), h, answer));
        EXPECT_EQ(FEXERR_NOTFOUND, h.error);
    }

    // A zero net id means the router's own; an unserved port gets 0x0101.
    FrameHeader h;
    std::vector<uint8_t> answer;
    ASSERT_TRUE(Roundtrip(l, CMD_READSTATE, 200, HopAddr(HopNetId(), 851), {}, h, answer));
    EXPECT_EQ(0u, h.error);
    ASSERT_TRUE(Roundtrip(l, CMD_READSTATE, 201, HopAddr(netId, 4444), {}, h, answer));
    EXPECT_EQ(FEXERR_NOPORT, h.error);
    EXPECT_TRUE(answer.empty());
    p->Release();
}

TEST_F(TcpLinkTest, RegisteredParticipantServesInProcessClients)
{
    TestReceiver local;
    IKxFexPort* p = Connect(851, local);
    RawLink a, b;
    ASSERT_TRUE(Join(a));
    ASSERT_TRUE(Join(b));
    struct Row {
        RawLink* link;
        uint16_t cmd;
        HopAddr target;
        uint32_t error;
    } rows[] = {
        {&a, CMD_REGISTER, HopAddr(HopNetId(), 900), 0},
        {&b, CMD_REGISTER, HopAddr(netId, 900), FEXERR_ADDRTAKEN},
        {&b, CMD_REGISTER, HopAddr(netId, 851), FEXERR_ADDRTAKEN},
        {&b, CMD_REGISTER, a.self, FEXERR_ADDRTAKEN},
        {&b, CMD_UNREGISTER, HopAddr(netId, 900), FEXERR_NOPORT},
        {&a, CMD_REGISTER, HopAddr(NetId(10, 1, 1, 1, 1, 1), 851), 0},
    };
    uint32_t invoke = 10;
    for (const Row& r : rows)
        EXPECT_EQ(r.error, r.link->Command(r.cmd, r.target, ++invoke)) << r.cmd << " " << r.target.port;

    // In-process clients reach the participant through its registrations, also on another net id.
    IKxFexSync* sync = SyncTo(900);
    IKxFexSync* remote = SyncTo(851, NetId(10, 1, 1, 1, 1, 1));
    for (IKxFexSync* s : {sync, remote}) {
        HRESULT hr = E_FAIL;
        std::vector<uint8_t> rd(16, 0);
        ULONG got = 0;
        std::thread caller([&] {
            uint8_t w[5] = {'a', 'b', 'c', 'd', 0};
            hr = s->SyncReadWrite(0xF009, 0, 16, rd.data(), 5, w, &got);
        });
        FrameHeader h;
        std::vector<uint8_t> req;
        ASSERT_TRUE(a.Recv(h, req));
        EXPECT_EQ(CMD_READWRITE, h.cmd);
        EXPECT_FALSE(h.IsResponse());
        EXPECT_EQ(netId, h.source.netId);
        EXPECT_EQ(U32s({0xF009, 0, 16, 5}, {'a', 'b', 'c', 'd', 0}), req);
        // Answer with more than asked: the client keeps what fits.
        std::vector<uint8_t> data(20);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(0xA0 + i);
        ASSERT_TRUE(a.Send(h.cmd, kFlagResponse, h.invokeId, 0, h.source, h.target,
                           U32s({20}, data)));
        caller.join();
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(16u, got);
        EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 16), rd);
    }

    EXPECT_EQ(0u, a.Command(CMD_UNREGISTER, HopAddr(netId, 900), 50));
    USHORT st, ds;
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOPORT), sync->SyncReadState(&st, &ds));
    sync->Release();
    remote->Release();
    p->Release();
}

TEST_F(TcpLinkTest, RequestsAreForwardedBetweenParticipants)
{
    RawLink a, b;
    ASSERT_TRUE(Join(a));
    ASSERT_TRUE(Join(b));
    HopAddr served(netId, 901);
    ASSERT_EQ(0u, a.Command(CMD_REGISTER, served, 1));
    ASSERT_TRUE(b.Send(CMD_READ, 0, 77, 0, served, b.self, U32s({1, 2, 3})));
    FrameHeader h;
    std::vector<uint8_t> body;
    ASSERT_TRUE(a.Recv(h, body));
    EXPECT_EQ(CMD_READ, h.cmd);
    EXPECT_EQ(served, h.target);
    EXPECT_EQ(b.self, h.source);
    EXPECT_EQ(U32s({1, 2, 3}), body);
    ASSERT_TRUE(a.Send(CMD_READ, kFlagResponse, h.invokeId, 0, h.source, h.target, U32s({3}, {7, 8, 9})));
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(77u, h.invokeId) << "the requester sees its own invoke id";
    EXPECT_TRUE(h.IsResponse());
    EXPECT_EQ(b.self, h.target);
    EXPECT_EQ(served, h.source);
    EXPECT_EQ(U32s({3}, {7, 8, 9}), body);

    // An answer with an error and no body is passed on as it is.
    ASSERT_TRUE(b.Send(CMD_READWRITE, 0, 78, 0, served, b.self, U32s({1, 2, 3, 0})));
    ASSERT_TRUE(a.Recv(h, body));
    ASSERT_TRUE(a.Send(CMD_READWRITE, kFlagResponse, h.invokeId, FEXERR_SYMBOLNOTFOUND, h.source, h.target));
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(78u, h.invokeId);
    EXPECT_EQ(FEXERR_SYMBOLNOTFOUND, h.error);
    EXPECT_TRUE(body.empty());

    // An answer of the wrong command reaches the requester as a malformed answer, not as data.
    ASSERT_TRUE(b.Send(CMD_READ, 0, 79, 0, served, b.self, U32s({1, 2, 3})));
    ASSERT_TRUE(a.Recv(h, body));
    ASSERT_TRUE(a.Send(CMD_WRITE, kFlagResponse, h.invokeId, 0, h.source, h.target));
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(79u, h.invokeId);
    EXPECT_EQ(FEXERR_MALFORMED, h.error);
}

TEST_F(TcpLinkTest, DisconnectAnswersOutstandingRequestsAndEndsRegistrations)
{
    RawLink a, b;
    ASSERT_TRUE(Join(a));
    ASSERT_TRUE(Join(b));
    HopAddr served(netId, 902);
    ASSERT_EQ(0u, a.Command(CMD_REGISTER, served, 1));
    IKxFexSync* sync = SyncTo(902);
    constexpr int kCallers = 3;
    std::vector<HRESULT> results(kCallers, S_OK);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
        callers.emplace_back([&, i] {
            uint8_t r[4];
            ULONG got = 0;
            results[i] = sync->SyncRead(1, static_cast<ULONG>(i), 4, r, &got);
        });
    ASSERT_TRUE(b.Send(CMD_READSTATE, 0, 55, 0, served, b.self));
    FrameHeader h;
    std::vector<uint8_t> body;
    for (int i = 0; i < kCallers + 1; ++i)
        ASSERT_TRUE(a.Recv(h, body)) << "request " << i << " forwarded";
    a.Close();
    for (auto& c : callers)
        c.join();
    for (HRESULT hr : results)
        EXPECT_EQ(FEX_HRESULT(FEXERR_GONE), hr);
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(55u, h.invokeId);
    EXPECT_EQ(FEXERR_GONE, h.error);
    // The registration ended with the connection, and the address can be taken again.
    USHORT st, ds;
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOPORT), sync->SyncReadState(&st, &ds));
    EXPECT_EQ(0u, b.Command(CMD_REGISTER, served, 2));
    sync->Release();
}

TEST_F(TcpLinkTest, MalformedFramesCloseOnlyTheirConnection)
{
    TestReceiver recv;
    IKxFexPort* p = Connect(851, recv);
    RawLink bystander;
    ASSERT_TRUE(Join(bystander));
    HopAddr target(netId, 851);

    auto withLength = [](uint32_t n, size_t extra) {
        std::vector<uint8_t> v = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                                  static_cast<uint8_t>(n >> 24)};
        v.resize(4 + extra, 0);
        return v;
    };
    std::vector<uint8_t> shortRead;  // a Read whose body is 8 bytes instead of 12
    FrameHeader bad;
    bad.cmd = CMD_READ;
    bad.invokeId = 66;
    bad.target = target;
    kxrouter::EncodeFrame(bad, U32s({1, 2}).data(), 8, shortRead);
    std::vector<uint8_t> lyingLength;  // a Write whose data length exceeds the bytes that follow
    bad.cmd = CMD_WRITE;
    bad.invokeId = 67;
    kxrouter::EncodeFrame(bad, U32s({1, 2, 1000}, {1, 2}).data(), 14, lyingLength);

    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t answeredInvoke;  // 0: closed without an answer
    } rows[] = {
        {"body too short for its command", shortRead, 66},
        {"data length beyond the frame", lyingLength, 67},
        {"length above 16 MiB", withLength(kMaxFrameLength + 1, 28), 0},
        {"length 0xFFFFFFFF", withLength(0xFFFFFFFFu, 0), 0},
        {"length below the header", withLength(10, 10), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RawLink l;
        ASSERT_TRUE(Join(l));
        ASSERT_TRUE(l.SendBytes(row.bytes));
        if (row.answeredInvoke) {
            FrameHeader h;
            std::vector<uint8_t> body;
            ASSERT_TRUE(l.Recv(h, body));
            EXPECT_EQ(row.answeredInvoke, h.invokeId);
            EXPECT_EQ(FEXERR_MALFORMED, h.error);
        }
        EXPECT_TRUE(l.WaitClosed());
        // Everyone else goes on as before.
        FrameHeader h;
        std::vector<uint8_t> answer;
        ASSERT_TRUE(Roundtrip(bystander, CMD_READSTATE, 300, target, {}, h, answer));
        EXPECT_EQ(0u, h.error);
    }

    // An unknown command is refused but leaves the connection usable; so is a stray answer.
    RawLink l;
    ASSERT_TRUE(Join(l));
    FrameHeader h;
    std::vector<uint8_t> answer;
    ASSERT_TRUE(Roundtrip(l, 0x55, 9, target, {}, h, answer));
    EXPECT_EQ(FEXERR_SRVNOTSUPP, h.error);
    ASSERT_TRUE(l.Send(CMD_READ, kFlagResponse, 123456, 0, target, l.self, U32s({0})));
    ASSERT_TRUE(Roundtrip(l, CMD_READSTATE, 10, target, {}, h, answer));
    EXPECT_EQ(0u, h.error);
    p->Release();
}

TEST_F(TcpLinkTest, ManyInterleavedRequestsOnOneConnection)
{
    TestReceiver recv;
    recv.Set(TestReceiver::Hold);
    IKxFexPort* p = Connect(851, recv);
    constexpr int kN = 300;
    // Answers in batches, newest first.
    std::thread answerer([&] {
        int done = 0;
        while (done < kN) {
            std::vector<Seen> batch;
            Seen s;
            if (!recv.PopHeld(s))
                return;
            batch.push_back(s);
            {
                std::lock_guard<std::mutex> lock(recv.m);
                while (!recv.held.empty() && batch.size() < 16) {
                    batch.push_back(recv.held.front());
                    recv.held.pop_front();
                }
            }
            for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                recv.Answer(*it);
            done += static_cast<int>(batch.size());
        }
    });
    RawLink l;
    ASSERT_TRUE(Join(l));
    HopAddr target(netId, 851);
    std::vector<uint8_t> all;
    std::map<uint32_t, std::vector<uint8_t>> expected;
    for (int i = 0; i < kN; ++i) {
        uint32_t id = 5000 + static_cast<uint32_t>(i);
        FrameHeader h;
        h.invokeId = id;
        h.target = target;
        h.source = l.self;
        std::vector<uint8_t> body;
        kxrouter::BodyWriter ans;
        if (i % 2) {
            h.cmd = CMD_READ;
            body = U32s({0x10, static_cast<uint32_t>(i), 5});
            ans.U32(5).Bytes(Pattern(0x10, static_cast<uint32_t>(i), 5).data(), 5);
        } else {
            h.cmd = CMD_READWRITE;
            std::vector<uint8_t> w = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
            body = U32s({0x20, 0, 6, 2}, w);
            auto e = EchoAnswer(0x20, w.data(), 2, 6);
            ans.U32(static_cast<uint32_t>(e.size())).Bytes(e.data(), e.size());
        }
        expected[id] = ans.Get();
        kxrouter::EncodeFrame(h, body.data(), body.size(), all);
    }
    ASSERT_TRUE(l.SendBytes(all));  // all at once, without waiting for answers
    std::map<uint32_t, std::vector<uint8_t>> got;
    for (int i = 0; i < kN; ++i) {
        FrameHeader h;
        std::vector<uint8_t> body;
        ASSERT_TRUE(l.Recv(h, body)) << i;
        EXPECT_EQ(0u, h.error);
        EXPECT_TRUE(got.emplace(h.invokeId, body).second) << "one answer per request";
    }
    answerer.join();
    EXPECT_EQ(expected, got);
    p->Release();
}

TEST_F(TcpLinkTest, UnansweredForwardedRequestTimesOut)
{
    KxRouterStop();
    StartRouter(100);
    port = KxRouterListenPort();
    RawLink a, b;
    ASSERT_TRUE(Join(a));
    ASSERT_TRUE(Join(b));
    HopAddr served(netId, 903);
    ASSERT_EQ(0u, a.Command(CMD_REGISTER, served, 1));
    FrameHeader h;
    std::vector<uint8_t> body;
    ASSERT_TRUE(b.Send(CMD_READ, 0, 31, 0, served, b.self, U32s({1, 2, 3})));
    ASSERT_TRUE(a.Recv(h, body));  // received, never answered
    uint32_t forwardedId = h.invokeId;
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(31u, h.invokeId);
    EXPECT_EQ(FEXERR_TIMEOUT, h.error);
    // A late answer goes nowhere, and b receives no second answer: its next request is answered first.
    ASSERT_TRUE(a.Send(CMD_READ, kFlagResponse, forwardedId, 0, served, b.self, U32s({0})));
    ASSERT_TRUE(b.Send(CMD_READSTATE, 0, 32, 0, HopAddr(netId, 4321), b.self));
    ASSERT_TRUE(b.Recv(h, body));
    EXPECT_EQ(32u, h.invokeId);
}

// ---- a second process in participant mode ----

class Peer {
public:
    bool Start(const std::vector<std::string>& args, uint16_t routerPort)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return false;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "KX_", 3) != 0)
                env.push_back(*e);
        env.push_back("KX_ROUTER=127.0.0.1:" + std::to_string(routerPort));
        std::vector<char*> envp, argv;
        for (auto& s : env)
            envp.push_back(const_cast<char*>(s.c_str()));
        envp.push_back(nullptr);
        std::string exe = ROUTER_PEER;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild = in[1];
        fromChild = out[0];
        return rc == 0;
    }
    // One line of the child's output; empty on end or the safety time-out.
    std::string Line()
    {
        std::string s;
        char c;
        for (;;) {
            pollfd p{fromChild, POLLIN, 0};
            if (::poll(&p, 1, kWaitMs) <= 0 || ::read(fromChild, &c, 1) != 1)
                return s;
            if (c == '\n')
                return s;
            s += c;
        }
    }
    int Finish()
    {
        if (toChild >= 0)
            ::close(toChild);
        toChild = -1;
        int status = -1;
        if (pid > 0)
            waitpid(pid, &status, 0);
        pid = -1;
        if (fromChild >= 0)
            ::close(fromChild);
        fromChild = -1;
        return status;
    }
    ~Peer() { Finish(); }

private:
    pid_t pid = -1;
    int toChild = -1, fromChild = -1;
};

TEST_F(TcpLinkTest, AParticipantProcessServesAPortAndCallsOne)
{
    TestReceiver local;
    IKxFexPort* p = Connect(851, local);

    Peer server;
    ASSERT_TRUE(server.Start({"serve", "910"}, port));
    std::string ready = server.Line();
    ASSERT_EQ(0u, ready.rfind("ready 910 ", 0)) << ready;

    IKxFexSync* sync = SyncTo(910);
    for (uint32_t i = 0; i < 20; ++i) {
        uint8_t w[3] = {static_cast<uint8_t>(i), 1, 2};
        uint8_t r[7] = {};
        ULONG got = 0;
        ASSERT_EQ(S_OK, sync->SyncReadWrite(0x42, i, 7, r, 3, w, &got));
        EXPECT_EQ(EchoAnswer(0x42, w, 3, 7), std::vector<uint8_t>(r, r + got));
    }
    USHORT st = 0, ds = 0;
    EXPECT_EQ(S_OK, sync->SyncReadState(&st, &ds));
    EXPECT_EQ(5, st);
    // A second participant cannot take the same port.
    Peer dup;
    ASSERT_TRUE(dup.Start({"serve", "910"}, port));
    EXPECT_EQ("connect 0x98110105", dup.Line());
    dup.Finish();

    Peer caller;
    ASSERT_TRUE(caller.Start({"call", "851", "200"}, port));
    EXPECT_EQ("ok 200 bad 0", caller.Line());
    EXPECT_EQ(0, caller.Finish());
    EXPECT_EQ(200u, local.SeenCopy().size());

    EXPECT_EQ(0, server.Finish());
    sync->Release();
    p->Release();
}

}  // namespace
