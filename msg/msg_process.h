// MsgProcessClass: the daemon's message dispatcher. It connects the process to
// the transport as one endpoint, keeps the handlers by 64-bit key, sorts every
// incoming message into one of three priority queues and processes each queue
// in arrival order on a task thread of its own: requests go to their handler,
// answers to the callback their sender posted.
//
// Threads: transport threads call DispathMsg; three task threads (priorities
// 0, 1, 2) run for the life of the process. The registry is guarded by _mutex,
// each queue by its own mutex. Queues own the messages they hold; a message is
// destroyed after its processing. While more messages wait in its queue, a
// task thread batches the answers and posts of the one it handles
// (MSG_SetSendBatching): they leave together with the next ones, within a few
// milliseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "msg/inner_msg.h"
#include "platform/semaphore.h"

enum MSG_PRI : uint32_t { MSG_PRI_0 = 0, MSG_PRI_1 = 1, MSG_PRI_2 = 2 };
constexpr uint32_t MSG_PRI_NUM = 3;
// A message is appended while its queue holds at most this many.
constexpr uint32_t MSG_QUEUE_LIMIT = 100;

class MsgHandle {
public:
    explicit MsgHandle(uint32_t priority) : m_uiPriority(priority) {}
    virtual void handle(InnerMsg& message) = 0;
    virtual ~MsgHandle() = default;
    uint32_t GetPriority() const { return m_uiPriority; }

private:
    uint32_t m_uiPriority;
};

class MsgHandleWrapper : public MsgHandle {
public:
    using Fn = void (*)(InnerMsg&);
    MsgHandleWrapper(Fn function, uint32_t priority) : MsgHandle(priority), m_pfn(function) {}
    void handle(InnerMsg& message) override {
        if (m_pfn != nullptr) {
            m_pfn(message);
        }
    }

private:
    Fn m_pfn;
};

class MsgProcessClass {
public:
    static MsgProcessClass* Instance();

    // A dispatcher without transport and task threads, for tests that drive
    // its queues and processing directly. The daemon uses Instance().
    MsgProcessClass() = default;
    ~MsgProcessClass();
    MsgProcessClass(const MsgProcessClass&) = delete;
    MsgProcessClass& operator=(const MsgProcessClass&) = delete;

    unsigned int Init(unsigned int pid);
    void MsgReg(unsigned int pid, void (*registrar)(MsgProcessClass&));
    unsigned int AddClient(unsigned int pid, int (*entry)(void*));
    unsigned int AddHandler(unsigned int subCommand, unsigned long long command, MsgHandle* handler);
    void AddHandlerHelper(MsgHandle* handler, unsigned long long command, unsigned int subCommand);
    MsgHandle* SearchHander(unsigned long long key);

    unsigned long long GetMsgKey(InnerMsg& message);
    uint32_t MsgPri(InnerMsg& message);
    void DispathMsg(void* transportMessage);
    void SetCallBack(void* transportMessage, InnerMsg& message);
    void AsyncMsg(InnerMsg* message);
    void StartMsgTask();
    void MsgTask(MSG_PRI priority, std::promise<bool>& started);
    void SyncMsg(InnerMsg* message);
    void ProcessRequest(InnerMsg& message);
    void ProcessResponse(InnerMsg& message);
    void DumpMsg(const InnerMsg& message, const std::string& prefix);
    void CheckMsgQue();

    // For tests and supervision.
    uint32_t QueueLength(uint32_t priority);
    // Takes the first message of a queue (null when empty); the caller owns it.
    InnerMsg* TakeMsg(uint32_t priority);

private:
    struct MsgQueue {
        std::mutex mutex;
        // Counts the messages queued for the task thread (a semaphore rather
        // than a condition variable: a hand-off costs one wake-up call).
        platform::Semaphore ready;
        std::list<InnerMsg*> messages;
        uint32_t length = 0;
    };

    std::map<unsigned long long, MsgHandle*> m_handlers;
    MsgQueue m_queues[MSG_PRI_NUM];
    std::promise<bool> m_started[MSG_PRI_NUM];

    static std::mutex _mutex;
    static bool _bIsInited;
    static std::atomic<MsgProcessClass*> _instance;
};

// The uptime below which CheckMsgQue stays quiet (600000 ms); tests lower it.
extern uint64_t g_ulMsgQueCheckAfterMs;
// How long StartMsgTask waits for each task thread (30 s).
extern uint32_t g_uiMsgTaskStartWaitMs;
