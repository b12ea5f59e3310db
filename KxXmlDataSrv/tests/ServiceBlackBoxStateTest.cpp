// The device state a client reads through the router at every step of the service object's lifecycle.
// The program's control queue runs Init and Start back to back, so the steps in between are driven here on
// the service object itself, with a router in this process and a registry in a temporary root.
#include <gtest/gtest.h>

#include <cstdlib>

#include "KxRouter.h"
#include "KxXmlDataSrv.h"
#include "ServiceBlackBoxSupport.h"

using namespace kxbb;

namespace {

class ServiceState : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.Path().empty());
        WriteRegistry(root.Path(), RegistrySetup());
        // The store reads its root once, before the first registry access of this process.
        ::setenv("KX_REGISTRY_ROOT", root.Path().c_str(), 1);
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
        {"second Init", &IKxServer::Init, static_cast<HRESULT>(0x98110712), 3},
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

} // namespace
