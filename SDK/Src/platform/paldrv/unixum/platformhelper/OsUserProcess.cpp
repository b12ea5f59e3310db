// Process launch, the child reaper and identifiers.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#if defined(__FreeBSD__)
#include <uuid.h>
#else
#include <uuid/uuid.h>
#endif

#include <string>

#include "OsUserInternal.h"

namespace {

const DWORD kLaunchOk = 0;
const DWORD kLaunchFailed = 1;
const DWORD kLaunchNotExecutable = 2;
const DWORD kLaunchForkFailed = 1168;

CWaitProcessHandler& Reaper()
{
    static CWaitProcessHandler handler;
    return handler;
}

// The program named by the first word of a command line must be an executable file.
bool ProgramIsExecutable(const char* commandLine)
{
    while (*commandLine == ' ' || *commandLine == '\t')
        ++commandLine;
    const char* end = commandLine;
    while (*end && *end != ' ' && *end != '\t')
        ++end;
    std::string program(commandLine, end);
    if (program.empty())
        return false;
    char resolved[PATH_MAX];
    if (realpath(program.c_str(), resolved) == nullptr)
        return false;
    struct stat st;
    return stat(resolved, &st) == 0 && S_ISREG(st.st_mode) && access(resolved, X_OK) == 0;
}

// Closes every descriptor from 3 up; runs in the child between fork and exec, so only system calls.
void CloseFromThree()
{
#if defined(__FreeBSD__)
    closefrom(3);
#else
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
#endif
    long maxFd = sysconf(_SC_OPEN_MAX);
    if (maxFd < 0 || maxFd > 65536)
        maxFd = 65536;
    for (long fd = 3; fd < maxFd; ++fd)
        close(static_cast<int>(fd));
#endif
}

uint64_t NowMs()
{
    uint64_t ms = 0;
    KxMonotonicMs(&ms);
    return ms;
}

DWORD Launch(const char* commandLine, const char* workingDir, LONG timeoutMs, LPDWORD pExitCode, pid_t* pPid)
{
    if (commandLine == nullptr || !ProgramIsExecutable(commandLine))
        return kLaunchNotExecutable;
    bool waitForChild = timeoutMs > 0;
    if (waitForChild)
        Reaper().Block();
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls are allowed.
    char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine),
                          nullptr};
    char* const envp[] = {nullptr};
    pid_t pid = fork();
    if (pid < 0) {
        if (waitForChild)
            Reaper().Unblock();
        return kLaunchForkFailed;
    }
    if (pid == 0) {
        CloseFromThree();
        if (workingDir != nullptr && *workingDir && chdir(workingDir) != 0)
            _exit(1);
        execve("/bin/sh", argv, envp);
        _exit(1);
    }
    if (pPid != nullptr)
        *pPid = pid;
    if (!waitForChild)
        return kLaunchOk;

    uint64_t start = NowMs();
    int status = 0;
    pid_t done = 0;
    for (;;) {
        done = waitpid(pid, &status, WNOHANG);
        if (done != 0 && !(done < 0 && errno == EINTR))
            break;
        if (NowMs() - start > static_cast<uint64_t>(timeoutMs))
            break;
        usleep(1000);
    }
    Reaper().Unblock();
    if (done == pid && WIFEXITED(status)) {
        if (pExitCode != nullptr)
            *pExitCode = static_cast<DWORD>(WEXITSTATUS(status));
        return kLaunchOk;
    }
    return kLaunchFailed;
}

} // namespace

// ---- Reaper ----

CWaitProcessHandler::CWaitProcessHandler() : m_blockCnt(0), m_bRemoveZombies(false)
{
    pthread_mutex_init(&m_mutex, nullptr);
}

void CWaitProcessHandler::Block()
{
    pthread_mutex_lock(&m_mutex);
    ++m_blockCnt;
    pthread_mutex_unlock(&m_mutex);
}

void CWaitProcessHandler::Unblock()
{
    pthread_mutex_lock(&m_mutex);
    if (m_blockCnt > 0)
        --m_blockCnt;
    bool reap = m_blockCnt == 0 && m_bRemoveZombies;
    if (reap)
        m_bRemoveZombies = false;
    pthread_mutex_unlock(&m_mutex);
    if (reap)
        RemoveZombies();
}

void CWaitProcessHandler::RemoveZombies()
{
    pthread_mutex_lock(&m_mutex);
    if (m_blockCnt > 0) {
        m_bRemoveZombies = true;
        pthread_mutex_unlock(&m_mutex);
        return;
    }
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    pthread_mutex_unlock(&m_mutex);
}

void OsUserRemoveProcessZombies(void) { Reaper().RemoveZombies(); }
void OsUserBlockRemoveProcessZombies(void) { Reaper().Block(); }
void OsUserUnblockRemoveProcessZombies(void) { Reaper().Unblock(); }

// ---- Processes ----

DWORD OsUserLaunchProcess(LPCSTR lpCommandLine, PVOID pUnused, LONG lTimeoutMs, LPDWORD pExitCode)
{
    (void)pUnused;
    return Launch(lpCommandLine, nullptr, lTimeoutMs, pExitCode, nullptr);
}

