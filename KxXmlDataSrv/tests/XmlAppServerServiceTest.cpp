// Application servers through the service object: requests to port 10600 from a client of the in-process
// router, an in-process client registered with the service, and the simulated PLC as the target.
#include "XmlAppServerTestEnv.h"

#include <algorithm>
#include <set>
#include <thread>

using namespace apptest;

namespace {

class AppServiceTest : public AppServerEnv {
protected:
    void Begin(const char* version = "3.1")
    {
        UseRegistry(version);
        StartService();
        sync = SyncTo(KXXMLDATASRV_PORT);
        ASSERT_NE(sync, nullptr);
    }
    void TearDown() override
    {
        if (sync)
            sync->Release();
        AppServerEnv::TearDown();
    }

    // Index group 0x8001; *pHandle receives the answered handle when the answer has 4 bytes.
    HRESULT Open(const std::vector<uint8_t>& rec, uint32_t* pHandle = nullptr, ULONG readLength = 4,
                 ULONG* pcbRead = nullptr)
    {
        uint8_t out[16] = {};
        ULONG got = 0;
        HRESULT hr = sync->SyncReadWrite(0x8001, 0, readLength, out, static_cast<ULONG>(rec.size()),
                                         const_cast<uint8_t*>(rec.data()), &got);
        if (pcbRead)
            *pcbRead = got;
        if (pHandle && got == 4)
            *pHandle = LE32(out);
        return hr;
    }
    HRESULT Open(BYTE clientId, const char* symbol, uint32_t* pHandle, int32_t cookie = 0)
    {
        return Open(OpenRecord(PlcAddr(), cookie, clientId, symbol), pHandle);
    }
    HRESULT Close(uint32_t h)
    {
        ULONG got = 0;
        return sync->SyncReadWrite(0x8002, h, 0, nullptr, 0, nullptr, &got);
    }
    HRESULT Feed(uint32_t h, const uint8_t* p, size_t n)
    {
        ULONG got = 0;
        return sync->SyncReadWrite(0x8003, h, 0, nullptr, static_cast<ULONG>(n), const_cast<uint8_t*>(p), &got);
    }

