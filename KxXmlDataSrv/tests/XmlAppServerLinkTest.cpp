// Application servers seen by a participant of the router's TCP link: the requester is another "process"
// speaking the frame protocol over a socket, the client is registered in-process with the service.
#include "XmlAppServerTestEnv.h"

#include <algorithm>

#include "KxFrame.h"
#include "RouterTestUtil.h"

using namespace apptest;

namespace {

// A participant speaking the link protocol over a plain socket to the service's port.
class LinkClient : public routertest::RawLink {
public:
    struct Answer {
        kxrouter::FrameHeader header;
        std::vector<uint8_t> data; // the data of a ReadWrite answer
    };

    // Connects and says Hello.
    bool Connect(uint16_t port)
    {
        if (!RawLink::Connect(port))
            return false;
        self = Hello();
        return !(self == HopAddr());
    }

    // A ReadWrite request to the service's port.
    bool SendReadWrite(uint32_t invokeId, uint32_t group, uint32_t offset, uint32_t readLength,
                       const std::vector<uint8_t>& data)
    {
        return Send(kxrouter::CMD_READWRITE, 0, invokeId, 0, Service(), self,
                    routertest::U32s({group, offset, readLength, static_cast<uint32_t>(data.size())}, data));
    }
    bool SendReadState(uint32_t invokeId) { return Send(kxrouter::CMD_READSTATE, 0, invokeId, 0, Service(), self); }

    // Reads the next frame; false on end of stream, a bad frame or the safety time-out.
    bool Recv(Answer& a)
    {
        std::vector<uint8_t> body;
        if (!RawLink::Recv(a.header, body))
            return false;
        a.data.clear();
        if (a.header.cmd == kxrouter::CMD_READWRITE && body.size() >= 4) {
            const uint32_t n = std::min<uint32_t>(LE32(body.data()), static_cast<uint32_t>(body.size() - 4));
            a.data.assign(body.begin() + 4, body.begin() + 4 + n);
        }
        return true;
    }

    // Sends a ReadWrite and reads its answer; the error number, or 0xFFFFFFFF without a fitting answer.
    uint32_t ReadWrite(uint32_t group, uint32_t offset, uint32_t readLength, const std::vector<uint8_t>& data,
                       std::vector<uint8_t>* pOut = nullptr)
    {
        const uint32_t id = ++m_invokeId;
        Answer a;
        if (!SendReadWrite(id, group, offset, readLength, data) || !Recv(a) || a.header.invokeId != id ||
            !a.header.IsResponse() || a.header.cmd != kxrouter::CMD_READWRITE)
            return 0xFFFFFFFFu;
        if (pOut)
            *pOut = a.data;
        return a.header.error;
    }

    static HopAddr Service() { return HopAddr(LocalNetId(), KXXMLDATASRV_PORT); }

private:
    uint32_t m_invokeId = 100;
};

class AppLinkTest : public AppServerEnv {
protected:
    void SetUp() override
    {
        m_listen = true;
        AppServerEnv::SetUp();
        StartService();
        ASSERT_NE(0, KxRouterListenPort());
        ASSERT_TRUE(link.Connect(KxRouterListenPort()));
    }

