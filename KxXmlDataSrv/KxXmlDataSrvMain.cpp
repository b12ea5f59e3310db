// Process entry: signal handling, the command line and the three run modes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxServiceModule.h"
#include "KxXmlDataSrv.h"

namespace {

typedef void (*SignalHandler)(int, siginfo_t*, void*);

void sigterm_handler(int, siginfo_t*, void*);

// Signal number to handler, installed in ascending order.
std::map<int, SignalHandler> g_signals = {{SIGTERM, sigterm_handler}};

IKxServer* g_ipSrv = nullptr;
int32_t g_serverState = 0;
volatile unsigned char g_bStop = 0;

// The handler only records the signal in this pipe; the main thread does the work (logging and the
// lifecycle calls), since neither is safe inside a signal handler.
int g_sigPipe[2] = {-1, -1};

void sigterm_handler(int, siginfo_t*, void*)
{
    int saved = errno;
    if (g_sigPipe[1] >= 0) {
        char c = 1;
        ssize_t n = write(g_sigPipe[1], &c, 1);
        (void)n;
    }
    errno = saved;
}

// Runs what a SIGTERM asks for, once per signal received, on the main thread.
void HandlePendingSigterm()
{
    if (g_sigPipe[0] < 0)
        return;
    char c;
    while (read(g_sigPipe[0], &c, 1) == 1) {
        if (g_ipSrv) {
            if (g_serverState == 2) {
                syslog(LOG_ALERT, "SIGTERM shutdown server\n");
                g_ipSrv->Shutdown(KxEmptyVariant());
            }
            if (g_serverState > 0) {
                syslog(LOG_ALERT, "SIGTERM stop server\n");
                g_ipSrv->Stop(KxEmptyVariant());
            }
        }
        syslog(LOG_ALERT, "SIGTERM received -> shutting down...\n");
    }
}

void InstallSignalHandlers()
{
    if (pipe(g_sigPipe) == 0) {
        for (int fd : g_sigPipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    } else {
        g_sigPipe[0] = g_sigPipe[1] = -1;
    }
    for (const auto& entry : g_signals) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sa_sigaction = entry.second;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        if (sigaction(entry.first, &sa, nullptr) != 0)
            syslog(LOG_ALERT, "install signal handler for %d failed\n", entry.first);
    }
}

int RunVersion()
{
    std::printf("FILEVERSION: %s\n", "3.0.24.1");
    std::printf("PRODUCTVERSION: %s\n", "3.1.0.0");
    return 0;
}

int RunTest()
{
    IKxServer* pSrv = nullptr;
    HRESULT hr = CreateKxXmlDataSrv(&pSrv, 0);
    if (FAILED(hr) || !pSrv) {
        std::printf("Failed to create KxXmlDataSrv(0x%x)\n", static_cast<unsigned>(hr));
        return -1;
    }
    hr = pSrv->Init(KxEmptyVariant());
    if (FAILED(hr)) {
        std::printf("KxXmlDataSrv::Init failed(0x%x)\n", static_cast<unsigned>(hr));
    } else {
        hr = pSrv->Start(KxEmptyVariant());
        if (FAILED(hr)) {
            pSrv->Stop(KxEmptyVariant());
            std::printf("KxXmlDataSrv::Start failed(0x%x)\n", static_cast<unsigned>(hr));
        } else {
            std::fflush(stdout);
            std::getchar();
            hr = pSrv->Shutdown(KxEmptyVariant());
            if (FAILED(hr))
                std::printf("KxXmlDataSrv::Shutdown failed(0x%x)\n", static_cast<unsigned>(hr));
            hr = pSrv->Stop(KxEmptyVariant());
            if (FAILED(hr))
                std::printf("KxXmlDataSrv::Stop failed(0x%x)\n", static_cast<unsigned>(hr));
        }
    }
    pSrv->Release();
    std::fflush(stdout);
    return -1;
}

int RunService(const char* program, const char* runtime)
{
    const ULONG userMode = (runtime && *runtime) ? 1 : 0;
    IKxServer* pSrv = nullptr;
    if (FAILED(CreateKxXmlDataSrv(&pSrv, userMode)) || !pSrv)
        return -1;

    CKxBstr sAddress("Address");
    CKxBstr sRuntime(runtime ? runtime : "");
    CKxBstr sProgram(program ? program : "");

    IKxServerMessageQueueFactory* pFactory = nullptr;
    IKxServerMessageQueue* pQueue = nullptr;
    HRESULT hr = CreateKxSystemObject(CLSID_KxServerMessageQueueFactory, IID_IKxServerMessageQueueFactory,
                                      reinterpret_cast<void**>(&pFactory));
    if (SUCCEEDED(hr) && pFactory) {
        hr = pFactory->CreateQueue(userMode, &pQueue);
        pFactory->Release();
    }
    if (FAILED(hr) || !pQueue || (userMode && FAILED(pQueue->SetParameter(sAddress, sRuntime))) ||
        FAILED(pQueue->Open(sProgram))) {
        if (pQueue)
            pQueue->Release();
        pSrv->Release();
        return -1;
    }

    while (!g_bStop) {
        ULONG msg = 0;
        hr = pQueue->GetMessage(&msg);
        HandlePendingSigterm();
        if (FAILED(hr) || g_bStop)
            break;
        HRESULT res;
        switch (msg) {
        case 1:
            res = pSrv->Init(KxEmptyVariant());
            if (SUCCEEDED(res)) {
                g_ipSrv = pSrv;
                g_serverState = 1;
            }
            break;
        case 2:
            res = pSrv->Start(KxEmptyVariant());
            if (SUCCEEDED(res))
                g_serverState = 2;
            break;
        case 3:
            res = pSrv->Shutdown(KxEmptyVariant());
            g_serverState = 1;
            break;
        case 4:
            res = pSrv->Stop(KxEmptyVariant());
            g_serverState = 0;
            break;
        case 5:
            g_bStop = 1;
            res = S_OK;
            break;
        default:
            continue;
        }
        pQueue->Reply(res);
    }
    HandlePendingSigterm();

    pQueue->Release();
    // The handler's work is done on this thread, so nothing else uses the object once it is released.
    g_ipSrv = nullptr;
    pSrv->Release();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The service module is constructed before main; naming it here keeps it linked into the program.
    (void)_Module.GetDisplayName();
    InstallSignalHandlers();
    if (argc < 1)
        return -1;
    const char* runtime = nullptr;
    if (argc == 2) {
        const char* arg = argv[1];
        if (arg[0] == '-') {
            if (arg[1] == 't')
                return RunTest();
            if (arg[1] == 'v')
                return RunVersion();
            if (strncasecmp(arg, "-umRuntime=", 11) == 0 && arg[11] != '\0')
                runtime = arg + 11;
            else
                return -1;
        }
    }
    return RunService(argv[0], runtime);
}
