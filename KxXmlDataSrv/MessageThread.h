// A worker thread with a private, bounded FIFO of posted messages delivered in order to one listener.
#pragma once

#include "OsUserTools.h"
#include "platform/FreeBSD/KxWinTypes.h"

// Receiver of the messages of one or more message threads; called on the worker thread only.
class IMessageThreadListener {
public:
    // Not called by the message thread.
    virtual bool OnThreadMessage(uint32_t nMsg, uint64_t wParam, int64_t lParam, int& nResult) = 0;
    // Once per posted message, in posting order; the blocks are valid only during the call.
    virtual bool OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* pBlock1, uint32_t nLength1,
                                       uint8_t* pBlock2, uint32_t nLength2, uint32_t nValue1, uint32_t nValue2,
                                       uint32_t nPostTick) = 0;
    // First call on a new worker thread; false ends the thread at once.
    virtual bool OnMessageThreadInit() = 0;
    // Last call on the worker thread.
    virtual bool OnMessageThreadExit() = 0;

protected:
    ~IMessageThreadListener() = default;
};

// Error codes of the message thread (Win32 numbers).
#define MSGTHREAD_ERROR_NOT_STARTED 1872u // no thread, or it did not report ready in time
#define MSGTHREAD_ERROR_QUEUE_FULL 1799u  // all queue nodes are in use
#define MSGTHREAD_ERROR_SIGNAL 12u        // the message event could not be signalled

// One posted message: header, then block 1 immediately followed by block 2.
struct PostedMessage_ {
    uint32_t nParam;
    uint64_t nMsg;
    uint32_t nPostTick;
    uint32_t nValue1;
    uint32_t nValue2;
    int32_t nLength1;
    uint32_t nLength2;
    uint8_t data[1];
};

class CMessageThread {
public:
    // Most messages that may wait in the queue at once.
    static const unsigned kQueueSize = 200;

    // Creates the stop and message events; no thread is started.
    CMessageThread(uint32_t nId, IMessageThreadListener* pListener);
    virtual ~CMessageThread();

    virtual bool OnThreadMessage(uint32_t nMsg, uint64_t wParam, int64_t lParam, int& nResult);
    virtual bool OnPostedThreadMessage(uint32_t nMsg, uint32_t nParam, uint8_t* pBlock1, uint32_t nLength1,
                                       uint8_t* pBlock2, uint32_t nLength2, uint32_t nValue1, uint32_t nValue2,
                                       uint32_t nPostTick);
    virtual bool OnMessageThreadInit();
    virtual bool OnMessageThreadExit();

    // Starts the worker and waits up to nTimeout ms (INFINITE: no limit) for it to report ready. 0 or 1872.
    uint32_t StartMessageThread(uint32_t nTimeout);
    // Ends the worker, if one runs; queued messages are freed without being delivered.
    void StopMessageThread();
    // True while a worker thread handle is held.
    bool IsSenderThreadStarted() const { return m_hThread != nullptr; }
    // Queues a message with copies of both blocks; starts the worker if needed. 0, 1799 (full), 12, or 1872.
    uint32_t PostThreadMessage(uint32_t nMsg, uint32_t nParam, int32_t nLength1, const uint8_t* pBlock1,
                               uint32_t nLength2, const uint8_t* pBlock2, uint32_t nValue1, uint32_t nValue2);

    uint32_t GetId() const { return m_nId; }

private:
    struct Node {
        Node* pNext;
        Node* pPrev;
        PostedMessage_* pMsg;
    };
    // A FIFO that draws its nodes from a fixed pool: it never allocates.
    struct Fifo {
        Node pool[kQueueSize];
        Node* pHead;
        Node* pTail;
        Node* pFree;
        uint32_t nCount;

        void Init();
        bool Push(PostedMessage_* pMsg);
        PostedMessage_* Pop();
        bool Unlink(PostedMessage_* pMsg);
        // Takes node n out of the queue and returns it to the pool.
        void Release(Node* n);
    };

    static unsigned int ThreadProc(void* pUser);
    void Run();
    void DeliverAll(Fifo* staging);
    void FreeQueued();

    OS_USER_THREAD_ID m_threadId;
    OS_USER_THREAD_HANDLE m_hThread = nullptr;
    int m_nPriority = 2;
    OS_USER_EVENT_HANDLE m_hStartup = nullptr;
    uint32_t m_nId;
    Fifo m_queue;
    CRITICAL_SECTION m_csQueue;
    CRITICAL_SECTION m_csPost;
    IMessageThreadListener* m_pListener;
    OS_USER_EVENT_HANDLE m_hStop = nullptr;
    OS_USER_EVENT_HANDLE m_hMessage = nullptr;
};
