// The application-server registry on its own: handles, clients, the connection cache and the order of the
// answer and the client call, against the simulated PLC behind an in-process router.
#include "XmlAppServerTestEnv.h"

#include <memory>

#include "RouterTestUtil.h"
#include "XmlAppServerList.h"

using namespace apptest;

namespace {

// Records every answer the registry sends; events shares one timeline with the clients' calls.
class RecordingOwner : public IXmlDataServerListOwner {
public:
    struct Answer {
        HopAddr to;
        ULONG invokeId;
        HRESULT hr;
        ULONG cbLength;
    };

    HRESULT ReadWriteRes(HopAddr* pAddr, ULONG invokeId, HRESULT hrResult, ULONG cbLength, PVOID) override
    {
        std::lock_guard<std::mutex> lock(m);
        answers.push_back({*pAddr, invokeId, hrResult, cbLength});
        events.push_back("answer " + std::to_string(invokeId));
        return S_OK;
    }
    void ReadUserNamePassword(char** ppUserName, char** ppPassword) override
    {
        *ppUserName = new char[1]{0};
        *ppPassword = new char[1]{0};
    }
    void Event(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(m);
        events.push_back(e);
    }
    std::vector<Answer> Answers()
    {
        std::lock_guard<std::mutex> lock(m);
        return answers;
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(m);
        return events;
    }

private:
    std::mutex m;
    std::vector<Answer> answers;
    std::vector<std::string> events;
};

class AppServerListTest : public AppServerEnv {
protected:
    uint16_t Open(BYTE id, const char* symbol, HRESULT want = S_OK, LONG cookie = 0)
    {
        uint32_t h = 0;
        EXPECT_EQ(want, list->AddServer(id, PlcAddr(), symbol, cookie, &h)) << symbol;
        return static_cast<uint16_t>(h);
    }
    HRESULT Close(uint16_t h, ULONG invokeId = 1)
    {
        HopAddr requester(LocalNetId(), 32000);
        return list->RemoveServer(&requester, invokeId, h);
    }
    // The registry's connection to target, for comparing identities: the reference handed out goes at once
    // (the cache keeps a cached connection alive).
    IKxFexSync* Connection(const HopAddr& target)
    {
        IKxFexSync* p = list->GetSyncClient(target);
        if (p)
            p->Release();
        return p;
    }

    void SetUp() override
    {
        AppServerEnv::SetUp();
        list.reset(new CXmlAppServerList(&owner));
    }
    void TearDown() override
    {
        list.reset();
        AppServerEnv::TearDown();
    }

    RecordingOwner owner;
    // Clients outlive the registry that holds references to them.
    RecordingClient client, other, successor;
    std::unique_ptr<CXmlAppServerList> list;
};

TEST_F(AppServerListTest, HandlesCountFromF001AndSkipThoseInUse)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    // Each step opens (letter) or closes (digit: the step whose server it closes) and gives the handle.
    struct Step {
        bool open;
        int closes;
        uint16_t handle;
    };
    const Step steps[] = {
        {true, 0, 0xF001},  // 0: first server
        {true, 0, 0xF002},  // 1: next while the first is open
        {false, 0, 0},      // 2: close 0xF001
        {true, 0, 0xF003},  // 3: 0xF002 is taken, the counter moves on
        {false, 1, 0},      // 4
        {false, 3, 0},      // 5: table empty again
        {true, 0, 0xF004},  // 6: empty table: the counter plus one
        {true, 0, 0xF005},  // 7
        {false, 7, 0},      // 8: close the newer one
        {true, 0, 0xF005},  // 9: the counter value is free again, so it is reused
    };
    uint16_t handles[sizeof(steps) / sizeof(steps[0])] = {};
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        if (steps[i].open) {
            handles[i] = Open(1, "MAIN.nTiny");
            EXPECT_EQ(steps[i].handle, handles[i]);
        } else {
            EXPECT_EQ(S_OK, list->RemoveServer(handles[steps[i].closes]));
        }
    }
    EXPECT_EQ(2u, list->GetServerCount());
}