    RecordingClient client;
    LinkClient link;
};

TEST_F(AppLinkTest, ClientIdsAreCheckedForRemoteRequesters)
{
    const std::vector<uint8_t> open1 = OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny");
    EXPECT_EQ(0x8800u, link.ReadWrite(0x8001, 0, 4, open1)) << "no client registered yet";
    EXPECT_EQ(0x8800u, link.ReadWrite(0x8002, 0xF001, 0, {}));
    EXPECT_EQ(0x8800u, link.ReadWrite(0x8003, 0xF001, 0, {1}));

    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    EXPECT_EQ(0x8800u, link.ReadWrite(0x8001, 0, 4, OpenRecord(PlcAddr(), 0, 9, "MAIN.nTiny")));
    std::vector<uint8_t> out;
    EXPECT_EQ(0u, link.ReadWrite(0x8001, 0, 4, open1, &out));
    ASSERT_EQ(4u, out.size());
    EXPECT_EQ(0xF001u, LE32(out.data()));
}

TEST_F(AppLinkTest, StructureTravelsFromTheRequesterToTheClient)
{
    Signal answered;
    bool answeredFirst = false;
    client.hook = [&] { answeredFirst = answered.Wait(5000); };
    ASSERT_EQ(S_OK, Srv()->RegisterClient(3, &client));
    BatchValue v;
    v.nId = 17;
    v.fWeight = 1e-3;
    v.sLabel = "Oats and barley";
    v.bDone = true;
    v.aCounts[0] = 100, v.aCounts[1] = 200, v.aCounts[2] = 300;
    v.nX = 5, v.nY = 6;
    std::vector<uint8_t> bytes = BatchBytes("MAIN.stBatch", v);

    std::vector<uint8_t> out;
    ASSERT_EQ(0u, link.ReadWrite(0x8001, 0, 4, OpenRecord(PlcAddr(), 0x7FFFFFFF, 3, "MAIN.stBatch"), &out));
    ASSERT_EQ(4u, out.size());
    const uint32_t h = LE32(out.data());
    ASSERT_EQ(0u, link.ReadWrite(0x8003, h, 0, bytes));
    // The close's answer reaches the requester while the client still waits for it.
    EXPECT_EQ(0u, link.ReadWrite(0x8002, h, 0, {}));
    answered.Set();
    ASSERT_TRUE(client.WaitCalls(1));
    EXPECT_TRUE(answeredFirst);

    RecordingClient::Call c = client.Calls()[0];
    EXPECT_EQ(0x7FFFFFFF, c.cookie);
    EXPECT_EQ("/dataentry/MAIN.stBatch", c.path);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(c.xml.c_str())) << c.xml;
    ExpectBatchEq(v, BatchFromXml(doc.child("dataentry").child("MAIN.stBatch")));
}

TEST_F(AppLinkTest, RequestsWithoutAServiceAnswer)
{
    ASSERT_EQ(S_OK, Srv()->RegisterClient(1, &client));
    // An unknown handle: the service sends nothing, so the one answer is the router's, with the service's
    // error number. A name whose length differs from its field: dropped, no answer at all.
    ASSERT_TRUE(link.SendReadWrite(5, 0x8002, 0xF123, 0, {}));
    ASSERT_TRUE(link.SendReadWrite(6, 0x8001, 0, 4, OpenRecord(PlcAddr(), 0, 1, std::string("MAIN.nTiny\0AB", 13))));
    ASSERT_TRUE(link.SendReadState(7));

    // Two answers, in whichever order the router's threads finish them.
    LinkClient::Answer a[2];
    ASSERT_TRUE(link.Recv(a[0]));
    ASSERT_TRUE(link.Recv(a[1]));
    if (a[0].header.invokeId > a[1].header.invokeId)
        std::swap(a[0], a[1]);
    EXPECT_EQ(5u, a[0].header.invokeId);
    EXPECT_EQ(0x8001u, a[0].header.error);
    EXPECT_TRUE(a[0].data.empty());
    EXPECT_EQ(7u, a[1].header.invokeId) << "the dropped request got an answer";
    EXPECT_EQ(kxrouter::CMD_READSTATE, a[1].header.cmd);
    EXPECT_EQ(0u, a[1].header.error);
    // The dropped request opened nothing: the first open still gets the first handle.
    std::vector<uint8_t> out;
    ASSERT_EQ(0u, link.ReadWrite(0x8001, 0, 4, OpenRecord(PlcAddr(), 0, 1, "MAIN.nTiny"), &out));
    ASSERT_EQ(4u, out.size());
    EXPECT_EQ(0xF001u, LE32(out.data()));
}

} // namespace
