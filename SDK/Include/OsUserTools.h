// Win32-style threads, synchronisation objects, waits, time, processes and identifiers over POSIX.
//
// Results follow the Win32 conventions: waits return WAIT_OBJECT_0 (+ index), WAIT_TIMEOUT or WAIT_FAILED;
// boolean functions return TRUE or FALSE and leave the reason in the thread's errno (OsUserGetLastError).
// Every handle below is a plain HANDLE, so handles of any kind may be mixed in OsUserWaitForMultipleObjects.
#pragma once

#include <pthread.h>
#include <time.h>

#include "platform/FreeBSD/KxWinTypes.h"

typedef HANDLE OS_USER_HANDLE;
typedef HANDLE OS_USER_EVENT_HANDLE;
typedef HANDLE OS_USER_MUTEX_HANDLE;
typedef HANDLE OS_USER_SEMA_HANDLE;
typedef HANDLE OS_USER_THREAD_HANDLE;
typedef pthread_t OS_USER_THREAD_ID;

// Start function of a thread: takes the user argument, returns the thread's exit code.
typedef unsigned int (*OS_USER_THREAD_START_ROUTINE)(void* pUser);

// A recursive lock owned by its user; initialise before use and delete after the last use.
typedef struct _OS_USER_CRITICAL_SECTION {
    pthread_mutex_t mutex;
} OS_USER_CRITICAL_SECTION, CRITICAL_SECTION, *LPCRITICAL_SECTION;

// ---- Critical sections ----

// Initialises a recursive lock (a default mutex if the recursive attribute cannot be set up).
void OsUserInitializeCriticalSection(LPCRITICAL_SECTION pcs);
// Destroys the lock; it must not be held.
void OsUserDeleteCriticalSection(LPCRITICAL_SECTION pcs);
// Takes the lock, waiting as long as needed; the owner may take it again.
void OsUserEnterCriticalSection(LPCRITICAL_SECTION pcs);
// Releases one level of the lock taken by the calling thread.
void OsUserLeaveCriticalSection(LPCRITICAL_SECTION pcs);
// TRUE when the lock was taken without waiting, FALSE when another thread holds it.
BOOL OsUserTryEnterCriticalSection(LPCRITICAL_SECTION pcs);

// ---- Threads ----

// Creates a thread (stack 0 = 256 KiB); CREATE_SUSPENDED in flags holds it at the start gate. Null on failure.
OS_USER_THREAD_HANDLE OsUserCreateThread(PVOID lpAttributes, size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart,
                                         PVOID pUser, DWORD dwCreationFlags, OS_USER_THREAD_ID* pThreadId);
// Creates a thread; priority is kept but has no effect. 0 on success, else the POSIX error (14 when out of memory).
int OsUserCreateThreadEx(size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart, PVOID pUser, int nPriority,
                         OS_USER_THREAD_HANDLE* phThread, OS_USER_THREAD_ID* pThreadId, BOOL bSuspended);
// As OsUserCreateThreadEx; the CPU number is kept but has no effect.
int OsUserCreateThreadCpuAffinityEx(size_t dwStackSize, OS_USER_THREAD_START_ROUTINE pStart, PVOID pUser,
                                    int nPriority, int nCpu, OS_USER_THREAD_HANDLE* phThread,
                                    OS_USER_THREAD_ID* pThreadId, BOOL bSuspended);
// Opens the start gate of a suspended thread (no effect otherwise). 0, or 22 for a bad handle.
DWORD OsUserThreadResume(OS_USER_THREAD_HANDLE hThread);
// Waits for the thread's end and joins it; WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for a bad handle.
DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE hThread, DWORD dwMilliseconds);
// Releases the caller's reference (detaching a thread not joined yet). FALSE with errno 22 for a bad handle.
BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE hThread);
// The calling thread's id.
OS_USER_THREAD_ID OsUserGetCurrentThreadId(void);
// TRUE when id is the calling thread; FALSE for a zero id.
BOOL OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID id);
// Accepted and ignored; 0.
DWORD OsUserSetCurrentThreadPrio(int nPriority);
// Sleeps for the given milliseconds.
void OsUserSleep(DWORD dwMilliseconds);
// Monotonic milliseconds as a 32-bit number that wraps.
DWORD OsUserGetTickCount(void);
// The thread's last error: errno.
DWORD OsUserGetLastError(void);
// errno as a Win32 error: ENOMEM 14, EACCES 5, EEXIST 183, EINVAL 13, ETIMEDOUT 1460, other errno + 10000.
DWORD OsUserGetLastWin32Error(void);
// Maps one errno value as OsUserGetLastWin32Error does.
DWORD OsUserErrnoToWin32Error(int err);

// ---- Events ----

