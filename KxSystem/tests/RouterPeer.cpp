// A second process on the router link for the link tests, joining the router named by KX_ROUTER.
//   RouterPeer serve <port>          serves <port> (echo receiver) until standard input ends
//   RouterPeer call <port> <count>   sends <count> ReadWrite requests to <port> of the router's net id from
//                                    four threads and prints "ok <n> bad <m>"
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RouterTestUtil.h"

using namespace routertest;

static int Serve(USHORT nPort)
{
    TestReceiver recv;
    IKxFexServer* server = nullptr;
    if (CreateFexServer(&server) != S_OK)
        return 2;
    IKxFexPort* port = nullptr;
    HRESULT hr = server->ConnectPort(nPort, 0, &recv, &port, KxMissingVariant(), KxMissingVariant());
    server->Release();
    if (hr != S_OK) {
        std::printf("connect 0x%08x\n", static_cast<unsigned>(hr));
        std::fflush(stdout);
        return 3;
    }
    recv.port = port;
    HopAddr self;
    KxRouterGetParticipantAddress(&self);
    std::printf("ready %u %u\n", static_cast<unsigned>(nPort), static_cast<unsigned>(self.port));
    std::fflush(stdout);
    char buf[64];
    while (std::fread(buf, 1, sizeof(buf), stdin) > 0) {
    }
    port->Release();
    return 0;
}

static int Call(USHORT nPort, int count)
{
    IKxFexClient* client = nullptr;
    if (CreateFexClient(&client) != S_OK)
        return 2;
    HopAddr target;  // zero net id: the router's own
    IKxFexSync* sync = nullptr;
    client->Connect(&target, nPort, 0, &sync, 0, KxEmptyVariant(), KxEmptyVariant());
    client->Release();
    std::atomic<int> ok{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < count; i += 4) {
                uint8_t w[6];
                for (int k = 0; k < 6; ++k)
                    w[k] = static_cast<uint8_t>(i * 13 + k);
                uint8_t r[10] = {};
                ULONG got = 0;
                HRESULT hr = sync->SyncReadWrite(0x77, static_cast<ULONG>(i), 10, r, 6, w, &got);
                if (hr == S_OK && got == 10 && std::vector<uint8_t>(r, r + 10) == EchoAnswer(0x77, w, 6, 10))
                    ++ok;
                else
                    ++bad;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    sync->Release();
    std::printf("ok %d bad %d\n", ok.load(), bad.load());
    std::fflush(stdout);
    return 0;
}

int main(int argc, char** argv)
{
    if (FexInitialize() != S_OK || !KxRouterIsParticipant()) {
        std::printf("no router\n");
        std::fflush(stdout);
        return 1;
    }
    int rc = 1;
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0)
        rc = Serve(static_cast<USHORT>(std::atoi(argv[2])));
    else if (argc == 4 && std::strcmp(argv[1], "call") == 0)
        rc = Call(static_cast<USHORT>(std::atoi(argv[2])), std::atoi(argv[3]));
    KxRouterStop();
    return rc;
}