DWORD OsUserLaunchProcessEx(LPCSTR lpPath, LPCSTR lpWorkingDir, LPCSTR lpArguments, PVOID pUnused, LONG lTimeoutMs,
                            LPDWORD pExitCode)
{
    (void)pUnused;
    if (lpPath == nullptr)
        return kLaunchNotExecutable;
    std::string cmd = KxNormalizePath(lpPath);
    cmd += ' ';
    if (lpArguments != nullptr)
        cmd += lpArguments;
    return Launch(cmd.c_str(), lpWorkingDir, lTimeoutMs, pExitCode, nullptr);
}

DWORD OsUserCreateProcess(LPCSTR lpCommandLine, LPCSTR lpWorkingDir, POS_USER_PROC_INFO pInfo)
{
    if (pInfo == nullptr)
        return kLaunchNotExecutable;
    memset(pInfo, 0, sizeof(*pInfo));
    pid_t pid = 0;
    DWORD rc = Launch(lpCommandLine, lpWorkingDir, 0, nullptr, &pid);
    if (rc == kLaunchOk)
        pInfo->ProcessId = static_cast<DWORD>(pid);
    return rc;
}

DWORD OsUserTerminateProcess(POS_USER_PROC_INFO pInfo, DWORD dwExitCode)
{
    (void)dwExitCode;
    if (pInfo == nullptr || pInfo->ProcessId == 0)
        return kLaunchNotExecutable;
    pid_t pid = static_cast<pid_t>(pInfo->ProcessId);
    if (kill(pid, SIGTERM) != 0)
        return static_cast<DWORD>(errno);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

// ---- Identifiers ----

namespace {

#if !defined(__FreeBSD__)
// libuuid keeps the sixteen bytes in network order; the GUID keeps its first three fields as numbers.
void BytesToGuid(const uuid_t bytes, GUID* g)
{
    g->Data1 = (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
               (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
    g->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    memcpy(g->Data4, bytes + 8, 8);
}

void GuidToBytes(const GUID& g, uuid_t bytes)
{
    bytes[0] = static_cast<unsigned char>(g.Data1 >> 24);
    bytes[1] = static_cast<unsigned char>(g.Data1 >> 16);
    bytes[2] = static_cast<unsigned char>(g.Data1 >> 8);
    bytes[3] = static_cast<unsigned char>(g.Data1);
    bytes[4] = static_cast<unsigned char>(g.Data2 >> 8);
    bytes[5] = static_cast<unsigned char>(g.Data2);
    bytes[6] = static_cast<unsigned char>(g.Data3 >> 8);
    bytes[7] = static_cast<unsigned char>(g.Data3);
    memcpy(bytes + 8, g.Data4, 8);
}
#endif

} // namespace

HRESULT OsUserCoCreateGuid(GUID* pGuid)
{
    if (pGuid == nullptr)
        return E_FAIL;
#if defined(__FreeBSD__)
    static_assert(sizeof(uuid_t) == sizeof(GUID), "uuid and GUID layouts differ");
    uint32_t status = uuid_s_ok;
    uuid_t u;
    uuid_create(&u, &status);
    if (status != uuid_s_ok)
        return E_FAIL;
    memcpy(pGuid, &u, sizeof(GUID));
#else
    uuid_t u;
    uuid_generate(u);
    BytesToGuid(u, pGuid);
#endif
    return S_OK;
}

HRESULT OsCLSIDFromStringA(LPCSTR lpsz, CLSID* pClsid)
{
    if (lpsz == nullptr || pClsid == nullptr)
        return E_FAIL;
    std::string text;
    try {
        text = lpsz;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (!text.empty() && text[0] == '{') {
        text.erase(0, 1);
        if (!text.empty())
            text.pop_back();
    }
#if defined(__FreeBSD__)
    uint32_t status = uuid_s_ok;
    uuid_t u;
    uuid_from_string(text.c_str(), &u, &status);
    if (status != uuid_s_ok)
        return E_FAIL;
    memcpy(pClsid, &u, sizeof(GUID));
#else
    uuid_t u;
    if (uuid_parse(text.c_str(), u) != 0)
        return E_FAIL;
    BytesToGuid(u, pClsid);
#endif
    return S_OK;
}

HRESULT OsStringFromCLSIDA(REFCLSID clsid, LPSTR* lplpsz)
{
    if (lplpsz == nullptr)
        return E_FAIL;
    *lplpsz = nullptr;
#if defined(__FreeBSD__)
    uuid_t u;
    memcpy(&u, &clsid, sizeof(GUID));
    char* s = nullptr;
    uint32_t status = uuid_s_ok;
    uuid_to_string(&u, &s, &status);
    if (status != uuid_s_ok || s == nullptr)
        return E_FAIL;
    std::string text = s;
    free(s);
#else
    uuid_t u;
    GuidToBytes(clsid, u);
    char s[37];
    uuid_unparse_lower(u, s);
    std::string text = s;
#endif
    size_t len = text.size() + 3;
    char* out = static_cast<char*>(malloc(len));
    if (out == nullptr)
        return E_OUTOFMEMORY;
    snprintf(out, len, "{%s}", text.c_str());
    *lplpsz = out;
    return S_OK;
}
