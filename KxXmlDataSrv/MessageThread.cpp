#include "MessageThread.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <new>

void CMessageThread::Fifo::Init()
{
    pHead = pTail = nullptr;
    nCount = 0;
    pFree = nullptr;
    for (unsigned i = kQueueSize; i-- > 0;) {
        pool[i].pMsg = nullptr;
        pool[i].pPrev = nullptr;
        pool[i].pNext = pFree;
        pFree = &pool[i];
    }
}

bool CMessageThread::Fifo::Push(PostedMessage_* pMsg)
{
    Node* n = pFree;
    if (!n)
        return false;
    pFree = n->pNext;
    n->pMsg = pMsg;
    n->pNext = nullptr;
    n->pPrev = pTail;
    if (pTail)
        pTail->pNext = n;
    else
        pHead = n;
    pTail = n;
    ++nCount;
    return true;
}

PostedMessage_* CMessageThread::Fifo::Pop()
{
    Node* n = pHead;
    if (!n)
        return nullptr;
    PostedMessage_* pMsg = n->pMsg;
    Release(n);
    return pMsg;
}

bool CMessageThread::Fifo::Unlink(PostedMessage_* pMsg)
{
    for (Node* n = pHead; n; n = n->pNext) {
        if (n->pMsg == pMsg) {
            Release(n);
            return true;
        }
    }
    return false;
}

void CMessageThread::Fifo::Release(Node* n)
{
    if (n->pPrev)
        n->pPrev->pNext = n->pNext;
    else
        pHead = n->pNext;
    if (n->pNext)
        n->pNext->pPrev = n->pPrev;
    else
        pTail = n->pPrev;
    n->pMsg = nullptr;
    n->pPrev = nullptr;
    n->pNext = pFree;
    pFree = n;
    --nCount;
}

CMessageThread::CMessageThread(uint32_t nId, IMessageThreadListener* pListener)
    : m_threadId(), m_nId(nId), m_pListener(pListener)
{
    OsUserInitializeCriticalSection(&m_csQueue);
    OsUserInitializeCriticalSection(&m_csPost);
    m_queue.Init();
    m_hStop = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    if (m_hStop) {
        m_hMessage = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
        if (!m_hMessage) {
            OsUserCloseHandle(m_hStop);
            m_hStop = nullptr;
        }
    }
}

CMessageThread::~CMessageThread()
{
    StopMessageThread();
    FreeQueued();
    if (m_hStop)
        OsUserCloseHandle(m_hStop);
    if (m_hMessage)
        OsUserCloseHandle(m_hMessage);
    OsUserDeleteCriticalSection(&m_csPost);
    OsUserDeleteCriticalSection(&m_csQueue);
}

bool CMessageThread::OnThreadMessage(uint32_t nMsg, uint64_t wParam, int64_t lParam, int& nResult)
{
    return m_pListener ? m_pListener->OnThreadMessage(nMsg, wParam, lParam, nResult) : false;
}

bool CMessageThread::OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* pBlock1, uint32_t nLength1,
                                           uint8_t* pBlock2, uint32_t nLength2, uint32_t nValue1, uint32_t nValue2,
                                           uint32_t nPostTick)
{
    if (!m_pListener)
        return false;
    return m_pListener->OnPostedThreadMessage(nMsg, nParam, pBlock1, nLength1, pBlock2, nLength2, nValue1, nValue2,
                                              nPostTick);
}

bool CMessageThread::OnMessageThreadInit()
{
    return m_pListener ? m_pListener->OnMessageThreadInit() : true;
}

bool CMessageThread::OnMessageThreadExit()
{
    return m_pListener ? m_pListener->OnMessageThreadExit() : true;
}

uint32_t CMessageThread::StartMessageThread(uint32_t nTimeout)
{
    if (!m_hStop || !m_hMessage)
        return MSGTHREAD_ERROR_NOT_STARTED;
    if (m_hStartup)
        OsUserCloseHandle(m_hStartup);
    m_hStartup = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (!m_hStartup)
        return MSGTHREAD_ERROR_NOT_STARTED;

    // The worker inherits SIGTERM blocked, so the process's signal always reaches the main thread, which is
    // the one that has to wake up for it.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    OS_USER_THREAD_HANDLE hThread = nullptr;
    const int rc = OsUserCreateThreadEx(0, ThreadProc, this, m_nPriority, &hThread, &m_threadId, FALSE);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0 || !hThread) {
        OsUserCloseHandle(m_hStartup);
        m_hStartup = nullptr;
        return MSGTHREAD_ERROR_NOT_STARTED;
    }
    m_hThread = hThread;

    // Watch the thread as well as the start-up event: a listener that refuses to start ends the thread
    // without reporting ready, and an infinite start must not hang on it.
    OS_USER_HANDLE handles[2] = {m_hStartup, m_hThread};
    DWORD dw = OsUserWaitForMultipleObjects(2, handles, FALSE, nTimeout);
    OsUserResetEvent(m_hStartup);
    if (dw == WAIT_OBJECT_0)
        return 0;

    OsUserSetEvent(m_hStop);
    if (dw == WAIT_OBJECT_0 + 1)
        OsUserWaitForThread(m_hThread, INFINITE);
    OsUserCloseThreadHandle(m_hThread);
    m_hThread = nullptr;
    OsUserCloseHandle(m_hStartup);
    m_hStartup = nullptr;
    return MSGTHREAD_ERROR_NOT_STARTED;
}