TEST_F(AppServerListTest, HandlesWrapWithinTheirRange)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    // Two servers open at all times: every open finds the counter's handle taken and moves on by one.
    uint16_t older = Open(1, "MAIN.nTiny");
    uint16_t newer = Open(1, "MAIN.nTiny");
    ASSERT_EQ(0xF002, newer);
    bool wrapped = false;
    for (int i = 0; i < 0x1000 && !wrapped && !HasFailure(); ++i) {
        uint16_t h = Open(1, "MAIN.nTiny");
        ASSERT_GE(h, 0xF000) << "after " << std::hex << newer;
        if (newer == 0xFFFF) {
            EXPECT_EQ(0xF000, h);
            wrapped = true;
        } else {
            ASSERT_EQ(newer + 1, h);
        }
        ASSERT_EQ(S_OK, list->RemoveServer(older));
        older = newer;
        newer = h;
    }
    EXPECT_TRUE(wrapped);
    // The next one skips 0xF000 (open) and takes 0xF001, long since free.
    EXPECT_EQ(0xF001, Open(1, "MAIN.nTiny"));
}

TEST_F(AppServerListTest, UnknownHandleIsRefusedWithoutAnAnswer)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    uint16_t h = Open(1, "MAIN.nTiny");
    ASSERT_EQ(S_OK, list->RemoveServer(h));
    const uint16_t unknown[] = {0, 0xF000, h, 0xF002, 0xFFFF};
    for (uint16_t u : unknown) {
        SCOPED_TRACE(u);
        EXPECT_EQ(static_cast<HRESULT>(0x98118001), Close(u));
        EXPECT_EQ(static_cast<HRESULT>(0x98118001), list->RemoveServer(u));
        uint8_t b = 1;
        EXPECT_EQ(static_cast<HRESULT>(0x98118001), list->Write(u, 1, &b));
    }
    EXPECT_TRUE(owner.Answers().empty());
    EXPECT_TRUE(client.Calls().empty());
}

TEST_F(AppServerListTest, CloseAnswersTheRequesterBeforeTheClientIsCalled)
{
    ASSERT_EQ(S_OK, list->RegisterClient(7, &client));
    client.hook = [&] { owner.Event("client"); };
    BatchValue v;
    v.nId = -123456;
    v.fWeight = 0.25;
    v.sLabel = "Sugar";
    v.bDone = true;
    v.aCounts[0] = 5, v.aCounts[1] = -6, v.aCounts[2] = 7;
    v.nX = -1, v.nY = 300;
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", v);

    uint16_t h = Open(7, "MAIN.stBatch", S_OK, -42);
    ASSERT_EQ(S_OK, list->Write(h, static_cast<uint32_t>(bytes.size()), bytes.data()));
    ASSERT_EQ(S_OK, Close(h, 77));

    std::vector<std::string> events = owner.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("answer 77", events[0]);
    EXPECT_EQ("client", events[1]);
    std::vector<RecordingOwner::Answer> answers = owner.Answers();
    EXPECT_EQ(S_OK, answers[0].hr);
    EXPECT_EQ(0u, answers[0].cbLength);
    EXPECT_EQ(32000, answers[0].to.port);

    std::vector<RecordingClient::Call> calls = client.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("MAIN.stBatch", calls[0].symbol);
    EXPECT_EQ("/dataentry/MAIN.stBatch", calls[0].path);
    EXPECT_EQ(-42, calls[0].cookie);
    EXPECT_EQ(calls[0].xml.size(), calls[0].xmlLength);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(calls[0].xml.c_str())) << calls[0].xml;
    pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
    ASSERT_TRUE(e) << calls[0].xml;
    ExpectBatchEq(v, BatchFromXml(e));
    EXPECT_EQ(0u, list->GetServerCount());
    // Only the data sent by the requester was serialised: the PLC's memory was not read.
    for (const KxPlcRequest& r : sim.GetLog())
        EXPECT_NE(KxPlcRead, r.command) << std::hex << r.group << ":" << r.offset;
}

TEST_F(AppServerListTest, CloseWithoutDataAnswersTheErrorAndCallsNoOne)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    struct Case {
        const char* name;
        uint32_t sent; // bytes of the value sent before the close
    };
    const Case cases[] = {{"nothing sent", 0}, {"half the value sent", 2}};
    ULONG invokeId = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t h = Open(1, "MAIN.stBatch");
        std::vector<uint8_t> bytes(SymbolSize("MAIN.stBatch"), 0);
        if (c.sent) {
            ASSERT_EQ(S_OK, list->Write(h, c.sent, bytes.data()));
        }
        EXPECT_EQ(S_OK, Close(h, ++invokeId));
        std::vector<RecordingOwner::Answer> answers = owner.Answers();
        ASSERT_FALSE(answers.empty());
        EXPECT_EQ(invokeId, answers.back().invokeId);
        EXPECT_EQ(static_cast<HRESULT>(0x98110709), answers.back().hr);
        EXPECT_EQ(static_cast<HRESULT>(0x98118001), Close(h)) << "the failed close still removes the server";
    }
    EXPECT_TRUE(client.Calls().empty());
}

