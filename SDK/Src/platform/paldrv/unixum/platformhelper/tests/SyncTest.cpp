// Events, mutexes, semaphores, threads, waits, critical sections and interlocked operations.
#include <errno.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "OsUserInternal.h"
#include "OsUserTools.h"

namespace {

const DWORD kSafetyMs = 20000;

uint64_t NowMs()
{
    uint64_t ms = 0;
    EXPECT_TRUE(KxMonotonicMs(&ms));
    return ms;
}

// Holds a mutex in another thread until released, so that the test thread can see it taken.
class MutexHolder {
public:
    explicit MutexHolder(HANDLE mutex) : m_mutex(mutex)
    {
        m_release = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
        HANDLE taken = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread([this, taken] {
            EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m_mutex, INFINITE));
            OsUserSetEvent(taken);
            OsUserWaitForEvent(m_release, INFINITE);
            OsUserReleaseMutex(m_mutex);
        });
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEvent(taken, kSafetyMs));
        OsUserDeleteEvent(taken);
    }
    ~MutexHolder()
    {
        OsUserSetEvent(m_release);
        m_thread.join();
        OsUserDeleteEvent(m_release);
    }

private:
    HANDLE m_mutex;
    HANDLE m_release;
    std::thread m_thread;
};

TEST(KxPlatformWait, FiniteWaitTimesOutNoEarlierThanAsked)
{
    struct Case {
        const char* name;
        std::function<HANDLE()> make;
    };
    std::vector<Case> cases = {
        {"manual event", [] { return OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr); }},
        {"auto event", [] { return OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr); }},
        {"empty semaphore", [] { return OsUserCreateSema(nullptr, 0, 10, nullptr); }},
    };
    for (DWORD ms : {1u, 30u, 120u}) {
        for (const Case& c : cases) {
            HANDLE h = c.make();
            ASSERT_NE(nullptr, h) << c.name;
            uint64_t start = NowMs();
            errno = 0;
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSingleObject(h, ms)) << c.name;
            EXPECT_GE(NowMs() - start, ms) << c.name << " " << ms;
            EXPECT_TRUE(OsUserCloseHandle(h)) << c.name;
        }
        HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
        {
            MutexHolder holder(mutex);
            uint64_t start = NowMs();
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSingleObject(mutex, ms));
            EXPECT_GE(NowMs() - start, ms);
        }
        EXPECT_TRUE(OsUserCloseHandle(mutex));
    }
}

TEST(KxPlatformWait, ZeroTimeoutAndSignalledObjects)
{
    HANDLE ev = OsUserCreateEvent(nullptr, TRUE, TRUE, nullptr);
    HANDLE sema = OsUserCreateSema(nullptr, 1, 1, nullptr);
    HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(ev, 0));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(ev, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(sema, INFINITE));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSingleObject(sema, 0));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(mutex, 0));
    EXPECT_TRUE(OsUserReleaseMutex(mutex));
    EXPECT_TRUE(OsUserCloseHandle(ev));
    EXPECT_TRUE(OsUserCloseHandle(sema));
    EXPECT_TRUE(OsUserCloseHandle(mutex));
}

TEST(KxPlatformWait, BadHandlesFailWithEinval)
{
    _OsUserFileHandle file;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&file)}) {
        errno = 0;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForSingleObject(h, 0));
        EXPECT_EQ(EINVAL, errno);
    }
    errno = 0;
    EXPECT_FALSE(OsUserCloseHandle(nullptr));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_FALSE(OsUserSetEvent(&file));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_FALSE(OsUserDeleteEvent(nullptr));
}

TEST(KxPlatformEvent, ManualResetStaysSignalledUntilReset)
{
    HANDLE ev = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, ev);
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0));
    EXPECT_TRUE(OsUserSetEvent(ev));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEvent(ev, 0));
    EXPECT_TRUE(OsUserResetEvent(ev));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0));
    EXPECT_TRUE(OsUserDeleteEvent(ev));
}

