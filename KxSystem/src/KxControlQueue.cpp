// The control queue through which a service process receives its lifecycle messages.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "KxBstr.h"
#include "KxFex.h"
#include "KxRefCounted.h"

namespace {

constexpr HRESULT kNoMoreMessages = static_cast<HRESULT>(0x80070103u);  // ERROR_NO_MORE_ITEMS
constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154u);

// SIGTERMs counted by a tap that runs in front of the process's own handler while a queue is open. The wait
// compares the count with the one taken at Open, so a signal that came at any moment before the wait began
// still ends it: a wait on the signal alone would miss one that arrived just before it.
std::atomic<unsigned> g_terms{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the tap runs in a signal handler");
struct sigaction g_chained;  // the process's handler, written before the tap is installed and not after
std::mutex g_tapLock;
int g_tapUsers = 0;
bool g_tapInstalled = false;

void TermTap(int sig, siginfo_t* info, void* ctx)
{
    g_terms.fetch_add(1);
    if (g_chained.sa_flags & SA_SIGINFO)
        g_chained.sa_sigaction(sig, info, ctx);
    else if (g_chained.sa_handler != SIG_DFL && g_chained.sa_handler != SIG_IGN)
        g_chained.sa_handler(sig);
}

// Puts the tap in front of the process's SIGTERM handler, once for all open queues. A process without a
// handler keeps the default action, which ends it anyway.
void AddTapUser()
{
    std::lock_guard<std::mutex> lock(g_tapLock);
    if (g_tapUsers++ > 0)
        return;
    struct sigaction cur;
    if (sigaction(SIGTERM, nullptr, &cur) != 0)
        return;
    if (!(cur.sa_flags & SA_SIGINFO) && (cur.sa_handler == SIG_DFL || cur.sa_handler == SIG_IGN))
        return;
    g_chained = cur;
    struct sigaction tap = cur;
    tap.sa_sigaction = TermTap;
    tap.sa_flags |= SA_SIGINFO;
    g_tapInstalled = sigaction(SIGTERM, &tap, nullptr) == 0;
}

// Gives the process its own handler back when the last queue goes, unless it has installed another since.
void RemoveTapUser()
{
    std::lock_guard<std::mutex> lock(g_tapLock);
    if (g_tapUsers == 0 || --g_tapUsers > 0 || !g_tapInstalled)
        return;
    g_tapInstalled = false;
    struct sigaction cur;
    if (sigaction(SIGTERM, nullptr, &cur) == 0 && (cur.sa_flags & SA_SIGINFO) && cur.sa_sigaction == TermTap)
        sigaction(SIGTERM, &g_chained, nullptr);
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

class CControlQueue : public IKxServerMessageQueue, public CRefCounted {
public:
    explicit CControlQueue(bool userMode) : m_userMode(userMode) {}
    ~CControlQueue() override
    {
        if (m_tapped)
            RemoveTapUser();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = riid == IID_IUnknown || riid == IID_IKxServerMessageQueue;
        return Answer(known ? static_cast<IKxServerMessageQueue*>(this) : nullptr, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT Open(BSTR sProgramPath) override
    {
        try {
            std::lock_guard<std::mutex> lock(m_m);
            m_program = sProgramPath ? std::string(sProgramPath, KxSysStringLen(sProgramPath)) : std::string();
            return LoadLocked();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT GetMessage(ULONG* pnMessage) override
    {
        if (!pnMessage)
            return E_POINTER;
        try {
            unsigned termsAtOpen;
            {
                std::lock_guard<std::mutex> lock(m_m);
                if (!m_loaded) {
                    HRESULT hr = LoadLocked();
                    if (FAILED(hr))
                        return hr;
                }
                // The system service sends nothing more once it has asked the process to end.
                if (g_terms.load() != m_termsAtOpen)
                    return E_ABORT;
                if (m_scripted) {
                    if (m_next >= m_script.size())
                        return kNoMoreMessages;
                    m_last = m_script[m_next++];
                    *pnMessage = m_last;
                    return S_OK;
                }
                if (m_next < 2) {
                    m_last = static_cast<ULONG>(++m_next);  // Init, then Start
                    *pnMessage = m_last;
                    return S_OK;
                }
                termsAtOpen = m_termsAtOpen;
            }
            // Nothing more comes from the system service; only a signal (SIGTERM, handled by the process) ends
            // the wait, and the caller's control loop then ends because this call fails. SIGTERM is held back
            // between the check and the wait, so one arriving in between is delivered inside sigsuspend.
            sigset_t term, old;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &term, &old);
            if (g_terms.load() == termsAtOpen)
                sigsuspend(&old);
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            return E_ABORT;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT Reply(HRESULT hrResult) override
    {
        std::lock_guard<std::mutex> lock(m_m);
        std::printf("control %u -> 0x%08x\n", static_cast<unsigned>(m_last), static_cast<unsigned>(hrResult));
        std::fflush(stdout);
        return S_OK;
    }

    HRESULT SetParameter(BSTR sName, BSTR sValue) override
    {
        if (!sName)
            return E_INVALIDARG;
        try {
            std::lock_guard<std::mutex> lock(m_m);
            m_params[std::string(sName, KxSysStringLen(sName))] =
                sValue ? std::string(sValue, KxSysStringLen(sValue)) : std::string();
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

private:
    // KX_CONTROL names a file of message numbers, one per line (decimal or 0x hex); blank lines and lines
    // starting with '#' are skipped. Without it the queue runs the default Init/Start sequence.
    HRESULT LoadLocked()
    {
        if (!m_tapped) {
            AddTapUser();
            m_tapped = true;
            m_termsAtOpen = g_terms.load();
        }
        m_loaded = true;
        m_script.clear();
        m_next = 0;
        const char* path = std::getenv("KX_CONTROL");
        m_scripted = path && *path;
        if (!m_scripted)
            return S_OK;
        std::ifstream in(path);
        if (!in) {
            std::fprintf(stderr, "KxSystem: cannot read control file %s: %s\n", path, std::strerror(errno));
            return static_cast<HRESULT>(0x80070002u);  // ERROR_FILE_NOT_FOUND
        }
        std::string line;
        unsigned lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            std::string t = Trim(line);
            if (t.empty() || t[0] == '#')
                continue;
            char* end = nullptr;
            errno = 0;
            unsigned long v = std::strtoul(t.c_str(), &end, 0);
            if (errno || *end || t[0] == '-' || v > 0xFFFFFFFFul) {
                std::fprintf(stderr, "KxSystem: control file %s line %u is not a message number\n", path, lineNo);
                m_script.clear();
                return E_INVALIDARG;
            }
            m_script.push_back(static_cast<ULONG>(v));
        }
        return S_OK;
    }

    std::mutex m_m;
    bool m_userMode;
    bool m_loaded = false;
    bool m_tapped = false;
    unsigned m_termsAtOpen = 0;  // the SIGTERM count when the queue was opened
    bool m_scripted = false;
    std::vector<ULONG> m_script;
    size_t m_next = 0;
    ULONG m_last = 0;
    std::string m_program;
    std::map<std::string, std::string> m_params;
};

class CControlQueueFactory : public IKxServerMessageQueueFactory, public CRefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = riid == IID_IUnknown || riid == IID_IKxServerMessageQueueFactory;
        return Answer(known ? static_cast<IKxServerMessageQueueFactory*>(this) : nullptr, ppv);
    }
    ULONG AddRef() override { return DoAddRef(); }
    ULONG Release() override { return DoRelease(); }

    HRESULT CreateQueue(ULONG bUserMode, IKxServerMessageQueue** ppQueue) override
    {
        if (!ppQueue)
            return E_POINTER;
        *ppQueue = nullptr;
        try {
            *ppQueue = new CControlQueue(bUserMode != 0);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
};

}  // namespace

KXSYSTEM_API HRESULT CreateKxSystemObject(REFCLSID clsid, REFIID iid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_KxServerMessageQueueFactory)
        return kClassNotRegistered;
    try {
        CControlQueueFactory* f = new CControlQueueFactory();
        HRESULT hr = f->QueryInterface(iid, ppv);
        f->Release();
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
