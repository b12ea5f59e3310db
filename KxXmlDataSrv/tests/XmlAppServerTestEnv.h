// Shared set-up of the application-server and in-process method tests: a registry given as text under a
// temporary root, an in-process router, the simulated PLC at port 851 and the service object.
#pragma once

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"
#include "KxXmlDataSrv.h"
#include "XmlAppServer.h"
#include "platform/KxOS/KxOsRegistry.h"

namespace apptest {

// Safety net for waits that normally end at once.
constexpr int kWaitMs = 10000;
constexpr uint16_t kPlcPort = 851;

inline HopNetId LocalNetId()
{
    HopNetId id;
    const uint8_t b[6] = {10, 20, 30, 40, 1, 1};
    std::memcpy(id.b, b, 6);
    return id;
}

inline std::string DataFile(const char* name)
{
    return std::string(KX_TEST_DATA_DIR) + "/appserver/" + name;
}

inline uint32_t LE32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Settings of the service: the version value of the system check, no log file, two workers.
inline std::string RegistryXml(const char* version)
{
    return std::string("<?xml version=\"1.0\"?>\n<KxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
                       "<Key Name=\"Velmor\"><Key Name=\"Korvex3\"><Value Name=\"CurrentVersion\" Type=\"SZ\">") +
           version +
           "</Value></Key><Key Name=\"Korvex3 Functions\"><Key Name=\"QM4410 XML Server\">"
           "<Value Name=\"LogLevel\" Type=\"DW\">0</Value><Value Name=\"NumWorkerThreads\" Type=\"DW\">2</Value>"
           "</Key></Key></Key></Key></Key></KxRegistry>\n";
}

// The device-protocol record of an application-server open request (index group 0x8001).
inline std::vector<uint8_t> OpenRecord(const HopAddr& target, int32_t cookie, uint8_t clientId, const std::string& name,
                                       int nameLengthField = -1)
{
    const uint16_t n = static_cast<uint16_t>(nameLengthField < 0 ? name.size() : nameLengthField);
    std::vector<uint8_t> rec(19 + name.size() + 1, 0);
    std::memcpy(rec.data(), &target, 8);
    std::memset(rec.data() + 8, 0xA5, 4); // not read
    std::memcpy(rec.data() + 12, &cookie, 4);
    rec[16] = static_cast<uint8_t>(n);
    rec[17] = static_cast<uint8_t>(n >> 8);
    rec[18] = clientId;
    std::memcpy(rec.data() + 19, name.c_str(), name.size() + 1);
    return rec;
}

// An in-process client that records what it is handed. hook, when set, runs inside OnWriteXml first.
class RecordingClient : public IKxXmlServerClient {
public:
    struct Call {
        std::string xml;
        uint32_t xmlLength = 0; // the length prefix of the XML text
        std::string symbol;
        std::string path;
        LONG cookie = 0;
    };

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IKxXmlServerClient) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }
    HRESULT OnWriteXml(BSTR sXml, BSTR sSymbol, BSTR sXmlPath, LONG nCookie) override
    {
        if (hook)
            hook();
        Call c;
        c.xml = sXml ? sXml : "";
        c.xmlLength = KxSysStringLen(sXml);
        c.symbol = sSymbol ? sSymbol : "";
        c.path = sXmlPath ? sXmlPath : "";
        c.cookie = nCookie;
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back(c);
        m_cv.notify_all();
        return S_OK;
    }

    // References the registry holds (the test's own reference is not counted).
    ULONG Refs() const { return m_refs; }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }
    bool WaitCalls(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return m_calls.size() >= n; });
    }

    std::function<void()> hook;

private:
    std::atomic<ULONG> m_refs{0};
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<Call> m_calls;
};

// A one-shot flag that one thread sets and another waits for.
class Signal {
public:
    void Set()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_set = true;
        m_cv.notify_all();
    }
    bool Wait(int ms = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_set; });
    }
    bool IsSet()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_set;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_set = false;
};