    IKxFexSync* sync = nullptr;
    RecordingClient client;
};

TEST_F(AppServiceTest, WithoutRegisteredClientsEveryGroupAnswers8800)
{
    Begin();
    uint8_t b = 0;
    EXPECT_EQ(kXmlErrNoClient, Open(1, "MAIN.nTiny", nullptr));
    EXPECT_EQ(kXmlErrNoClient, Close(0xF001));
    EXPECT_EQ(kXmlErrNoClient, Feed(0xF001, &b, 1));
    EXPECT_EQ(E_FAIL, Srv()->UnregisterClient(1, &client)) << "no registry yet";

    // Once the registry exists an unknown handle is its own error.
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    EXPECT_EQ(kXmlErrNotOpen, Close(0xF001));
    EXPECT_EQ(kXmlErrNotOpen, Feed(0xF001, &b, 1));
    EXPECT_TRUE(client.Calls().empty());
}

TEST_F(AppServiceTest, OpenRequestsAreChecked)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    std::vector<uint8_t> longer = OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny");
    longer.push_back(0);
    struct Case {
        const char* name;
        std::vector<uint8_t> rec;
        ULONG readLength;
        HRESULT want;
    };
    const Case cases[] = {
        {"unknown client id", OpenRecord(PlcAddr(), 0, 2, "MAIN.nTiny"), 4, kXmlErrNoClient},
        {"client id 0", OpenRecord(PlcAddr(), 0, 0, "MAIN.nTiny"), 4, kXmlErrNoClient},
        {"write length beyond the name", longer, 4, kXmlErrInvalidSize},
        {"read length 3", OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny"), 3, kXmlErrInvalidSize},
        {"unknown symbol", OpenRecord(PlcAddr(), 0, 1, "MAIN.nNone"), 4, FEX_HRESULT(FEXERR_SYMBOLNOTFOUND)},
        {"no device at the target", OpenRecord(HopAddr(LocalNetId(), 870), 0, 1, "MAIN.nTiny"), 4,
         FEX_HRESULT(FEXERR_NOPORT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG got = 99;
        EXPECT_EQ(c.want, Open(c.rec, nullptr, c.readLength, &got));
        EXPECT_EQ(0u, got);
    }
    // None of them left a server behind: a close of the first handles finds nothing.
    for (uint32_t h = 0xF000; h < 0xF008; ++h)
        EXPECT_EQ(kXmlErrNotOpen, Close(h)) << std::hex << h;
}

TEST_F(AppServiceTest, HandlesAreAnsweredAsFourBytes)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    uint32_t first = 0, second = 0, third = 0;
    ULONG got = 0;
    ASSERT_EQ(S_OK, Open(OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny"), &first, 16, &got));
    EXPECT_EQ(4u, got) << "a longer read length still gets the 4-byte handle";
    EXPECT_EQ(0xF001u, first);
    ASSERT_EQ(S_OK, Open(1, "MAIN.stBatch", &second));
    EXPECT_EQ(0xF002u, second);
    // Nothing was fed to it: the close answers that and still removes the server.
    EXPECT_EQ(kXmlErrInvalidState, Close(first));
    ASSERT_EQ(S_OK, Open(1, "MAIN.nTiny", &third));
    EXPECT_EQ(0xF003u, third) << "0xF002 is still open";
    // The handle travels as the index offset; its upper bits are not part of it.
    uint8_t b = 9;
    EXPECT_EQ(S_OK, Feed(0x10000u | third, &b, 1));
    EXPECT_EQ(S_OK, Close(third));
}

TEST_F(AppServiceTest, ClientReceivesTheStructureAsXml)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(42, &client));
    BatchValue v;
    v.nId = 2000000001;
    v.fWeight = -1.5;
    v.sLabel = "Rye";
    v.bDone = false;
    v.aCounts[0] = -32768, v.aCounts[1] = 0, v.aCounts[2] = 32767;
    v.nX = 12, v.nY = -34;
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", v);
    const int32_t cookie = -5;

    uint32_t h = 0;
    ASSERT_EQ(S_OK, Open(42, "MAIN.stBatch", &h, cookie));
    // The value arrives in two pieces.
    ASSERT_EQ(S_OK, Feed(h, bytes.data(), 10));
    ASSERT_EQ(S_OK, Feed(h, bytes.data() + 10, bytes.size() - 10));
    ASSERT_EQ(S_OK, Close(h));
    ASSERT_TRUE(client.WaitCalls(1));

    RecordingClient::Call c = client.Calls()[0];
    EXPECT_EQ("MAIN.stBatch", c.symbol);
    EXPECT_EQ("/dataentry/MAIN.stBatch", c.path);
    EXPECT_EQ(cookie, c.cookie);
    EXPECT_EQ(c.xml.size(), c.xmlLength);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(c.xml.c_str())) << c.xml;
    pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
    ASSERT_TRUE(e) << c.xml;
    ExpectBatchEq(v, BatchFromXml(e));
    // The document holds this one symbol and nothing else.
    EXPECT_EQ(e, doc.child("dataentry").first_child());
    EXPECT_FALSE(e.next_sibling());
    EXPECT_EQ(kXmlErrNotOpen, Close(h)) << "a closed server is gone";
}

TEST_F(AppServiceTest, RequesterIsAnsweredBeforeTheClientIsCalled)
{
    Begin();
    Signal answered;
    bool answeredFirst = false;
    // The client waits for the requester's answer; were it called first, the answer would wait for the
    // client and the client's wait would run out.
    client.hook = [&] { answeredFirst = answered.Wait(5000); };
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", BatchValue());
    uint32_t h = 0;
    ASSERT_EQ(S_OK, Open(1, "MAIN.stBatch", &h));
    ASSERT_EQ(S_OK, Feed(h, bytes.data(), bytes.size()));
    EXPECT_EQ(S_OK, Close(h));
    answered.Set();
    ASSERT_TRUE(client.WaitCalls(1));
    EXPECT_TRUE(answeredFirst);
}

TEST_F(AppServiceTest, AThousandServersAtATime)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    std::vector<uint32_t> handles;
    for (int i = 0; i < 1000; ++i) {
        uint32_t h = 0;
        ASSERT_EQ(S_OK, Open(1, "MAIN.nTiny", &h)) << i;
        handles.push_back(h);
    }
    uint32_t h = 0;
    ULONG got = 99;
    EXPECT_EQ(static_cast<HRESULT>(0x98110716), Open(OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny"), &h, 4, &got));
    EXPECT_EQ(0u, got);
    // One closed makes room for one more.
    ASSERT_EQ(kXmlErrInvalidState, Close(handles[500])) << "closed without data";
    ASSERT_EQ(S_OK, Open(1, "MAIN.nTiny", &h));
    EXPECT_EQ(static_cast<HRESULT>(0x98110716), Open(1, "MAIN.nTiny", nullptr));
    handles[500] = h;
    // Every open handle is distinct and in range.
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles.end(), std::adjacent_find(handles.begin(), handles.end()));
    EXPECT_GE(handles.front(), 0xF000u);
    EXPECT_LE(handles.back(), 0xFFFFu);
}

TEST_F(AppServiceTest, UnregisteringWithOpenServers)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", BatchValue());
    uint32_t full = 0, empty = 0;
    ASSERT_EQ(S_OK, Open(1, "MAIN.stBatch", &full));
    ASSERT_EQ(S_OK, Feed(full, bytes.data(), bytes.size()));
    ASSERT_EQ(S_OK, Open(1, "MAIN.stBatch", &empty));
    EXPECT_EQ(1u, client.Refs());

