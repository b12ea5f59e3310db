// The control queue: default Init/Start sequence, control scripts and the reply lines.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KxBstr.h"
#include "KxFex.h"

namespace {

IKxServerMessageQueue* NewQueue()
{
    IKxServerMessageQueueFactory* f = nullptr;
    EXPECT_EQ(S_OK, CreateKxSystemObject(CLSID_KxServerMessageQueueFactory, IID_IKxServerMessageQueueFactory,
                                         reinterpret_cast<void**>(&f)));
    if (!f)
        return nullptr;
    IKxServerMessageQueue* q = nullptr;
    EXPECT_EQ(S_OK, f->CreateQueue(0, &q));
    f->Release();
    return q;
}

class RouterControlQueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kxctlXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        unsetenv("KX_CONTROL");
    }
    void TearDown() override
    {
        unsetenv("KX_CONTROL");
        for (auto& f : files)
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string Script(const std::string& text)
    {
        std::string path = dir + "/control" + std::to_string(files.size());
        std::ofstream(path) << text;
        files.push_back(path);
        return path;
    }
    std::string dir;
    std::vector<std::string> files;
};

TEST_F(RouterControlQueueTest, FactoryIsFoundByItsClassIdOnly)
{
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(static_cast<HRESULT>(0x80040154u), CreateKxSystemObject(IID_IKxFexSync, IID_IKxServerMessageQueueFactory, &p));
    EXPECT_EQ(nullptr, p);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CreateKxSystemObject(CLSID_KxServerMessageQueueFactory, IID_IKxFexSync, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_POINTER, CreateKxSystemObject(CLSID_KxServerMessageQueueFactory, IID_IKxServerMessageQueueFactory,
                                              nullptr));
}

TEST_F(RouterControlQueueTest, ScriptYieldsItsNumbersRepliesArePrintedAndTheEndFails)
{
    setenv("KX_CONTROL", Script("1\n# start it\n  2  \n\n0x9\n5\n").c_str(), 1);
    IKxServerMessageQueue* q = NewQueue();
    ASSERT_NE(nullptr, q);
    CKxBstr name("Address"), value("5.1.2.3.1.1"), program("/opt/bin/KxXmlDataSrv");
    EXPECT_EQ(S_OK, q->SetParameter(name, value));
    EXPECT_EQ(S_OK, q->Open(program));
    const ULONG expected[] = {1, 2, 9, 5};
    const HRESULT replies[] = {S_OK, static_cast<HRESULT>(0x98110712u), 0, 1};
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < 4; ++i) {
        ULONG msg = 0;
        ASSERT_EQ(S_OK, q->GetMessage(&msg));
        EXPECT_EQ(expected[i], msg);
        if (msg != 9) {
            EXPECT_EQ(S_OK, q->Reply(replies[i]));
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("control 1 -> 0x00000000\ncontrol 2 -> 0x98110712\ncontrol 5 -> 0x00000001\n", out);
    ULONG msg = 77;
    EXPECT_LT(q->GetMessage(&msg), 0) << "the script's end fails the call";
    EXPECT_LT(q->GetMessage(&msg), 0);
    q->Release();
}

TEST_F(RouterControlQueueTest, UnreadableOrInvalidScriptFailsOpen)
{
    struct Row {
        const char* what;
        std::string path;
    } rows[] = {
        {"missing file", dir + "/none"},
        {"not a number", Script("1\nstart\n")},
        {"negative", Script("-1\n")},
        {"too large", Script("4294967296\n")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        setenv("KX_CONTROL", row.path.c_str(), 1);
        IKxServerMessageQueue* q = NewQueue();
        CKxBstr program("x");
        EXPECT_LT(q->Open(program), 0);
        q->Release();
    }
}

std::atomic<int> g_signals{0};
void OnSignal(int) { ++g_signals; }

TEST_F(RouterControlQueueTest, WithoutScriptInitAndStartFollowThenTheWaitEndsOnASignal)
{
    struct sigaction sa, old;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

    IKxServerMessageQueue* q = NewQueue();
    CKxBstr program("x");
    ASSERT_EQ(S_OK, q->Open(program));
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::vector<ULONG> msgs;
    HRESULT last = S_OK;
    std::thread loop([&] {
        for (;;) {
            ULONG msg = 0;
            HRESULT hr = q->GetMessage(&msg);
            std::lock_guard<std::mutex> lock(m);
            if (FAILED(hr)) {
                last = hr;
                done = true;
                cv.notify_all();
                return;
            }
            msgs.push_back(msg);
        }
    });
    // The thread may not be waiting yet when a signal comes; repeat it until the wait has ended.
    pthread_t h = loop.native_handle();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> lock(m);
    while (!done && std::chrono::steady_clock::now() < until) {
        pthread_kill(h, SIGUSR1);
        cv.wait_for(lock, std::chrono::milliseconds(20));
    }
    bool ended = done;
    lock.unlock();
    ASSERT_TRUE(ended);
    loop.join();
    EXPECT_EQ(std::vector<ULONG>({1, 2}), msgs);
    EXPECT_LT(last, 0);
    EXPECT_GT(g_signals.load(), 0);
    q->Release();
    sigaction(SIGUSR1, &old, nullptr);
}

std::atomic<int> g_terms{0};
void OnTerm(int, siginfo_t*, void*) { ++g_terms; }

// A SIGTERM that came at any moment after Open ends the queue: the next call fails at once instead of waiting
// for a signal that has already been handled, and the process's own handler still sees every signal.
TEST_F(RouterControlQueueTest, SigtermBeforeTheWaitEndsTheQueue)
{
    struct sigaction sa, old, now;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnTerm;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGTERM, &sa, &old));
    for (const char* script : {"", "1\n2\n3\n"}) {
        SCOPED_TRACE(*script ? "script" : "default sequence");
        if (*script)
            setenv("KX_CONTROL", Script(script).c_str(), 1);
        else
            unsetenv("KX_CONTROL");
        IKxServerMessageQueue* q = NewQueue();
        CKxBstr program("x");
        ASSERT_EQ(S_OK, q->Open(program));
        ULONG msg = 0;
        ASSERT_EQ(S_OK, q->GetMessage(&msg));
        EXPECT_EQ(1u, msg);
        const int before = g_terms;
        ASSERT_EQ(0, raise(SIGTERM));
        EXPECT_EQ(before + 1, g_terms.load());
        ASSERT_EQ(E_ABORT, q->GetMessage(&msg));  // not a message, nor a wait for a signal already handled
        EXPECT_EQ(E_ABORT, q->GetMessage(&msg));
        q->Release();
        // The process's handler is back in place once the queue is gone.
        ASSERT_EQ(0, sigaction(SIGTERM, nullptr, &now));
        EXPECT_TRUE(now.sa_sigaction == OnTerm);
    }
    sigaction(SIGTERM, &old, nullptr);
}

}  // namespace
