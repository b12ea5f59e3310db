// KxPlcSim: runs a simulated PLC as a participant of a router (KX_ROUTER=host:port), or hosting a router
// of its own when KX_ROUTER is not set, until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KxFex.h"
#include "KxPlcSim.h"
#include "KxRouter.h"

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: KxPlcSim [--port N] description.xml\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string file;
    unsigned long port = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtoul(argv[++i], &end, 10);
            if (!end || *end || port == 0 || port > 65535)
                return Usage();
        } else if (argv[i][0] == '-' || !file.empty()) {
            return Usage();
        } else {
            file = argv[i];
        }
    }
    if (file.empty())
        return Usage();

    // The router's threads inherit this mask, so the signals reach sigwait below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    CKxPlcSim sim;
    KxPlcLoadResult loaded = sim.LoadFile(file);
    if (!loaded.ok) {
        std::fprintf(stderr, "KxPlcSim: %s\n", loaded.description.c_str());
        return 1;
    }
    HRESULT hr = KxRouterStart(nullptr);
    if (FAILED(hr)) {
        std::fprintf(stderr, "KxPlcSim: cannot start the router: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    int status = 0;
    {
        CKxPlcSimHost host;
        hr = host.Start(&sim, static_cast<uint16_t>(port));
        if (FAILED(hr)) {
            std::fprintf(stderr, "KxPlcSim: cannot serve port %lu: 0x%08X\n", port ? port : sim.GetPort(),
                         static_cast<unsigned>(hr));
            status = 1;
        } else {
            // One line that tells a starting script or test that requests are served now.
            std::printf("KxPlcSim: %s serving %s\n", sim.GetDeviceName().c_str(), host.GetAddress().ToString().c_str());
            std::fflush(stdout);
            int sig = 0;
            sigwait(&stop, &sig);
            host.Stop();
        }
    }
    KxRouterStop();
    return status;
}
