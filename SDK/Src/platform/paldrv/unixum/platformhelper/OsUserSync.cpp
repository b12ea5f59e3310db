// Critical sections, events, mutexes, semaphores and the waits on them.
#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "OsUserInternal.h"

namespace {

// Absolute deadline on the given clock, ms from now; false when the clock cannot be read.
bool DeadlineAfter(clockid_t clock, DWORD ms, struct timespec* ts)
{
    if (clock_gettime(clock, ts) != 0)
        return false;
    ts->tv_sec += ms / 1000;
    ts->tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    }
    return true;
}

// Condition variables run on the monotonic clock so that setting the system time cannot cut waits short.
bool InitMonotonicCond(pthread_cond_t* cond)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

_OsUserHandle* AsHandle(HANDLE h, int type)
{
    return OsUserHandleAs(h, type);
}

_OsEventHandle* AsEvent(HANDLE h) { return static_cast<_OsEventHandle*>(AsHandle(h, OS_USER_HANDLE_EVENT)); }
_MutexHandle* AsMutex(HANDLE h) { return static_cast<_MutexHandle*>(AsHandle(h, OS_USER_HANDLE_MUTEX)); }
_SemaHandle* AsSema(HANDLE h) { return static_cast<_SemaHandle*>(AsHandle(h, OS_USER_HANDLE_SEMA)); }

DWORD TimedResult(int rc)
{
    if (rc == 0)
        return WAIT_OBJECT_0;
    errno = rc;
    return rc == ETIMEDOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

} // namespace

bool KxMonotonicMs(uint64_t* pMs)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return false;
    *pMs = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return true;
}

// ---- Critical sections ----

void OsUserInitializeCriticalSection(LPCRITICAL_SECTION pcs)
{
    pthread_mutexattr_t attr;
    bool recursive = pthread_mutexattr_init(&attr) == 0;
    if (recursive) {
        recursive = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(&pcs->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!recursive)
        pthread_mutex_init(&pcs->mutex, nullptr);
}

void OsUserDeleteCriticalSection(LPCRITICAL_SECTION pcs) { pthread_mutex_destroy(&pcs->mutex); }
void OsUserEnterCriticalSection(LPCRITICAL_SECTION pcs) { pthread_mutex_lock(&pcs->mutex); }
void OsUserLeaveCriticalSection(LPCRITICAL_SECTION pcs) { pthread_mutex_unlock(&pcs->mutex); }
BOOL OsUserTryEnterCriticalSection(LPCRITICAL_SECTION pcs) { return pthread_mutex_trylock(&pcs->mutex) == 0; }

// ---- Misc ----

void OsUserSleep(DWORD dwMilliseconds)
{
    // usleep may refuse a second or more; nanosleep takes any length and resumes after signals.
    struct timespec req;
    req.tv_sec = dwMilliseconds / 1000;
    req.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

DWORD OsUserGetTickCount(void)
{
    uint64_t ms = 0;
    KxMonotonicMs(&ms);
    return static_cast<DWORD>(ms);
}

DWORD OsUserGetLastError(void) { return static_cast<DWORD>(errno); }

DWORD OsUserErrnoToWin32Error(int err)
{
    switch (err) {
    case ENOMEM: return ERROR_OUTOFMEMORY;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_DATA;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return static_cast<DWORD>(err) + 10000u;
    }
}

DWORD OsUserGetLastWin32Error(void) { return OsUserErrnoToWin32Error(errno); }

// ---- Registered waiters ----

_OsUserAddEvent::_OsUserAddEvent(DWORD count, _OsUserHandle* const* handles)
    : signalledEvent(nullptr), countEvents(count), phEvents(handles)
{
    pthread_mutex_init(&lock, nullptr);
    if (!InitMonotonicCond(&cond))
        pthread_cond_init(&cond, nullptr);
}

_OsUserAddEvent::~_OsUserAddEvent()
{
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&lock);
}

void _OsUserAddEvent::Mark(_OsUserHandle* h)
{
    pthread_mutex_lock(&lock);
    const bool bFirst = signalledEvent == nullptr;
    if (bFirst)
        signalledEvent = h;
    pthread_mutex_unlock(&lock);
    // Woken after the unlock, the waiter does not block on the mutex at once. It is still there: it unregisters
    // from every handle, under the waiter-list mutex the marking handle holds, before it goes away.
    if (bFirst)
        pthread_cond_broadcast(&cond);
}

_OsUserHandle* _OsUserAddEvent::Wait(const struct timespec* deadline)
{
    pthread_mutex_lock(&lock);
    while (signalledEvent == nullptr) {
        int rc = deadline ? pthread_cond_timedwait(&cond, &lock, deadline) : pthread_cond_wait(&cond, &lock);
        if (rc != 0 && rc != EINTR)
            break;
    }
    _OsUserHandle* h = signalledEvent;
    pthread_mutex_unlock(&lock);
    return h;
}

// ---- Handles ----

_OsUserHandle::_OsUserHandle(int t) : type(t) { pthread_mutex_init(&addEventsMutex, nullptr); }

_OsUserHandle::~_OsUserHandle() { pthread_mutex_destroy(&addEventsMutex); }

void _OsUserHandle::SignalAdditionalEventsCritical()
{
    pthread_mutex_lock(&addEventsMutex);
    for (_OsUserAddEvent* w : addEvents)
        w->Mark(this);
    pthread_mutex_unlock(&addEventsMutex);
}

void _OsUserHandle::AddAdditionalEvent(_OsUserAddEvent* pWaiter)
{
    Lock();
    pthread_mutex_lock(&addEventsMutex);
    addEvents.push_back(pWaiter);
    pthread_mutex_unlock(&addEventsMutex);
    if (IsEventSignalled())
        pWaiter->Mark(this);
    Unlock();
}

void _OsUserHandle::RemoveAdditionalEvent(_OsUserAddEvent* pWaiter)
{
    pthread_mutex_lock(&addEventsMutex);
    addEvents.erase(std::remove(addEvents.begin(), addEvents.end(), pWaiter), addEvents.end());
    pthread_mutex_unlock(&addEventsMutex);
}

// ---- Events ----

COsUserEvent::COsUserEvent(bool bManualReset, bool bInitialState)
    : m_bValid(false), m_bAutoReset(!bManualReset), m_bSignalled(bInitialState), m_nSetCount(0), m_nWaiters(0)
{
    pthread_mutex_init(&m_lock, nullptr);
    m_bValid = InitMonotonicCond(&m_cond);
}

COsUserEvent::~COsUserEvent()
{
    if (m_bValid)
        pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_lock);
}

