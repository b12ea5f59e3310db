// Handle objects behind the Win32-style functions of OsUserTools.h and OsUserFile.h.
//
// Every waitable object derives from _OsUserHandle. Events and threads accept registered multiple-wait
// waiters (_OsUserAddEvent), which they mark and wake when they become signalled. Lock order: the object's
// own lock (Lock), then its waiter-list mutex, then a waiter's mutex.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>

#include <string>
#include <vector>

#include "OsUserFile.h"
#include "OsUserTools.h"

#define OS_USER_HANDLE_FILE 1
#define OS_USER_HANDLE_THREAD 2
#define OS_USER_HANDLE_EVENT 3
#define OS_USER_HANDLE_MUTEX 4
#define OS_USER_HANDLE_SEMA 5

class _OsUserHandle;

// A multiple wait in progress: the first registered handle to become signalled marks it.
struct _OsUserAddEvent {
    pthread_cond_t cond;             // monotonic clock
    _OsUserHandle* signalledEvent;   // null until a handle marks the waiter
    pthread_mutex_t lock;
    DWORD countEvents;
    _OsUserHandle* const* phEvents;

    _OsUserAddEvent(DWORD count, _OsUserHandle* const* handles);
    ~_OsUserAddEvent();
    // Marks the waiter with h unless it is already marked, and wakes it.
    void Mark(_OsUserHandle* h);
    // Waits until marked or the monotonic deadline (null: no limit) passes; the marking handle or null.
    _OsUserHandle* Wait(const struct timespec* deadline);
};

// Base of every handle; the defaults describe an object that cannot take registered waiters.
class _OsUserHandle {
public:
    explicit _OsUserHandle(int t);
    virtual ~_OsUserHandle();
    // True for objects that mark registered waiters when signalled (events and threads).
    virtual bool SupportsAdditionalEvents() { return false; }
    // The object's own lock guarding its signalled state; no-op by default.
    virtual void Lock() {}
    virtual void Unlock() {}
    // The signalled state, read under Lock; false by default.
    virtual bool IsEventSignalled() { return false; }
    // Marks and wakes every registered waiter; called with Lock held.
    virtual void SignalAdditionalEventsCritical();
    // Registers a waiter; an object already signalled marks it at once.
    virtual void AddAdditionalEvent(_OsUserAddEvent* pWaiter);
    // Unregisters a waiter.
    virtual void RemoveAdditionalEvent(_OsUserAddEvent* pWaiter);

    int type;
    std::vector<_OsUserAddEvent*> addEvents;
    pthread_mutex_t addEventsMutex;

    _OsUserHandle(const _OsUserHandle&) = delete;
    _OsUserHandle& operator=(const _OsUserHandle&) = delete;
};

// The handle as an object of class T and type (0: any type); null with errno EINVAL for a null or invalid handle
// or one of another type.
template <class T = _OsUserHandle>
inline T* OsUserHandleAs(HANDLE h, int type = 0)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE || (type != 0 && static_cast<_OsUserHandle*>(h)->type != type)) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<T*>(static_cast<_OsUserHandle*>(h));
}

// An event with a mutex and a monotonic-clock condition variable.
class COsUserEvent {
public:
    COsUserEvent(bool bManualReset, bool bInitialState);
    virtual ~COsUserEvent();
    // Hook run under m_lock when the event is set; nothing for a bare event.
    virtual void SignalAdditionalEventsCritical() {}
    // Signals and wakes every waiter; false when the condition variable could not be made.
    bool Set();
    // Clears the signalled state; false when the condition variable could not be made.
    bool Reset();
    // Waits until signalled (consuming an auto-reset event); WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    DWORD Wait(DWORD dwMilliseconds);

    pthread_mutex_t m_lock;
    pthread_cond_t m_cond;
    bool m_bValid;
    bool m_bAutoReset;
    bool m_bSignalled;
    // Counts sets, so that every thread waiting at a set is released even when the flag is cleared again
    // (by a reset or by the waiter that consumed an auto-reset event) before it wakes.
    unsigned long m_nSetCount;
    // Threads blocked in Wait on the condition variable (read under m_lock).
    unsigned m_nWaiters;

    COsUserEvent(const COsUserEvent&) = delete;
    COsUserEvent& operator=(const COsUserEvent&) = delete;
};