void CMessageThread::StopMessageThread()
{
    if (m_hThread) {
        OsUserSetEvent(m_hStop);
        while (OsUserWaitForThread(m_hThread, INFINITE) != WAIT_OBJECT_0) {
        }
        OsUserCloseThreadHandle(m_hThread);
        m_hThread = nullptr;
        FreeQueued();
    }
    if (m_hStartup) {
        OsUserCloseHandle(m_hStartup);
        m_hStartup = nullptr;
    }
}

void CMessageThread::FreeQueued()
{
    OsUserEnterCriticalSection(&m_csQueue);
    while (PostedMessage_* pMsg = m_queue.Pop())
        std::free(pMsg);
    OsUserLeaveCriticalSection(&m_csQueue);
}

uint32_t CMessageThread::PostThreadMessage(uint32_t nMsg, uint32_t nParam, int32_t nLength1, const uint8_t* pBlock1,
                                           uint32_t nLength2, const uint8_t* pBlock2, uint32_t nValue1,
                                           uint32_t nValue2)
{
    if (!m_hThread) {
        uint32_t err = StartMessageThread(INFINITE);
        if (err != 0)
            return err;
    }
    // A negative first length carries no bytes.
    size_t cb1 = nLength1 > 0 ? static_cast<size_t>(nLength1) : 0;
    size_t cb2 = nLength2;
    PostedMessage_* pMsg =
        static_cast<PostedMessage_*>(std::malloc(offsetof(PostedMessage_, data) + cb1 + cb2 + 1));
    if (!pMsg)
        return MSGTHREAD_ERROR_SIGNAL;
    pMsg->nParam = nParam;
    pMsg->nMsg = nMsg;
    pMsg->nPostTick = OsUserGetTickCount();
    pMsg->nValue1 = nValue1;
    pMsg->nValue2 = nValue2;
    pMsg->nLength1 = nLength1;
    pMsg->nLength2 = nLength2;
    if (cb1 && pBlock1)
        std::memcpy(pMsg->data, pBlock1, cb1);
    else if (cb1)
        std::memset(pMsg->data, 0, cb1);
    if (cb2 && pBlock2)
        std::memcpy(pMsg->data + cb1, pBlock2, cb2);
    else if (cb2)
        std::memset(pMsg->data + cb1, 0, cb2);

    OsUserEnterCriticalSection(&m_csPost);
    OsUserEnterCriticalSection(&m_csQueue);
    bool queued = m_queue.Push(pMsg);
    OsUserLeaveCriticalSection(&m_csQueue);
    OsUserLeaveCriticalSection(&m_csPost);
    if (!queued) {
        std::free(pMsg);
        return MSGTHREAD_ERROR_QUEUE_FULL;
    }

    if (OsUserSetEvent(m_hMessage))
        return 0;

    OsUserEnterCriticalSection(&m_csPost);
    OsUserEnterCriticalSection(&m_csQueue);
    bool withdrawn = m_queue.Unlink(pMsg);
    OsUserLeaveCriticalSection(&m_csQueue);
    OsUserLeaveCriticalSection(&m_csPost);
    if (withdrawn)
        std::free(pMsg);
    return MSGTHREAD_ERROR_SIGNAL;
}

unsigned int CMessageThread::ThreadProc(void* pUser)
{
    CMessageThread* self = static_cast<CMessageThread*>(pUser);
    if (!self->OnMessageThreadInit())
        return 0xFFFFFFFFu;
    self->Run();
    self->OnMessageThreadExit();
    return 0;
}

void CMessageThread::DeliverAll(Fifo* staging)
{
    while (PostedMessage_* pMsg = staging->Pop()) {
        uint32_t cb1 = pMsg->nLength1 > 0 ? static_cast<uint32_t>(pMsg->nLength1) : 0;
        OnPostedThreadMessage(static_cast<uint32_t>(pMsg->nMsg), pMsg->nParam, pMsg->data,
                              static_cast<uint32_t>(pMsg->nLength1), pMsg->data + cb1, pMsg->nLength2, pMsg->nValue1,
                              pMsg->nValue2, pMsg->nPostTick);
        std::free(pMsg);
    }
}

void CMessageThread::Run()
{
    // The staging list lets the worker drain the queue under one short hold of the post lock and deliver
    // outside every lock, so a listener may post to its own thread.
    Fifo* staging = new (std::nothrow) Fifo;
    if (!staging) {
        OsUserSetEvent(m_hStartup);
        return;
    }
    staging->Init();
    OsUserSetEvent(m_hStartup);

    OS_USER_HANDLE handles[2] = {m_hStop, m_hMessage};
    for (;;) {
        DWORD dw = OsUserWaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (dw == WAIT_OBJECT_0)
            break;
        if (dw != WAIT_OBJECT_0 + 1)
            continue;
        OsUserEnterCriticalSection(&m_csPost);
        for (;;) {
            OsUserEnterCriticalSection(&m_csQueue);
            PostedMessage_* pMsg = m_queue.Pop();
            OsUserLeaveCriticalSection(&m_csQueue);
            if (!pMsg)
                break;
            staging->Push(pMsg);
        }
        OsUserLeaveCriticalSection(&m_csPost);
        DeliverAll(staging);
    }
    DeliverAll(staging);
    delete staging;
}
