// The device state a client reads through the router at every step of the service object's lifecycle.
// The program's control queue runs Init and Start back to back, so the steps in between are driven here on
// the service object itself, with a router in this process and a registry in a temporary root.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "KxRouter.h"
#include "KxXmlDataSrv.h"
#include "platform/KxOS/KxOsRegistry.h"
#include "ServiceBlackBoxSupport.h"

using namespace kxbb;

namespace {

class ServiceState : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.Path().empty());
        WriteRegistry(root.Path(), RegistrySetup());
        // The store reads its root when it is built: a fresh one for each test.
        ::setenv("KX_REGISTRY_ROOT", root.Path().c_str(), 1);
        RegistryDestroy();
        ::setenv("KX_ROUTER_PORT", "0", 1);
        ::unsetenv("KX_PLC");
        ::unsetenv("KX_ROUTER");
    }

    void TearDown() override
    {
        if (sync)
            sync->Release();
        if (srv)
            srv->Release();
        KxRouterStop();
        RegistryDestroy();
    }

    // Connects a client to port 10600 once the router runs (it is started by Init).
    void ConnectClient()
    {
        IKxFexClient* client = nullptr;
        ASSERT_EQ(CreateFexClient(&client), S_OK);
        HopAddr target(HopNetId(), 10600);
        ASSERT_EQ(client->Connect(&target, 0, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant()), S_OK);
        client->Release();
    }

    // The state answered to ReadState, or the negated error when there is no answer.
    long State()
    {
        USHORT state = 0, second = 0;
        HRESULT hr = sync->SyncReadState(&state, &second);
        if (FAILED(hr))
            return -static_cast<long>(static_cast<uint32_t>(hr) & 0xFFFF);
        EXPECT_EQ(second, 0u);
        return state;
    }

    TempRoot root;
    IKxServer* srv = nullptr;
    IKxFexSync* sync = nullptr;
};

TEST_F(ServiceState, ReadStateFollowsEveryLifecycleStep)
{
    ASSERT_EQ(CreateKxXmlDataSrv(&srv, 0), S_OK);
    ASSERT_EQ(srv->Init(KxEmptyVariant()), S_OK);
    ConnectClient();
    ASSERT_TRUE(sync);

    struct Step {
        const char* name;
        HRESULT (IKxServer::*op)(VARIANT);
        HRESULT result;
        long state;  // negative: the router's error number, the port being gone
    } steps[] = {
        {"after Init", nullptr, S_OK, 4},
        {"Start", &IKxServer::Start, S_OK, 5},
        {"second Init", &IKxServer::Init, static_cast<HRESULT>(0x98110712), 5},
        {"Reset", &IKxServer::Reset, S_OK, 2},
        {"Stop", &IKxServer::Stop, S_OK, 6},
        {"Shutdown", &IKxServer::Shutdown, S_OK, -0x101},
        {"Init after Shutdown", &IKxServer::Init, S_OK, 4},
        {"Start again", &IKxServer::Start, S_OK, 5},
        {"Shutdown again", &IKxServer::Shutdown, S_OK, -0x101},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        if (s.op) {
            EXPECT_EQ((srv->*s.op)(KxEmptyVariant()), s.result);
        }
        EXPECT_EQ(State(), s.state);
    }
}

TEST_F(ServiceState, SecondInitKeepsTheLogFileOpen)
{
    ASSERT_EQ(CreateKxXmlDataSrv(&srv, 0), S_OK);
    ASSERT_EQ(srv->Init(KxEmptyVariant()), S_OK);
    // Moved aside as a log rotation would: the running service keeps writing to the file it has open.
    const std::string log = LogPath(root.Path());
    ASSERT_EQ(::rename(log.c_str(), (log + ".old").c_str()), 0);
    EXPECT_EQ(srv->Init(KxEmptyVariant()), static_cast<HRESULT>(0x98110712));
    EXPECT_FALSE(std::filesystem::exists(log)) << "a second Init reopened the log";
    const std::string text = ReadFile(log + ".old");
    EXPECT_NE(text.find("Initialization failed: Server list is already initialized"), std::string::npos) << text;
    const size_t check = text.find("Performing system check...");
    EXPECT_EQ(text.find("Performing system check...", check + 1), std::string::npos)
        << "a second Init checked the system again\n"
        << text;
}

TEST_F(ServiceState, ReleaseWithoutShutdownShutsDownWhileRequestsArrive)
{
    ASSERT_EQ(CreateKxXmlDataSrv(&srv, 0), S_OK);
    ASSERT_EQ(srv->Init(KxEmptyVariant()), S_OK);
    ASSERT_EQ(srv->Start(KxEmptyVariant()), S_OK);
    ConnectClient();
    ASSERT_TRUE(sync);

    // A client keeps the dispatch and the workers busy (closes of a handle never issued) until the port is gone.
    std::mutex m;
    std::condition_variable cv;
    unsigned answered = 0;
    bool portGone = false;
    std::thread client([&] {
        for (;;) {
            ULONG n = 0;
            HRESULT hr = sync->SyncReadWrite(0x79, 0xF001, 0, nullptr, 0, nullptr, &n);
            std::lock_guard<std::mutex> lock(m);
            ++answered;
            // 0x101: no port at the address any more.
            if ((static_cast<uint32_t>(hr) & 0xFFFF) == 0x101) {
                portGone = true;
                cv.notify_all();
                return;
            }
            cv.notify_all();
        }
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return answered >= 20; }));
    }
    srv->Release();
    srv = nullptr;
    {
        std::unique_lock<std::mutex> lock(m);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return portGone; }));
    }
    client.join();

    // The release ran the shutdown before the rest of the teardown.
    const std::string log = ReadFile(LogPath(root.Path()));
    const size_t down = log.find("Shutting down...");
    ASSERT_NE(down, std::string::npos) << log;
    const size_t done = log.find("Shutdown was successfull", down);
    ASSERT_NE(done, std::string::npos) << log;
    EXPECT_NE(log.find("KxXmlDataSrv stopped", done), std::string::npos) << log;
}

} // namespace