// Creates an event; null (errno 22) when attributes or a name are given, or when out of memory.
OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID lpAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
// Signals the event and wakes its waiters. TRUE; FALSE with errno 22 for a bad handle.
BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE hEvent);
// Clears the signalled state. TRUE; FALSE with errno 22 for a bad handle.
BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE hEvent);
// Destroys the event. TRUE; FALSE for a null handle.
BOOL OsUserDeleteEvent(OS_USER_EVENT_HANDLE hEvent);
// Waits until signalled (an auto-reset event is consumed). WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD OsUserWaitForEvent(OS_USER_EVENT_HANDLE hEvent, DWORD dwMilliseconds);
// As OsUserWaitForEvent; an alertable wait is reported on standard error and done as a normal one.
DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE hEvent, DWORD dwMilliseconds, BOOL bAlertable);

// ---- Mutexes ----

// Creates a non-recursive mutex, owned at once when bInitialOwner; null for a name (message) or no memory.
OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID lpAttributes, BOOL bInitialOwner, LPCTSTR lpName);
// Takes the mutex. WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD OsUserWaitForMutex(OS_USER_MUTEX_HANDLE hMutex, DWORD dwMilliseconds);
// Releases the mutex; TRUE on success.
BOOL OsUserReleaseMutex(OS_USER_MUTEX_HANDLE hMutex);
// Destroys the mutex; TRUE on success, FALSE with errno 22 for a bad handle.
BOOL OsUserDeleteMutex(OS_USER_MUTEX_HANDLE hMutex);

// ---- Semaphores ----

// Creates a semaphore with the initial count (the maximum is ignored); null for a name (message) or failure.
OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID lpAttributes, LONG lInitialCount, LONG lMaximumCount, LPCTSTR lpName);
// Takes one count. WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD OsUserWaitForSema(OS_USER_SEMA_HANDLE hSema, DWORD dwMilliseconds);
// As OsUserWaitForSema; an alertable wait is reported on standard error and done as a normal one.
DWORD OsUserWaitForSemaEx(OS_USER_SEMA_HANDLE hSema, DWORD dwMilliseconds, BOOL bAlertable);
// Adds lReleaseCount (below 1: nothing, TRUE); TRUE when every post succeeded. A previous-count pointer is reported.
BOOL OsUserReleaseSema(OS_USER_SEMA_HANDLE hSema, LONG lReleaseCount, LPLONG lpPreviousCount);
// Destroys the semaphore; TRUE on success, FALSE with errno 22 for a bad handle.
BOOL OsUserDeleteSema(OS_USER_SEMA_HANDLE hSema);

// ---- Generic handle operations ----