TEST(KxPlatformEvent, AutoResetSatisfiesExactlyOneWait)
{
    HANDLE ev = OsUserCreateEvent(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, ev);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEvent(ev, 0));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0));
    EXPECT_TRUE(OsUserSetEvent(ev));
    EXPECT_TRUE(OsUserSetEvent(ev));   // sets do not add up
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEventEx(ev, 10, FALSE));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0));
    EXPECT_TRUE(OsUserCloseHandle(ev));
}

// Returns once count threads are blocked in a wait on the event (or the safety time has passed).
void WaitUntilWaiting(HANDLE ev, unsigned count)
{
    COsUserEvent& e = static_cast<_OsEventHandle*>(ev)->_event;
    const uint64_t start = NowMs();
    for (;;) {
        pthread_mutex_lock(&e.m_lock);
        const unsigned waiting = e.m_nWaiters;
        pthread_mutex_unlock(&e.m_lock);
        if (waiting >= count)
            return;
        ASSERT_LT(NowMs() - start, kSafetyMs) << waiting << " of " << count << " threads waiting";
        std::this_thread::yield();
    }
}

TEST(KxPlatformEvent, SetReleasesEveryThreadAlreadyWaiting)
{
    const struct {
        BOOL manual;
        bool resetAtOnce;
        DWORD laterWait; // a wait started after all were released
    } rows[] = {
        {FALSE, false, WAIT_TIMEOUT}, // the set's waiters consumed the auto-reset event
        {FALSE, true, WAIT_TIMEOUT},
        {TRUE, false, WAIT_OBJECT_0},
        {TRUE, true, WAIT_TIMEOUT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.manual ? "manual" : "auto") + (row.resetAtOnce ? ", reset at once" : ""));
        HANDLE ev = OsUserCreateEvent(nullptr, row.manual, FALSE, nullptr);
        std::atomic<int> released(0);
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                if (OsUserWaitForEvent(ev, kSafetyMs) == WAIT_OBJECT_0)
                    ++released;
            });
        }
        WaitUntilWaiting(ev, 3);
        EXPECT_TRUE(OsUserSetEvent(ev));
        if (row.resetAtOnce) {
            EXPECT_TRUE(OsUserResetEvent(ev));
        }
        for (std::thread& t : waiters)
            t.join();
        EXPECT_EQ(3, released.load());
        EXPECT_EQ(row.laterWait, OsUserWaitForEvent(ev, 0));
        EXPECT_TRUE(OsUserDeleteEvent(ev));
    }
}

TEST(KxPlatformEvent, CreationRefusesNamesAndAttributes)
{
    SECURITY_ATTRIBUTES sa = {};
    errno = 0;
    EXPECT_EQ(nullptr, OsUserCreateEvent(nullptr, TRUE, FALSE, "name"));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, OsUserCreateEvent(&sa, TRUE, FALSE, nullptr));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, OsUserCreateMutex(nullptr, FALSE, "m"));
    EXPECT_EQ(nullptr, OsUserCreateSema(nullptr, 0, 1, "s"));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR): named mutex not supported"
              "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR): named sema not supported",
              err);
}

TEST(KxPlatformMutex, InitialOwnerHoldsItAgainstOtherThreads)
{
    HANDLE mutex = OsUserCreateMutex(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, mutex);
    DWORD other = 0;
    std::thread([&] { other = OsUserWaitForMutex(mutex, 0); }).join();
    EXPECT_EQ(WAIT_TIMEOUT, other);
    EXPECT_TRUE(OsUserReleaseMutex(mutex));
    std::thread([&] {
        other = OsUserWaitForMutex(mutex, 0);
        OsUserReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(WAIT_OBJECT_0, other);
    EXPECT_TRUE(OsUserDeleteMutex(mutex));
}

TEST(KxPlatformSema, ReleaseAddsCountTimes)
{
    HANDLE sema = OsUserCreateSema(nullptr, 0, 5, nullptr);
    ASSERT_NE(nullptr, sema);
    EXPECT_TRUE(OsUserReleaseSema(sema, 0, nullptr));
    EXPECT_TRUE(OsUserReleaseSema(sema, -2, nullptr));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(sema, 0));
    EXPECT_TRUE(OsUserReleaseSema(sema, 3, nullptr));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSemaEx(sema, 0, FALSE)) << i;
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(sema, 0));

    LONG previous = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(OsUserReleaseSema(sema, 1, &previous));
    EXPECT_EQ("BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG): lpPreviousCount != NULL not supported",
              ::testing::internal::GetCapturedStderr());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSemaEx(sema, 0, TRUE));
    EXPECT_EQ("DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported",
              ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(OsUserDeleteSema(sema));
}