bool COsUserEvent::Set()
{
    if (!m_bValid)
        return false;
    pthread_mutex_lock(&m_lock);
    m_bSignalled = true;
    ++m_nSetCount;
    SignalAdditionalEventsCritical();
    pthread_cond_broadcast(&m_cond);
    pthread_mutex_unlock(&m_lock);
    return true;
}

bool COsUserEvent::Reset()
{
    if (!m_bValid)
        return false;
    pthread_mutex_lock(&m_lock);
    m_bSignalled = false;
    pthread_mutex_unlock(&m_lock);
    return true;
}

DWORD COsUserEvent::Wait(DWORD dwMilliseconds)
{
    struct timespec deadline;
    bool timed = dwMilliseconds != INFINITE;
    if (timed && dwMilliseconds != 0 && !DeadlineAfter(CLOCK_MONOTONIC, dwMilliseconds, &deadline))
        return WAIT_FAILED;
    pthread_mutex_lock(&m_lock);
    DWORD result = WAIT_OBJECT_0;
    // A set releases every thread waiting at that moment, of an auto-reset event too, and also when another
    // waiter or a reset has cleared the flag again before this one woke up.
    const unsigned long startCount = m_nSetCount;
    while (!m_bSignalled && m_nSetCount == startCount) {
        if (timed && dwMilliseconds == 0) {
            result = WAIT_TIMEOUT;
            break;
        }
        if (!m_bValid) {
            errno = EINVAL;
            result = WAIT_FAILED;
            break;
        }
        ++m_nWaiters;
        int rc = timed ? pthread_cond_timedwait(&m_cond, &m_lock, &deadline) : pthread_cond_wait(&m_cond, &m_lock);
        --m_nWaiters;
        if (rc == ETIMEDOUT) {
            if (m_bSignalled || m_nSetCount != startCount)
                break;
            result = WAIT_TIMEOUT;
            break;
        }
        if (rc != 0 && rc != EINTR) {
            errno = rc;
            result = WAIT_FAILED;
            break;
        }
    }
    // Auto-reset: a satisfied wait clears the flag, so that a later wait needs a new set.
    if (result == WAIT_OBJECT_0 && m_bAutoReset)
        m_bSignalled = false;
    pthread_mutex_unlock(&m_lock);
    return result;
}

OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID lpAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpAttributes != nullptr || lpName != nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    _OsEventHandle* h = new (std::nothrow) _OsEventHandle(bManualReset != FALSE, bInitialState != FALSE);
    if (h == nullptr)
        errno = ENOMEM;
    return h;
}

BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE hEvent)
{
    _OsEventHandle* h = AsEvent(hEvent);
    if (h == nullptr)
        return FALSE;
    h->_event.Set();
    return TRUE;
}

BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE hEvent)
{
    _OsEventHandle* h = AsEvent(hEvent);
    if (h == nullptr)
        return FALSE;
    h->_event.Reset();
    return TRUE;
}

BOOL OsUserDeleteEvent(OS_USER_EVENT_HANDLE hEvent)
{
    _OsEventHandle* h = AsEvent(hEvent);
    if (h == nullptr)
        return FALSE;
    delete h;
    return TRUE;
}

DWORD OsUserWaitForEvent(OS_USER_EVENT_HANDLE hEvent, DWORD dwMilliseconds)
{
    _OsEventHandle* h = AsEvent(hEvent);
    if (h == nullptr)
        return WAIT_FAILED;
    return h->_event.Wait(dwMilliseconds);
}

DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE hEvent, DWORD dwMilliseconds, BOOL bAlertable)
{
    if (bAlertable)
        fprintf(stderr, "%s: bAlertable == TRUE not supported",
                "DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE, DWORD, BOOL)");
    return OsUserWaitForEvent(hEvent, dwMilliseconds);
}

// ---- Mutexes ----

OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID lpAttributes, BOOL bInitialOwner, LPCTSTR lpName)
{
    (void)lpAttributes;
    if (lpName != nullptr) {
        fprintf(stderr, "%s: named mutex not supported", "OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR)");
        errno = EINVAL;
        return nullptr;
    }
    _MutexHandle* h = new (std::nothrow) _MutexHandle();
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    int rc = pthread_mutex_init(&h->mutex, nullptr);
    if (rc != 0) {
        delete h;
        errno = rc;
        return nullptr;
    }
    if (bInitialOwner)
        pthread_mutex_lock(&h->mutex);
    return h;
}

DWORD OsUserWaitForMutex(OS_USER_MUTEX_HANDLE hMutex, DWORD dwMilliseconds)
{
    _MutexHandle* h = AsMutex(hMutex);
    if (h == nullptr)
        return WAIT_FAILED;
    if (dwMilliseconds == INFINITE)
        return TimedResult(pthread_mutex_lock(&h->mutex));
    if (dwMilliseconds == 0) {
        int rc = pthread_mutex_trylock(&h->mutex);
        return TimedResult(rc == EBUSY ? ETIMEDOUT : rc);
    }
    // pthread mutexes offer a timed lock on the real-time clock only.
    struct timespec deadline;
    if (!DeadlineAfter(CLOCK_REALTIME, dwMilliseconds, &deadline))
        return WAIT_FAILED;
    return TimedResult(pthread_mutex_timedlock(&h->mutex, &deadline));
}

BOOL OsUserReleaseMutex(OS_USER_MUTEX_HANDLE hMutex)
{
    _MutexHandle* h = AsMutex(hMutex);
    if (h == nullptr)
        return FALSE;
    int rc = pthread_mutex_unlock(&h->mutex);
    if (rc != 0) {
        errno = rc;
        return FALSE;
    }
    return TRUE;
}

BOOL OsUserDeleteMutex(OS_USER_MUTEX_HANDLE hMutex)
{
    _MutexHandle* h = AsMutex(hMutex);
    if (h == nullptr)
        return FALSE;
    int rc = pthread_mutex_destroy(&h->mutex);
    delete h;
    if (rc != 0) {
        errno = rc;
        return FALSE;
    }
    return TRUE;
}

// ---- Semaphores ----

OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID lpAttributes, LONG lInitialCount, LONG lMaximumCount, LPCTSTR lpName)
{
    (void)lpAttributes;
    (void)lMaximumCount;
    if (lpName != nullptr) {
        fprintf(stderr, "%s: named sema not supported", "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR)");
        errno = EINVAL;
        return nullptr;
    }
    if (lInitialCount < 0) {
        errno = EINVAL;
        return nullptr;
    }
    _SemaHandle* h = new (std::nothrow) _SemaHandle();
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (sem_init(&h->sema, 0, static_cast<unsigned>(lInitialCount)) != 0) {
        int err = errno;
        delete h;
        errno = err;
        return nullptr;
    }
    return h;
}

DWORD OsUserWaitForSema(OS_USER_SEMA_HANDLE hSema, DWORD dwMilliseconds)
{
    _SemaHandle* h = AsSema(hSema);
    if (h == nullptr)
        return WAIT_FAILED;
    int rc;
    if (dwMilliseconds == INFINITE) {
        while ((rc = sem_wait(&h->sema)) != 0 && errno == EINTR) {
        }
        return rc == 0 ? WAIT_OBJECT_0 : WAIT_FAILED;
    }
    if (dwMilliseconds == 0) {
        while ((rc = sem_trywait(&h->sema)) != 0 && errno == EINTR) {
        }
        if (rc == 0)
            return WAIT_OBJECT_0;
        if (errno == EAGAIN) {
            errno = ETIMEDOUT;
            return WAIT_TIMEOUT;
        }
        return WAIT_FAILED;
    }
    // POSIX semaphores offer a timed wait on the real-time clock only.
    struct timespec deadline;
    if (!DeadlineAfter(CLOCK_REALTIME, dwMilliseconds, &deadline))
        return WAIT_FAILED;
    while ((rc = sem_timedwait(&h->sema, &deadline)) != 0 && errno == EINTR) {
    }
    if (rc == 0)
        return WAIT_OBJECT_0;
    return errno == ETIMEDOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

DWORD OsUserWaitForSemaEx(OS_USER_SEMA_HANDLE hSema, DWORD dwMilliseconds, BOOL bAlertable)
{
    if (bAlertable)
        fprintf(stderr, "%s: bAlertable == TRUE not supported",
                "DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL)");
    return OsUserWaitForSema(hSema, dwMilliseconds);
}

BOOL OsUserReleaseSema(OS_USER_SEMA_HANDLE hSema, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    _SemaHandle* h = AsSema(hSema);
    if (h == nullptr)
        return FALSE;
    if (lpPreviousCount != nullptr)
        fprintf(stderr, "%s: lpPreviousCount != NULL not supported",
                "BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG)");
    BOOL ok = TRUE;
    for (LONG i = 0; i < lReleaseCount; ++i) {
        if (sem_post(&h->sema) != 0)
            ok = FALSE;
    }
    return ok;
}

BOOL OsUserDeleteSema(OS_USER_SEMA_HANDLE hSema)
{
    _SemaHandle* h = AsSema(hSema);
    if (h == nullptr)
        return FALSE;
    int rc = sem_destroy(&h->sema);
    int err = errno;
    delete h;
    if (rc != 0) {
        errno = err;
        return FALSE;
    }
    return TRUE;
}

// ---- Generic waits ----

DWORD OsUserWaitForSingleObject(OS_USER_HANDLE hHandle, DWORD dwMilliseconds)
{
    _OsUserHandle* h = AsHandle(hHandle, 0);
    if (h == nullptr)
        return WAIT_FAILED;
    switch (h->type) {
    case OS_USER_HANDLE_THREAD: return OsUserWaitForThread(hHandle, dwMilliseconds);
    case OS_USER_HANDLE_EVENT: return OsUserWaitForEvent(hHandle, dwMilliseconds);
    case OS_USER_HANDLE_MUTEX: return OsUserWaitForMutex(hHandle, dwMilliseconds);
    case OS_USER_HANDLE_SEMA: return OsUserWaitForSema(hHandle, dwMilliseconds);
    default: errno = EINVAL; return WAIT_FAILED;
    }
}

DWORD OsUserWaitForSingleObjectEx(OS_USER_HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    (void)bAlertable;
    return OsUserWaitForSingleObject(hHandle, dwMilliseconds);
}

namespace {

// Milliseconds left of a finite wait, 0 when it is over; INFINITE stays INFINITE.
DWORD Remaining(DWORD ms, uint64_t start)
{
    if (ms == INFINITE)
        return INFINITE;
    uint64_t now = start;
    KxMonotonicMs(&now);
    uint64_t elapsed = now - start;
    return elapsed >= ms ? 0 : static_cast<DWORD>(ms - elapsed);
}

} // namespace

DWORD OsUserWaitForMultipleObjects(DWORD nCount, const OS_USER_HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    // With no object a wait-any simply lasts its time-out. A wait for all of nothing without a time-out
    // would never return: it is refused instead.
    if ((nCount == 0 && bWaitAll && dwMilliseconds == INFINITE) || (nCount > 0 && lpHandles == nullptr)) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    std::vector<_OsUserHandle*> handles(nCount);
    bool allRegister = true;
    for (DWORD i = 0; i < nCount; ++i) {
        handles[i] = AsHandle(lpHandles[i], 0);
        // Files are accepted but are never signalled: they are polled like the objects that cannot register.
        if (handles[i] == nullptr || handles[i]->type < OS_USER_HANDLE_FILE || handles[i]->type > OS_USER_HANDLE_SEMA) {
            errno = EINVAL;
            return WAIT_FAILED;
        }
        if (!handles[i]->SupportsAdditionalEvents())
            allRegister = false;
    }

    uint64_t start = 0;
    if (dwMilliseconds != INFINITE && !KxMonotonicMs(&start))
        return WAIT_FAILED;

    if (!bWaitAll && allRegister) {
        for (;;) {
            for (DWORD i = 0; i < nCount; ++i) {
                if (OsUserWaitForSingleObject(lpHandles[i], 0) == WAIT_OBJECT_0)
                    return WAIT_OBJECT_0 + i;
            }
            DWORD left = Remaining(dwMilliseconds, start);
            if (left == 0) {
                errno = ETIMEDOUT;
                return WAIT_TIMEOUT;
            }
            struct timespec deadline;
            if (left != INFINITE && !DeadlineAfter(CLOCK_MONOTONIC, left, &deadline))
                return WAIT_FAILED;
            _OsUserAddEvent waiter(nCount, handles.data());
            for (_OsUserHandle* h : handles)
                h->AddAdditionalEvent(&waiter);
            _OsUserHandle* marked = waiter.Wait(left == INFINITE ? nullptr : &deadline);
            for (_OsUserHandle* h : handles)
                h->RemoveAdditionalEvent(&waiter);
            if (marked != nullptr) {
                // Take the marking object first so that it wins over one signalled later in the list.
                for (DWORD i = 0; i < nCount; ++i) {
                    if (handles[i] == marked && OsUserWaitForSingleObject(lpHandles[i], 0) == WAIT_OBJECT_0)
                        return WAIT_OBJECT_0 + i;
                }
            }
            // Someone else consumed the object, or the time ran out: poll once more and go round.
        }
    }

    // Objects that cannot mark a waiter (mutexes, semaphores, files), and wait-all, are polled every
    // millisecond. A poll that fails (always so for a file) counts as not signalled.
    std::vector<bool> received(nCount, false);
    DWORD receivedCount = 0;
    for (;;) {
        for (DWORD i = 0; i < nCount; ++i) {
            if (received[i] || OsUserWaitForSingleObject(lpHandles[i], 0) != WAIT_OBJECT_0)
                continue;
            if (!bWaitAll)
                return WAIT_OBJECT_0 + i;
            received[i] = true;
            ++receivedCount;
        }
        // All of no objects is never complete: such a wait ends with its time-out.
        if (bWaitAll && nCount > 0 && receivedCount == nCount)
            return WAIT_OBJECT_0;
        if (Remaining(dwMilliseconds, start) == 0) {
            errno = ETIMEDOUT;
            return WAIT_TIMEOUT;
        }
        OsUserSleep(1);
    }
}

BOOL OsUserCloseHandle(OS_USER_HANDLE hHandle)
{
    _OsUserHandle* h = AsHandle(hHandle, 0);
    if (h == nullptr)
        return FALSE;
    switch (h->type) {
    case OS_USER_HANDLE_FILE: return OsUserCloseFile(hHandle);
    case OS_USER_HANDLE_THREAD: return OsUserCloseThreadHandle(hHandle);
    case OS_USER_HANDLE_EVENT: return OsUserDeleteEvent(hHandle);
    case OS_USER_HANDLE_MUTEX: return OsUserDeleteMutex(hHandle);
    case OS_USER_HANDLE_SEMA: return OsUserDeleteSema(hHandle);
    default: errno = EINVAL; return FALSE;
    }
}
