// Process entry: signal handling, the command line and the three run modes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pthread.h>
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

// Empties the pipe; the number of signals it held.
unsigned TakeSigterms()
{
    unsigned n = 0;
    if (g_sigPipe[0] < 0)
        return n;
    char buf[64];
    ssize_t got;
    while ((got = read(g_sigPipe[0], buf, sizeof(buf))) > 0 || (got < 0 && errno == EINTR))
        n += got > 0 ? static_cast<unsigned>(got) : 0u;
    return n;
}

// Does what one SIGTERM asks for, on the main thread, in the order the handler would.
void RunSigterm()
{
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

void InstallSignalHandlers()
{
    // The alerts also go to standard error, where the console of test mode and a supervisor capturing the
    // output see them even when no system logger runs.
    openlog(nullptr, LOG_PERROR, LOG_USER);
    if (pipe(g_sigPipe) == 0) {
        for (int fd : g_sigPipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    } else {
        g_sigPipe[0] = g_sigPipe[1] = -1;
    }
    sigset_t handled;
    sigemptyset(&handled);
    for (const auto& entry : g_signals) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sa_sigaction = entry.second;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        if (sigaction(entry.first, &sa, nullptr) != 0)
            syslog(LOG_ALERT, "install signal handler for %d failed\n", entry.first);
        else
            sigaddset(&handled, entry.first);
    }
    // A launcher may hand the signal mask on blocked; a signal held back since the start is delivered here,
    // now that the handler is in place, instead of never.
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
}

int RunVersion()
{
    std::printf("FILEVERSION: %s\n", "3.0.24.1");
    std::printf("PRODUCTVERSION: %s\n", "3.1.0.0");
    return 0;
}

// Waits for one character of input (or its end) or a SIGTERM, whichever comes first; the number of signals
// taken from the pipe, 0 when input ended the wait.
unsigned WaitForInputOrSigterm()
{
    for (;;) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_sigPipe[0], POLLIN, 0}};
        int n = poll(fds, g_sigPipe[0] >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 && (fds[1].revents & POLLIN)) {
            if (unsigned taken = TakeSigterms())
                return taken;
        }
        if (n < 0 || fds[0].revents) {
            char c;
            while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
            }
            return 0;
        }
    }
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
            for (unsigned n = WaitForInputOrSigterm(); n > 0; --n)
                RunSigterm();
            hr = pSrv->Shutdown(KxEmptyVariant());
            if (FAILED(hr))
                std::printf("KxXmlDataSrv::Shutdown failed(0x%x)\n", static_cast<unsigned>(hr));
            hr = pSrv->Stop(KxEmptyVariant());
            if (FAILED(hr))
                std::printf("KxXmlDataSrv::Stop failed(0x%x)\n", static_cast<unsigned>(hr));
        }
    }
    for (unsigned n = TakeSigterms(); n > 0; --n)
        RunSigterm();
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

    // A SIGTERM ends the control loop wherever it finds the main thread: in the wait for a message, or while
    // a message is handled, in which case the loop does not ask for another one.
    unsigned sigterms = 0;
    while (!g_bStop) {
        sigterms += TakeSigterms();
        if (sigterms)
            break;
        ULONG msg = 0;
        hr = pQueue->GetMessage(&msg);
        sigterms += TakeSigterms();
        if (FAILED(hr) || g_bStop || sigterms)
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
    for (sigterms += TakeSigterms(); sigterms > 0; --sigterms)
        RunSigterm();

    pQueue->Release();
    // The handler's work is done on this thread, so nothing else uses the object once it is released.
    g_ipSrv = nullptr;
    pSrv->Release();
    for (sigterms = TakeSigterms(); sigterms > 0; --sigterms)
        RunSigterm();
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