TEST_F(AppServerListTest, ClientIdsAreChecked)
{
    struct Case {
        const char* name;
        BYTE id;
        IKxXmlServerClient* client;
        HRESULT want;
    };
    const Case registrations[] = {
        {"id 0", 0, &client, (HRESULT)0x98118800},
        {"null client", 3, nullptr, (HRESULT)0x98118800},
        {"first", 3, &client, S_OK},
        {"same id again", 3, &other, (HRESULT)0x98118800},
        {"highest id", 255, &other, S_OK},
    };
    for (const Case& c : registrations) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, list->RegisterClient(c.id, c.client));
    }
    EXPECT_EQ(1u, client.Refs());
    EXPECT_EQ(1u, other.Refs()) << "a refused registration keeps no reference";

    const BYTE refusedOpens[] = {0, 1, 4, 254};
    for (BYTE id : refusedOpens) {
        SCOPED_TRACE(int(id));
        uint32_t h = 0x12345678;
        EXPECT_EQ((HRESULT)0x98118800, list->AddServer(id, PlcAddr(), "MAIN.nTiny", 0, &h));
        EXPECT_EQ(0x12345678u, h);
        EXPECT_EQ((HRESULT)0x98118800, list->UnregisterClient(id));
    }
    EXPECT_EQ(0u, list->GetServerCount());
    EXPECT_EQ(0xF001, Open(255, "MAIN.nTiny"));

    EXPECT_EQ(S_OK, list->UnregisterClient(3));
    EXPECT_EQ(0u, client.Refs());
    EXPECT_EQ((HRESULT)0x98118800, list->UnregisterClient(3));
    EXPECT_EQ(S_OK, list->RegisterClient(3, &client)) << "an id is free again after unregistering";
}

TEST_F(AppServerListTest, ServersOnOneTargetShareOneConnection)
{
    CKxPlcSim second;
    ASSERT_TRUE(second.LoadFile(DataFile("batch-plc.xml")).ok);
    CKxPlcSimHost secondHost;
    ASSERT_EQ(S_OK, secondHost.Start(&second, 852));
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));

    const HopAddr first = PlcAddr();
    const HopAddr other(LocalNetId(), 852);
    uint32_t h1 = 0, h2 = 0, h3 = 0;
    ASSERT_EQ(S_OK, list->AddServer(1, first, "MAIN.stBatch", 0, &h1));
    ASSERT_EQ(S_OK, list->AddServer(1, first, "MAIN.nTiny", 0, &h2));
    EXPECT_EQ(1u, list->GetConnectionCount());
    IKxFexSync* cached = Connection(first);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached, Connection(first));

    ASSERT_EQ(S_OK, list->AddServer(1, other, "MAIN.nTiny", 0, &h3));
    EXPECT_EQ(2u, list->GetConnectionCount());
    EXPECT_NE(cached, Connection(other));
    // Each server's requests reached its own device.
    EXPECT_FALSE(second.GetLog().empty());

    // Closing the servers keeps the connections for the next ones.
    for (uint32_t h : {h1, h2, h3})
        EXPECT_EQ(S_OK, list->RemoveServer(static_cast<uint16_t>(h)));
    EXPECT_EQ(2u, list->GetConnectionCount());
    EXPECT_EQ(cached, Connection(first));
    secondHost.Stop();
}