// The event embedded in a handle: a set also wakes the handle's registered waiters.
class COsUserEventInternal : public COsUserEvent {
public:
    COsUserEventInternal(_OsUserHandle* pHandle, bool bManualReset, bool bInitialState)
        : COsUserEvent(bManualReset, bInitialState), m_pHandle(pHandle)
    {
    }
    void SignalAdditionalEventsCritical() override { m_pHandle->SignalAdditionalEventsCritical(); }

    _OsUserHandle* m_pHandle;
};

class _OsEventHandle : public _OsUserHandle {
public:
    _OsEventHandle(bool bManualReset, bool bInitialState)
        : _OsUserHandle(OS_USER_HANDLE_EVENT), _event(this, bManualReset, bInitialState)
    {
    }
    bool SupportsAdditionalEvents() override { return true; }
    void Lock() override { pthread_mutex_lock(&_event.m_lock); }
    void Unlock() override { pthread_mutex_unlock(&_event.m_lock); }
    bool IsEventSignalled() override { return _event.m_bSignalled; }

    COsUserEventInternal _event;
};

class _MutexHandle : public _OsUserHandle {
public:
    _MutexHandle() : _OsUserHandle(OS_USER_HANDLE_MUTEX) {}
    pthread_mutex_t mutex;
};

class _SemaHandle : public _OsUserHandle {
public:
    _SemaHandle() : _OsUserHandle(OS_USER_HANDLE_SEMA) {}
    sem_t sema;
};

class _OsUserFileHandle : public _OsUserHandle {
public:
    _OsUserFileHandle() : _OsUserHandle(OS_USER_HANDLE_FILE), fd(-1), bLocked(false), device_ctx(nullptr) {}
    int fd;
    bool bLocked;
    void* device_ctx;
};

// A thread object; it lives until both the running thread and the handle holder have released it.
class COsThread : public _OsUserHandle {
public:
    COsThread(OS_USER_THREAD_START_ROUTINE pFunc, void* pUser, bool bSuspended);
    ~COsThread() override;
    bool SupportsAdditionalEvents() override { return true; }
    void Lock() override { pthread_mutex_lock(&m_event.m_lock); }
    void Unlock() override { pthread_mutex_unlock(&m_event.m_lock); }
    bool IsEventSignalled() override { return m_event.m_bSignalled; }
    // Starts the thread with the given stack size; 0 or the POSIX error.
    int Start(size_t stackSize);
    // Waits for the end and joins once; WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    DWORD Wait(DWORD dwMilliseconds);
    // Drops one reference; the last one deletes the object.
    void Release();
    // Detaches a thread not joined yet and drops the holder's reference.
    void CloseHandle();

    pthread_t m_hThread;
    _OsEventHandle* m_hEvent;   // start gate of a suspended thread, else null
    pthread_mutex_t m_lock;     // guards m_bJoin, m_bStarted and m_bClosed
    OS_USER_THREAD_START_ROUTINE m_pFunc;
    void* m_pUser;
    volatile LONG m_refCnt;
    volatile bool m_bThreadExit;
    COsUserEventInternal m_event;   // exit event, manual reset
    bool m_bJoin;
    bool m_bStarted;
    bool m_bClosed;
    unsigned int m_nExitCode;

private:
    static void* ThreadMain(void* p);
};

// Process-wide state of the child reaper.
class CWaitProcessHandler {
public:
    CWaitProcessHandler();
    void Block();
    void Unblock();
    void RemoveZombies();

    pthread_mutex_t m_mutex;
    LONG m_blockCnt;
    bool m_bRemoveZombies;
};

// The device path for a "\\.\NAME" file name (COMn is cuau(n-1)), lower-cased; empty when not a device name.
std::string KxDevicePath(const char* name);
// The stack size asked of pthreads for a requested size: 0 gives 256 KiB, small sizes are raised to the minimum.
size_t KxThreadStackSize(size_t requested);
// The zic source text for a custom zone named zoneName built from the record.
std::string KxFormatTimeZoneSource(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo, const char* zoneName);
// Writes that text to path (flushed to disk); true on success.
bool KxWriteTimeZoneSource(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo, const char* zoneName, const char* path);
// Milliseconds on the monotonic clock; false when the clock cannot be read.
bool KxMonotonicMs(uint64_t* pMs);