// The bytes of a ST_Batch value of the test device and the values they hold.
struct BatchValue {
    int32_t nId = 0;
    double fWeight = 0;
    std::string sLabel;
    bool bDone = false;
    int16_t aCounts[3] = {0, 0, 0};
    int16_t nX = 0, nY = 0;
};

// Per-test environment: temporary registry root, router, simulated PLC, and (on request) the service.
class AppServerEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kxappsrv.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv(KX_REGISTRY_ROOT_ENV, m_dir.c_str(), 1);
        UseRegistry("3.1");

        KxRouterConfig cfg;
        KxRouterConfigInit(&cfg);
        cfg.mode = KX_ROUTER_MODE_HOST;
        cfg.listen = m_listen ? 1 : 0;
        cfg.netId = LocalNetId();
        ASSERT_EQ(S_OK, KxRouterStart(&cfg));

        KxPlcLoadResult r = sim.LoadFile(DataFile("batch-plc.xml"));
        ASSERT_TRUE(r.ok) << r.description;
        ASSERT_EQ(S_OK, plcHost.Start(&sim));
    }

    void TearDown() override
    {
        StopService();
        plcHost.Stop();
        KxRouterStop();
        RegistryDestroy();
        std::error_code ec;
        if (m_dir.rfind("/tmp/kxappsrv.", 0) == 0)
            std::filesystem::remove_all(m_dir, ec);
    }

    // The next store reads this registry text; the service reads it when it is created.
    void UseRegistry(const char* version)
    {
        RegistryDestroy();
        RegistryInit(RegistryXml(version).c_str());
    }

    // Creates the service object and runs Init (port 10600).
    void StartService(ULONG bUserMode = 0)
    {
        IKxServer* p = nullptr;
        ASSERT_EQ(S_OK, CreateKxXmlDataSrv(&p, bUserMode));
        ASSERT_NE(p, nullptr);
        m_srv = static_cast<CKxXmlDataSrv*>(p);
        ASSERT_EQ(S_OK, m_srv->Init(KxEmptyVariant()));
    }

    void StopService()
    {
        if (!m_srv)
            return;
        m_srv->Shutdown(KxEmptyVariant());
        m_srv->Release();
        m_srv = nullptr;
    }

    CKxXmlDataSrv* Srv() { return m_srv; }

    HopAddr PlcAddr() const { return HopAddr(LocalNetId(), kPlcPort); }

    // A synchronous client of a local port; the caller releases it.
    static IKxFexSync* SyncTo(uint16_t port, ULONG timeoutMs = 20000)
    {
        IKxFexClient* client = nullptr;
        if (CreateFexClient(&client) != S_OK || !client)
            return nullptr;
        HopAddr target(LocalNetId(), port);
        IKxFexSync* sync = nullptr;
        client->Connect(&target, port, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant());
        client->Release();
        if (sync)
            sync->SetTimeout(timeoutMs);
        return sync;
    }

    // Offset of a member inside the symbol that holds it, from the PLC's own layout.
    uint32_t MemberOffset(const std::string& symbol, const std::string& member)
    {
        KxPlcSymbolInfo whole, part;
        EXPECT_TRUE(sim.Resolve(symbol, whole));
        EXPECT_TRUE(sim.Resolve(symbol + member, part)) << member;
        return part.offset - whole.offset;
    }

    uint32_t SymbolSize(const std::string& symbol)
    {
        KxPlcSymbolInfo info;
        EXPECT_TRUE(sim.Resolve(symbol, info));
        return info.size;
    }

    // The memory image of a ST_Batch symbol holding v.
    std::vector<uint8_t> BatchBytes(const std::string& symbol, const BatchValue& v)
    {
        std::vector<uint8_t> b(SymbolSize(symbol), 0);
        auto put = [&](const char* member, const void* p, size_t n) {
            std::memcpy(b.data() + MemberOffset(symbol, member), p, n);
        };
        put(".nId", &v.nId, 4);
        put(".fWeight", &v.fWeight, 8);
        put(".sLabel", v.sLabel.c_str(), v.sLabel.size() + 1);
        uint8_t done = v.bDone ? 1 : 0;
        put(".bDone", &done, 1);
        for (int i = 0; i < 3; ++i)
            put((".aCounts[" + std::to_string(i + 1) + "]").c_str(), &v.aCounts[i], 2);
        put(".stOrigin.nX", &v.nX, 2);
        put(".stOrigin.nY", &v.nY, 2);
        return b;
    }

    // The value a ST_Batch symbol holds in the PLC now.
    BatchValue PlcBatch(const std::string& symbol)
    {
        KxPlcSymbolInfo info;
        EXPECT_TRUE(sim.Resolve(symbol, info));
        std::vector<uint8_t> b;
        EXPECT_TRUE(sim.Peek(info.group, info.offset, info.size, b));
        b.resize(info.size);
        BatchValue v;
        auto get = [&](const char* member, void* p, size_t n) {
            std::memcpy(p, b.data() + MemberOffset(symbol, member), n);
        };
        get(".nId", &v.nId, 4);
        get(".fWeight", &v.fWeight, 8);
        KxPlcSymbolInfo label;
        EXPECT_TRUE(sim.Resolve(symbol + ".sLabel", label));
        const char* s = reinterpret_cast<const char*>(b.data() + (label.offset - info.offset));
        v.sLabel.assign(s, strnlen(s, label.size));
        uint8_t done = 0;
        get(".bDone", &done, 1);
        v.bDone = done != 0;
        for (int i = 0; i < 3; ++i)
            get((".aCounts[" + std::to_string(i + 1) + "]").c_str(), &v.aCounts[i], 2);
        get(".stOrigin.nX", &v.nX, 2);
        get(".stOrigin.nY", &v.nY, 2);
        return v;
    }

    CKxPlcSim sim;
    CKxPlcSimHost plcHost;
    std::string m_dir;
    bool m_listen = false;

