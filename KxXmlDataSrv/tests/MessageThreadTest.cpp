#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MessageThread.h"

namespace {

struct Delivered {
    uint32_t msg;
    uint32_t param;
    std::string block1;
    std::string block2;
    bool adjacent; // block 2 starts right behind block 1
    uint32_t value1;
    uint32_t value2;
    uint32_t postTick;
    uint32_t tickAtDelivery;
    std::thread::id thread;
};

// Records what it gets; can hold the worker inside one message until released.
class RecordingListener : public IMessageThreadListener {
public:
    bool OnThreadMessage(uint32_t, uint64_t, int64_t, int&) override { return false; }

    bool OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* p1, uint32_t n1, uint8_t* p2, uint32_t n2,
                               uint32_t v1, uint32_t v2, uint32_t tick) override
    {
        Delivered d{nMsg,
                    nParam,
                    std::string(reinterpret_cast<char*>(p1), n1),
                    std::string(reinterpret_cast<char*>(p2), n2),
                    p2 == p1 + n1,
                    v1,
                    v2,
                    tick,
                    OsUserGetTickCount(),
                    std::this_thread::get_id()};
        if (selfPost && nMsg == 1) {
            uint32_t err = selfPost->PostThreadMessage(2, 0, 0, nullptr, 0, nullptr, 0, 0);
            std::lock_guard<std::mutex> g(m);
            selfPostResult = err;
        }
        std::unique_lock<std::mutex> g(m);
        got.push_back(d);
        if (holdMsg >= 0 && nMsg == static_cast<uint32_t>(holdMsg)) {
            holding = true;
            cv.notify_all();
            cv.wait(g, [this] { return !hold; });
        }
        cv.notify_all();
        return true;
    }

    bool OnMessageThreadInit() override
    {
        std::lock_guard<std::mutex> g(m);
        ++inits;
        return initResult;
    }

    bool OnMessageThreadExit() override
    {
        std::lock_guard<std::mutex> g(m);
        ++exits;
        cv.notify_all();
        return true;
    }

    void WaitForCount(size_t n)
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(60), [&] { return got.size() >= n; }));
    }
    void WaitUntilHolding()
    {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(60), [&] { return holding; }));
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(m);
        hold = false;
        cv.notify_all();
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Delivered> got;
    int holdMsg = -1;
    bool hold = true;
    bool holding = false;
    bool initResult = true;
    int inits = 0;
    int exits = 0;
    CMessageThread* selfPost = nullptr;
    uint32_t selfPostResult = 0xFFFFFFFF;
};

TEST(MessageThread, DeliversCopiesInPostingOrder)
{
    RecordingListener l;
    CMessageThread t(0, &l);
    ASSERT_EQ(0u, t.StartMessageThread(INFINITE));
    EXPECT_TRUE(t.IsSenderThreadStarted());

    char a[] = "address!";
    char b[] = "payload";
    ASSERT_EQ(0u, t.PostThreadMessage(1144, 7, 8, reinterpret_cast<uint8_t*>(a), 7, reinterpret_cast<uint8_t*>(b),
                                      11, 12));
    // The poster may reuse its buffers at once.
    a[0] = 'X';
    b[0] = 'X';
    ASSERT_EQ(0u, t.PostThreadMessage(1145, 8, 0, nullptr, 0, nullptr, 21, 22));
    ASSERT_EQ(0u, t.PostThreadMessage(1146, 9, 3, reinterpret_cast<const uint8_t*>("abc"), 0, nullptr, 0, 0));
    l.WaitForCount(3);

    std::lock_guard<std::mutex> g(l.m);
    ASSERT_EQ(3u, l.got.size());
    EXPECT_EQ(1144u, l.got[0].msg);
    EXPECT_EQ(7u, l.got[0].param);
    EXPECT_EQ("address!", l.got[0].block1);
    EXPECT_EQ("payload", l.got[0].block2);
    EXPECT_EQ(11u, l.got[0].value1);
    EXPECT_EQ(12u, l.got[0].value2);
    EXPECT_EQ(1145u, l.got[1].msg);
    EXPECT_EQ("", l.got[1].block1);
    EXPECT_EQ("", l.got[1].block2);
    EXPECT_EQ(21u, l.got[1].value1);
    EXPECT_EQ("abc", l.got[2].block1);
    EXPECT_EQ("", l.got[2].block2);
    for (const Delivered& d : l.got) {
        EXPECT_TRUE(d.adjacent);
        EXPECT_NE(std::this_thread::get_id(), d.thread);
        // Unsigned difference: the queueing delay is never "negative".
        EXPECT_LT(d.tickAtDelivery - d.postTick, 60000u);
    }
}