TEST(KxPlatformMultiWait, AnyReturnsFirstSignalledIndex)
{
    struct Case {
        bool set0, set1;
        DWORD expected;
    };
    const Case cases[] = {
        {false, true, WAIT_OBJECT_0 + 1},
        {true, false, WAIT_OBJECT_0},
        {true, true, WAIT_OBJECT_0},
        {false, false, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        HANDLE h[2] = {OsUserCreateEvent(nullptr, FALSE, c.set0, nullptr),
                       OsUserCreateEvent(nullptr, TRUE, c.set1, nullptr)};
        EXPECT_EQ(c.expected, OsUserWaitForMultipleObjects(2, h, FALSE, c.expected == WAIT_TIMEOUT ? 20 : INFINITE))
            << c.set0 << c.set1;
        if (c.expected == WAIT_OBJECT_0) {
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(h[0], 0)) << "auto-reset event not consumed";
        }
        OsUserCloseHandle(h[0]);
        OsUserCloseHandle(h[1]);
    }
}

TEST(KxPlatformMultiWait, FiniteWaitTimesOutNoEarlierThanAsked)
{
    HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    HANDLE e1 = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE e2 = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE set = OsUserCreateEvent(nullptr, TRUE, TRUE, nullptr);
    _OsUserFileHandle file;
    auto* holder = new MutexHolder(mutex);
    const HANDLE registered[] = {e1, e2};
    const HANDLE polled[] = {mutex, e1};
    const HANDLE fileAndEvent[] = {&file, e1};
    const HANDLE fileAndSetEvent[] = {&file, set};
    struct Case {
        const char* name;
        DWORD count;
        const HANDLE* handles;
        BOOL all;
    };
    const Case cases[] = {
        {"events, any", 2, registered, FALSE},
        {"events, all", 2, registered, TRUE},
        {"mutex and event, any", 2, polled, FALSE},
        {"mutex and event, all", 2, polled, TRUE},
        {"no object, any", 0, nullptr, FALSE},
        {"no object, all", 0, nullptr, TRUE},
        {"file and event, any", 2, fileAndEvent, FALSE}, // a file is never signalled
        {"file and set event, all", 2, fileAndSetEvent, TRUE},
    };
    for (DWORD ms : {1u, 40u}) {
        for (const Case& c : cases) {
            uint64_t start = NowMs();
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(c.count, c.handles, c.all, ms)) << c.name;
            EXPECT_GE(NowMs() - start, ms) << c.name;
        }
    }
    delete holder;
    OsUserCloseHandle(e1);
    OsUserCloseHandle(e2);
    OsUserCloseHandle(set);
    OsUserCloseHandle(mutex);
}

TEST(KxPlatformMultiWait, EventSetLaterWakesRegisteredAndPolledWaits)
{
    HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    auto* holder = new MutexHolder(mutex);
    _OsUserFileHandle file;
    for (const char* first : {"event", "held mutex", "file"}) {
        HANDLE stop = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
        HANDLE ev = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
        HANDLE h[2] = {first[0] == 'e' ? stop : first[0] == 'h' ? mutex : static_cast<HANDLE>(&file), ev};
        std::thread setter([&] { OsUserSetEvent(ev); });
        EXPECT_EQ(WAIT_OBJECT_0 + 1, OsUserWaitForMultipleObjects(2, h, FALSE, kSafetyMs)) << first;
        setter.join();
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0)) << "the wait consumes the auto-reset event";
        OsUserCloseHandle(stop);
        OsUserCloseHandle(ev);
    }
    delete holder;
    OsUserCloseHandle(mutex);
}

