// Application servers seen by a participant of the router's TCP link: the requester is another "process"
// speaking the frame protocol over a socket, the client is registered in-process with the service.
#include "XmlAppServerTestEnv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "KxFrame.h"

using namespace apptest;

namespace {

// A participant speaking the link protocol over a plain socket.
class LinkClient {
public:
    struct Answer {
        kxrouter::FrameHeader header;
        std::vector<uint8_t> data; // the data of a ReadWrite answer
    };

    ~LinkClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool Connect(uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
            return false;
        Answer a;
        if (!Send(kxrouter::CMD_HELLO, 1, HopAddr(), {}) || !Recv(a) || a.header.cmd != kxrouter::CMD_HELLO)
            return false;
        m_self = a.header.target;
        return true;
    }

    // A ReadWrite request to the service's port.
    bool SendReadWrite(uint32_t invokeId, uint32_t group, uint32_t offset, uint32_t readLength,
                       const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> body;
        for (uint32_t v : {group, offset, readLength, static_cast<uint32_t>(data.size())})
            for (int i = 0; i < 4; ++i)
                body.push_back(static_cast<uint8_t>(v >> (8 * i)));
        body.insert(body.end(), data.begin(), data.end());
        return Send(kxrouter::CMD_READWRITE, invokeId, Service(), body);
    }
    bool SendReadState(uint32_t invokeId) { return Send(kxrouter::CMD_READSTATE, invokeId, Service(), {}); }

    // Reads the next frame; false on end of stream, a bad frame or the safety time-out.
    bool Recv(Answer& a)
    {
        uint8_t len[4];
        if (!RecvAll(len, 4))
            return false;
        const uint32_t n = LE32(len);
        if (n < kxrouter::kHeaderSize || n > kxrouter::kMaxFrameLength)
            return false;
        std::vector<uint8_t> all(4 + n);
        std::memcpy(all.data(), len, 4);
        if (!RecvAll(all.data() + 4, n))
            return false;
        kxrouter::FrameBody body;
        if (kxrouter::DecodeFrame(all.data(), all.size(), a.header, body).status != kxrouter::FrameStatus::Ok)
            return false;
        a.data.clear();
        if (a.header.cmd == kxrouter::CMD_READWRITE && body.data)
            a.data.assign(body.data, body.data + body.dataLen);
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

    HopAddr Self() const { return m_self; }
    static HopAddr Service() { return HopAddr(LocalNetId(), KXXMLDATASRV_PORT); }

private:
    bool Send(uint16_t cmd, uint32_t invokeId, const HopAddr& target, const std::vector<uint8_t>& body)
    {
        kxrouter::FrameHeader h;
        h.cmd = cmd;
        h.invokeId = invokeId;
        h.target = target;
        h.source = m_self;
        std::vector<uint8_t> f;
        kxrouter::EncodeFrame(h, body.data(), body.size(), f);
        size_t at = 0;
        while (at < f.size()) {
            ssize_t n = ::send(m_fd, f.data() + at, f.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    bool RecvAll(uint8_t* p, size_t n)
    {
        while (n > 0) {
            pollfd pf{m_fd, POLLIN, 0};
            if (::poll(&pf, 1, kWaitMs) <= 0)
                return false;
            ssize_t r = ::recv(m_fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    int m_fd = -1;
    HopAddr m_self;
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