private:
    CKxXmlDataSrv* m_srv = nullptr;
};

// The BOOL texts the service writes: "true" and "false".
inline bool TrueText(const char* text)
{
    EXPECT_TRUE(std::strcmp(text, "true") == 0 || std::strcmp(text, "false") == 0) << text;
    return std::strcmp(text, "true") == 0;
}

// Reads a ST_Batch value from the element that holds it; members are found by name, array elements by index.
inline BatchValue BatchFromXml(pugi::xml_node e)
{
    BatchValue v;
    v.nId = e.child("nId").text().as_int();
    v.fWeight = e.child("fWeight").text().as_double();
    v.sLabel = e.child("sLabel").text().get();
    v.bDone = TrueText(e.child("bDone").text().get());
    for (pugi::xml_node a : e.children("aCounts")) {
        int i = a.attribute("index").as_int();
        if (i >= 1 && i <= 3)
            v.aCounts[i - 1] = static_cast<int16_t>(a.text().as_int());
    }
    v.nX = static_cast<int16_t>(e.child("stOrigin").child("nX").text().as_int());
    v.nY = static_cast<int16_t>(e.child("stOrigin").child("nY").text().as_int());
    return v;
}

inline void ExpectBatchEq(const BatchValue& want, const BatchValue& got)
{
    EXPECT_EQ(want.nId, got.nId);
    EXPECT_DOUBLE_EQ(want.fWeight, got.fWeight);
    EXPECT_EQ(want.sLabel, got.sLabel);
    EXPECT_EQ(want.bDone, got.bDone);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(want.aCounts[i], got.aCounts[i]) << "aCounts[" << i + 1 << "]";
    EXPECT_EQ(want.nX, got.nX);
    EXPECT_EQ(want.nY, got.nY);
}

} // namespace apptest