TEST(KxPlatformMultiWait, WaitAllTakesEveryObject)
{
    HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr);
    HANDLE sema = OsUserCreateSema(nullptr, 1, 1, nullptr);
    HANDLE ev = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE h[3] = {mutex, sema, ev};
    std::thread setter([&] { OsUserSetEvent(ev); });
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(3, h, TRUE, kSafetyMs));
    setter.join();
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(sema, 0));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(ev, 0));
    DWORD other = 0;
    std::thread([&] { other = OsUserWaitForMutex(mutex, 0); }).join();
    EXPECT_EQ(WAIT_TIMEOUT, other) << "the mutex is owned by the waiting thread";
    EXPECT_TRUE(OsUserReleaseMutex(mutex));
    for (HANDLE x : h)
        EXPECT_TRUE(OsUserCloseHandle(x));
}

TEST(KxPlatformMultiWait, RefusesBadHandleListsAndAnEndlessWaitForNothing)
{
    HANDLE ev = OsUserCreateEvent(nullptr, TRUE, TRUE, nullptr);
    _OsUserHandle unknown(7);
    HANDLE withNull[2] = {ev, nullptr};
    HANDLE withUnknown[2] = {ev, &unknown};
    struct Case {
        DWORD count;
        const HANDLE* handles;
        BOOL all;
    };
    const Case cases[] = {
        {0, nullptr, TRUE}, {1, nullptr, FALSE}, {2, withNull, FALSE}, {2, withUnknown, TRUE},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(c.count, c.handles, c.all, INFINITE)) << c.count;
        EXPECT_EQ(EINVAL, errno);
    }
    OsUserCloseHandle(ev);
}

unsigned int WaitForGo(void* p)
{
    HANDLE go = p;
    return OsUserWaitForEvent(go, kSafetyMs) == WAIT_OBJECT_0 ? 7 : 1;
}

TEST(KxPlatformThread, ExitWakesMultipleWaitAndJoins)
{
    HANDLE go = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    OS_USER_THREAD_HANDLE th = nullptr;
    OS_USER_THREAD_ID id;
    ASSERT_EQ(0, OsUserCreateThreadEx(0, &WaitForGo, go, 2, &th, &id, FALSE));
    ASSERT_NE(nullptr, th);
    EXPECT_FALSE(OsUserIsCurrentThreadEqual(id));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSingleObject(th, 0));
    HANDLE h[2] = {stop, th};
    std::thread setter([&] { OsUserSetEvent(go); });
    EXPECT_EQ(WAIT_OBJECT_0 + 1, OsUserWaitForMultipleObjects(2, h, FALSE, kSafetyMs));
    setter.join();
    EXPECT_EQ(7u, static_cast<COsThread*>(th)->m_nExitCode);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(th, 0)) << "a finished thread stays signalled";
    EXPECT_TRUE(OsUserCloseHandle(th));
    OsUserCloseHandle(go);
    OsUserCloseHandle(stop);
}

unsigned int SetFlag(void* p)
{
    static_cast<std::atomic<int>*>(p)->store(1);
    return 0;
}

TEST(KxPlatformThread, SuspendedThreadWaitsForResume)
{
    std::atomic<int> ran(0);
    OS_USER_THREAD_ID id;
    OS_USER_THREAD_HANDLE th = OsUserCreateThread(nullptr, 100, &SetFlag, &ran, CREATE_SUSPENDED, &id);
    ASSERT_NE(nullptr, th);
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(th, 20));
    EXPECT_EQ(0, ran.load());
    EXPECT_EQ(0u, OsUserThreadResume(th));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(th, kSafetyMs));
    EXPECT_EQ(1, ran.load());
    EXPECT_TRUE(OsUserCloseThreadHandle(th));
}

TEST(KxPlatformThread, ClosingBeforeTheEndDetaches)
{
    HANDLE go = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    struct Ctx {
        HANDLE go, done;
    } ctx = {go, done};
    OS_USER_THREAD_HANDLE th = nullptr;
    ASSERT_EQ(0, OsUserCreateThreadEx(
                     0,
                     [](void* p) -> unsigned int {
                         Ctx* c = static_cast<Ctx*>(p);
                         OsUserWaitForEvent(c->go, kSafetyMs);
                         OsUserSetEvent(c->done);
                         return 0;
                     },
                     &ctx, 0, &th, nullptr, FALSE));
    EXPECT_TRUE(OsUserCloseThreadHandle(th));
    OsUserSetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEvent(done, kSafetyMs));
    OsUserCloseHandle(go);
    OsUserCloseHandle(done);
}