    EXPECT_EQ(S_OK, Srv()->UnregisterClient(1, &client));
    EXPECT_EQ(0u, client.Refs()) << "the registry let go of the client";
    EXPECT_EQ(kXmlErrNoClient, Srv()->UnregisterClient(1, &client));
    uint8_t b = 0;
    for (uint32_t h : {full, empty}) {
        EXPECT_EQ(kXmlErrNotOpen, Feed(h, &b, 1));
        EXPECT_EQ(kXmlErrNotOpen, Close(h));
    }
    EXPECT_EQ(kXmlErrNoClient, Open(1, "MAIN.stBatch", nullptr));
    EXPECT_TRUE(client.Calls().empty());
}

TEST_F(AppServiceTest, ConcurrentRequestersEachGetTheirOwnText)
{
    Begin();
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    const int kThreads = 4, kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IKxFexSync* own = SyncTo(KXXMLDATASRV_PORT);
            for (int k = 0; own && k < kRounds; ++k) {
                BatchValue v;
                v.nId = t * 1000 + k;
                v.sLabel = "T" + std::to_string(t);
                std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", v);
                std::vector<uint8_t> rec = OpenRecord(PlcAddr(), v.nId, 1, "MAIN.stBatch");
                uint8_t out[4] = {};
                ULONG got = 0;
                if (own->SyncReadWrite(0x8001, 0, 4, out, static_cast<ULONG>(rec.size()), rec.data(), &got) != S_OK ||
                    got != 4) {
                    ++failures;
                    continue;
                }
                const uint32_t h = LE32(out);
                if (own->SyncReadWrite(0x8003, h, 0, nullptr, static_cast<ULONG>(bytes.size()), bytes.data(), &got) !=
                        S_OK ||
                    own->SyncReadWrite(0x8002, h, 0, nullptr, 0, nullptr, &got) != S_OK)
                    ++failures;
            }
            if (own)
                own->Release();
            else
                ++failures;
        });
    }
    // Meanwhile another client comes and goes.
    RecordingClient passerby;
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(S_OK, Srv()->RegisterClient(2, &passerby));
        EXPECT_EQ(S_OK, Srv()->UnregisterClient(2, &passerby));
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_TRUE(client.WaitCalls(kThreads * kRounds));
    std::set<LONG> cookies;
    for (const RecordingClient::Call& c : client.Calls()) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(c.xml.c_str()));
        pugi::xml_node e = doc.child("dataentry").child("MAIN.stBatch");
        EXPECT_EQ(c.cookie, e.child("nId").text().as_int()) << "text and cookie of one server stay together";
        EXPECT_EQ("T" + std::to_string(c.cookie / 1000), e.child("sLabel").text().get());
        cookies.insert(c.cookie);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), cookies.size());
    EXPECT_TRUE(passerby.Calls().empty());
    EXPECT_EQ(0u, passerby.Refs());
}

TEST_F(AppServiceTest, FailedSystemCheckRefusesAppServersAndInProcessCalls)
{
    Begin("3.0");
    sim.ClearLog();
    ASSERT_EQ(static_cast<HRESULT>(0x98118900), Srv()->GetSystemCheckResult());
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    EXPECT_EQ(static_cast<HRESULT>(0x98118900), Open(1, "MAIN.nTiny", nullptr));

    CKxBstr netId("10.20.30.40.1.1"), symbol("MAIN.stBatch"), path("/dataentry/MAIN.stBatch");
    CKxBstr xml("<dataentry><MAIN.stBatch><nId>1</nId></MAIN.stBatch></dataentry>");
    CKxBstr file((m_dir + "/refused.xml").c_str());
    BSTR out = nullptr;
    EXPECT_EQ(static_cast<HRESULT>(0x98118900), Srv()->WriteSymbolToXml(netId, kPlcPort, symbol, path, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(static_cast<HRESULT>(0x98118900), Srv()->WriteXmlToSymbol(netId, kPlcPort, symbol, xml, path));
    EXPECT_EQ(static_cast<HRESULT>(0x98118900),
              Srv()->WriteSymbolToXmlFile(netId, kPlcPort, symbol, file, path, VARIANT_TRUE));
    EXPECT_EQ(static_cast<HRESULT>(0x98118900), Srv()->WriteXmlFileToSymbol(netId, kPlcPort, symbol, file, path));
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/refused.xml"));
    // Nothing reached the PLC.
    EXPECT_TRUE(sim.GetLog().empty());
}

} // namespace
