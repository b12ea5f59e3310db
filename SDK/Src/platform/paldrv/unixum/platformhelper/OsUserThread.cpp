// Threads with handles: start gate, exit event, join on wait, detach on close.
#include <errno.h>
#include <limits.h>
#include <pthread.h>

#include <new>

#include "OsUserInternal.h"

namespace {

const size_t kDefaultStackSize = 0x40000;
const size_t kSmallestStackRequest = 2048;

COsThread* AsThread(HANDLE h)
{
    return OsUserHandleAs<COsThread>(h, OS_USER_HANDLE_THREAD);
}

} // namespace

size_t KxThreadStackSize(size_t requested)
{
    if (requested == 0)
        return kDefaultStackSize;
    return requested < kSmallestStackRequest + 1 ? kSmallestStackRequest : requested;
}

COsThread::COsThread(OS_USER_THREAD_START_ROUTINE pFunc, void* pUser, bool bSuspended)
    : _OsUserHandle(OS_USER_HANDLE_THREAD), m_hThread(), m_hEvent(nullptr), m_pFunc(pFunc), m_pUser(pUser),
      m_refCnt(1), m_bThreadExit(false), m_event(this, true, false), m_bJoin(false), m_bStarted(false),
      m_bClosed(false), m_nExitCode(0)
{
    pthread_mutex_init(&m_lock, nullptr);
    if (bSuspended)
        m_hEvent = new (std::nothrow) _OsEventHandle(true, false);
}

COsThread::~COsThread()
{
    delete m_hEvent;
    pthread_mutex_destroy(&m_lock);
}

void* COsThread::ThreadMain(void* p)
{
    COsThread* self = static_cast<COsThread*>(p);
    if (self->m_hEvent != nullptr)
        self->m_hEvent->_event.Wait(INFINITE);
    self->m_nExitCode = self->m_pFunc(self->m_pUser);
    pthread_mutex_lock(&self->m_event.m_lock);
    self->m_bThreadExit = true;
    pthread_mutex_unlock(&self->m_event.m_lock);
    // Setting the exit event also wakes the multiple waits registered with this handle.
    self->m_event.Set();
    self->Release();
    return nullptr;
}

int COsThread::Start(size_t stackSize)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    size_t size = KxThreadStackSize(stackSize);
    // The platform may demand more than the smallest size asked for.
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN))
        size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    InterlockedIncrement(&m_refCnt);
    m_bStarted = true;
    m_bJoin = true;
    rc = pthread_create(&m_hThread, &attr, &COsThread::ThreadMain, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        m_bStarted = false;
        m_bJoin = false;
        InterlockedDecrement(&m_refCnt);
    }
    return rc;
}

DWORD COsThread::Wait(DWORD dwMilliseconds)
{
    pthread_mutex_lock(&m_lock);
    bool usable = m_bStarted && !m_bClosed;
    pthread_mutex_unlock(&m_lock);
    if (!usable) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    DWORD rc = m_event.Wait(dwMilliseconds);
    if (rc != WAIT_OBJECT_0)
        return rc;
    pthread_mutex_lock(&m_lock);
    if (m_bJoin) {
        pthread_join(m_hThread, nullptr);
        m_bJoin = false;
    }
    pthread_mutex_unlock(&m_lock);
    return WAIT_OBJECT_0;
}

void COsThread::Release()
{
    if (InterlockedDecrement(&m_refCnt) == 0)
        delete this;
}

void COsThread::CloseHandle()
{
    pthread_mutex_lock(&m_lock);
    if (m_bJoin) {
        pthread_detach(m_hThread);
        m_bJoin = false;
    }
    m_bClosed = true;
    pthread_mutex_unlock(&m_lock);
    Release();
}

int OsUserCreateThreadCpuAffinityEx(size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart, PVOID pUser,
                                    int nPriority, int nCpu, OS_USER_THREAD_HANDLE* phThread,
                                    OS_USER_THREAD_ID* pThreadId, BOOL bSuspended)
{
    (void)nPriority;
    (void)nCpu;
    if (phThread != nullptr)
        *phThread = nullptr;
    if (pStart == nullptr)
        return EINVAL;
    COsThread* t = new (std::nothrow) COsThread(pStart, pUser, bSuspended != FALSE);
    if (t == nullptr)
        return ERROR_OUTOFMEMORY;
    if (bSuspended && t->m_hEvent == nullptr) {
        t->Release();
        return ERROR_OUTOFMEMORY;
    }
    int rc = t->Start(dwStackSize);
    if (rc != 0) {
        t->Release();
        return rc;
    }
    if (pThreadId != nullptr)
        *pThreadId = t->m_hThread;
    if (phThread != nullptr)
        *phThread = t;
    else
        t->CloseHandle();
    return 0;
}

int OsUserCreateThreadEx(size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart, PVOID pUser, int nPriority,
                         OS_USER_THREAD_HANDLE* phThread, OS_USER_THREAD_ID* pThreadId, BOOL bSuspended)
{
    return OsUserCreateThreadCpuAffinityEx(dwStackSize, pStart, pUser, nPriority, 0, phThread, pThreadId,
                                           bSuspended);
}

OS_USER_THREAD_HANDLE OsUserCreateThread(PVOID lpAttributes, size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart,
                                         PVOID pUser, DWORD dwCreationFlags, OS_USER_THREAD_ID* pThreadId)
{
    (void)lpAttributes;
    OS_USER_THREAD_HANDLE h = nullptr;
    int rc = OsUserCreateThreadEx(dwStackSize, pStart, pUser, 0, &h, pThreadId,
                                  (dwCreationFlags & CREATE_SUSPENDED) != 0);
    if (rc != 0) {
        errno = rc == ERROR_OUTOFMEMORY ? ENOMEM : rc;
        return nullptr;
    }
    return h;
}

DWORD OsUserThreadResume(OS_USER_THREAD_HANDLE hThread)
{
    COsThread* t = AsThread(hThread);
    if (t == nullptr)
        return EINVAL;
    if (t->m_hEvent != nullptr)
        t->m_hEvent->_event.Set();
    return 0;
}

DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE hThread, DWORD dwMilliseconds)
{
    COsThread* t = AsThread(hThread);
    if (t == nullptr)
        return WAIT_FAILED;
    return t->Wait(dwMilliseconds);
}

BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE hThread)
{
    COsThread* t = AsThread(hThread);
    if (t == nullptr)
        return FALSE;
    t->CloseHandle();
    return TRUE;
}

OS_USER_THREAD_ID OsUserGetCurrentThreadId(void) { return pthread_self(); }

BOOL OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID id)
{
    static const OS_USER_THREAD_ID zero = OS_USER_THREAD_ID();
    if (pthread_equal(id, zero))
        return FALSE;
    return pthread_equal(id, pthread_self()) ? TRUE : FALSE;
}

DWORD OsUserSetCurrentThreadPrio(int nPriority)
{
    (void)nPriority;
    return 0;
}