TEST(MessageThread, FullQueueRefusesThe201stAndKeepsTheRest)
{
    RecordingListener l;
    l.holdMsg = 0;
    CMessageThread t(0, &l);
    ASSERT_EQ(0u, t.StartMessageThread(INFINITE));
    ASSERT_EQ(0u, t.PostThreadMessage(0, 0, 0, nullptr, 0, nullptr, 0, 0));
    l.WaitUntilHolding();
    for (uint32_t i = 1; i <= CMessageThread::kQueueSize; ++i)
        ASSERT_EQ(0u, t.PostThreadMessage(i, 0, 4, reinterpret_cast<const uint8_t*>(&i), 0, nullptr, 0, 0)) << i;
    EXPECT_EQ(MSGTHREAD_ERROR_QUEUE_FULL, t.PostThreadMessage(999, 0, 0, nullptr, 0, nullptr, 0, 0));
    l.Release();
    l.WaitForCount(CMessageThread::kQueueSize + 1);
    t.StopMessageThread();

    std::lock_guard<std::mutex> g(l.m);
    ASSERT_EQ(CMessageThread::kQueueSize + 1, l.got.size());
    for (uint32_t i = 0; i < l.got.size(); ++i)
        EXPECT_EQ(i, l.got[i].msg);
}

TEST(MessageThread, StopDropsQueuedMessagesAndALaterPostRestarts)
{
    RecordingListener l;
    l.holdMsg = 0;
    CMessageThread t(0, &l);
    // Never started: the post starts the worker itself.
    ASSERT_EQ(0u, t.PostThreadMessage(0, 0, 0, nullptr, 0, nullptr, 0, 0));
    EXPECT_TRUE(t.IsSenderThreadStarted());
    l.WaitUntilHolding();
    for (uint32_t i = 1; i <= 5; ++i)
        ASSERT_EQ(0u, t.PostThreadMessage(i, 0, 0, nullptr, 0, nullptr, 0, 0));

    // Stopping needs the worker out of its current message; the stop event then wins over the queue.
    std::thread stopper([&] { t.StopMessageThread(); });
    l.Release();
    stopper.join();
    EXPECT_FALSE(t.IsSenderThreadStarted());
    {
        std::lock_guard<std::mutex> g(l.m);
        EXPECT_LE(l.got.size(), 6u);
        EXPECT_EQ(1, l.exits);
    }
    size_t before;
    {
        std::lock_guard<std::mutex> g(l.m);
        before = l.got.size();
        l.holdMsg = -1;
    }
    ASSERT_EQ(0u, t.PostThreadMessage(77, 0, 0, nullptr, 0, nullptr, 0, 0));
    l.WaitForCount(before + 1);
    std::lock_guard<std::mutex> g(l.m);
    EXPECT_EQ(77u, l.got.back().msg);
    // A fresh worker ran (thread ids may be reused once the old one is joined, so count the starts).
    EXPECT_EQ(2, l.inits);
}

TEST(MessageThread, RefusingInitFailsTheStartInsteadOfHanging)
{
    RecordingListener l;
    l.initResult = false;
    CMessageThread t(0, &l);
    EXPECT_EQ(MSGTHREAD_ERROR_NOT_STARTED, t.StartMessageThread(INFINITE));
    EXPECT_FALSE(t.IsSenderThreadStarted());
    EXPECT_EQ(MSGTHREAD_ERROR_NOT_STARTED, t.PostThreadMessage(1, 0, 0, nullptr, 0, nullptr, 0, 0));
    std::lock_guard<std::mutex> g(l.m);
    EXPECT_TRUE(l.got.empty());
    EXPECT_EQ(0, l.exits);
}

TEST(MessageThread, ListenerMayPostToItsOwnThread)
{
    RecordingListener l;
    CMessageThread t(0, &l);
    l.selfPost = &t;
    ASSERT_EQ(0u, t.PostThreadMessage(1, 0, 0, nullptr, 0, nullptr, 0, 0));
    l.WaitForCount(2);
    std::lock_guard<std::mutex> g(l.m);
    EXPECT_EQ(0u, l.selfPostResult);
    EXPECT_EQ(1u, l.got[0].msg);
    EXPECT_EQ(2u, l.got[1].msg);
}

TEST(MessageThread, WithoutListenerMessagesAreConsumed)
{
    CMessageThread t(5, nullptr);
    EXPECT_EQ(5u, t.GetId());
    ASSERT_EQ(0u, t.StartMessageThread(INFINITE));
    for (uint32_t i = 0; i < 50; ++i)
        ASSERT_EQ(0u, t.PostThreadMessage(i, 0, 16, reinterpret_cast<const uint8_t*>("0123456789abcdef"), 0,
                                          nullptr, 0, 0));
    t.StopMessageThread();
    EXPECT_FALSE(t.IsSenderThreadStarted());
}

} // namespace