TEST(KxPlatformThread, StackSizeRequests)
{
    const struct {
        size_t in, out;
    } cases[] = {{0, 0x40000}, {1, 2048}, {100, 2048}, {2048, 2048}, {2049, 2049}, {1 << 20, 1 << 20}};
    for (const auto& c : cases)
        EXPECT_EQ(c.out, KxThreadStackSize(c.in)) << c.in;
    EXPECT_EQ(EINVAL, OsUserCreateThreadEx(0, nullptr, nullptr, 0, nullptr, nullptr, FALSE));
    EXPECT_TRUE(OsUserIsCurrentThreadEqual(OsUserGetCurrentThreadId()));
    EXPECT_FALSE(OsUserIsCurrentThreadEqual(OS_USER_THREAD_ID()));
}

TEST(KxPlatformCriticalSection, RecursiveAndExclusive)
{
    CRITICAL_SECTION cs;
    OsUserInitializeCriticalSection(&cs);
    OsUserEnterCriticalSection(&cs);
    EXPECT_TRUE(OsUserTryEnterCriticalSection(&cs));
    BOOL other = TRUE;
    std::thread([&] { other = OsUserTryEnterCriticalSection(&cs); }).join();
    EXPECT_FALSE(other);
    OsUserLeaveCriticalSection(&cs);
    std::thread([&] { other = OsUserTryEnterCriticalSection(&cs); }).join();
    EXPECT_FALSE(other) << "still held once";
    OsUserLeaveCriticalSection(&cs);
    std::thread([&] {
        other = OsUserTryEnterCriticalSection(&cs);
        if (other)
            OsUserLeaveCriticalSection(&cs);
    }).join();
    EXPECT_TRUE(other);

    long counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                OsUserEnterCriticalSection(&cs);
                ++counter;
                OsUserLeaveCriticalSection(&cs);
            }
        });
    }
    for (std::thread& t : workers)
        t.join();
    EXPECT_EQ(80000, counter);
    OsUserDeleteCriticalSection(&cs);
}

TEST(KxPlatformInterlocked, ResultsAndAtomicity)
{
    volatile LONG v = 5;
    EXPECT_EQ(6, InterlockedIncrement(&v));
    EXPECT_EQ(5, InterlockedDecrement(&v));
    EXPECT_EQ(5, InterlockedExchange(&v, 9));
    EXPECT_EQ(9, v);
    EXPECT_EQ(9, InterlockedCompareExchange(&v, 1, 8));
    EXPECT_EQ(9, v) << "no store when the comparand differs";
    EXPECT_EQ(9, InterlockedCompareExchange(&v, 1, 9));
    EXPECT_EQ(1, v);
    EXPECT_EQ(0x7, InterlockedOr(&v, 0x6));
    EXPECT_EQ(0x2, InterlockedAnd(&v, 0x2));
    int a = 0, b = 0;
    PVOID volatile p = &a;
    EXPECT_EQ(&a, InterlockedExchangePointer(&p, &b));
    EXPECT_EQ(&b, p);

    volatile LONG counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 50000; ++i)
                InterlockedIncrement(&counter);
        });
    for (std::thread& t : workers)
        t.join();
    EXPECT_EQ(200000, counter);
}

TEST(KxPlatformErrors, Win32ErrorMapping)
{
    const struct {
        int err;
        DWORD win32;
    } cases[] = {{ENOMEM, 14}, {EACCES, 5}, {EEXIST, 183}, {EINVAL, 13}, {ETIMEDOUT, 1460}, {ENOENT, 10002}, {0, 10000}};
    for (const auto& c : cases) {
        errno = c.err;
        EXPECT_EQ(static_cast<DWORD>(c.err), OsUserGetLastError());
        EXPECT_EQ(c.win32, OsUserGetLastWin32Error()) << c.err;
    }
}

TEST(KxPlatformClock, TickCountAdvancesAcrossSleep)
{
    DWORD before = OsUserGetTickCount();
    OsUserSleep(25);
    EXPECT_GE(static_cast<DWORD>(OsUserGetTickCount() - before), 25u);
}

} // namespace