// Waits on an event, thread, mutex or semaphore; other handles: errno 22 and WAIT_FAILED.
DWORD OsUserWaitForSingleObject(OS_USER_HANDLE hHandle, DWORD dwMilliseconds);
// As OsUserWaitForSingleObject; alertable is ignored.
DWORD OsUserWaitForSingleObjectEx(OS_USER_HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
// Waits for any (WAIT_OBJECT_0 + index of the first signalled) or all (WAIT_OBJECT_0) of the handles.
// Wait-all takes the objects one by one. WAIT_TIMEOUT; WAIT_FAILED with errno 22 for no handles or a bad one.
DWORD OsUserWaitForMultipleObjects(DWORD nCount, const OS_USER_HANDLE* lpHandles, BOOL bWaitAll,
                                   DWORD dwMilliseconds);
// Closes a file, releases a thread handle, or deletes an event, mutex or semaphore. FALSE with errno 22 otherwise.
BOOL OsUserCloseHandle(OS_USER_HANDLE hHandle);

// ---- Interlocked operations (sequentially consistent) ----

// Adds one; returns the new value.
inline LONG InterlockedIncrement(volatile LONG* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
// Subtracts one; returns the new value.
inline LONG InterlockedDecrement(volatile LONG* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
// Stores v; returns the old value.
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
// Stores v when the value equals cmp; returns the old value.
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG v, LONG cmp)
{
    __atomic_compare_exchange_n(p, &cmp, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return cmp;
}
// Stores the pointer v; returns the old pointer.
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
// Ors v in; returns the new value.
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return __atomic_or_fetch(p, v, __ATOMIC_SEQ_CST); }
// Ands v in; returns the new value.
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return __atomic_and_fetch(p, v, __ATOMIC_SEQ_CST); }

// ---- Time ----

// Win32 time-zone record; biases in minutes, UTC = local + bias.
typedef struct _OS_USER_TIME_ZONE_INFORMATIONA {
    LONG Bias;
    CHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    CHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} OS_USER_TIME_ZONE_INFORMATIONA, *POS_USER_TIME_ZONE_INFORMATIONA;

#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu

// UTC now with milliseconds; TRUE (FALSE for a null pointer).
BOOL OsUserGetSystemTime(LPSYSTEMTIME pst);
// Local now with milliseconds; TRUE (FALSE for a null pointer).
BOOL OsUserGetLocalTime(LPSYSTEMTIME pst);
// Sets the machine's clock from a UTC time; TRUE on success (needs privileges).
BOOL OsUserSetSystemTime(const SYSTEMTIME* pst);
// Sets the machine's clock from a local time; TRUE on success (needs privileges).
BOOL OsUserSetLocalTime(const SYSTEMTIME* pst);
// UTC fields to FILETIME; FALSE with errno 22 for null pointers or fields out of range.
BOOL OsUserSystemTimeToFileTime(const SYSTEMTIME* pst, LPFILETIME pft);
// FILETIME to fields, in local time when bLocal, else UTC; FALSE with errno 22 for null or unrepresentable times.
BOOL OsUserFileTimeToSystemTime(const FILETIME* pft, LPSYSTEMTIME pst, BOOL bLocal);
// FILETIME to local time fields.
BOOL OsUserFileTimeToSystemTime2(const FILETIME* pft, LPSYSTEMTIME pst);
// UTC fields to local time fields; FALSE for null pointers or fields out of range.
BOOL Systime2LocalTime(const SYSTEMTIME* pUtc, LPSYSTEMTIME pLocal);
// Seconds since 1970 (full 64-bit width) to FILETIME.
void Timet2FileTime(time_t t, LPFILETIME pft);
// A timespec since 1970 to FILETIME (100 ns resolution).
void Timespec2FileTime(const struct timespec* ts, LPFILETIME pft);
// FILETIME to a timespec since 1970 (negative before 1970).
void FileTime2Timespec(const FILETIME* pft, struct timespec* ts);
// Broken-down time to fields (year + 1900, month + 1); milliseconds 0.
void Tm2Systime(const struct tm* ptm, LPSYSTEMTIME pst);
// Fields to broken-down time (year - 1900, month - 1); tm_isdst -1.
void Systime2Tm(const SYSTEMTIME* pst, struct tm* ptm);
// Fills the record from the local zone's rules of this year and next; TIME_ZONE_ID_*, INVALID on failure.
DWORD OsUserGetTimeZoneInformation(POS_USER_TIME_ZONE_INFORMATIONA pInfo);
// Compiles a custom zone from the record with zic and makes it the machine's zone; TRUE on success.
BOOL OsUserSetTimeZoneInformation(const OS_USER_TIME_ZONE_INFORMATIONA* pInfo);

// ---- System information ----

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    uint64_t dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

#define PROCESSOR_ARCHITECTURE_AMD64 9

// Size 148, major and minor from the kernel release, service-pack text "Korvex/BSD"; FALSE for null.
BOOL OsUserGetVersionInfo(LPOSVERSIONINFOA pInfo);
// Processor count, active-processor mask, architecture 9 and page size; other fields 0.
void OsUserGetSystemInfo(LPSYSTEM_INFO pInfo);
// Packages x cores from the boot messages; false when the file is missing or has no such line.
bool SearchCoresInDmesgBoot(long& cores);

// ---- Processes ----

typedef struct _OS_USER_PROC_INFO {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD ProcessId;
    DWORD ThreadId;
} OS_USER_PROC_INFO, *POS_USER_PROC_INFO;

// Runs the command line with /bin/sh; with timeout > 0 waits for it: 0 and the exit code when it ended in time,
// 1 otherwise (the child is left running), 2 when the program is not executable, 1168 when fork fails.
DWORD OsUserLaunchProcess(LPCSTR lpCommandLine, PVOID pUnused, LONG lTimeoutMs, LPDWORD pExitCode);
// As OsUserLaunchProcess for a program path (normalised) plus arguments, run in the working directory if given.
DWORD OsUserLaunchProcessEx(LPCSTR lpPath, LPCSTR lpWorkingDir, LPCSTR lpArguments, PVOID pUnused, LONG lTimeoutMs,
                            LPDWORD pExitCode);
// Starts the command without waiting and stores its process id; 2 for a null info, else as OsUserLaunchProcess.
DWORD OsUserCreateProcess(LPCSTR lpCommandLine, LPCSTR lpWorkingDir, POS_USER_PROC_INFO pInfo);
// Sends SIGTERM and waits for the process; 0 on success, 2 for a null info, errno when kill fails.
DWORD OsUserTerminateProcess(POS_USER_PROC_INFO pInfo, DWORD dwExitCode);
// Reaps finished children unless reaping is blocked (then it is done when the block ends).
void OsUserRemoveProcessZombies(void);
// Holds reaping back (counted).
void OsUserBlockRemoveProcessZombies(void);
// Ends one hold; the last one reaps what was requested meanwhile.
void OsUserUnblockRemoveProcessZombies(void);

// ---- Identifiers ----

// A new random identifier; S_OK or E_FAIL.
HRESULT OsUserCoCreateGuid(GUID* pGuid);
// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces; S_OK, E_FAIL or E_OUTOFMEMORY.
HRESULT OsCLSIDFromStringA(LPCSTR lpsz, CLSID* pClsid);
// The identifier as "{...}" in lower case, in a malloc'd string the caller frees; S_OK or E_FAIL/E_OUTOFMEMORY.
HRESULT OsStringFromCLSIDA(REFCLSID clsid, LPSTR* lplpsz);