TEST_F(AppServerListTest, FailedOpenLeavesNoServer)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    struct Case {
        const char* name;
        HopAddr target;
        const char* symbol;
        HRESULT want;
    };
    const Case cases[] = {
        {"unknown symbol", PlcAddr(), "MAIN.nNone", FEX_HRESULT(FEXERR_SYMBOLNOTFOUND)},
        {"no device at the port", HopAddr(LocalNetId(), 860), "MAIN.nTiny", FEX_HRESULT(FEXERR_NOPORT)},
        {"empty name", PlcAddr(), "", FEX_HRESULT(FEXERR_SYMBOLNOTFOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t h = 0;
        EXPECT_EQ(c.want, list->AddServer(1, c.target, c.symbol, 0, &h));
        EXPECT_EQ(0u, list->GetServerCount());
    }
    uint16_t h = Open(1, "MAIN.nTiny");
    EXPECT_GE(h, 0xF001);
    EXPECT_EQ(1u, list->GetServerCount());
}

// A connection that the full cache cannot keep lives as long as the server using it: a server works through it
// to its close, and once a failed open is over its router address is free again (no connection piles up until
// the registry goes).
TEST_F(AppServerListTest, ConnectionOutsideAFullCacheGoesWithItsServer)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    for (uint16_t port = 1000; list->GetConnectionCount() < 600 && !HasFailure(); ++port)
        ASSERT_NE(nullptr, Connection(HopAddr(LocalNetId(), port)));
    ASSERT_EQ(600u, list->GetConnectionCount());

    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", BatchValue());
    const uint16_t h = Open(1, "MAIN.stBatch");
    ASSERT_EQ(S_OK, list->Write(h, static_cast<uint32_t>(bytes.size()), bytes.data()));
    EXPECT_EQ(S_OK, Close(h));
    ASSERT_EQ(1u, client.Calls().size());
    EXPECT_EQ(600u, list->GetConnectionCount());

    // A device that refuses every request, so that the open's requests show the connection's address.
    routertest::TestReceiver device;
    device.Set(routertest::TestReceiver::Fail);
    IKxFexServer* server = nullptr;
    ASSERT_EQ(S_OK, CreateFexServer(&server));
    IKxFexPort* port = nullptr;
    ASSERT_EQ(S_OK, server->ConnectPort(870, 0, &device, &port, KxMissingVariant(), KxMissingVariant()));
    server->Release();
    uint32_t failed = 0;
    EXPECT_EQ(FEX_HRESULT(FEXERR_NOANSWER), list->AddServer(1, HopAddr(LocalNetId(), 870), "MAIN.nTiny", 0, &failed));
    ASSERT_TRUE(device.WaitSeen(1));
    const HopAddr used = device.SeenCopy().front().from;
    EXPECT_EQ(0u, list->GetServerCount());
    CKxPlcSimHost probe;
    EXPECT_EQ(S_OK, probe.Start(&sim, used.port)) << "the connection of the failed open still holds port " << used.port;
    probe.Stop();
    port->Release();
}

TEST_F(AppServerListTest, UnregisteringClosesTheClientsServersAndNeverCallsItAgain)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    ASSERT_EQ(S_OK, list->RegisterClient(2, &other));
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", BatchValue());
    uint16_t full = Open(1, "MAIN.stBatch");
    ASSERT_EQ(S_OK, list->Write(full, static_cast<uint32_t>(bytes.size()), bytes.data()));
    uint16_t half = Open(1, "MAIN.stBatch");
    ASSERT_EQ(S_OK, list->Write(half, 4, bytes.data()));
    uint16_t others = Open(2, "MAIN.stBatch");
    ASSERT_EQ(S_OK, list->Write(others, static_cast<uint32_t>(bytes.size()), bytes.data()));

    EXPECT_EQ(S_OK, list->UnregisterClient(1));
    EXPECT_EQ(0u, client.Refs());
    EXPECT_EQ(1u, list->GetServerCount());
    // A new client under the same id inherits nothing.
    ASSERT_EQ(S_OK, list->RegisterClient(1, &successor));
    for (uint16_t h : {full, half}) {
        EXPECT_EQ((HRESULT)0x98118001, Close(h));
        uint8_t b = 0;
        EXPECT_EQ((HRESULT)0x98118001, list->Write(h, 1, &b));
    }
    EXPECT_TRUE(owner.Answers().empty());

    EXPECT_EQ(S_OK, Close(others));
    EXPECT_EQ(1u, other.Calls().size());
    EXPECT_TRUE(client.Calls().empty());
    EXPECT_TRUE(successor.Calls().empty());
}

TEST_F(AppServerListTest, ClientMayUnregisterFromItsOwnCallback)
{
    ASSERT_EQ(S_OK, list->RegisterClient(1, &client));
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", BatchValue());
    uint16_t first = Open(1, "MAIN.stBatch");
    uint16_t second = Open(1, "MAIN.stBatch");
    for (uint16_t h : {first, second})
        ASSERT_EQ(S_OK, list->Write(h, static_cast<uint32_t>(bytes.size()), bytes.data()));
    HRESULT hrInside = E_FAIL;
    client.hook = [&] { hrInside = list->UnregisterClient(1); };

    EXPECT_EQ(S_OK, Close(first));
    EXPECT_EQ(S_OK, hrInside);
    EXPECT_EQ(1u, client.Calls().size());
    EXPECT_EQ(0u, list->GetServerCount()) << "the client's other server went with it";
    EXPECT_EQ((HRESULT)0x98118001, Close(second));
    EXPECT_EQ(1u, client.Calls().size());
    EXPECT_EQ(0u, client.Refs());
}

} // namespace
